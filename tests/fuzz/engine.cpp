// Fuzz harness for the engine's settings: the filter type, width and centre,
// the spectrum's averaging and decay and the filter switch, as a settings file
// or a hand on the controls could set them, followed by blocks of samples.
// Nothing may crash, and what the window shows must stay finite.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "app/Engine.h"
#include "app/LiveFilter.h"
#include "platform/Component.h"

using namespace quellmarin;

namespace {

// Reads the input front to back; past its end every value is 0.
class TInput {
public:
  TInput(const uint8_t* Data, size_t Size) : FData(Data), FSize(Size) {}
  template <class T>
  T Take() {
    T Value{};
    const size_t N = std::min(sizeof Value, FSize - FPos);
    std::memcpy(&Value, FData + FPos, N);
    FPos += N;
    return Value;
  }
  bool Empty() const { return FPos == FSize; }

private:
  const uint8_t* FData;
  size_t FSize;
  size_t FPos = 0;
};

void CheckFinite(float Value) {
  if (!std::isfinite(Value)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TInput In(Data, Size);
  TComponent Owner(nullptr);
  TFFT Engine;
  Engine.Init(&Owner, 2000, 20000, static_cast<TFilterType>(In.Take<uint8_t>() % 4), In.Take<int32_t>());
  std::vector<int16_t> Block(2000);
  TLiveFilterStage Stage;
  for (int Round = 0; Round < 4 && !In.Empty(); ++Round) {
    const auto Type = static_cast<TFilterType>(In.Take<uint8_t>() % 4);
    const int32_t Width = In.Take<int32_t>();
    const int32_t Centre = In.Take<int32_t>();
    const auto Averaging = static_cast<TAveraging>(In.Take<uint8_t>() % 3);
    const int32_t Decay = In.Take<int32_t>();
    const bool FilterOn = In.Take<uint8_t>() & 1;
    // The response side designs and measures; the live path gets a copy of
    // the taps, as the window hands it over.
    Engine.SetFilter(Type, Width, Centre);
    Engine.UpdateFilterResponse();
    const TTImeSignal& Taps = Engine.FResponseFilter->Taps();
    if (!Engine.FResponseFilter->Dirty() && Taps.Length > 0)
      Stage.Publish(std::make_unique<TLiveFilter>(Taps.Data, Taps.Length));
    Stage.SetEnabled(FilterOn);
    Engine.FLiveFFT->SetAveraging(Averaging);
    Engine.FLiveFFT->SetExponentialDecay(Decay);
    Engine.FEqualizeRequest = In.Take<uint8_t>() & 1;
    for (int16_t& Sample : Block) Sample = In.Take<int16_t>();
    Engine.ProcessBlock(Block.data(), static_cast<int32_t>(Block.size()), &Stage);
    Engine.FindDominant();
    CheckFinite(Engine.FMaxAmplitude);
    for (int32_t I = 0; I < Engine.FBandCount; ++I) CheckFinite(Engine.FBandPeak[I]);
  }
  return 0;
}

// The sound-system contract on the virtual sound card, on both clocks.

#include "soundsystem/virtual/VirtualSoundCard.h"
#include "tests/soundsystem/ContractSuite.h"

namespace quellmarin::testing {
namespace {

class TVirtualTarget : public TContractTarget {
public:
  explicit TVirtualTarget(TVirtualSoundCard::TClock Clock) : FCard(Clock) {}
  TSoundSystem& System() override { return FCard; }
  void Advance() override {
    FCard.FillInput(1);
    FCard.FinishOutput(1);
  }

private:
  TVirtualSoundCard FCard;
};

INSTANTIATE_TEST_SUITE_P(
    Virtual, SoundSystemContract,
    ::testing::Values(TContractParam{"Manual", [] { return std::make_unique<TVirtualTarget>(TVirtualSoundCard::ckManual); }},
                      TContractParam{"RealTimeLive",
                                     [] { return std::make_unique<TVirtualTarget>(TVirtualSoundCard::ckRealTime); }}),
    ContractParamName);

}  // namespace
}  // namespace quellmarin::testing

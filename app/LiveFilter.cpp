#include "app/LiveFilter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>

namespace quellmarin {

TLiveFilter::TLiveFilter(const float* Taps, int32_t Count) {
  if (Taps == nullptr || Count < 1) throw std::invalid_argument("The filter has no taps");
  nspsFirInit(Taps, Count, nullptr, &FState);
  double gain = 0.0;
  for (int32_t i = 0; i < Count; ++i) gain += Taps[i];
  FOffsetShare = static_cast<float>((gain - 1.0) * TFFT::SampleOffset);
}

void TLiveFilter::Filter(const float* In, float* Out, int32_t Count) {
  if (Count <= 0) return;
  nspsbFir(&FState, In, Out, Count);
  for (int32_t i = 0; i < Count; ++i) Out[i] += FOffsetShare;
}

void TLiveFilter::Prime(const float* History, int32_t Count, float* Scratch) {
  // Running the taps' length of input through the filter leaves exactly that
  // input in its delay line, whatever it held before; zeros stand in for
  // input older than the history.
  const int32_t taps = FState.TapsLen();
  const int32_t take = std::min(Count, taps);
  const int32_t zeros = taps - take;
  if (zeros > 0) {
    std::fill(Scratch, Scratch + zeros, 0.0f);
    nspsbFir(&FState, Scratch, Scratch, zeros);
  }
  if (take > 0) nspsbFir(&FState, History + (Count - take), Scratch, take);
}

TLiveFilterStage::TLiveFilterStage()
    : FHistory(new float[HistoryLen]()), FIn(new float[MaxBlock]()), FOld(new float[MaxBlock]()),
      FScratch(new float[HistoryLen]()) {}

TLiveFilterStage::~TLiveFilterStage() {
  delete FPending.exchange(nullptr);
  CollectRetired();
  delete FCurrent;
}

void TLiveFilterStage::Publish(std::unique_ptr<TLiveFilter> Filter) {
  CollectRetired();
  delete FPending.exchange(Filter.release(), std::memory_order_acq_rel);
}

void TLiveFilterStage::CollectRetired() {
  uint32_t tail = FRetireTail.load(std::memory_order_relaxed);
  const uint32_t head = FRetireHead.load(std::memory_order_acquire);
  while (tail != head) {
    delete FRetired[tail % RetireSlots];
    FRetired[tail % RetireSlots] = nullptr;
    ++tail;
  }
  FRetireTail.store(tail, std::memory_order_release);
}

void TLiveFilterStage::Retire(TLiveFilter* Filter) {
  if (Filter == nullptr) return;
  const uint32_t head = FRetireHead.load(std::memory_order_relaxed);
  FRetired[head % RetireSlots] = Filter;
  FRetireHead.store(head + 1, std::memory_order_release);
}

void TLiveFilterStage::Restart() {
  std::fill(FHistory.get(), FHistory.get() + HistoryLen, 0.0f);
  FEnabled = FWantEnabled.load(std::memory_order_relaxed);
  if (FEnabled && FCurrent) FCurrent->Prime(FHistory.get(), HistoryLen, FScratch.get());
}

float TLiveFilterStage::FadeWeight(int32_t i) {
  // Raised cosine: equal-gain for the correlated signals of a filter change.
  const double t = (i + 0.5) / CrossfadeSamples;
  return static_cast<float>(0.5 - 0.5 * std::cos(std::numbers::pi * t));
}

void TLiveFilterStage::PushHistory(const float* In, int32_t Count) {
  if (Count >= HistoryLen) {
    std::memcpy(FHistory.get(), In + (Count - HistoryLen), sizeof(float) * HistoryLen);
    return;
  }
  std::memmove(FHistory.get(), FHistory.get() + Count, sizeof(float) * static_cast<size_t>(HistoryLen - Count));
  std::memcpy(FHistory.get() + (HistoryLen - Count), In, sizeof(float) * static_cast<size_t>(Count));
}

void TLiveFilterStage::FilterBlock(float* Data, int32_t Count) {
  Count = std::clamp(Count, 0, MaxBlock);
  // A new design is taken only while the retire ring has room for the old
  // one (the UI thread empties it every refresh).
  TLiveFilter* incoming = nullptr;
  const uint32_t used = FRetireHead.load(std::memory_order_relaxed) - FRetireTail.load(std::memory_order_acquire);
  if (used < RetireSlots) incoming = FPending.exchange(nullptr, std::memory_order_acq_rel);
  const bool wantEnabled = FWantEnabled.load(std::memory_order_relaxed);

  TLiveFilter* next = incoming ? incoming : FCurrent;
  const bool change = incoming != nullptr || wantEnabled != FEnabled;
  const bool filterNow = FEnabled && FCurrent;
  const bool filterNext = wantEnabled && next;

  if (!change || (!filterNow && !filterNext)) {
    // Steady state, or a change that leaves the block dry (a design taken
    // while the filter is off, switching on before the first design).
    if (filterNow) {
      std::memcpy(FIn.get(), Data, sizeof(float) * static_cast<size_t>(Count));
      FCurrent->Filter(Data, Data, Count);
      PushHistory(FIn.get(), Count);
    } else {
      PushHistory(Data, Count);
    }
    if (incoming) {
      Retire(FCurrent);
      FCurrent = incoming;
    }
    FEnabled = wantEnabled;
    return;
  }

  std::memcpy(FIn.get(), Data, sizeof(float) * static_cast<size_t>(Count));
  // What the old path gives for this block.
  if (filterNow)
    FCurrent->Filter(FIn.get(), FOld.get(), Count);
  else
    std::memcpy(FOld.get(), FIn.get(), sizeof(float) * static_cast<size_t>(Count));
  // The new path, its filter already holding the input before this block.
  if (filterNext) {
    if (next != FCurrent || !filterNow) next->Prime(FHistory.get(), HistoryLen, FScratch.get());
    next->Filter(FIn.get(), Data, Count);
  }
  // else Data already holds the dry input.
  const int32_t fade = std::min(Count, CrossfadeSamples);
  for (int32_t i = 0; i < fade; ++i) {
    const float w = FadeWeight(i);
    Data[i] = FOld[i] * (1.0f - w) + Data[i] * w;
  }
  PushHistory(FIn.get(), Count);
  if (incoming) {
    Retire(FCurrent);
    FCurrent = incoming;
  }
  FEnabled = wantEnabled;
  FCrossfades.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace quellmarin

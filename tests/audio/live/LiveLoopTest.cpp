// The record-play loop as the window runs it, on the virtual card's real-time
// clock: every recorded block is marked with its number on the callback thread
// (where the window's engine rewrites it), copied into a stream and handed to
// Play on the UI thread, which is this test's thread pumping the message
// queue. QM_LIVE_SECONDS sets the length of the run (default 60).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "audio/Audio.h"
#include "soundsystem/virtual/VirtualSoundCard.h"

namespace quellmarin {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int MaxBlocks = 8192;
constexpr uint16_t BlockFrames = 2000;

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

// The block numbered K: its first two samples carry K, the rest a ramp.
void Mark(int16_t* Samples, int K) {
  Samples[0] = static_cast<int16_t>(K & 0x7FFF);
  Samples[1] = static_cast<int16_t>(K >> 15);
  for (int i = 2; i < BlockFrames; ++i) Samples[i] = static_cast<int16_t>((K * 31 + i) & 0x7FFF);
}

int MarkOf(const void* Data) {
  int16_t s[2];
  std::memcpy(s, Data, sizeof s);
  return s[0] | (s[1] << 15);
}

// The real-time card, watching its output: when each block finished playing
// and how often the output ran dry.
class TWatchedCard : public TVirtualSoundCard {
public:
  TWatchedCard() : TVirtualSoundCard(ckRealTime) {
    for (auto& t : DoneAt) t = 0;
  }

  MMRESULT waveOutOpen(HWAVEOUT* Handle, uint32_t DeviceID, const WAVEFORMATEX* Format, TWaveOutProc Callback,
                       uintptr_t Instance, uint32_t Flags) override {
    FCallback = Callback;
    FInstance = Instance;
    return TVirtualSoundCard::waveOutOpen(Handle, DeviceID, Format, &TWatchedCard::Done,
                                          reinterpret_cast<uintptr_t>(this), Flags);
  }
  MMRESULT waveOutWrite(HWAVEOUT Handle, WAVEHDR* Header, uint32_t HeaderSize) override {
    ++FHeld;
    MMRESULT r = TVirtualSoundCard::waveOutWrite(Handle, Header, HeaderSize);
    if (r != MMSYSERR_NOERROR) --FHeld;
    return r;
  }

  std::atomic<int64_t> DoneAt[MaxBlocks];
  std::atomic<int> DryOuts{0};

private:
  static void Done(HWAVEOUT Handle, uint32_t Msg, uintptr_t Instance, uintptr_t Param1, uintptr_t Param2) {
    auto* self = reinterpret_cast<TWatchedCard*>(Instance);
    if (Msg == MM_WOM_DONE) {
      const int k = MarkOf(reinterpret_cast<WAVEHDR*>(Param1)->lpData);
      if (k >= 0 && k < MaxBlocks) self->DoneAt[k] = Now();
      if (--self->FHeld == 0) ++self->DryOuts;
    }
    self->FCallback(Handle, Msg, self->FInstance, Param1, Param2);
  }

  TWaveOutProc FCallback = nullptr;
  uintptr_t FInstance = 0;
  std::atomic<int> FHeld{0};
};

// Hands block WParam to the player on the UI thread.
class TPlayTarget : public TMessageTarget {
public:
  void HandleMessage(const TMessage& Message) override { Handler(static_cast<int>(Message.WParam)); }
  std::function<void(int)> Handler;
};

TEST(LiveLoop, EveryBlockPlaysOnceInOrderWithBoundedQueue) {
  double seconds = 60;
  if (const char* s = std::getenv("QM_LIVE_SECONDS")) seconds = std::atof(s);

  TWatchedCard card;
  TMessageQueue queue;
  TPlayTarget target;
  auto audio = std::make_unique<TAudio>(nullptr, card, queue);
  TRecorder& recorder = *audio->Recorder();
  TPlayer& player = *audio->Player();
  recorder.SetSampleRate(20000);
  recorder.SetNoSamples(BlockFrames);
  recorder.SetChannels(Mono);
  recorder.SetBitsPerSample(_16);
  recorder.SetTriggered(true);

  // One stream per block in flight, sized once: the callback allocates nothing.
  constexpr int Streams = 64;
  std::vector<TMemoryStream> streams(Streams);
  for (auto& s : streams) s.SetSize(2 * BlockFrames);
  std::vector<std::atomic<int64_t>> recordedAt(MaxBlocks);
  std::atomic<int> recorded{0}, emptyBlocks{0};

  audio->OnRecord = [&](TPersistent*, void* LP, void*, uint16_t Size) {
    if (Size == 0) {
      ++emptyBlocks;
      return;
    }
    const int k = recorded.load();
    if (k >= MaxBlocks) return;
    Mark(static_cast<int16_t*>(LP), k);
    recordedAt[k] = Now();
    TMemoryStream& s = streams[k % Streams];
    s.SetPosition(0);
    s.Write(LP, Size);
    recorded = k + 1;
    queue.PostMessage(&target, 1, static_cast<uintptr_t>(k));
  };
  int handed = 0, outOfOrder = 0, playedEvents = 0;
  size_t mostQueued = 0;
  target.Handler = [&](int k) {
    outOfOrder += k != handed;
    ++handed;
    player.Play(&streams[k % Streams], nullptr, 0);
    mostQueued = std::max(mostQueued, player.QueuedBytes());
  };
  audio->OnPlayed = [&](TPersistent*) { ++playedEvents; };

  ASSERT_TRUE(recorder.Start()) << audio->ErrorMessage();
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    queue.ProcessMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(recorder.Stop()) << audio->ErrorMessage();
  // Let the blocks already handed over play out; the run then ends by itself.
  const int total = recorded.load();
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while ((handed < total || player.DeviceOpen()) && Clock::now() < deadline) {
    queue.ProcessMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_FALSE(player.DeviceOpen());

  ASSERT_GT(total, 0);
  EXPECT_EQ(handed, total);
  EXPECT_EQ(outOfOrder, 0);
  EXPECT_EQ(emptyBlocks, 0);
  std::vector<uint8_t> expected(static_cast<size_t>(total) * 2 * BlockFrames);
  for (int k = 0; k < total; ++k) Mark(reinterpret_cast<int16_t*>(expected.data()) + k * BlockFrames, k);
  const std::vector<uint8_t> played = card.Played();
  EXPECT_EQ(played.size(), expected.size());
  EXPECT_TRUE(played == expected) << "played blocks differ from the recorded ones";
  // The queue holds only data still to play: in a live run at most the blocks
  // waiting for a free ring slot.
  EXPECT_LE(mostQueued, size_t(2) * 20 * 2 * BlockFrames + 2 * BlockFrames);

  // Figures: dry-outs while recording (the last one ends the run) and the
  // delay from a sample's capture to its playing (the block's delivery to the
  // end of its playing: both ends lie one block after its first sample).
  std::vector<double> delays;
  for (int k = 0; k < total; ++k)
    if (card.DoneAt[k] > 0) delays.push_back((card.DoneAt[k] - recordedAt[k]) / 1000.0);
  std::sort(delays.begin(), delays.end());
  ASSERT_FALSE(delays.empty());
  double sum = 0;
  for (double d : delays) sum += d;
  std::printf("live loop: %.0f s, %d blocks, output ran dry %d times (OnPlayed %d), delay ms min %.1f median "
              "%.1f mean %.1f max %.1f, most queued %zu bytes\n",
              seconds, total, card.DryOuts.load() - 1, playedEvents, delays.front(), delays[delays.size() / 2],
              sum / static_cast<double>(delays.size()), delays.back(), mostQueued);
  RecordProperty("blocks", total);
  RecordProperty("dry_outs", card.DryOuts.load() - 1);
  RecordProperty("delay_median_us", static_cast<int>(delays[delays.size() / 2] * 1000));
  audio.reset();
}

}  // namespace
}  // namespace quellmarin

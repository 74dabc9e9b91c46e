#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AudioFixture.h"

namespace quellmarin::testing {
namespace {

class Player : public AudioFixture {
protected:
  TPlayer& P() { return *Audio->Player(); }
  // Finishes the device's buffers one at a time, letting the UI thread refill
  // after each, until the device holds none; returns the played size of each.
  std::vector<size_t> PlayOut() {
    std::vector<size_t> sizes;
    size_t before = Card.Played().size();
    while (Card.FinishOutput(1) == 1) {
      const size_t now = Card.Played().size();
      sizes.push_back(now - before);
      before = now;
      Pump();
    }
    Pump();
    return sizes;
  }
};

// ---- Buffer counts and sizes -----------------------------------------------

struct PlayCase {
  const char* Name;
  TChannels Channels;
  size_t LeftSize, RightSize;  // RightSize 0: no right stream
  uint16_t Loops;
  std::vector<size_t> Buffers;
};

class PlayCases : public Player, public ::testing::WithParamInterface<PlayCase> {};

TEST_P(PlayCases, PlayInBuffersAndCloseOnce) {
  const PlayCase& c = GetParam();
  LiveFormat(c.Channels, _16);  // FBufferBytes 4000 mono, 8000 stereo
  const TMemoryStream left = Pattern(c.LeftSize), right = Pattern(c.RightSize, 100);
  P().Play(&left, c.RightSize ? &right : nullptr, c.Loops);
  EXPECT_EQ(Card.HeldOutputBuffers(), static_cast<int>(c.Buffers.size()));
  EXPECT_EQ(PlayOut(), c.Buffers);

  std::vector<uint8_t> expected;
  if (c.Channels == Stereo && c.RightSize == c.LeftSize) {
    for (size_t i = 0; i + 1 < c.LeftSize; i += 2) {
      expected.insert(expected.end(), left.Memory() + i, left.Memory() + i + 2);
      expected.insert(expected.end(), right.Memory() + i, right.Memory() + i + 2);
    }
  } else {
    for (int k = 0; k <= c.Loops; ++k) expected.insert(expected.end(), left.Memory(), left.Memory() + left.Size());
  }
  EXPECT_EQ(Card.Played(), expected);
  const bool any = !c.Buffers.empty();
  EXPECT_EQ(Played, any ? 1 : 0);
  EXPECT_EQ(BufferPlayed, any ? static_cast<int>(c.Buffers.size()) - 1 : 0);
  EXPECT_EQ(P().DeviceOpen(), !any);  // an empty stream leaves the device open and idle
  EXPECT_EQ(P().QueuedBytes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlayCases,
    ::testing::Values(PlayCase{"OneBuffer", Mono, 4000, 0, 0, {4000}},
                      PlayCase{"TenThousandBytes", Mono, 10000, 0, 0, {4000, 4000, 2000}},
                      PlayCase{"LoopsTwo", Mono, 4000, 0, 2, {4000, 4000, 4000}},
                      PlayCase{"StereoInterleaved", Stereo, 1002, 1002, 0, {2004}},
                      PlayCase{"StereoSizesDiffer", Stereo, 1000, 500, 0, {1000}},
                      PlayCase{"StereoStagingFlushes", Stereo, 2400, 2400, 0, {4800}},
                      PlayCase{"EmptyStream", Mono, 0, 0, 0, {}}),
    [](const ::testing::TestParamInfo<PlayCase>& i) { return std::string(i.param.Name); });

TEST_F(Player, SecondPlayWhileTheFirstPlays) {
  LiveFormat();
  const TMemoryStream a = Pattern(4000), b = Pattern(4000, 7);
  P().Play(&a, nullptr, 0);
  P().Play(&b, nullptr, 0);
  EXPECT_EQ(Card.HeldOutputBuffers(), 2);
  Card.FinishOutput(1);
  EXPECT_EQ(BufferPlayed, 1);
  Pump();
  EXPECT_EQ(Played, 0);
  Card.FinishOutput(1);
  EXPECT_EQ(BufferPlayed, 1);
  EXPECT_EQ(Played, 0);  // only on the UI thread
  Pump();
  EXPECT_EQ(Played, 1);
  EXPECT_FALSE(P().DeviceOpen());
  std::vector<uint8_t> both = Bytes(a);
  both.insert(both.end(), b.Memory(), b.Memory() + b.Size());
  EXPECT_EQ(Card.Played(), both);
  // The next Play opens the device again.
  P().Play(&a, nullptr, 0);
  EXPECT_TRUE(P().DeviceOpen());
  PlayOut();
  EXPECT_EQ(Played, 2);
}

// ---- Mended faults -----------------------------------------------------------

TEST_F(Player, PlayAfterTheCloseRequestStillPlays) {
  LiveFormat();
  const TMemoryStream a = Pattern(4000), b = Pattern(4000, 9);
  P().Play(&a, nullptr, 0);
  Card.FinishOutput(1);  // the close request is posted, not yet handled
  P().Play(&b, nullptr, 0);
  EXPECT_EQ(Card.HeldOutputBuffers(), 1);
  Pump();  // the request finds the new buffer playing and leaves the device open
  EXPECT_TRUE(P().DeviceOpen());
  EXPECT_EQ(Played, 0);
  EXPECT_EQ(PlayOut(), std::vector<size_t>{4000});
  EXPECT_EQ(Played, 1);
  EXPECT_FALSE(P().DeviceOpen());
  EXPECT_EQ(Audio->ErrorMessage(), "");
  EXPECT_EQ(Card.Played().size(), 8000u);
}

TEST_F(Player, StopClosesAnIdleOpenDevice) {
  LiveFormat();
  const TMemoryStream empty;
  P().Play(&empty, nullptr, 0);
  ASSERT_TRUE(P().DeviceOpen());
  P().Stop();
  EXPECT_FALSE(P().DeviceOpen());
  EXPECT_EQ(Card.OpenWaveDevices(), 0);
  EXPECT_EQ(Played, 1);
}

TEST_F(Player, StopWithACloseRequestWaiting) {
  LiveFormat();
  const TMemoryStream a = Pattern(4000);
  P().Play(&a, nullptr, 0);
  Card.FinishOutput(1);
  P().Stop();
  EXPECT_FALSE(P().DeviceOpen());
  EXPECT_EQ(Played, 1);
  Pump();
  EXPECT_EQ(Audio->ErrorMessage(), "");  // the handled request left no "already closed"
}

TEST_F(Player, StopDiscardsTheQueueAndReturnsClosed) {
  LiveFormat();
  const TMemoryStream a = Pattern(200000);
  Audio->SetErrorMessage("earlier");
  P().Play(&a, nullptr, 0);
  EXPECT_EQ(Card.HeldOutputBuffers(), 20);
  Card.FinishOutput(2);
  P().Stop();
  EXPECT_FALSE(P().DeviceOpen());
  EXPECT_EQ(Card.OpenWaveDevices(), 0);
  EXPECT_EQ(Played, 1);
  EXPECT_EQ(Audio->ErrorMessage(), "");
  EXPECT_EQ(P().QueuedBytes(), 0u);
}

TEST_F(Player, RingNeverHandsAHeldSlotOverAgain) {
  LiveFormat();
  std::vector<uint8_t> expected;
  for (unsigned k = 0; k < 25; ++k) {
    const TMemoryStream s = Pattern(4000, k);
    P().Play(&s, nullptr, 0);
    expected.insert(expected.end(), s.Memory(), s.Memory() + s.Size());
  }
  EXPECT_EQ(Card.HeldOutputBuffers(), 20);
  EXPECT_EQ(P().QueuedBytes(), 5u * 4000);
  EXPECT_EQ(PlayOut().size(), 25u);
  EXPECT_EQ(Card.Played(), expected);
  EXPECT_EQ(Played, 1);
}

TEST_F(Player, LongRunKeepsOnlyWhatIsStillToPlay) {
  LiveFormat();
  std::vector<uint8_t> expected;
  size_t most = 0;
  // A backlog of 30 blocks, then one block in and one buffer out, 500 times.
  for (unsigned k = 0; k < 530; ++k) {
    const TMemoryStream s = Pattern(4000, k);
    P().Play(&s, nullptr, 0);
    expected.insert(expected.end(), s.Memory(), s.Memory() + s.Size());
    most = std::max(most, P().QueuedBytes());
    if (k >= 30) {
      Card.FinishOutput(1);
      Pump();
    }
  }
  EXPECT_LE(most, 2u * 10 * 4000 + 4000);
  PlayOut();
  EXPECT_EQ(Card.Played(), expected);
  EXPECT_EQ(Played, 1);
}

TEST_F(Player, LoopsReplayWhatWasAppendedWhilePlaying) {
  LiveFormat();
  const TMemoryStream a = Pattern(100000), b = Pattern(4000, 3);
  P().Play(&a, nullptr, 1);
  Card.FinishOutput(5);
  Pump();
  P().Play(&b, nullptr, 0);
  PlayOut();
  std::vector<uint8_t> once = Bytes(a);
  once.insert(once.end(), b.Memory(), b.Memory() + b.Size());
  std::vector<uint8_t> twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(Card.Played(), twice);
}

// ---- Failures --------------------------------------------------------------

TEST_F(Player, OpenFailureLeavesNothingOpen) {
  LiveFormat();
  Card.InjectFault("waveOutOpen", MMSYSERR_ALLOCATED, "busy");
  const TMemoryStream a = Pattern(4000);
  EXPECT_FALSE(P().Open());
  EXPECT_EQ(Audio->ErrorMessage(), "Could not open the output device for playing:  busy");
  Audio->SetErrorMessage("");
  P().Play(&a, nullptr, 0);
  EXPECT_EQ(Audio->ErrorMessage(), "Could not open the output device for playing:  busy");
  EXPECT_EQ(Card.OpenWaveDevices(), 0);
  EXPECT_EQ(P().QueuedBytes(), 0u);
}

struct SkippedBuffer {
  const char* Call;
};

class SkippedBuffers : public Player, public ::testing::WithParamInterface<SkippedBuffer> {};

TEST_P(SkippedBuffers, RunGoesOnWithoutTheFailedBuffer) {
  LiveFormat();
  Card.InjectFault(GetParam().Call, MMSYSERR_ERROR, "boom", 1, 1);  // the second buffer
  const TMemoryStream a = Pattern(10000);
  P().Play(&a, nullptr, 0);
  EXPECT_EQ(Audio->ErrorMessage(), " boom");
  EXPECT_EQ(PlayOut(), (std::vector<size_t>{4000, 2000}));
  std::vector<uint8_t> expected(a.Memory(), a.Memory() + 4000);
  expected.insert(expected.end(), a.Memory() + 8000, a.Memory() + 10000);
  EXPECT_EQ(Card.Played(), expected);
  EXPECT_EQ(Played, 1);
}

INSTANTIATE_TEST_SUITE_P(Rows, SkippedBuffers,
                         ::testing::Values(SkippedBuffer{"waveOutPrepareHeader"}, SkippedBuffer{"waveOutWrite"}));

TEST_F(Player, FailedWriteOfTheOnlyBufferLeavesTheDeviceIdleForStop) {
  LiveFormat();
  Card.InjectFault("waveOutWrite", MMSYSERR_ERROR, "boom", 0, 1);
  const TMemoryStream a = Pattern(4000);
  P().Play(&a, nullptr, 0);
  EXPECT_EQ(Audio->ErrorMessage(), " boom");
  Pump();
  EXPECT_TRUE(P().DeviceOpen());
  P().Stop();
  EXPECT_FALSE(P().DeviceOpen());
  EXPECT_EQ(Played, 1);
}

TEST_F(Player, ClosedPlayerSaysSo) {
  P().Stop();
  EXPECT_EQ(Audio->ErrorMessage(), "Player already closed");
  Audio->SetErrorMessage("");
  P().RequestClose();  // as the capability report does after a failed open
  Pump();
  EXPECT_EQ(Audio->ErrorMessage(), "Player already closed");
  EXPECT_EQ(Played, 0);
}

struct CloseFailure {
  const char* Call;
  const char* Message;
};

class CloseFailures : public Player, public ::testing::WithParamInterface<CloseFailure> {};

TEST_P(CloseFailures, DeviceStaysOpenWithoutOnPlayed) {
  LiveFormat();
  Card.InjectFault(GetParam().Call, MMSYSERR_ERROR, "boom");
  const TMemoryStream a = Pattern(4000);
  P().Play(&a, nullptr, 0);
  PlayOut();
  EXPECT_EQ(Audio->ErrorMessage(), GetParam().Message);
  EXPECT_TRUE(P().DeviceOpen());
  EXPECT_EQ(Played, 0);
  // Stop does not wait for ever on a device that will not close.
  Audio->SetErrorMessage("");
  P().Stop();
  EXPECT_EQ(Audio->ErrorMessage(), GetParam().Message);
  EXPECT_TRUE(P().DeviceOpen());
  Card.ClearFaults();
  P().Stop();
  EXPECT_FALSE(P().DeviceOpen());
  EXPECT_EQ(Played, 1);
}

INSTANTIATE_TEST_SUITE_P(Rows, CloseFailures,
                         ::testing::Values(CloseFailure{"waveOutUnprepareHeader",
                                                        "Error unpreparing header for playing:  boom"},
                                           CloseFailure{"waveOutClose", "Error closing output device:  boom"}));

TEST_F(Player, ResetFailureReturnsWithoutWaiting) {
  LiveFormat();
  const TMemoryStream a = Pattern(4000);
  P().Play(&a, nullptr, 0);
  Card.InjectFault("waveOutReset", MMSYSERR_ERROR, "boom", 0, 1);
  P().Stop();
  EXPECT_EQ(Audio->ErrorMessage(), "Error in waveOutReset");
  EXPECT_TRUE(P().DeviceOpen());
  EXPECT_EQ(Card.HeldOutputBuffers(), 1);
}

TEST_F(Player, Volume) {
  P().SetVolume(0x1234, 0xABCD);
  uint16_t l = 0, r = 0;
  P().GetVolume(l, r);
  EXPECT_EQ(l, 0x1234);
  EXPECT_EQ(r, 0xABCD);
  for (const char* call : {"waveOutGetVolume", "waveOutSetVolume"}) {
    Card.InjectFault(call, MMSYSERR_NOTSUPPORTED, "no volume");
    Audio->SetErrorMessage("");
    if (std::string(call) == "waveOutGetVolume")
      P().GetVolume(l, r);
    else
      P().SetVolume(1, 2);
    EXPECT_EQ(Audio->ErrorMessage(), " no volume") << call;
    Card.ClearFaults();
  }
}

}  // namespace
}  // namespace quellmarin::testing

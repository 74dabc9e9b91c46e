#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "AudioFixture.h"

namespace quellmarin::testing {
namespace {

struct Block {
  void* LP;
  void* RP;
  uint16_t Size;
  std::vector<uint8_t> Left, Right;
};

class Recorder : public AudioFixture {
protected:
  Recorder() {
    Audio->OnRecord = [this](TPersistent* Sender, void* LP, void* RP, uint16_t Size) {
      EXPECT_EQ(Sender, Audio->Recorder());
      std::lock_guard<std::mutex> g(Lock);
      Block b{LP, RP, Size, {}, {}};
      if (LP) b.Left.assign(static_cast<uint8_t*>(LP), static_cast<uint8_t*>(LP) + Size);
      if (RP) b.Right.assign(static_cast<uint8_t*>(RP), static_cast<uint8_t*>(RP) + Size);
      Blocks.push_back(std::move(b));
      if (OnBlock) OnBlock(LP, Size);
    };
  }
  size_t Count() {
    std::lock_guard<std::mutex> g(Lock);
    return Blocks.size();
  }
  TRecorder& R() { return *Audio->Recorder(); }

  std::mutex Lock;
  std::vector<Block> Blocks;
  std::function<void(void*, uint16_t)> OnBlock;  // runs on the callback thread
};

// ---- Trigger ---------------------------------------------------------------

struct TriggerCase {
  const char* Name;
  TBPS Bits;
  uint16_t Level;
  std::vector<int> Samples;  // 16-bit: signed values; 8-bit: bytes
  bool Passes;
};

class Trigger : public Recorder, public ::testing::WithParamInterface<TriggerCase> {};

TEST_P(Trigger, ArmedTriggerPassesAtTheFirstSampleAtOrAboveTheLevel) {
  const TriggerCase& c = GetParam();
  Audio->Recorder()->SetBitsPerSample(c.Bits);
  std::vector<uint8_t> block;
  for (int v : c.Samples) {
    if (c.Bits == _16) {
      const int16_t s = static_cast<int16_t>(v);
      uint8_t b[2];
      std::memcpy(b, &s, 2);
      block.insert(block.end(), b, b + 2);
    } else {
      block.push_back(static_cast<uint8_t>(v));
    }
  }
  R().SetTrigLevel(c.Level);
  R().SetTriggered(false);
  EXPECT_EQ(R().CheckTrigger(block.data(), static_cast<uint32_t>(block.size())), c.Passes);
  EXPECT_EQ(R().Triggered(), c.Passes);
  // Once passing, every block passes until the owner re-arms.
  if (c.Passes) {
    EXPECT_TRUE(R().CheckTrigger(block.data(), 0));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Trigger,
    ::testing::Values(TriggerCase{"Max199Level200", _16, 200, {0, 199, -500, 199}, false},
                      TriggerCase{"Reaches200", _16, 200, {0, 12, 200, -3}, true},
                      TriggerCase{"OneSidedNegativePeak", _16, 200, {-30000, -200, -32768}, false},
                      TriggerCase{"AllNegativeLevel0", _16, 0, {-1, -2, -32768}, false},
                      TriggerCase{"ZeroLevel0", _16, 0, {-1, 0}, true},
                      TriggerCase{"AllNegativeLevel32767", _16, 32767, {-1, -32768}, false},
                      TriggerCase{"Level32767", _16, 32767, {32767}, true},
                      TriggerCase{"Level40000IsNegative", _16, 40000, {-20000, -1000}, true},
                      TriggerCase{"Level8BitAbove255NeverPasses", _8, 300, {255, 255, 0}, false},
                      TriggerCase{"Level128PassesZeroLevel", _8, 128, {0, 127, 128}, true},
                      TriggerCase{"Level128BelowZeroLevel", _8, 128, {0, 127, 1}, false},
                      TriggerCase{"Level40000Passes8Bit", _8, 40000, {0}, true},
                      TriggerCase{"EmptyBlock", _16, 0, {}, false}),
    [](const ::testing::TestParamInfo<TriggerCase>& i) { return std::string(i.param.Name); });

TEST_F(Recorder, HeldBackBlocksStillReturnTheirSlots) {
  LiveFormat();
  Card.SetSignalSource(TVirtualSoundCard::ssSilence);  // every sample 0
  R().SetTrigLevel(1);
  ASSERT_TRUE(R().Start());
  for (int i = 0; i < 25; ++i) {
    EXPECT_EQ(Card.FillInput(1), 1);
    Pump();
  }
  EXPECT_EQ(Count(), 0u);
  EXPECT_EQ(Card.HeldInputBuffers(), 20);
  R().SetTrigLevel(0);
  Card.FillInput(3);
  EXPECT_EQ(Count(), 3u);
  EXPECT_TRUE(R().Triggered());
  R().SetTrigLevel(1);  // stays passing until re-armed
  Card.FillInput(1);
  EXPECT_EQ(Count(), 4u);
  R().SetTriggered(false);
  Card.FillInput(1);
  EXPECT_EQ(Count(), 4u);
}

// ---- Channel layouts -------------------------------------------------------

TEST_F(Recorder, SplitMovesLeftAndRightApartInPlace) {
  struct Case {
    TBPS Bits;
    std::vector<uint8_t> Frames, Left, Right;
  };
  const Case cases[] = {
      {_8, {1, 2, 3, 4, 5, 6}, {1, 3, 5}, {2, 4, 6}},
      {_16, {1, 2, 3, 4, 5, 6, 7, 8}, {1, 2, 5, 6}, {3, 4, 7, 8}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> lp = c.Frames, rp(c.Frames.size() / 2, 0xEE);
    Audio->Recorder()->SetBitsPerSample(c.Bits);
    uint32_t size = static_cast<uint32_t>(lp.size());
    R().SplitChannelData(lp.data(), rp.data(), size);
    EXPECT_EQ(size, c.Frames.size() / 2);
    EXPECT_EQ(std::vector<uint8_t>(lp.begin(), lp.begin() + size), c.Left);
    EXPECT_EQ(rp, c.Right);
    uint32_t zero = 0;
    R().SplitChannelData(lp.data(), rp.data(), zero);
    EXPECT_EQ(zero, 0u);
  }
}

TEST_F(Recorder, StereoBlocksSplitOrInterleaved) {
  LiveFormat(Stereo, _16);
  // Silence the right channel so the two channels differ.
  const uint32_t volume = Card.ControlID(TVirtualSoundCard::DestRecording, TVirtualSoundCard::OwnLine,
                                         MIXERCONTROL_CONTROLTYPE_VOLUME);
  ASSERT_TRUE(Card.SetControlValue(volume, {65535, 0}));
  R().SetTriggered(true);
  ASSERT_TRUE(R().Start());
  Card.FillInput(1);
  R().SetSplitChannels(true);
  Card.FillInput(1);
  ASSERT_EQ(Count(), 2u);

  const Block& inter = Blocks[0];
  EXPECT_EQ(inter.Size, 8000);
  EXPECT_EQ(inter.RP, nullptr);
  bool leftSound = false;
  for (size_t i = 0; i < 2000; ++i) {
    int16_t l, r;
    std::memcpy(&l, &inter.Left[4 * i], 2);
    std::memcpy(&r, &inter.Left[4 * i + 2], 2);
    leftSound |= l != 0;
    EXPECT_EQ(r, 0) << i;
  }
  EXPECT_TRUE(leftSound);

  const Block& split = Blocks[1];
  EXPECT_EQ(split.Size, 4000);
  ASSERT_NE(split.RP, nullptr);
  EXPECT_EQ(split.Right, std::vector<uint8_t>(4000, 0));
  int nonzero = 0;
  for (size_t i = 0; i < 2000; ++i) {
    int16_t l;
    std::memcpy(&l, &split.Left[2 * i], 2);
    nonzero += l != 0;
  }
  EXPECT_GT(nonzero, 1900);
}

TEST_F(Recorder, MonoNeverSplits) {
  LiveFormat();
  R().SetSplitChannels(true);
  R().SetTriggered(true);
  ASSERT_TRUE(R().Start());
  Card.FillInput(1);
  ASSERT_EQ(Count(), 1u);
  EXPECT_EQ(Blocks[0].RP, nullptr);
  EXPECT_EQ(Blocks[0].Size, 4000);
}

// ---- Ring ------------------------------------------------------------------

TEST_F(Recorder, SlotsCirculateInOrderAndReturnOnlyAfterTheirMessage) {
  LiveFormat();
  Card.SetSignalSource(TVirtualSoundCard::ssSilence);
  R().SetTriggered(true);
  // The handler marks its block; the device must have refilled a slot before
  // it is delivered again.
  OnBlock = [](void* LP, uint16_t Size) {
    for (uint16_t i = 0; i < Size; ++i) EXPECT_EQ(static_cast<uint8_t*>(LP)[i], 0) << "stale slot";
    std::memset(LP, 0x55, Size);
  };
  ASSERT_TRUE(R().Start());
  EXPECT_EQ(Card.HeldInputBuffers(), 20);

  // Without the UI thread, 20 blocks arrive and then the device runs dry.
  EXPECT_EQ(Card.FillInput(19), 19);
  EXPECT_EQ(Card.HeldInputBuffers(), 1);
  EXPECT_EQ(Card.FillInput(5), 1);
  EXPECT_EQ(Card.HeldInputBuffers(), 0);
  EXPECT_EQ(Pump(), 20);
  EXPECT_EQ(Card.HeldInputBuffers(), 20);

  for (int round = 0; round < 3; ++round)
    for (int i = 0; i < 20; ++i) {
      Card.FillInput(1);
      EXPECT_EQ(Card.HeldInputBuffers(), 19);
      Pump();
      EXPECT_EQ(Card.HeldInputBuffers(), 20);
    }
  ASSERT_EQ(Count(), 80u);
  for (size_t i = 0; i < Blocks.size(); ++i) EXPECT_EQ(Blocks[i].LP, Blocks[i % 20].LP) << i;
  for (size_t i = 1; i < 20; ++i) EXPECT_NE(Blocks[i].LP, Blocks[0].LP);
  EXPECT_TRUE(R().Stop());
  EXPECT_EQ(Card.OpenWaveDevices(), 0);
}

TEST_F(Recorder, EmptyBufferIsDeliveredOnlyWhenPassingAndNotHandedBack) {
  LiveFormat();
  R().SetTriggered(true);
  ASSERT_TRUE(R().Start());
  EXPECT_EQ(Card.ReturnInput(0), 1);
  Pump();
  ASSERT_EQ(Count(), 1u);
  EXPECT_EQ(Blocks[0].Size, 0);
  EXPECT_EQ(Card.HeldInputBuffers(), 19);

  R().SetTriggered(false);
  Card.ReturnInput(0);
  Pump();
  EXPECT_EQ(Count(), 1u);
  EXPECT_EQ(Card.HeldInputBuffers(), 18);
}

TEST_F(Recorder, OpenThenCloseDeliversNothing) {
  LiveFormat();
  R().SetTriggered(true);
  ASSERT_TRUE(R().Open());
  EXPECT_EQ(Card.HeldInputBuffers(), 1);
  EXPECT_TRUE(R().Close());
  Pump();
  EXPECT_EQ(Count(), 0u);
  EXPECT_EQ(Card.OpenWaveDevices(), 0);
}

TEST_F(Recorder, StopDropsWhatTheResetReturnsAndAMessageOfTheOldRunIsIgnored) {
  LiveFormat();
  R().SetTriggered(true);
  ASSERT_TRUE(R().Start());
  Card.FillInput(2);
  EXPECT_EQ(Count(), 2u);
  EXPECT_TRUE(R().Stop());
  EXPECT_EQ(Count(), 2u);
  // The two hand-back messages are still waiting; a new run must not take them.
  ASSERT_TRUE(R().Start());
  Pump();
  EXPECT_EQ(Card.HeldInputBuffers(), 20);
  EXPECT_EQ(Audio->ErrorMessage(), "");
}

// ---- Failures --------------------------------------------------------------

enum Action { acStart, acStop, acRecordingHandBack, acStopWhileRecording };

struct RecorderFailure {
  const char* Name;
  const char* Call;  // nullptr: no fault
  int Skip;
  Action Do;
  bool Result;
  bool OpenAfter;
  std::string Message;
};

class RecorderFailures : public Recorder, public ::testing::WithParamInterface<RecorderFailure> {};

TEST_P(RecorderFailures, GiveTheirTextAndState) {
  const RecorderFailure& c = GetParam();
  LiveFormat();
  R().SetTriggered(true);
  if (c.Do == acRecordingHandBack || c.Do == acStopWhileRecording) {
    ASSERT_TRUE(R().Start());
  }
  if (c.Call) Card.InjectFault(c.Call, MMSYSERR_ERROR, "boom", c.Skip);
  bool result = true;
  switch (c.Do) {
    case acStart: result = R().Start(); break;
    case acStop: result = R().Stop(); break;
    case acStopWhileRecording: result = R().Stop(); break;
    case acRecordingHandBack:
      Card.FillInput(1);
      Pump();
      break;
  }
  EXPECT_EQ(result, c.Result);
  EXPECT_EQ(Audio->ErrorMessage(), c.Message);
  EXPECT_EQ(R().DeviceOpen(), c.OpenAfter);
  EXPECT_EQ(Card.OpenWaveDevices(), c.OpenAfter ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RecorderFailures,
    ::testing::Values(
        RecorderFailure{"StopWhileClosed", nullptr, 0, acStop, true, false, "Recorder already closed"},
        RecorderFailure{"OpenFails", "waveInOpen", 0, acStart, false, false,
                        "Could not open the input device for recording:  boom"},
        RecorderFailure{"PrepareFails", "waveInPrepareHeader", 7, acStart, false, false,
                        "Error preparing header for recording:  boom"},
        RecorderFailure{"FirstSlotNotAdded", "waveInAddBuffer", 0, acStart, false, false,
                        "Error adding next input buffer: Error adding input buffer boom"},
        RecorderFailure{"StartFails", "waveInStart", 0, acStart, false, false, "Error starting wave record:  boom"},
        RecorderFailure{"LaterSlotNotAdded", "waveInAddBuffer", 5, acStart, false, false,
                        "Error adding next input buffer: Error adding input buffer boom"},
        RecorderFailure{"HandBackFails", "waveInAddBuffer", 0, acRecordingHandBack, true, false,
                        "Error adding input buffer boom"},
        RecorderFailure{"ResetFails", "waveInReset", 0, acStopWhileRecording, false, true, "Error in waveInReset"},
        RecorderFailure{"UnprepareFails", "waveInUnprepareHeader", 3, acStopWhileRecording, false, true,
                        "Error in waveInUnprepareHeader boom"},
        RecorderFailure{"CloseFails", "waveInClose", 0, acStopWhileRecording, false, true,
                        "Error closing input device"}),
    [](const ::testing::TestParamInfo<RecorderFailure>& i) { return std::string(i.param.Name); });

}  // namespace
}  // namespace quellmarin::testing

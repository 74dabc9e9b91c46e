#include <gtest/gtest.h>

#include <string>

#include "AudioFixture.h"

namespace quellmarin::testing {
namespace {

using AudioSettings = AudioFixture;

TEST_F(AudioSettings, ConstructionDefaults) {
  EXPECT_EQ(Audio->AudioDeviceID(), WAVE_MAPPER);
  EXPECT_EQ(Audio->MixerDeviceID(), 0);
  EXPECT_FALSE(Audio->SeparateCtrls());
  EXPECT_EQ(Audio->Version(), "4.1 (32bit)");
  EXPECT_EQ(Audio->ErrorMessage(), "");
  for (TAudioSettings* s : {static_cast<TAudioSettings*>(Audio->Recorder()),
                            static_cast<TAudioSettings*>(Audio->Player())}) {
    EXPECT_EQ(s->SampleRate(), 11025);
    EXPECT_EQ(s->Channels(), Mono);
    EXPECT_EQ(s->BitsPerSample(), _8);
    EXPECT_EQ(s->NoSamples(), 8192);
    EXPECT_EQ(s->BufferBytes(), 8192);
    EXPECT_TRUE(s->BuffersComplete());
    const WAVEFORMATEX& f = *s->WaveFormat();
    EXPECT_EQ(f.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(f.nChannels, 1);
    EXPECT_EQ(f.nSamplesPerSec, 11025u);
    EXPECT_EQ(f.nBlockAlign, 1);
    EXPECT_EQ(f.nAvgBytesPerSec, 11025u);
    EXPECT_EQ(f.wBitsPerSample, 8);
    EXPECT_EQ(f.cbSize, 0);
  }
  EXPECT_EQ(Audio->Recorder()->TrigLevel(), 0);
  EXPECT_FALSE(Audio->Recorder()->Triggered());
  EXPECT_FALSE(Audio->Recorder()->SplitChannels());
}

TEST_F(AudioSettings, DeviceIdAboveNineIsTheMapperAndVersionIsFixed) {
  Audio->SetAudioDeviceID(9);
  EXPECT_EQ(Audio->AudioDeviceID(), 9u);
  Audio->SetAudioDeviceID(10);
  EXPECT_EQ(Audio->AudioDeviceID(), WAVE_MAPPER);
  Audio->SetAudioDeviceID(0);
  Audio->SetAudioDeviceID(123456);
  EXPECT_EQ(Audio->AudioDeviceID(), WAVE_MAPPER);
  Audio->SetVersion("anything");
  EXPECT_EQ(Audio->Version(), "4.1 (32bit)");
}

TEST_F(AudioSettings, SixteenBitStereoBlockSizes) {
  LiveFormat(Stereo, _16);
  for (TAudioSettings* s : {static_cast<TAudioSettings*>(Audio->Recorder()),
                            static_cast<TAudioSettings*>(Audio->Player())}) {
    EXPECT_EQ(s->BufferBytes(), 8000);
    EXPECT_EQ(s->WaveFormat()->nBlockAlign, 4);
    EXPECT_EQ(s->WaveFormat()->nAvgBytesPerSec, 80000u);
  }
}

TEST_F(AudioSettings, SettingTheCurrentValueRebuildsNothing) {
  // Any rebuild would hit the failing allocation.
  TAudioSettings::InjectAllocationFault(0);
  Audio->Recorder()->SetChannels(Mono);
  Audio->Player()->SetBitsPerSample(_8);
  Audio->Recorder()->SetSampleRate(11025);
  Audio->Recorder()->SetNoSamples(8192);
  Audio->SetAudioDeviceID(WAVE_MAPPER);
  EXPECT_EQ(Audio->ErrorMessage(), "");
  EXPECT_TRUE(Audio->Recorder()->BuffersComplete());
}

TEST_F(AudioSettings, CoupledChannelsFollowThePlayerAndClearTheSplit) {
  Audio->Player()->SetChannels(Stereo);
  EXPECT_EQ(Audio->Recorder()->Channels(), Stereo);
  EXPECT_EQ(Audio->Recorder()->BufferBytes(), 2 * 8192);
  Audio->Recorder()->SetSplitChannels(true);
  EXPECT_TRUE(Audio->Recorder()->SplitChannels());
  Audio->Player()->SetChannels(Mono);
  EXPECT_EQ(Audio->Recorder()->Channels(), Mono);
  EXPECT_FALSE(Audio->Recorder()->SplitChannels());
  Audio->Recorder()->SetSplitChannels(true);  // mono: stays off
  EXPECT_FALSE(Audio->Recorder()->SplitChannels());
}

TEST_F(AudioSettings, SeparateControlsKeepFormatsApartButNotTheBlockLength) {
  Audio->SetSeparateCtrls(true);
  Audio->Player()->SetChannels(Stereo);
  Audio->Recorder()->SetBitsPerSample(_16);
  Audio->Player()->SetSampleRate(22050);
  EXPECT_EQ(Audio->Recorder()->Channels(), Mono);
  EXPECT_EQ(Audio->Player()->BitsPerSample(), _8);
  EXPECT_EQ(Audio->Recorder()->SampleRate(), 11025);
  EXPECT_EQ(Audio->Player()->SampleRate(), 22050);
  Audio->Recorder()->SetNoSamples(1000);
  EXPECT_EQ(Audio->Player()->NoSamples(), 1000);
  EXPECT_EQ(Audio->Player()->BufferBytes(), 2000);    // 8-bit stereo
  EXPECT_EQ(Audio->Recorder()->BufferBytes(), 2000);  // 16-bit mono
}

TEST_F(AudioSettings, WithoutInputDeviceBuffersComeWithTheFirstSetter) {
  Card.SetDeviceCounts(0, 1, 1);
  TAudio audio(nullptr, Card, Queue);
  EXPECT_FALSE(audio.Recorder()->BuffersComplete());
  EXPECT_FALSE(audio.Player()->BuffersComplete());
  EXPECT_FALSE(audio.Recorder()->Start());
  EXPECT_EQ(audio.ErrorMessage(), "No wave buffers for recording");
  audio.Recorder()->SetSampleRate(20000);
  EXPECT_TRUE(audio.Recorder()->BuffersComplete());
  EXPECT_TRUE(audio.Player()->BuffersComplete());
}

// Allocation order: format, then per slot header, data, split.
struct AllocationCase {
  int Skip;
  const char* Message;
};

class AllocationFailure : public AudioFixture, public ::testing::WithParamInterface<AllocationCase> {};

TEST_P(AllocationFailure, SetterCompletesAndOpenRefusesThePartialRing) {
  TAudioSettings::InjectAllocationFault(GetParam().Skip);
  Audio->SetSeparateCtrls(true);
  Audio->Player()->SetSampleRate(20000);
  EXPECT_EQ(Audio->ErrorMessage(), GetParam().Message);
  EXPECT_EQ(Audio->Player()->SampleRate(), 20000);
  EXPECT_FALSE(Audio->Player()->BuffersComplete());
  EXPECT_FALSE(Audio->Player()->Open());
  EXPECT_EQ(Audio->ErrorMessage(), "No wave buffers for playing");
  EXPECT_EQ(Card.OpenWaveDevices(), 0);
  // The next rebuild frees the partial ring and builds a whole one.
  Audio->Player()->SetSampleRate(11025);
  EXPECT_TRUE(Audio->Player()->BuffersComplete());
  EXPECT_TRUE(Audio->Player()->Open());
}

INSTANTIATE_TEST_SUITE_P(Rows, AllocationFailure,
                         ::testing::Values(AllocationCase{0, "Not enough memory to allocate WaveFormat"},
                                           AllocationCase{1, "Not enough memory to allocate WaveHeader"},
                                           AllocationCase{2, "Not enough memory to allocate Wave Buffer"},
                                           AllocationCase{3, "Not enough memory to allocate Wave Buffer"},
                                           AllocationCase{1 + 3 * 19, "Not enough memory to allocate WaveHeader"},
                                           AllocationCase{3 + 3 * 19, "Not enough memory to allocate Wave Buffer"}));

TEST_F(AudioSettings, BufferBeyondSixteenBitsIsNotBuilt) {
  LiveFormat(Stereo, _16);
  Audio->Recorder()->SetNoSamples(16384);  // 65536 bytes
  EXPECT_EQ(Audio->ErrorMessage(), "Wave buffer larger than 65535 bytes");
  EXPECT_FALSE(Audio->Recorder()->Start());
  EXPECT_EQ(Audio->ErrorMessage(), "No wave buffers for recording");
  Audio->Recorder()->SetNoSamples(16383);
  EXPECT_EQ(Audio->Recorder()->BufferBytes(), 65532);
  EXPECT_TRUE(Audio->Recorder()->Start());
}

TEST_F(AudioSettings, FormatStaysWhileADeviceIsOpen) {
  ASSERT_TRUE(Audio->Recorder()->Start());
  Audio->Recorder()->SetSampleRate(20000);
  EXPECT_EQ(Audio->Recorder()->SampleRate(), 11025);
  EXPECT_EQ(Audio->ErrorMessage(), "The wave format cannot change while the device is open");
  EXPECT_TRUE(Audio->Recorder()->Stop());
}

TEST_F(AudioSettings, EndOfSessionStopsAndDestroysTheComponent) {
  TComponent owner(nullptr);
  auto* audio = new TAudio(&owner, Card, Queue);
  ASSERT_TRUE(audio->Recorder()->Start());
  TMemoryStream s = Pattern(100);
  audio->Player()->Play(&s, nullptr, 0);
  EXPECT_EQ(Card.OpenWaveDevices(), 2);
  Queue.PostMessage(audio->Window(), WM_QUERYENDSESSION);
  Pump();
  EXPECT_EQ(Card.OpenWaveDevices(), 0);
  EXPECT_EQ(owner.ComponentCount(), 0);
}

}  // namespace
}  // namespace quellmarin::testing

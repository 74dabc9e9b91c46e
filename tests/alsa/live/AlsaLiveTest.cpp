// The ALSA sound system through a real sound server, PulseAudio and PipeWire
// (with its PulseAudio protocol) in turn, each started for the test (null sink
// at 20 000 Hz mono s16le without rewinds, its monitor as the default source,
// private socket, runtime and home folders; PipeWire also on a private D-Bus
// session bus), with ALSA's default PCM and control routed to it by the pulse
// plugin. What is played comes back through the monitor, the streams are
// named "Quellmarin", and a change of the sink volume (pactl) arrives as a
// mixer notification and changes the recorded amplitude. The overruns and
// underruns of the run are printed and recorded as test properties.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "alsa/PipeWireServer.h"
#include "alsa/PulseServer.h"
#include "soundsystem/alsa/AlsaSoundSystem.h"
#include "tests/soundsystem/ContractTarget.h"

namespace quellmarin::testing {
namespace {

constexpr uint32_t Rate = 20000;
constexpr uint32_t Block = 2000;  // 100 ms
constexpr double Frequency = 1000.0;
constexpr double Amplitude = 8000.0;

// What the input device returned, block by block.
struct TRecording {
  std::mutex Lock;
  std::vector<std::vector<int16_t>> Blocks;
  static void Callback(uintptr_t, uint32_t Msg, uintptr_t Instance, uintptr_t Param1, uintptr_t) {
    if (Msg != MM_WIM_DATA) return;
    auto* r = reinterpret_cast<TRecording*>(Instance);
    auto* h = reinterpret_cast<WAVEHDR*>(Param1);
    const auto* s = reinterpret_cast<const int16_t*>(h->lpData);
    std::lock_guard g(r->Lock);
    r->Blocks.emplace_back(s, s + h->dwBytesRecorded / 2);
  }
};

// Peak amplitude and zero-crossing frequency of a block.
void Measure(const std::vector<int16_t>& B, double& Peak, double& Hz) {
  Peak = 0;
  int crossings = 0;
  for (size_t i = 0; i < B.size(); ++i) {
    Peak = std::max(Peak, std::abs(static_cast<double>(B[i])));
    if (i > 0 && (B[i - 1] < 0) != (B[i] < 0)) ++crossings;
  }
  Hz = crossings / 2.0 / (static_cast<double>(B.size()) / Rate);
}

template <class TServer>
class AlsaLive : public ::testing::Test {
protected:
  void SetUp() override {
    if (!Server.Ready()) GTEST_SKIP() << "no sound server for the live test: " << Server.Why();
  }
  TServer Server;
};

struct TServerNames {
  template <class T>
  static std::string GetName(int) {
    return std::is_same_v<T, TPulseServer> ? "PulseAudio" : "PipeWire";
  }
};
using TServers = ::testing::Types<TPulseServer, TPipeWireServer>;
TYPED_TEST_SUITE(AlsaLive, TServers, TServerNames);

TYPED_TEST(AlsaLive, RecordsWhatItPlaysAndFollowsTheSinkVolume) {
  TAlsaSoundSystem Sys;
  const WAVEFORMATEX Format = PcmFormat(1, 16, Rate);

  // The mixer: a sound server offers the master line and the capture line.
  TCallbackLog MixLog;
  HMIXER Mixer = 0;
  ASSERT_EQ(Sys.mixerOpen(&Mixer, 0, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&MixLog), CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  MIXERLINEA Master;
  Master.dwDestination = 0;
  ASSERT_EQ(Sys.mixerGetLineInfoA(Mixer, &Master, MIXER_GETLINEINFOF_DESTINATION), MMSYSERR_NOERROR);
  EXPECT_STREQ(Master.szName, "Master Volume");
  EXPECT_EQ(Master.cConnections, 0u);
  MIXERLINEA Recording;
  Recording.dwDestination = 1;
  ASSERT_EQ(Sys.mixerGetLineInfoA(Mixer, &Recording, MIXER_GETLINEINFOF_DESTINATION), MMSYSERR_NOERROR);
  EXPECT_STREQ(Recording.szName, "Recording Control");
  MIXERCONTROLA Volume;
  MIXERLINECONTROLSA Query;
  Query.dwLineID = Master.dwLineID;
  Query.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
  Query.cControls = 1;
  Query.pamxctrl = &Volume;
  ASSERT_EQ(Sys.mixerGetLineControlsA(Mixer, &Query, MIXER_GETLINECONTROLSF_ONEBYTYPE), MMSYSERR_NOERROR);

  // Two seconds of a 1 kHz tone out, the monitor in.
  TCallbackLog OutLog;
  TRecording Rec;
  HWAVEOUT Out = 0;
  HWAVEIN In = 0;
  ASSERT_EQ(Sys.waveOutOpen(&Out, WAVE_MAPPER, &Format, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&OutLog),
                            CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  ASSERT_EQ(Sys.waveInOpen(&In, WAVE_MAPPER, &Format, &TRecording::Callback, reinterpret_cast<uintptr_t>(&Rec),
                           CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  const int Blocks = 40;
  TBuffers O(Blocks, Block * 2), I(Blocks, Block * 2);
  for (int b = 0; b < Blocks; ++b) {
    auto* s = reinterpret_cast<int16_t*>(O[b]->lpData);
    for (uint32_t k = 0; k < Block; ++k)
      s[k] = static_cast<int16_t>(std::lround(Amplitude * std::sin(2 * M_PI * Frequency * (b * Block + k) / Rate)));
    ASSERT_EQ(Sys.waveOutPrepareHeader(Out, O[b], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(Sys.waveInPrepareHeader(In, I[b], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(Sys.waveInAddBuffer(In, I[b], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(Sys.waveInStart(In), MMSYSERR_NOERROR);
  for (int b = 0; b < Blocks; ++b) ASSERT_EQ(Sys.waveOutWrite(Out, O[b], sizeof(WAVEHDR)), MMSYSERR_NOERROR);

  // Waits until a recorded block after the first From matches; its index.
  auto WaitForBlock = [&](size_t From, double Low, double High, double& Peak, double& Hz) -> int {
    const auto End = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    size_t next = From;
    while (std::chrono::steady_clock::now() < End) {
      {
        std::lock_guard g(Rec.Lock);
        for (; next < Rec.Blocks.size(); ++next) {
          if (Rec.Blocks[next].size() != Block) continue;
          Measure(Rec.Blocks[next], Peak, Hz);
          if (Peak >= Low && Peak <= High) return static_cast<int>(next);
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
  };
  double Peak = 0, Hz = 0;
  // The tone may begin within the first loud block: the one after it is
  // tone throughout.
  int Loud = WaitForBlock(0, Amplitude * 0.95, Amplitude * 1.05, Peak, Hz);
  ASSERT_GE(Loud, 0) << "the tone came back at its amplitude";
  const int Onset = Loud;
  Loud = WaitForBlock(static_cast<size_t>(Onset) + 1, Amplitude * 0.95, Amplitude * 1.05, Peak, Hz);
  ASSERT_EQ(Loud, Onset + 1) << "the tone goes on at its amplitude";
  EXPECT_NEAR(Hz, Frequency, 15) << "... and its frequency";
  std::printf("loopback: block %d came back with peak %.0f at %.1f Hz\n", Loud, Peak, Hz);

  // Both streams carry the program's name for the desktop's volume controls.
  const std::string Inputs = Shell("pactl list sink-inputs");
  EXPECT_NE(Inputs.find("application.name = \"Quellmarin\""), std::string::npos) << Inputs;
  const std::string Outputs = Shell("pactl list source-outputs");
  EXPECT_NE(Outputs.find("application.name = \"Quellmarin\""), std::string::npos) << Outputs;

  // The sink at 50 % (a cubic volume: 1/8 of the amplitude) is a change of
  // the master volume and a quieter recording.
  ASSERT_EQ(Shell("pactl set-sink-volume qmsink 50%"), "");
  const auto End = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  bool Notified = false;
  while (!Notified && std::chrono::steady_clock::now() < End) {
    for (auto& e : MixLog.Snapshot()) Notified = Notified || e.Param2 == Volume.dwControlID;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(Notified) << "the master volume's change notification";
  uint32_t Level = 0;
  MIXERCONTROLDETAILS Details;
  Details.dwControlID = Volume.dwControlID;
  Details.cChannels = 1;
  Details.paDetails = &Level;
  ASSERT_EQ(Sys.mixerGetControlDetailsA(Mixer, &Details, MIXER_GETCONTROLDETAILSF_VALUE), MMSYSERR_NOERROR);
  EXPECT_NEAR(Level, 32768, 2);
  int Quiet = WaitForBlock(static_cast<size_t>(Loud) + 1, Amplitude / 8 * 0.9, Amplitude / 8 * 1.1, Peak, Hz);
  EXPECT_GT(Quiet, Loud) << "the recording became quieter";
  EXPECT_NEAR(Hz, Frequency, 15);
  std::printf("loopback: sink at 50 %%: master volume %u, block %d with peak %.0f at %.1f Hz; %u underruns, %u overruns\n",
              Level, Quiet, Peak, Hz, Sys.Underruns(), Sys.Overruns());
  ::testing::Test::RecordProperty("underruns", static_cast<int>(Sys.Underruns()));
  ::testing::Test::RecordProperty("overruns", static_cast<int>(Sys.Overruns()));

  ASSERT_EQ(Sys.waveOutReset(Out), MMSYSERR_NOERROR);
  ASSERT_EQ(Sys.waveInReset(In), MMSYSERR_NOERROR);
  for (int b = 0; b < Blocks; ++b) {
    EXPECT_EQ(Sys.waveOutUnprepareHeader(Out, O[b], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(Sys.waveInUnprepareHeader(In, I[b], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  EXPECT_EQ(Sys.waveOutClose(Out), MMSYSERR_NOERROR);
  EXPECT_EQ(Sys.waveInClose(In), MMSYSERR_NOERROR);
  EXPECT_EQ(Sys.mixerClose(Mixer), MMSYSERR_NOERROR);
}

}  // namespace
}  // namespace quellmarin::testing

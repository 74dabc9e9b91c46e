// The virtual sound card's own behaviour: fault injection, vanishing devices,
// signal sources, the mixer acting on the signal, and real-time pacing.

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <unistd.h>

#include "soundsystem/virtual/VirtualSoundCard.h"
#include "tests/soundsystem/ContractTarget.h"

namespace quellmarin::testing {
namespace {

using Card = TVirtualSoundCard;

// An open input, output and mixer on a card, with prepared headers.
struct TRig {
  explicit TRig(Card::TClock Clock = Card::ckManual, WAVEFORMATEX F = PcmFormat(1, 16, 20000))
      : Format(F), I(3, 2000u * F.nBlockAlign), O(3, 2000u * F.nBlockAlign), C(Clock) {}
  // The card goes first at destruction, while the logs and buffers it may
  // still return to exist.
  WAVEFORMATEX Format;
  TCallbackLog InLog, OutLog, MixLog;
  TBuffers I, O;
  Card C;
  HWAVEIN In = 0;
  HWAVEOUT Out = 0;
  HMIXER Mixer = 0;

  void OpenIn() {
    ASSERT_EQ(C.waveInOpen(&In, 0, &Format, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&InLog),
                           CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(C.waveInPrepareHeader(In, I[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  void OpenOut() {
    ASSERT_EQ(C.waveOutOpen(&Out, 0, &Format, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&OutLog),
                            CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(C.waveOutPrepareHeader(Out, O[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  void OpenMixer() {
    ASSERT_EQ(C.mixerOpen(&Mixer, 0, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&MixLog),
                          CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
  }
  // Records one block through the first input buffer (manual clock).
  std::vector<int16_t> Record() {
    EXPECT_EQ(C.waveInAddBuffer(In, I[0], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(C.waveInStart(In), MMSYSERR_NOERROR);
    EXPECT_EQ(C.FillInput(1), 1);
    const auto* p = reinterpret_cast<const int16_t*>(I[0]->lpData);
    return std::vector<int16_t>(p, p + I[0]->dwBytesRecorded / 2);
  }
  // Plays one block of samples through the first output buffer (manual clock)
  // and returns what the card played.
  std::vector<int16_t> Play(const std::vector<int16_t>& Samples) {
    C.ClearPlayed();
    std::memcpy(O[0]->lpData, Samples.data(), Samples.size() * 2);
    O[0]->dwBufferLength = static_cast<uint32_t>(Samples.size() * 2);
    EXPECT_EQ(C.waveOutWrite(Out, O[0], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(C.FinishOutput(1), 1);
    const std::vector<uint8_t> b = C.Played();
    std::vector<int16_t> r(b.size() / 2);
    if (!r.empty()) std::memcpy(r.data(), b.data(), r.size() * 2);
    return r;
  }
  void SetControl(uint32_t Destination, uint32_t Source, uint32_t Type, std::vector<uint32_t> Values) {
    MIXERCONTROLDETAILS d;
    d.dwControlID = C.ControlID(Destination, Source, Type);
    ASSERT_NE(d.dwControlID, 0u);
    d.cChannels = static_cast<uint32_t>(Values.size());
    d.paDetails = Values.data();
    ASSERT_EQ(C.mixerSetControlDetails(Mixer, &d, MIXER_SETCONTROLDETAILSF_VALUE), MMSYSERR_NOERROR);
  }
};

// A temporary 16-bit mono WAV file.
struct TWavFile {
  std::string Path;
  TWavFile(const std::vector<int16_t>& Samples, int Rate) {
    Path = (std::filesystem::temp_directory_path() / ("qm_virtual_" + std::to_string(getpid()) + ".wav")).string();
    SF_INFO Info{};
    Info.samplerate = Rate;
    Info.channels = 1;
    Info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(Path.c_str(), SFM_WRITE, &Info);
    EXPECT_NE(f, nullptr);
    sf_write_short(f, Samples.data(), static_cast<sf_count_t>(Samples.size()));
    sf_close(f);
  }
  ~TWavFile() { std::remove(Path.c_str()); }
};

// ---------------------------------------------------------------------------
// Fault injection: every call the audio layer makes can be made to fail with
// a chosen code and text, without side effects, and works again once cleared.

struct TFaultCase {
  const char* Call;
  std::function<MMRESULT(TRig&)> Make;
};

TEST(VirtualSoundCard, EveryCallFailsOnDemandAndRecovers) {
  const std::vector<TFaultCase> Cases = {
      {"waveInOpen",
       [](TRig& r) {
         return r.C.waveInOpen(&r.In, 0, &r.Format, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&r.InLog),
                               CALLBACK_FUNCTION);
       }},
      {"waveInPrepareHeader", [](TRig& r) { return r.C.waveInPrepareHeader(r.In, r.I[0], sizeof(WAVEHDR)); }},
      {"waveInAddBuffer", [](TRig& r) { return r.C.waveInAddBuffer(r.In, r.I[0], sizeof(WAVEHDR)); }},
      {"waveInStart", [](TRig& r) { return r.C.waveInStart(r.In); }},
      {"waveInReset", [](TRig& r) { return r.C.waveInReset(r.In); }},
      {"waveInUnprepareHeader", [](TRig& r) { return r.C.waveInUnprepareHeader(r.In, r.I[0], sizeof(WAVEHDR)); }},
      {"waveInClose", [](TRig& r) { return r.C.waveInClose(r.In); }},
      {"waveInGetDevCapsA",
       [](TRig& r) {
         WAVEINCAPSA c;
         return r.C.waveInGetDevCapsA(0, &c, sizeof c);
       }},
      {"waveOutOpen",
       [](TRig& r) {
         return r.C.waveOutOpen(&r.Out, 0, &r.Format, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&r.OutLog),
                                CALLBACK_FUNCTION);
       }},
      {"waveOutPrepareHeader", [](TRig& r) { return r.C.waveOutPrepareHeader(r.Out, r.O[0], sizeof(WAVEHDR)); }},
      {"waveOutWrite", [](TRig& r) { return r.C.waveOutWrite(r.Out, r.O[0], sizeof(WAVEHDR)); }},
      {"waveOutReset", [](TRig& r) { return r.C.waveOutReset(r.Out); }},
      {"waveOutUnprepareHeader",
       [](TRig& r) { return r.C.waveOutUnprepareHeader(r.Out, r.O[0], sizeof(WAVEHDR)); }},
      {"waveOutClose", [](TRig& r) { return r.C.waveOutClose(r.Out); }},
      {"waveOutGetVolume",
       [](TRig& r) {
         uint32_t v;
         return r.C.waveOutGetVolume(0, &v);
       }},
      {"waveOutSetVolume", [](TRig& r) { return r.C.waveOutSetVolume(0, 0x80008000u); }},
      {"waveOutGetDevCapsA",
       [](TRig& r) {
         WAVEOUTCAPSA c;
         return r.C.waveOutGetDevCapsA(0, &c, sizeof c);
       }},
      {"mixerGetDevCapsA",
       [](TRig& r) {
         MIXERCAPSA c;
         return r.C.mixerGetDevCapsA(0, &c, sizeof c);
       }},
      {"mixerOpen", [](TRig& r) { return r.C.mixerOpen(&r.Mixer, 0, nullptr, 0, CALLBACK_NULL); }},
      {"mixerGetLineInfoA",
       [](TRig& r) {
         MIXERLINEA l;
         return r.C.mixerGetLineInfoA(r.Mixer, &l, MIXER_GETLINEINFOF_DESTINATION);
       }},
      {"mixerGetLineControlsA",
       [](TRig& r) {
         MIXERCONTROLA c[3];
         MIXERLINECONTROLSA q;
         q.dwLineID = 0xFFFF0000u;
         q.cControls = 3;
         q.pamxctrl = c;
         return r.C.mixerGetLineControlsA(r.Mixer, &q, MIXER_GETLINECONTROLSF_ALL);
       }},
      {"mixerGetControlDetailsA",
       [](TRig& r) {
         uint32_t v[2];
         MIXERCONTROLDETAILS d;
         d.dwControlID = r.C.ControlID(Card::DestPlayback, Card::OwnLine, MIXERCONTROL_CONTROLTYPE_VOLUME);
         d.cChannels = 2;
         d.paDetails = v;
         return r.C.mixerGetControlDetailsA(r.Mixer, &d, MIXER_GETCONTROLDETAILSF_VALUE);
       }},
      {"mixerSetControlDetails",
       [](TRig& r) {
         uint32_t v = 1;
         MIXERCONTROLDETAILS d;
         d.dwControlID = r.C.ControlID(Card::DestPlayback, Card::SrcWave, MIXERCONTROL_CONTROLTYPE_MUTE);
         d.cChannels = 1;
         d.paDetails = &v;
         return r.C.mixerSetControlDetails(r.Mixer, &d, MIXER_SETCONTROLDETAILSF_VALUE);
       }},
      {"mixerClose", [](TRig& r) { return r.C.mixerClose(r.Mixer); }},
  };
  for (const TFaultCase& c : Cases) {
    SCOPED_TRACE(c.Call);
    TRig r;
    const std::string Call = c.Call;
    if (Call != "waveInOpen") r.OpenIn();
    if (Call != "waveOutOpen") r.OpenOut();
    if (Call != "mixerOpen") r.OpenMixer();
    if (Call == "waveInPrepareHeader") {
      ASSERT_EQ(r.C.waveInUnprepareHeader(r.In, r.I[0], sizeof(WAVEHDR)), 0u);
    }
    if (Call == "waveOutPrepareHeader") {
      ASSERT_EQ(r.C.waveOutUnprepareHeader(r.Out, r.O[0], sizeof(WAVEHDR)), 0u);
    }

    r.C.InjectFault(Call, 4242, "Injected failure of " + Call);
    EXPECT_EQ(c.Make(r), 4242u);
    EXPECT_EQ(c.Make(r), 4242u) << "fails until cleared";
    char Text[MAXERRORLENGTH];
    ASSERT_EQ(r.C.waveInGetErrorTextA(4242, Text, sizeof Text), MMSYSERR_NOERROR);
    EXPECT_EQ(std::string(Text), "Injected failure of " + Call);
    ASSERT_EQ(r.C.waveOutGetErrorTextA(4242, Text, sizeof Text), MMSYSERR_NOERROR);
    EXPECT_EQ(std::string(Text), "Injected failure of " + Call);
    r.C.ClearFault(Call);
    EXPECT_EQ(c.Make(r), MMSYSERR_NOERROR) << "the failed call left nothing behind";
  }
}

TEST(VirtualSoundCard, FaultAfterSkipForGivenTimesAndDefaultText) {
  TRig r;
  r.OpenIn();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(r.C.waveInUnprepareHeader(r.In, r.I[i], sizeof(WAVEHDR)), 0u);
  r.C.InjectFault("waveInPrepareHeader", 7000, "", 2, 1);  // the third prepare fails, once
  EXPECT_EQ(r.C.waveInPrepareHeader(r.In, r.I[0], sizeof(WAVEHDR)), 0u);
  EXPECT_EQ(r.C.waveInPrepareHeader(r.In, r.I[1], sizeof(WAVEHDR)), 0u);
  EXPECT_EQ(r.C.waveInPrepareHeader(r.In, r.I[2], sizeof(WAVEHDR)), 7000u);
  EXPECT_FALSE(r.I[2]->dwFlags & WHDR_PREPARED);
  EXPECT_EQ(r.C.waveInPrepareHeader(r.In, r.I[2], sizeof(WAVEHDR)), 0u);
  char Text[MAXERRORLENGTH];
  EXPECT_EQ(r.C.waveInGetErrorTextA(7000, Text, sizeof Text), MMSYSERR_NOERROR);
  EXPECT_GT(std::strlen(Text), 0u) << "an injected code always has a text";
  EXPECT_THROW(r.C.InjectFault("waveInFly", 1), std::invalid_argument);
}

// ---------------------------------------------------------------------------
// A device that vanishes mid-run returns what it holds, then reports nothing
// more; the caller can still release it, and nothing hangs.

class VanishTest : public ::testing::TestWithParam<Card::TClock> {};

TEST_P(VanishTest, VanishedDevicesReturnWhatTheyHoldThenFallSilent) {
  TRig r(GetParam());
  r.OpenIn();
  r.OpenOut();
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(r.C.waveInAddBuffer(r.In, r.I[i], sizeof(WAVEHDR)), 0u);
    ASSERT_EQ(r.C.waveOutWrite(r.Out, r.O[i], sizeof(WAVEHDR)), 0u);
  }
  ASSERT_EQ(r.C.waveInStart(r.In), 0u);
  r.C.FillInput(1);  // one block arrives normally (manual clock)

  r.C.VanishInput();
  r.C.VanishOutput();
  EXPECT_EQ(r.InLog.Count(MM_WIM_DATA), 3) << "every held input buffer returned";
  EXPECT_EQ(r.OutLog.Count(MM_WOM_DONE), 3) << "every held output buffer returned";
  EXPECT_EQ(r.C.waveInGetNumDevs(), 0u);
  EXPECT_EQ(r.C.waveOutGetNumDevs(), 0u);

  // Nothing more comes, whatever is tried.
  EXPECT_EQ(r.C.waveInAddBuffer(r.In, r.I[0], sizeof(WAVEHDR)), MMSYSERR_NODRIVER);
  EXPECT_EQ(r.C.waveInStart(r.In), MMSYSERR_NODRIVER);
  EXPECT_EQ(r.C.waveOutWrite(r.Out, r.O[0], sizeof(WAVEHDR)), MMSYSERR_NODRIVER);
  EXPECT_EQ(r.C.FillInput(2), 0);
  EXPECT_EQ(r.C.FinishOutput(2), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(r.InLog.Count(MM_WIM_DATA), 3);
  EXPECT_EQ(r.OutLog.Count(MM_WOM_DONE), 3);

  // Released as usual; close still answers with its notification.
  EXPECT_EQ(r.C.waveInReset(r.In), 0u);
  EXPECT_EQ(r.C.waveOutReset(r.Out), 0u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(r.C.waveInUnprepareHeader(r.In, r.I[i], sizeof(WAVEHDR)), 0u);
    EXPECT_EQ(r.C.waveOutUnprepareHeader(r.Out, r.O[i], sizeof(WAVEHDR)), 0u);
  }
  EXPECT_EQ(r.C.waveInClose(r.In), 0u);
  EXPECT_EQ(r.C.waveOutClose(r.Out), 0u);
  EXPECT_EQ(r.InLog.Snapshot().back().Msg, MM_WIM_CLOSE);
  EXPECT_EQ(r.OutLog.Snapshot().back().Msg, MM_WOM_CLOSE);
  HWAVEIN Again = 0;
  EXPECT_EQ(r.C.waveInOpen(&Again, 0, &r.Format, &TCallbackLog::Callback, 0, CALLBACK_FUNCTION),
            MMSYSERR_BADDEVICEID);
}

INSTANTIATE_TEST_SUITE_P(Clocks, VanishTest, ::testing::Values(Card::ckManual, Card::ckRealTime),
                         [](const auto& Info) { return Info.param == Card::ckManual ? "Manual" : "RealTimeLive"; });

// ---------------------------------------------------------------------------
// Device counts, capabilities, volume and duplex as a test sets them.

TEST(VirtualSoundCard, ReportsTheCountsAndCapabilitiesItIsGiven) {
  Card C(Card::ckManual);
  const WAVEFORMATEX F = PcmFormat();
  HWAVEIN In = 0;
  HWAVEOUT Out = 0;
  HMIXER Mixer = 0;
  WAVEOUTCAPSA OutCaps;
  MIXERCAPSA MixCaps;

  C.SetDeviceCounts(0, 0, 0);
  EXPECT_EQ(C.waveInGetNumDevs() + C.waveOutGetNumDevs() + C.mixerGetNumDevs(), 0u);
  EXPECT_EQ(C.waveInOpen(&In, WAVE_MAPPER, &F, &TCallbackLog::Callback, 0, CALLBACK_FUNCTION), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(C.waveOutOpen(&Out, 0, &F, &TCallbackLog::Callback, 0, CALLBACK_FUNCTION), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(C.waveOutGetDevCapsA(0, &OutCaps, sizeof OutCaps), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(C.mixerOpen(&Mixer, 0, nullptr, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(C.mixerGetDevCapsA(0, &MixCaps, sizeof MixCaps), MMSYSERR_BADDEVICEID);

  C.SetDeviceCounts(2, 3, 1);
  EXPECT_EQ(C.waveInGetNumDevs(), 2u);
  EXPECT_EQ(C.waveOutGetNumDevs(), 3u);
  WAVEOUTCAPSA Given{};
  std::strcpy(Given.szPname, "Half Card");
  Given.dwFormats = WAVE_FORMAT_1M08 | WAVE_FORMAT_2M08;
  Given.dwSupport = 0;
  C.SetOutputCaps(Given);
  ASSERT_EQ(C.waveOutGetDevCapsA(2, &OutCaps, sizeof OutCaps), 0u);
  EXPECT_STREQ(OutCaps.szPname, "Half Card");
  EXPECT_EQ(OutCaps.dwFormats, Given.dwFormats);
  EXPECT_EQ(OutCaps.dwSupport, 0u);

  // A volume that reads back what was set, then one that does not.
  uint32_t v = 0;
  ASSERT_EQ(C.waveOutSetVolume(0, 0x1234ABCDu), 0u);
  ASSERT_EQ(C.waveOutGetVolume(0, &v), 0u);
  EXPECT_EQ(v, 0x1234ABCDu);
  C.SetVolumeSettable(false);
  ASSERT_EQ(C.waveOutSetVolume(0, 0x00000010u), 0u);
  ASSERT_EQ(C.waveOutGetVolume(0, &v), 0u);
  EXPECT_EQ(v, 0x1234ABCDu);

  // Half duplex: input and output cannot be open together.
  C.SetHalfDuplex(true);
  ASSERT_EQ(C.waveOutOpen(&Out, 0, &F, &TCallbackLog::Callback, 0, CALLBACK_FUNCTION), 0u);
  EXPECT_EQ(C.waveInOpen(&In, 0, &F, &TCallbackLog::Callback, 0, CALLBACK_FUNCTION), MMSYSERR_ALLOCATED);
  ASSERT_EQ(C.waveOutClose(Out), 0u);
  EXPECT_EQ(C.waveInOpen(&In, 0, &F, &TCallbackLog::Callback, 0, CALLBACK_FUNCTION), 0u);
  EXPECT_EQ(C.waveInClose(In), 0u);
}

// ---------------------------------------------------------------------------
// Signal sources.

// Amplitude of the component at Frequency in a block (single DFT bin).
double Amplitude(const std::vector<int16_t>& x, double Frequency, double Rate) {
  double re = 0, im = 0;
  for (size_t n = 0; n < x.size(); ++n) {
    const double a = 2 * 3.14159265358979 * Frequency * static_cast<double>(n) / Rate;
    re += x[n] * std::cos(a);
    im += x[n] * std::sin(a);
  }
  return 2 * std::hypot(re, im) / static_cast<double>(x.size()) / 32768.0;
}

double DominantFrequency(const std::vector<int16_t>& x, double Rate, double Exclude) {
  double Best = 0, BestF = 0;
  for (double f = 50; f < 5000; f += 10) {
    if (std::fabs(f - Exclude) < 50) continue;
    const double a = Amplitude(x, f, Rate);
    if (a > Best) Best = a, BestF = f;
  }
  return BestF;
}

TEST(VirtualSoundCard, TestSignalHasToneSweepAndNoise) {
  TRig r;
  r.OpenIn();
  const std::vector<int16_t> First = r.Record();
  ASSERT_EQ(First.size(), 2000u);
  EXPECT_NEAR(Amplitude(First, 1000, 20000), 0.2, 0.02) << "steady 1 kHz tone";
  const double f0 = DominantFrequency(First, 20000, 1000);
  // Five seconds later the sweep has moved well up.
  std::vector<int16_t> Later;
  for (int i = 0; i < 50; ++i) Later = r.Record();
  const double f1 = DominantFrequency(Later, 20000, 1000);
  EXPECT_LT(f0, 200);
  EXPECT_GT(f1, 2 * f0);
  EXPECT_GT(Amplitude(Later, f1, 20000), Amplitude(Later, 1000, 20000)) << "the sweep dominates";
  EXPECT_NE(First, Later);
  int Peak = 0;
  for (int16_t s : Later) Peak = std::max(Peak, std::abs(static_cast<int>(s)));
  EXPECT_LT(Peak, 32767) << "no clipping";
}

TEST(VirtualSoundCard, SoundFileRecordsUnchangedAndRepeats) {
  std::vector<int16_t> Samples(1500);
  for (size_t i = 0; i < Samples.size(); ++i) Samples[i] = static_cast<int16_t>((static_cast<int>(i) * 37) % 60000 - 30000);
  TWavFile File(Samples, 20000);
  TRig r;
  std::string Error;
  EXPECT_FALSE(r.C.LoadSoundFile(File.Path + ".missing", &Error));
  EXPECT_FALSE(Error.empty());
  EXPECT_EQ(r.C.SignalSource(), Card::ssTestSignal) << "a failed load keeps the source";
  ASSERT_TRUE(r.C.LoadSoundFile(File.Path, &Error)) << Error;
  EXPECT_EQ(r.C.SignalSource(), Card::ssSoundFile);
  r.OpenIn();
  const std::vector<int16_t> Block = r.Record();
  ASSERT_EQ(Block.size(), 2000u);
  for (size_t i = 0; i < Block.size(); ++i) ASSERT_EQ(Block[i], Samples[i % Samples.size()]) << "sample " << i;
}

TEST(VirtualSoundCard, LoopbackRecordsWhatWasPlayed) {
  TRig r;
  r.C.SetSignalSource(Card::ssLoopback);
  r.OpenIn();
  r.OpenOut();
  std::vector<int16_t> Block(2000);
  for (size_t i = 0; i < Block.size(); ++i) Block[i] = static_cast<int16_t>(std::lround(8000 * std::sin(0.05 * static_cast<double>(i))));
  EXPECT_EQ(r.Play(Block), Block) << "kept as played";
  EXPECT_EQ(r.Record(), Block);
  EXPECT_EQ(r.Record(), std::vector<int16_t>(2000, 0)) << "nothing played since: silence";

  // A card that keeps nothing of what it plays still loops it back.
  r.C.SetKeepPlayed(false);
  EXPECT_TRUE(r.Play(Block).empty());
  EXPECT_EQ(r.Record(), Block);
}

// ---------------------------------------------------------------------------
// The mixer's volumes and mutes act on what is recorded and played.

struct TMixCase {
  const char* Name;
  std::function<void(TRig&)> Change;
  double RecLeft, RecRight, PlayLeft, PlayRight;
};

TEST(VirtualSoundCard, VolumesAndMutesActOnTheSignal) {
  using C = Card;
  const uint32_t Vol = MIXERCONTROL_CONTROLTYPE_VOLUME, Mute = MIXERCONTROL_CONTROLTYPE_MUTE;
  const std::vector<TMixCase> Cases = {
      {"unchanged", [](TRig&) {}, 1, 1, 1, 1},
      {"recording volume half", [&](TRig& r) { r.SetControl(C::DestRecording, C::OwnLine, Vol, {32768, 32768}); },
       0.5, 0.5, 1, 1},
      {"recording volume left only",
       [&](TRig& r) { r.SetControl(C::DestRecording, C::OwnLine, Vol, {65535, 0}); }, 1, 0, 1, 1},
      {"microphone recording mute", [&](TRig& r) { r.SetControl(C::DestRecording, C::SrcRecMicrophone, Mute, {1}); },
       0, 0, 1, 1},
      {"microphone recording volume (mono line)",
       [&](TRig& r) { r.SetControl(C::DestRecording, C::SrcRecMicrophone, Vol, {16384}); }, 0.25, 0.25, 1, 1},
      {"line in recording mute while the signal enters on the microphone",
       [&](TRig& r) { r.SetControl(C::DestRecording, C::SrcRecLineIn, Mute, {1}); }, 1, 1, 1, 1},
      {"signal on line in, line in muted",
       [&](TRig& r) {
         r.C.SetInputLine(C::SrcRecLineIn);
         r.SetControl(C::DestRecording, C::SrcRecLineIn, Mute, {1});
       },
       0, 0, 1, 1},
      {"wave mute", [&](TRig& r) { r.SetControl(C::DestPlayback, C::SrcWave, Mute, {1}); }, 1, 1, 0, 0},
      {"wave volume right half", [&](TRig& r) { r.SetControl(C::DestPlayback, C::SrcWave, Vol, {65535, 32768}); },
       1, 1, 1, 0.5},
      {"master volume half", [&](TRig& r) { r.SetControl(C::DestPlayback, C::OwnLine, Vol, {32768}); }, 1, 1, 0.5,
       0.5},
      {"master mute", [&](TRig& r) { r.SetControl(C::DestPlayback, C::OwnLine, Mute, {1}); }, 1, 1, 0, 0},
      {"CD audio volume acts on nothing here",
       [&](TRig& r) { r.SetControl(C::DestPlayback, C::SrcCDAudio, Vol, {0, 0}); }, 1, 1, 1, 1},
      {"output device volume left full, right off",
       [](TRig& r) { ASSERT_EQ(r.C.waveOutSetVolume(0, 0x0000FFFFu), 0u); }, 1, 1, 1, 0},
  };
  std::vector<int16_t> Constant(2000, 16384);  // 0.5 of full scale
  TWavFile File(Constant, 20000);
  std::vector<int16_t> Frames(2 * 500);
  for (size_t i = 0; i < Frames.size(); ++i) Frames[i] = 12000;
  for (const TMixCase& c : Cases) {
    SCOPED_TRACE(c.Name);
    TRig r(Card::ckManual, PcmFormat(2, 16, 20000));
    ASSERT_TRUE(r.C.LoadSoundFile(File.Path));
    r.OpenIn();
    r.OpenOut();
    r.OpenMixer();
    c.Change(r);
    const std::vector<int16_t> Rec = r.Record();
    const std::vector<int16_t> Played = r.Play(Frames);
    ASSERT_EQ(Rec.size(), 4000u);
    ASSERT_EQ(Played.size(), Frames.size());
    EXPECT_NEAR(Rec[100], 16384 * c.RecLeft, 2);
    EXPECT_NEAR(Rec[101], 16384 * c.RecRight, 2);
    EXPECT_NEAR(Played[100], 12000 * c.PlayLeft, 2);
    EXPECT_NEAR(Played[101], 12000 * c.PlayRight, 2);
  }
}

// ---------------------------------------------------------------------------
// Mixer layout and notifications.

TEST(VirtualSoundCard, MixerLayoutAsASoundCardHasIt) {
  TRig r;
  r.OpenMixer();
  struct TExpect {
    uint32_t Destination;
    uint32_t Source;  // OwnLine for the destination
    const char* Name;
    uint32_t Channels;
    bool Mute, Meter;
  };
  const TExpect Lines[] = {
      {0, Card::OwnLine, "Volume Control", 2, true, true}, {0, 0, "Wave", 2, true, true},
      {0, 1, "Microphone", 1, true, false},                 {0, 2, "Line In", 2, true, false},
      {0, 3, "CD Audio", 2, false, false},                  {1, Card::OwnLine, "Recording Control", 2, false, true},
      {1, 0, "Microphone", 1, true, false},                 {1, 1, "Line In", 2, true, false},
  };
  for (const TExpect& e : Lines) {
    SCOPED_TRACE(e.Name);
    MIXERLINEA l;
    l.dwDestination = e.Destination;
    l.dwSource = e.Source == Card::OwnLine ? 0 : e.Source;
    ASSERT_EQ(r.C.mixerGetLineInfoA(r.Mixer, &l,
                                    e.Source == Card::OwnLine ? MIXER_GETLINEINFOF_DESTINATION
                                                              : MIXER_GETLINEINFOF_SOURCE),
              0u);
    EXPECT_STREQ(l.szName, e.Name);
    EXPECT_EQ(l.cChannels, e.Channels);
    EXPECT_EQ(l.cControls, 1u + e.Mute + e.Meter);
    EXPECT_NE(r.C.ControlID(e.Destination, e.Source, MIXERCONTROL_CONTROLTYPE_VOLUME), 0u);
    EXPECT_EQ(r.C.ControlID(e.Destination, e.Source, MIXERCONTROL_CONTROLTYPE_MUTE) != 0, e.Mute);
    EXPECT_EQ(r.C.ControlID(e.Destination, e.Source, MIXERCONTROL_CONTROLTYPE_PEAKMETER) != 0, e.Meter);
  }
}

TEST(VirtualSoundCard, ControlChangesAreReportedToEveryHandleOnce) {
  TRig r;
  r.OpenMixer();
  TCallbackLog Second;
  HMIXER Other = 0;
  ASSERT_EQ(r.C.mixerOpen(&Other, 0, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&Second),
                          CALLBACK_FUNCTION),
            0u);
  const uint32_t Mic = r.C.ControlID(Card::DestRecording, Card::SrcRecMicrophone, MIXERCONTROL_CONTROLTYPE_VOLUME);
  const uint32_t Meter = r.C.ControlID(Card::DestRecording, Card::OwnLine, MIXERCONTROL_CONTROLTYPE_PEAKMETER);

  // From outside the program: both handles hear it, with the control's id.
  ASSERT_TRUE(r.C.SetControlValue(Mic, {1000}));
  ASSERT_EQ(r.MixLog.Count(MM_MIXM_CONTROL_CHANGE), 1);
  EXPECT_EQ(r.MixLog.Snapshot()[0].Param2, Mic);
  EXPECT_EQ(r.MixLog.Snapshot()[0].Param1, r.Mixer);
  ASSERT_EQ(Second.Count(MM_MIXM_CONTROL_CHANGE), 1);
  EXPECT_EQ(Second.Snapshot()[0].Param2, Mic);

  // By the program through one handle: the other hears it as well.
  r.SetControl(Card::DestRecording, Card::SrcRecMicrophone, MIXERCONTROL_CONTROLTYPE_VOLUME, {2000});
  EXPECT_EQ(Second.Count(MM_MIXM_CONTROL_CHANGE), 2);
  EXPECT_EQ(r.C.ControlValue(Mic), 2000);

  // The same value again, and peak meters, raise nothing; a meter cannot be set.
  r.SetControl(Card::DestRecording, Card::SrcRecMicrophone, MIXERCONTROL_CONTROLTYPE_VOLUME, {2000});
  EXPECT_FALSE(r.C.SetControlValue(Meter, {5}));
  uint32_t v = 5;
  MIXERCONTROLDETAILS d;
  d.dwControlID = Meter;
  d.cChannels = 1;
  d.paDetails = &v;
  EXPECT_EQ(r.C.mixerSetControlDetails(r.Mixer, &d, MIXER_SETCONTROLDETAILSF_VALUE), MMSYSERR_NOTSUPPORTED);
  d.dwControlID = Mic;
  v = 70000;
  EXPECT_EQ(r.C.mixerSetControlDetails(r.Mixer, &d, MIXER_SETCONTROLDETAILSF_VALUE), MIXERR_INVALVALUE);
  d.cChannels = 2;  // more channels than the mono line has
  EXPECT_EQ(r.C.mixerSetControlDetails(r.Mixer, &d, MIXER_SETCONTROLDETAILSF_VALUE), MMSYSERR_INVALPARAM);
  r.OpenIn();
  r.Record();  // moves the recording meter
  EXPECT_EQ(Second.Count(MM_MIXM_CONTROL_CHANGE), 2);
  EXPECT_EQ(r.MixLog.Count(MM_MIXM_CONTROL_CHANGE), 2);

  ASSERT_EQ(r.C.mixerClose(Other), 0u);
  Second.Closed = true;
  ASSERT_TRUE(r.C.SetControlValue(Mic, {3000}));
  EXPECT_EQ(r.MixLog.Count(MM_MIXM_CONTROL_CHANGE), 3);
  EXPECT_EQ(Second.AfterClose, 0);
}

TEST(VirtualSoundCard, PeakMetersShowTheLastBlock) {
  std::vector<int16_t> Samples(2000, 0);
  Samples[700] = -20000;
  TWavFile File(Samples, 20000);
  TRig r;
  ASSERT_TRUE(r.C.LoadSoundFile(File.Path));
  r.OpenIn();
  r.OpenOut();
  r.OpenMixer();
  const uint32_t RecMeter = r.C.ControlID(Card::DestRecording, Card::OwnLine, MIXERCONTROL_CONTROLTYPE_PEAKMETER);
  const uint32_t OutMeter = r.C.ControlID(Card::DestPlayback, Card::OwnLine, MIXERCONTROL_CONTROLTYPE_PEAKMETER);
  r.Record();
  int32_t Values[2] = {};
  MIXERCONTROLDETAILS d;
  d.dwControlID = RecMeter;
  d.cChannels = 2;
  d.paDetails = Values;
  ASSERT_EQ(r.C.mixerGetControlDetailsA(r.Mixer, &d, MIXER_GETCONTROLDETAILSF_VALUE), 0u);
  EXPECT_EQ(Values[0], 20000);
  EXPECT_EQ(Values[1], 20000);
  r.SetControl(Card::DestPlayback, Card::OwnLine, MIXERCONTROL_CONTROLTYPE_VOLUME, {32768});
  r.Play(std::vector<int16_t>(100, 10000));
  d.dwControlID = OutMeter;
  ASSERT_EQ(r.C.mixerGetControlDetailsA(r.Mixer, &d, MIXER_GETCONTROLDETAILSF_VALUE), 0u);
  EXPECT_NEAR(Values[0], 5000, 1);
}

// ---------------------------------------------------------------------------
// Real time: 2000-sample blocks at 20 000 samples/s arrive at 10 per second,
// with the ring refilled from another thread as the audio layer does; output
// plays at the same pace; close stops everything.

struct TRefill {
  std::mutex Lock;
  std::vector<WAVEHDR*> Returned;
  std::vector<std::chrono::steady_clock::time_point> Times;
  std::atomic<bool> Closed{false};
  std::atomic<int> AfterClose{0};
  static void Callback(uintptr_t, uint32_t Msg, uintptr_t Instance, uintptr_t Param1, uintptr_t) {
    auto* Self = reinterpret_cast<TRefill*>(Instance);
    if (Self->Closed) ++Self->AfterClose;
    if (Msg != MM_WIM_DATA && Msg != MM_WOM_DONE) return;
    std::lock_guard<std::mutex> g(Self->Lock);
    Self->Returned.push_back(reinterpret_cast<WAVEHDR*>(Param1));
    Self->Times.push_back(std::chrono::steady_clock::now());
  }
};

TEST(VirtualSoundCardLive, InputDeliversBlocksAtTheSampleRate) {
  const WAVEFORMATEX F = PcmFormat(1, 16, 20000);
  TRefill R;
  TBuffers B(20, 4000);
  Card C(Card::ckRealTime);
  HWAVEIN In = 0;
  ASSERT_EQ(C.waveInOpen(&In, 0, &F, &TRefill::Callback, reinterpret_cast<uintptr_t>(&R), CALLBACK_FUNCTION), 0u);
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(C.waveInPrepareHeader(In, B[i], sizeof(WAVEHDR)), 0u);
    ASSERT_EQ(C.waveInAddBuffer(In, B[i], sizeof(WAVEHDR)), 0u);
  }
  ASSERT_EQ(C.waveInStart(In), 0u);
  const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(3200);
  size_t Seen = 0;
  while (std::chrono::steady_clock::now() < End) {
    std::vector<WAVEHDR*> Back;
    {
      std::lock_guard<std::mutex> g(R.Lock);
      for (; Seen < R.Returned.size(); ++Seen) Back.push_back(R.Returned[Seen]);
    }
    for (WAVEHDR* h : Back) {
      EXPECT_EQ(h->dwBytesRecorded, 4000u);
      ASSERT_EQ(C.waveInAddBuffer(In, h, sizeof(WAVEHDR)), 0u);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(C.waveInReset(In), 0u);
  std::vector<std::chrono::steady_clock::time_point> Times;
  {
    std::lock_guard<std::mutex> g(R.Lock);
    Times = R.Times;
  }
  for (int i = 0; i < 20; ++i) EXPECT_EQ(C.waveInUnprepareHeader(In, B[i], sizeof(WAVEHDR)), 0u);
  ASSERT_EQ(C.waveInClose(In), 0u);
  R.Closed = true;

  // Full blocks only (the reset returns the rest short): the rate between the
  // first and the last full block.
  ASSERT_GE(Times.size(), 25u);
  const size_t Full = Times.size() - 20;
  const double Seconds = std::chrono::duration<double>(Times[Full - 1] - Times[0]).count();
  const double Rate = static_cast<double>(Full - 1) / Seconds;
  RecordProperty("BlocksPerSecond", std::to_string(Rate));
  EXPECT_NEAR(Rate, 10.0, 1.5) << Full << " blocks in " << Seconds << " s";
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(R.AfterClose, 0);
}

TEST(VirtualSoundCardLive, OutputPlaysAtTheSampleRate) {
  const WAVEFORMATEX F = PcmFormat(1, 16, 20000);
  TRefill R;
  TBuffers B(10, 4000);
  Card C(Card::ckRealTime);
  HWAVEOUT Out = 0;
  ASSERT_EQ(C.waveOutOpen(&Out, 0, &F, &TRefill::Callback, reinterpret_cast<uintptr_t>(&R), CALLBACK_FUNCTION), 0u);
  const auto Start = std::chrono::steady_clock::now();
  for (int i = 0; i < 10; ++i) {
    std::memset(B[i]->lpData, i + 1, 4000);
    ASSERT_EQ(C.waveOutPrepareHeader(Out, B[i], sizeof(WAVEHDR)), 0u);
    ASSERT_EQ(C.waveOutWrite(Out, B[i], sizeof(WAVEHDR)), 0u);
  }
  for (int Waited = 0; Waited < 5000; Waited += 10) {
    {
      std::lock_guard<std::mutex> g(R.Lock);
      if (R.Returned.size() == 10) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  EXPECT_NEAR(Seconds, 1.0, 0.3);
  const std::vector<uint8_t> Played = C.Played();
  ASSERT_EQ(Played.size(), 40000u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(Played[static_cast<size_t>(i) * 4000 + 1234], i + 1) << "in writing order";
  for (int i = 0; i < 10; ++i) EXPECT_EQ(C.waveOutUnprepareHeader(Out, B[i], sizeof(WAVEHDR)), 0u);
  ASSERT_EQ(C.waveOutClose(Out), 0u);
}

// Waits (up to 10 s) until Done holds; false when it never did.
template <class TDone>
bool WaitUntil(TDone Done) {
  for (int Waited = 0; Waited < 10000 && !Done(); Waited += 5) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return Done();
}

// Xruns on the real-time clock: an input without buffers loses frames (one
// overrun until it records again), an output that played all it held and then
// gets a write has played a gap (an underrun); playing to the end, and the
// first write after a reset, are no underrun.
TEST(VirtualSoundCardLive, CountsOverrunsPerStarvationAndUnderrunsPerGap) {
  TRig R(Card::ckRealTime, PcmFormat(1, 16, 20000));
  R.OpenIn();
  R.OpenOut();
  for (int i = 0; i < 3; ++i) R.O[i]->dwBufferLength = 400;  // 10 ms each
  EXPECT_EQ(R.C.XrunCounts().Overruns, 0u);

  ASSERT_EQ(R.C.waveInStart(R.In), MMSYSERR_NOERROR);
  ASSERT_TRUE(WaitUntil([&] { return R.C.XrunCounts().Overruns >= 1; }));
  // Three blocks of 100 ms: while the later two record, the input is fed.
  for (int i = 0; i < 3; ++i) ASSERT_EQ(R.C.waveInAddBuffer(R.In, R.I[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  ASSERT_TRUE(WaitUntil([&] { return R.InLog.Count(MM_WIM_DATA) >= 1; }));
  EXPECT_EQ(R.C.XrunCounts().Overruns, 1u) << "one starvation, one overrun";
  ASSERT_TRUE(WaitUntil([&] { return R.C.XrunCounts().Overruns >= 2; })) << "starved again after recording";
  ASSERT_EQ(R.C.waveInReset(R.In), MMSYSERR_NOERROR);

  ASSERT_EQ(R.C.waveOutWrite(R.Out, R.O[0], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  ASSERT_TRUE(WaitUntil([&] { return R.OutLog.Count(MM_WOM_DONE) == 1; }));
  EXPECT_EQ(R.C.XrunCounts().Underruns, 0u) << "played to its end";
  ASSERT_EQ(R.C.waveOutWrite(R.Out, R.O[1], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  EXPECT_EQ(R.C.XrunCounts().Underruns, 1u) << "a write after running dry";
  ASSERT_TRUE(WaitUntil([&] { return R.OutLog.Count(MM_WOM_DONE) == 2; }));
  ASSERT_EQ(R.C.waveOutReset(R.Out), MMSYSERR_NOERROR);
  ASSERT_EQ(R.C.waveOutWrite(R.Out, R.O[2], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  EXPECT_EQ(R.C.XrunCounts().Underruns, 1u) << "the first write after a reset";
  EXPECT_EQ(R.C.XrunCounts().Overruns, 2u) << "a reset input counts nothing";
}

TEST(VirtualSoundCard, ManualClockCountsNoXruns) {
  TRig R;
  R.OpenIn();
  R.OpenOut();
  R.Record();
  R.Play(std::vector<int16_t>(100, 1));
  R.Play(std::vector<int16_t>(100, 2));
  EXPECT_EQ(R.C.XrunCounts().Overruns, 0u);
  EXPECT_EQ(R.C.XrunCounts().Underruns, 0u);
}

}  // namespace
}  // namespace quellmarin::testing

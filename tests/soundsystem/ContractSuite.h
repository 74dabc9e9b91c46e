#pragma once
// The contract every sound-system implementation keeps, as tests. Include in
// exactly one file of a test executable; instantiate as ContractTarget.h says.

#include "tests/soundsystem/ContractTarget.h"

namespace quellmarin::testing {

// Input: notifications in order (open, data per buffer, close), on a thread of
// the sound system; buffers back in the order added, filled, flags set; no
// callback after close.
TEST_P(SoundSystemContract, InputReturnsBuffersInOrderFilledThenCloses) {
  const WAVEFORMATEX Format = PcmFormat(1, 16, 20000);
  TCallbackLog Log;
  HWAVEIN In = 0;
  ASSERT_EQ(S().waveInOpen(&In, 0, &Format, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&Log),
                           CALLBACK_FUNCTION | WAVE_ALLOWSYNC),
            MMSYSERR_NOERROR);
  EXPECT_EQ(Log.Count(MM_WIM_OPEN), 1) << "open notification delivered before open returns";
  TBuffers B(4, 4000);
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(S().waveInPrepareHeader(In, B[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_TRUE(B[i]->dwFlags & WHDR_PREPARED);
  }
  // Each buffer is added only after the previous one came back, as a
  // recorder's ring does, except that the first two go in together.
  ASSERT_EQ(S().waveInAddBuffer(In, B[0], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  ASSERT_EQ(S().waveInAddBuffer(In, B[1], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  ASSERT_EQ(S().waveInStart(In), MMSYSERR_NOERROR);
  ASSERT_TRUE(WaitFor([&] { return Log.Count(MM_WIM_DATA) >= 1; }));
  ASSERT_EQ(S().waveInAddBuffer(In, B[2], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  ASSERT_EQ(S().waveInAddBuffer(In, B[3], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  ASSERT_TRUE(WaitFor([&] { return Log.Count(MM_WIM_DATA) >= 4; }));

  const std::vector<uintptr_t> Order = Log.Headers(MM_WIM_DATA);
  ASSERT_EQ(Order.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(Order[static_cast<size_t>(i)], B.Address(i)) << "buffer " << i << " out of order";
    EXPECT_EQ(B[i]->dwBytesRecorded, 4000u);
    EXPECT_TRUE(B[i]->dwFlags & WHDR_DONE);
    EXPECT_FALSE(B[i]->dwFlags & WHDR_INQUEUE);
  }
  ASSERT_EQ(S().waveInReset(In), MMSYSERR_NOERROR);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(S().waveInUnprepareHeader(In, B[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_FALSE(B[i]->dwFlags & WHDR_PREPARED);
  }
  ASSERT_EQ(S().waveInClose(In), MMSYSERR_NOERROR);
  Log.Closed = true;
  const auto Entries = Log.Snapshot();
  ASSERT_GE(Entries.size(), 6u);
  EXPECT_EQ(Entries.front().Msg, MM_WIM_OPEN);
  EXPECT_EQ(Entries.back().Msg, MM_WIM_CLOSE) << "close notification delivered before close returns";
  for (auto& e : Entries) EXPECT_NE(e.Thread, std::this_thread::get_id()) << "notification " << e.Msg;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(Log.AfterClose, 0);
  EXPECT_EQ(S().waveInStart(In), MMSYSERR_INVALHANDLE);
}

// A reset returns every held buffer, and its notifications have run when it
// returns; close refuses while buffers are held.
TEST_P(SoundSystemContract, InputResetReturnsEveryHeldBuffer) {
  const WAVEFORMATEX Format = PcmFormat(2, 16, 20000);
  TCallbackLog Log;
  HWAVEIN In = 0;
  ASSERT_EQ(S().waveInOpen(&In, 0, &Format, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&Log),
                           CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  TBuffers B(5, 8000);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(S().waveInPrepareHeader(In, B[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(S().waveInAddBuffer(In, B[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  EXPECT_EQ(S().waveInUnprepareHeader(In, B[0], sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
  EXPECT_EQ(S().waveInClose(In), WAVERR_STILLPLAYING);
  ASSERT_EQ(S().waveInStart(In), MMSYSERR_NOERROR);
  ASSERT_EQ(S().waveInReset(In), MMSYSERR_NOERROR);
  const std::vector<uintptr_t> Order = Log.Headers(MM_WIM_DATA);
  ASSERT_EQ(Order.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Order[static_cast<size_t>(i)], B.Address(i));
    EXPECT_TRUE(B[i]->dwFlags & WHDR_DONE);
    EXPECT_EQ(B[i]->dwBytesRecorded % 4, 0u) << "whole frames only";
    EXPECT_LE(B[i]->dwBytesRecorded, 8000u);
  }
  for (int i = 0; i < 5; ++i) EXPECT_EQ(S().waveInUnprepareHeader(In, B[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  ASSERT_EQ(S().waveInClose(In), MMSYSERR_NOERROR);
  Log.Closed = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(Log.AfterClose, 0);
}

// Output: buffers finish in the order written, each once; a reset finishes
// every held buffer before it returns.
TEST_P(SoundSystemContract, OutputFinishesInWritingOrderAndResetReturnsTheRest) {
  const WAVEFORMATEX Format = PcmFormat(1, 16, 20000);
  TCallbackLog Log;
  HWAVEOUT Out = 0;
  ASSERT_EQ(S().waveOutOpen(&Out, 0, &Format, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&Log),
                            CALLBACK_FUNCTION | WAVE_ALLOWSYNC),
            MMSYSERR_NOERROR);
  EXPECT_EQ(Log.Count(MM_WOM_OPEN), 1);
  TBuffers B(6, 400);  // 10 ms each
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(S().waveOutPrepareHeader(Out, B[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(S().waveOutWrite(Out, B[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  ASSERT_TRUE(WaitFor([&] { return Log.Count(MM_WOM_DONE) >= 3; }));
  // Three more, reset at once: every one comes back, in order, by the time the
  // reset returns.
  for (int i = 3; i < 6; ++i) {
    ASSERT_EQ(S().waveOutPrepareHeader(Out, B[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(S().waveOutWrite(Out, B[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(S().waveOutReset(Out), MMSYSERR_NOERROR);
  const std::vector<uintptr_t> Order = Log.Headers(MM_WOM_DONE);
  ASSERT_EQ(Order.size(), 6u);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(Order[static_cast<size_t>(i)], B.Address(i));
    EXPECT_TRUE(B[i]->dwFlags & WHDR_DONE);
    EXPECT_EQ(S().waveOutUnprepareHeader(Out, B[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(S().waveOutClose(Out), MMSYSERR_NOERROR);
  Log.Closed = true;
  const auto Entries = Log.Snapshot();
  EXPECT_EQ(Entries.front().Msg, MM_WOM_OPEN);
  EXPECT_EQ(Entries.back().Msg, MM_WOM_CLOSE);
  for (auto& e : Entries) EXPECT_NE(e.Thread, std::this_thread::get_id());
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(Log.AfterClose, 0);
}

// Input and output open together, as the duplex check and the running
// program have them.
TEST_P(SoundSystemContract, InputAndOutputRunTogether) {
  const WAVEFORMATEX Format = PcmFormat(1, 16, 20000);
  TCallbackLog InLog, OutLog;
  HWAVEIN In = 0;
  HWAVEOUT Out = 0;
  ASSERT_EQ(S().waveOutOpen(&Out, 0, &Format, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&OutLog),
                            CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  ASSERT_EQ(S().waveInOpen(&In, 0, &Format, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&InLog),
                           CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  TBuffers I(2, 800), O(2, 800);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(S().waveInPrepareHeader(In, I[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(S().waveInAddBuffer(In, I[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(S().waveOutPrepareHeader(Out, O[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(S().waveOutWrite(Out, O[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(S().waveInStart(In), MMSYSERR_NOERROR);
  ASSERT_TRUE(WaitFor([&] { return InLog.Count(MM_WIM_DATA) == 2 && OutLog.Count(MM_WOM_DONE) == 2; }));
  EXPECT_EQ(S().waveInReset(In), MMSYSERR_NOERROR);
  EXPECT_EQ(S().waveOutReset(Out), MMSYSERR_NOERROR);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(S().waveInUnprepareHeader(In, I[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(S().waveOutUnprepareHeader(Out, O[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  EXPECT_EQ(S().waveInClose(In), MMSYSERR_NOERROR);
  EXPECT_EQ(S().waveOutClose(Out), MMSYSERR_NOERROR);
}

// Misuse is refused with the documented codes, and every code has a text.
TEST_P(SoundSystemContract, RefusesMisuseWithCodesThatHaveTexts) {
  const WAVEFORMATEX Good = PcmFormat(1, 16, 20000);
  WAVEFORMATEX Bad = Good;
  Bad.wFormatTag = 3;  // floating point
  TCallbackLog Log;
  const auto Inst = reinterpret_cast<uintptr_t>(&Log);
  HWAVEIN In = 0;
  HWAVEOUT Out = 0;
  std::vector<MMRESULT> Codes;
  auto Expect = [&](MMRESULT Got, MMRESULT Want, const char* What) {
    EXPECT_EQ(Got, Want) << What;
    Codes.push_back(Got);
  };
  Expect(S().waveInOpen(&In, 0, &Bad, &TCallbackLog::Callback, Inst, CALLBACK_FUNCTION), WAVERR_BADFORMAT,
         "float format");
  Expect(S().waveOutOpen(&Out, 1000, &Good, &TCallbackLog::Callback, Inst, CALLBACK_FUNCTION),
         MMSYSERR_BADDEVICEID, "device 1000");
  Expect(S().waveOutOpen(&Out, 0, &Good, nullptr, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR, "format query");
  Expect(S().waveInAddBuffer(12345, nullptr, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE, "no such handle");
  EXPECT_EQ(Log.Count(MM_WIM_OPEN) + Log.Count(MM_WOM_OPEN), 0) << "a refused or query open notifies nothing";

  ASSERT_EQ(S().waveInOpen(&In, WAVE_MAPPER, &Good, &TCallbackLog::Callback, Inst, CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  TBuffers B(1, 4000);
  Expect(S().waveInAddBuffer(In, B[0], sizeof(WAVEHDR)), WAVERR_UNPREPARED, "add unprepared");
  Expect(S().waveInUnprepareHeader(In, B[0], sizeof(WAVEHDR)), MMSYSERR_NOERROR, "unprepare unprepared");
  Expect(S().waveInPrepareHeader(In, B[0], sizeof(WAVEHDR) - 1), MMSYSERR_INVALPARAM, "wrong header size");
  EXPECT_EQ(S().waveInClose(In), MMSYSERR_NOERROR);
  Expect(S().waveInClose(In), MMSYSERR_INVALHANDLE, "closed twice");

  for (MMRESULT c : Codes) {
    if (c == MMSYSERR_NOERROR) continue;
    EXPECT_FALSE(ErrorText(c).empty()) << "code " << c;
    char Out2[MAXERRORLENGTH] = {};
    EXPECT_EQ(S().waveOutGetErrorTextA(c, Out2, sizeof Out2), MMSYSERR_NOERROR);
    EXPECT_GT(std::strlen(Out2), 0u);
  }
  char Small[8];
  std::memset(Small, 'x', sizeof Small);
  EXPECT_EQ(S().waveInGetErrorTextA(WAVERR_BADFORMAT, Small, 5), MMSYSERR_NOERROR);
  EXPECT_EQ(std::strlen(Small), 4u) << "text cut to fit, 0-terminated";
  EXPECT_EQ(Small[5], 'x') << "nothing written past the given size";
  char Text[MAXERRORLENGTH];
  EXPECT_EQ(S().waveInGetErrorTextA(0xDEAD, Text, sizeof Text), MMSYSERR_BADERRNUM);
}

// Output capabilities and volume: a product name, and a volume that can be
// read as one value.
TEST_P(SoundSystemContract, ReportsOutputCapabilitiesAndVolume) {
  ASSERT_GE(S().waveInGetNumDevs(), 1u);
  ASSERT_GE(S().waveOutGetNumDevs(), 1u);
  WAVEOUTCAPSA Caps;
  ASSERT_EQ(S().waveOutGetDevCapsA(0, &Caps, sizeof Caps), MMSYSERR_NOERROR);
  EXPECT_GT(std::strlen(Caps.szPname), 0u);
  EXPECT_LT(std::strlen(Caps.szPname), size_t{MAXPNAMELEN});
  EXPECT_NE(Caps.dwFormats, 0u);
  uint32_t Volume = 0;
  EXPECT_EQ(S().waveOutGetVolume(0, &Volume), MMSYSERR_NOERROR);
  EXPECT_EQ(S().waveOutGetDevCapsA(S().waveOutGetNumDevs(), &Caps, sizeof Caps), MMSYSERR_BADDEVICEID);
}

// Mixer: destinations and sources numbered, line ids unique, every control
// listed and readable; a volume change comes back as a notification with the
// control's id; nothing after close.
TEST_P(SoundSystemContract, MixerListsLinesAndReportsChanges) {
  ASSERT_GE(S().mixerGetNumDevs(), 1u);
  MIXERCAPSA Caps;
  ASSERT_EQ(S().mixerGetDevCapsA(0, &Caps, sizeof Caps), MMSYSERR_NOERROR);
  ASSERT_GE(Caps.cDestinations, 1u);
  TCallbackLog Log;
  HMIXER Mixer = 0;
  ASSERT_EQ(S().mixerOpen(&Mixer, 0, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&Log), CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);

  std::vector<uint32_t> LineIDs;
  uint32_t Volume = 0, VolumeChannels = 0;
  auto Visit = [&](MIXERLINEA& Line) {
    LineIDs.push_back(Line.dwLineID);
    EXPECT_GT(std::strlen(Line.szName), 0u);
    EXPECT_GE(Line.cChannels, 1u);
    if (Line.cControls == 0) return;
    std::vector<MIXERCONTROLA> Controls(Line.cControls);
    MIXERLINECONTROLSA Query;
    Query.dwLineID = Line.dwLineID;
    Query.cControls = Line.cControls;
    Query.pamxctrl = Controls.data();
    ASSERT_EQ(S().mixerGetLineControlsA(Mixer, &Query, MIXER_GETLINECONTROLSF_ALL), MMSYSERR_NOERROR);
    for (auto& c : Controls) {
      if (c.dwControlType != MIXERCONTROL_CONTROLTYPE_VOLUME && c.dwControlType != MIXERCONTROL_CONTROLTYPE_MUTE &&
          c.dwControlType != MIXERCONTROL_CONTROLTYPE_PEAKMETER)
        continue;
      const uint32_t Channels = c.dwControlType == MIXERCONTROL_CONTROLTYPE_MUTE ? 1 : Line.cChannels;
      int32_t Values[8] = {};
      MIXERCONTROLDETAILS d;
      d.dwControlID = c.dwControlID;
      d.cChannels = std::min<uint32_t>(Channels, 8);
      d.paDetails = Values;
      EXPECT_EQ(S().mixerGetControlDetailsA(Mixer, &d, MIXER_GETCONTROLDETAILSF_VALUE), MMSYSERR_NOERROR)
          << Line.szName << " control " << c.dwControlID;
      if (c.dwControlType == MIXERCONTROL_CONTROLTYPE_VOLUME && Volume == 0) {
        Volume = c.dwControlID;
        VolumeChannels = Line.cChannels;
      }
    }
  };
  for (uint32_t d = 0; d < Caps.cDestinations; ++d) {
    MIXERLINEA Dest;
    Dest.dwDestination = d;
    ASSERT_EQ(S().mixerGetLineInfoA(Mixer, &Dest, MIXER_GETLINEINFOF_DESTINATION), MMSYSERR_NOERROR);
    EXPECT_EQ(Dest.dwDestination, d);
    Visit(Dest);
    for (uint32_t s = 0; s < Dest.cConnections; ++s) {
      MIXERLINEA Src;
      Src.dwDestination = d;
      Src.dwSource = s;
      ASSERT_EQ(S().mixerGetLineInfoA(Mixer, &Src, MIXER_GETLINEINFOF_SOURCE), MMSYSERR_NOERROR);
      EXPECT_EQ(Src.dwDestination, d);
      EXPECT_EQ(Src.dwSource, s);
      Visit(Src);
    }
  }
  std::vector<uint32_t> Sorted = LineIDs;
  std::sort(Sorted.begin(), Sorted.end());
  EXPECT_EQ(std::adjacent_find(Sorted.begin(), Sorted.end()), Sorted.end()) << "line ids unique";
  MIXERLINEA Missing;
  Missing.dwDestination = Caps.cDestinations;
  EXPECT_NE(S().mixerGetLineInfoA(Mixer, &Missing, MIXER_GETLINEINFOF_DESTINATION), MMSYSERR_NOERROR);

  if (Volume != 0 && Target->MixerVolumeSettable()) {
    uint32_t Old[8] = {}, New[8] = {};
    MIXERCONTROLDETAILS d;
    d.dwControlID = Volume;
    d.cChannels = std::min<uint32_t>(VolumeChannels, 8);
    d.paDetails = Old;
    ASSERT_EQ(S().mixerGetControlDetailsA(Mixer, &d, MIXER_GETCONTROLDETAILSF_VALUE), MMSYSERR_NOERROR);
    for (uint32_t c = 0; c < d.cChannels; ++c) New[c] = Old[c] >= 32768 ? Old[c] / 2 : Old[c] + 20000;
    d.paDetails = New;
    ASSERT_EQ(S().mixerSetControlDetails(Mixer, &d, MIXER_SETCONTROLDETAILSF_VALUE), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitFor([&] { return Log.Count(MM_MIXM_CONTROL_CHANGE) >= 1; }));
    bool Seen = false;
    for (auto& e : Log.Snapshot()) {
      EXPECT_EQ(e.Msg, uint32_t{MM_MIXM_CONTROL_CHANGE});
      EXPECT_NE(e.Thread, std::this_thread::get_id());
      Seen = Seen || e.Param2 == Volume;
    }
    EXPECT_TRUE(Seen) << "the change names the control";
    uint32_t Back[8] = {};
    d.paDetails = Back;
    ASSERT_EQ(S().mixerGetControlDetailsA(Mixer, &d, MIXER_GETCONTROLDETAILSF_VALUE), MMSYSERR_NOERROR);
    for (uint32_t c = 0; c < d.cChannels; ++c) EXPECT_NEAR(Back[c], New[c], 65535 / 100.0);
    d.paDetails = Old;
    EXPECT_EQ(S().mixerSetControlDetails(Mixer, &d, MIXER_SETCONTROLDETAILSF_VALUE), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(S().mixerClose(Mixer), MMSYSERR_NOERROR);
  Log.Closed = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(Log.AfterClose, 0);
  MIXERLINEA Dest;
  EXPECT_EQ(S().mixerGetLineInfoA(Mixer, &Dest, MIXER_GETLINEINFOF_DESTINATION), MMSYSERR_INVALHANDLE);
}

// Destroying the sound system with devices open and running closes them:
// held buffers come back, the close notifications run, nothing runs after.
TEST_P(SoundSystemContract, DestructionClosesWhatIsOpen) {
  const WAVEFORMATEX Format = PcmFormat(1, 16, 20000);
  TCallbackLog InLog, OutLog, MixLog;
  TBuffers I(3, 4000), O(3, 4000);
  {
    HWAVEIN In = 0;
    HWAVEOUT Out = 0;
    HMIXER Mixer = 0;
    ASSERT_EQ(S().waveInOpen(&In, 0, &Format, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&InLog),
                             CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    ASSERT_EQ(S().waveOutOpen(&Out, 0, &Format, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&OutLog),
                              CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    ASSERT_EQ(S().mixerOpen(&Mixer, 0, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&MixLog),
                            CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(S().waveInPrepareHeader(In, I[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
      ASSERT_EQ(S().waveInAddBuffer(In, I[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
      ASSERT_EQ(S().waveOutPrepareHeader(Out, O[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
      ASSERT_EQ(S().waveOutWrite(Out, O[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(S().waveInStart(In), MMSYSERR_NOERROR);
  }
  Target.reset();
  InLog.Closed = OutLog.Closed = MixLog.Closed = true;
  EXPECT_EQ(InLog.Count(MM_WIM_DATA), 3);
  EXPECT_EQ(OutLog.Count(MM_WOM_DONE), 3);
  EXPECT_EQ(InLog.Snapshot().back().Msg, MM_WIM_CLOSE);
  EXPECT_EQ(OutLog.Snapshot().back().Msg, MM_WOM_CLOSE);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(InLog.AfterClose + OutLog.AfterClose + MixLog.AfterClose, 0);
}

}  // namespace quellmarin::testing

// ALSA wave input and output: the data path through file-backed devices, the
// device list and capabilities, and the devices that fail (missing, busy,
// vanishing, overrunning, suspended).

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "alsa/AlsaTestConfig.h"
#include "soundsystem/alsa/AlsaSoundSystem.h"
#include "tests/soundsystem/ContractTarget.h"

namespace quellmarin::testing {
namespace {

bool WaitUntil(const std::function<bool()>& Done) {
  const auto End = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!Done()) {
    if (std::chrono::steady_clock::now() > End) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class AlsaWave : public ::testing::Test {
protected:
  // The device number whose name ends in Description, or WAVE_MAPPER.
  uint32_t Device(const std::string& Description) {
    for (uint32_t i = 0; i < Sys.waveOutGetNumDevs(); ++i) {
      WAVEOUTCAPSA caps;
      if (Sys.waveOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR &&
          std::string(caps.szPname).find(Description) != std::string::npos)
        return i;
    }
    // A device that refuses to open has no capabilities: count it by position.
    const char* order[] = {"Quellmarin test card", "Busy device", "Vanishing device", "Xrun device",
                           "Suspending device"};
    for (uint32_t i = 0; i < 5; ++i)
      if (Description == order[i]) return i;
    return WAVE_MAPPER;
  }
  std::string Text(MMRESULT Code) {
    char t[MAXERRORLENGTH] = {};
    Sys.waveOutGetErrorTextA(Code, t, sizeof t);
    return t;
  }
  // Opens device DeviceID for input or output, hands over Count buffers of
  // Bytes each (input: started) and waits until all have come back.
  void Run(bool Input, uint32_t DeviceID, int Count, const WAVEFORMATEX& Format, TBuffers& B, TCallbackLog& Log) {
    uintptr_t h = 0;
    MMRESULT r = Input ? Sys.waveInOpen(&h, DeviceID, &Format, &TCallbackLog::Callback,
                                        reinterpret_cast<uintptr_t>(&Log), CALLBACK_FUNCTION)
                       : Sys.waveOutOpen(&h, DeviceID, &Format, &TCallbackLog::Callback,
                                         reinterpret_cast<uintptr_t>(&Log), CALLBACK_FUNCTION);
    ASSERT_EQ(r, MMSYSERR_NOERROR) << Text(r);
    for (int i = 0; i < Count; ++i)
      ASSERT_EQ(Input ? Sys.waveInPrepareHeader(h, B[i], sizeof(WAVEHDR)) : Sys.waveOutPrepareHeader(h, B[i], sizeof(WAVEHDR)),
                MMSYSERR_NOERROR);
    for (int i = 0; i < Count; ++i) {
      ASSERT_EQ(Input ? Sys.waveInAddBuffer(h, B[i], sizeof(WAVEHDR)) : Sys.waveOutWrite(h, B[i], sizeof(WAVEHDR)),
                MMSYSERR_NOERROR);
    }
    if (Input) {
      ASSERT_EQ(Sys.waveInStart(h), MMSYSERR_NOERROR);
    }
    const uint32_t Done = Input ? MM_WIM_DATA : MM_WOM_DONE;
    ASSERT_TRUE(WaitUntil([&] { return Log.Count(Done) == Count; })) << Log.Count(Done) << " of " << Count;
    Handle = h;
  }

  TAlsaTestConfig Config;
  TAlsaSoundSystem Sys;
  uintptr_t Handle = 0;
};

// Recording hands over the input file's bytes in order, whatever the format;
// playing writes the buffers' bytes in order.
TEST_F(AlsaWave, RecordsAndPlaysTheBytesInOrder) {
  const std::vector<char> Input = TAlsaTestConfig::ReadFile(Config.Input());
  for (auto [Channels, Bits] : {std::pair<uint16_t, uint16_t>{1, 16}, {2, 16}, {1, 8}, {2, 8}}) {
    SCOPED_TRACE(std::to_string(Channels) + " channels, " + std::to_string(Bits) + " bits");
    const WAVEFORMATEX Format = PcmFormat(Channels, Bits, 20000);
    TBuffers B(5, 4002);  // not a whole number of stereo 16-bit frames
    TCallbackLog Log;
    Run(true, WAVE_MAPPER, 5, Format, B, Log);
    const uint32_t Full = 4002 / Format.nBlockAlign * Format.nBlockAlign;
    std::vector<char> Got;
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(B[i]->dwBytesRecorded, Full);
      Got.insert(Got.end(), B[i]->lpData, B[i]->lpData + B[i]->dwBytesRecorded);
    }
    EXPECT_TRUE(std::equal(Got.begin(), Got.end(), Input.begin())) << "the input file's bytes, in order";
    EXPECT_EQ(Log.Headers(MM_WIM_DATA), (std::vector<uintptr_t>{B.Address(0), B.Address(1), B.Address(2), B.Address(3), B.Address(4)}));
    EXPECT_EQ(Sys.waveInClose(Handle), MMSYSERR_NOERROR);
  }

  const WAVEFORMATEX Format = PcmFormat(1, 16, 20000);
  TBuffers B(4, 4000);
  for (int i = 0; i < 4; ++i)
    for (uint32_t k = 0; k < 4000; ++k) B[i]->lpData[k] = static_cast<char>(i * 31 + k * 7);
  B[3]->dwBufferLength = 1001;  // half a frame at the end is not played
  TCallbackLog Log;
  Run(false, WAVE_MAPPER, 4, Format, B, Log);
  ASSERT_EQ(Sys.waveOutClose(Handle), MMSYSERR_NOERROR);
  std::vector<char> Want;
  for (int i = 0; i < 4; ++i) Want.insert(Want.end(), B[i]->lpData, B[i]->lpData + (i == 3 ? 1000 : 4000));
  EXPECT_EQ(TAlsaTestConfig::ReadFile(Config.Output()), Want);
}

// The capture delay is ALSA's once a buffer has filled, for input handles
// only; a closed or unknown handle has none.
TEST_F(AlsaWave, CaptureDelayOnceABufferFilled) {
  int64_t Frames = -1;
  EXPECT_FALSE(Sys.CaptureDelay(0x1234, Frames));
  EXPECT_EQ(Frames, 0);
  const WAVEFORMATEX Format = PcmFormat(1, 16, 20000);
  TBuffers B(2, 4000);
  TCallbackLog Log;
  Run(true, WAVE_MAPPER, 2, Format, B, Log);
  Frames = -1;
  EXPECT_TRUE(Sys.CaptureDelay(Handle, Frames));
  EXPECT_GE(Frames, 0);
  ASSERT_EQ(Sys.waveInClose(Handle), MMSYSERR_NOERROR);
  EXPECT_FALSE(Sys.CaptureDelay(Handle, Frames));

  TCallbackLog OutLog;
  Run(false, WAVE_MAPPER, 2, Format, B, OutLog);
  EXPECT_FALSE(Sys.CaptureDelay(Handle, Frames)) << "an output handle";
  ASSERT_EQ(Sys.waveOutClose(Handle), MMSYSERR_NOERROR);
}

// The device list leaves out "default" and "null"; the capabilities name the
// device and list what it takes; its volume is the card's PCM control.
TEST_F(AlsaWave, ListsDevicesWithCapabilitiesAndVolume) {
  EXPECT_EQ(Sys.waveOutGetNumDevs(), 5u);
  EXPECT_EQ(Sys.waveInGetNumDevs(), 5u);
  WAVEOUTCAPSA Out;
  ASSERT_EQ(Sys.waveOutGetDevCapsA(0, &Out, sizeof Out), MMSYSERR_NOERROR);
  EXPECT_STREQ(Out.szPname, "ALSA Quellmarin test card");
  EXPECT_EQ(Out.dwFormats, 0xFFFu) << "a file device takes every rate, width and channel count";
  EXPECT_EQ(Out.wChannels, 2);
  EXPECT_EQ(Out.dwSupport, uint32_t{WAVECAPS_VOLUME | WAVECAPS_LRVOLUME});
  WAVEINCAPSA In;
  ASSERT_EQ(Sys.waveInGetDevCapsA(WAVE_MAPPER, &In, sizeof In), MMSYSERR_NOERROR);
  EXPECT_STREQ(In.szPname, "ALSA default device");
  EXPECT_EQ(In.dwFormats, 0xFFFu);

  // The volume reads back what was set, on both devices that reach the card.
  for (uint32_t id : {0u, WAVE_MAPPER}) {
    for (uint32_t v : {0x4000C000u, 0xFFFF0000u, 0x000AFFFFu}) {
      ASSERT_EQ(Sys.waveOutSetVolume(id, v), MMSYSERR_NOERROR);
      uint32_t back = 0;
      ASSERT_EQ(Sys.waveOutGetVolume(id, &back), MMSYSERR_NOERROR);
      EXPECT_EQ(back, v) << std::hex << v;
    }
  }
  // ... and lands on the card's PCM control (0 .. 100).
  ASSERT_EQ(Sys.waveOutSetVolume(0, 0xFFFF0000u), MMSYSERR_NOERROR);
  const std::vector<char> State = TAlsaTestConfig::ReadFile(Config.State());
  EXPECT_NE(std::string(State.begin(), State.end()).find("PCM Playback Volume=0,100"), std::string::npos);
}

// Devices that cannot be opened give ALSA's reason, the step and the device.
TEST_F(AlsaWave, OpenFailuresNameStepDeviceAndReason) {
  const WAVEFORMATEX Format = PcmFormat(1, 16, 20000);
  TCallbackLog Log;
  HWAVEOUT Out = 0;
  HWAVEIN In = 0;
  MMRESULT r = Sys.waveOutOpen(&Out, Device("Busy device"), &Format, &TCallbackLog::Callback,
                               reinterpret_cast<uintptr_t>(&Log), CALLBACK_FUNCTION);
  EXPECT_NE(r, MMSYSERR_NOERROR);
  EXPECT_EQ(Text(r), "Could not open ALSA playback device \"qmbusy\": Device or resource busy");
  WAVEOUTCAPSA Caps;
  r = Sys.waveOutGetDevCapsA(Device("Busy device"), &Caps, sizeof Caps);
  EXPECT_EQ(Text(r), "Could not open ALSA playback device \"qmbusy\": Device or resource busy");

  TAlsaSoundSystem Missing("qm_no_such_device", "qm_no_such_control");
  r = Missing.waveInOpen(&In, WAVE_MAPPER, &Format, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&Log),
                         CALLBACK_FUNCTION);
  char t[MAXERRORLENGTH];
  Missing.waveInGetErrorTextA(r, t, sizeof t);
  EXPECT_STREQ(t, "Could not open ALSA capture device \"qm_no_such_device\": No such file or directory");
  r = Missing.waveOutSetVolume(WAVE_MAPPER, 0);
  Missing.waveOutGetErrorTextA(r, t, sizeof t);
  EXPECT_STREQ(t, "Could not open ALSA mixer \"qm_no_such_control\": No such file or directory");
  EXPECT_EQ(Missing.mixerGetNumDevs(), 0u);
  EXPECT_EQ(Log.Count(MM_WIM_OPEN) + Log.Count(MM_WOM_OPEN), 0);
}

// A device that disappears returns every buffer it holds (input: with what it
// had recorded), then refuses new work; reset, unprepare and close still work.
TEST_F(AlsaWave, VanishingDeviceReturnsBuffersAndRests) {
  const WAVEFORMATEX Format = PcmFormat(1, 16, 20000);
  const uint32_t Device_ = Device("Vanishing device");  // gone after 6000 frames
  {
    SCOPED_TRACE("input");
    TBuffers B(5, 4000);  // 2000 frames each
    TCallbackLog Log;
    Run(true, Device_, 5, Format, B, Log);
    const HWAVEIN h = Handle;
    EXPECT_EQ(Log.Headers(MM_WIM_DATA),
              (std::vector<uintptr_t>{B.Address(0), B.Address(1), B.Address(2), B.Address(3), B.Address(4)}));
    EXPECT_EQ(B[0]->dwBytesRecorded, 4000u);
    EXPECT_EQ(B[4]->dwBytesRecorded, 0u) << "a buffer never reached comes back empty";
    uint32_t total = 0;
    for (int i = 0; i < 5; ++i) total += B[i]->dwBytesRecorded;
    EXPECT_LE(total, 12000u);
    EXPECT_NE(Sys.LastDeviceError().find("No such device"), std::string::npos) << Sys.LastDeviceError();
    TBuffers More(1, 4000);
    EXPECT_EQ(Sys.waveInPrepareHeader(h, More[0], sizeof(WAVEHDR)), MMSYSERR_NODRIVER);
    EXPECT_EQ(Sys.waveInAddBuffer(h, B[0], sizeof(WAVEHDR)), MMSYSERR_NODRIVER);
    EXPECT_EQ(Sys.waveInStart(h), MMSYSERR_NODRIVER);
    EXPECT_EQ(Sys.waveInReset(h), MMSYSERR_NOERROR);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Sys.waveInUnprepareHeader(h, B[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(Sys.waveInClose(h), MMSYSERR_NOERROR);
    EXPECT_EQ(Log.Snapshot().back().Msg, MM_WIM_CLOSE);
  }
  {
    SCOPED_TRACE("output");
    // Playback goes on while buffers are written: the device may vanish
    // before the last ones, which are then refused.
    TBuffers B(6, 4000);
    TCallbackLog Log;
    HWAVEOUT h = 0;
    ASSERT_EQ(Sys.waveOutOpen(&h, Device_, &Format, &TCallbackLog::Callback, reinterpret_cast<uintptr_t>(&Log),
                              CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    for (int i = 0; i < 6; ++i) ASSERT_EQ(Sys.waveOutPrepareHeader(h, B[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    int written = 0;
    while (written < 6 && Sys.waveOutWrite(h, B[written], sizeof(WAVEHDR)) == MMSYSERR_NOERROR) ++written;
    EXPECT_GE(written, 3) << "the first 6000 frames play";
    ASSERT_TRUE(WaitUntil([&] { return Sys.waveOutWrite(h, B[5], sizeof(WAVEHDR)) == MMSYSERR_NODRIVER; }));
    std::vector<uintptr_t> Want;
    for (int i = 0; i < written; ++i) Want.push_back(B.Address(i));
    EXPECT_EQ(Log.Headers(MM_WOM_DONE), Want) << "every written buffer back, in order";
    EXPECT_EQ(Sys.waveOutReset(h), MMSYSERR_NOERROR);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(Sys.waveOutUnprepareHeader(h, B[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(Sys.waveOutClose(h), MMSYSERR_NOERROR);
    EXPECT_EQ(Log.Snapshot().back().Msg, MM_WOM_CLOSE);
  }
}

// An xrun is recovered from and counted; a suspend is recovered from and not
// counted; either way every buffer is filled or played.
TEST_F(AlsaWave, RecoversFromXrunAndSuspend) {
  const WAVEFORMATEX Format = PcmFormat(1, 16, 20000);
  for (const char* Name : {"Xrun device", "Suspending device"}) {
    for (bool Input : {true, false}) {
      SCOPED_TRACE(std::string(Name) + (Input ? " input" : " output"));
      const uint32_t OverrunsBefore = Sys.Overruns(), UnderrunsBefore = Sys.Underruns();
      TBuffers B(4, 4000);
      TCallbackLog Log;
      Run(Input, Device(Name), 4, Format, B, Log);
      for (int i = 0; Input && i < 4; ++i) EXPECT_EQ(B[i]->dwBytesRecorded, 4000u);
      const bool Xrun = std::string(Name) == "Xrun device";
      EXPECT_EQ(Sys.Overruns() - OverrunsBefore, Xrun && Input ? 1u : 0u);
      EXPECT_EQ(Sys.Underruns() - UnderrunsBefore, Xrun && !Input ? 1u : 0u);
      EXPECT_EQ(Input ? Sys.waveInClose(Handle) : Sys.waveOutClose(Handle), MMSYSERR_NOERROR);
      EXPECT_TRUE(Sys.LastDeviceError().empty()) << Sys.LastDeviceError();
    }
  }
}

}  // namespace
}  // namespace quellmarin::testing

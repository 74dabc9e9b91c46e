// The wave device's part of the capability report: its formats and playback
// controls, a test whether its output volume really follows what is set, and
// a test whether input and output can be open at the same time.

#include "audio/Audio.h"

namespace quellmarin {

namespace {

bool Has(uint32_t Flags, uint32_t Flag) { return (Flags & Flag) != 0; }

// Moves both channels up by 10, wrapping at 65535 (65525 becomes 0), and
// tells whether the volume then reads back as set. The volume is put back.
bool VolumeFollows(TPlayer& Player) {
  uint16_t Left = 0, Right = 0;
  Player.GetVolume(Left, Right);
  const auto TestLeft = static_cast<uint16_t>((Left + 10u) % 65535u);
  const auto TestRight = static_cast<uint16_t>((Right + 10u) % 65535u);
  Player.SetVolume(TestLeft, TestRight);
  uint16_t ReadLeft = 0, ReadRight = 0;
  Player.GetVolume(ReadLeft, ReadRight);
  Player.SetVolume(Left, Right);
  return ReadLeft == TestLeft && ReadRight == TestRight;
}

}  // namespace

bool TAudio::QueryCapabilities(std::string& DeviceName, std::string& Caps) {
  DeviceName.clear();
  Caps.clear();
  // The devices in use: a chosen number must exist; the default device
  // (WAVE_MAPPER) is asked directly, and a default that cannot be reached
  // gives the sound system's reason.
  if ((FOutputDeviceID != WAVE_MAPPER && FOutputDeviceID >= FSoundSystem.waveOutGetNumDevs()) ||
      (FInputDeviceID != WAVE_MAPPER && FInputDeviceID >= FSoundSystem.waveInGetNumDevs())) {
    FErrorMessage = "No waveform device available";
    return false;
  }
  WAVEOUTCAPSA DevCaps;
  const MMRESULT r = FSoundSystem.waveOutGetDevCapsA(FOutputDeviceID, &DevCaps, sizeof(DevCaps));
  if (r != MMSYSERR_NOERROR) {
    FPlayer->SetDeviceError(r, "");
    return false;
  }
  DevCaps.szPname[MAXPNAMELEN - 1] = 0;
  DeviceName = DevCaps.szPname;

  const uint32_t Formats = DevCaps.dwFormats, Support = DevCaps.dwSupport;
  if (Has(Formats, WAVE_FORMAT_1M08)) Caps += "11.025";
  if (Has(Formats, WAVE_FORMAT_2M08)) Caps += "/22.05";
  if (Has(Formats, WAVE_FORMAT_4M08)) Caps += "/44.1";
  Caps += " kHz, ";
  if (Has(Formats, WAVE_FORMAT_1M08)) Caps += "Mono";
  if (Has(Formats, WAVE_FORMAT_1S08)) Caps += "/Stereo";
  if (Has(Formats, WAVE_FORMAT_1M08)) Caps += ", 8";
  if (Has(Formats, WAVE_FORMAT_1M16)) Caps += "/16";
  Caps += "-bit, Playback Controls: ";
  if (Has(Support, WAVECAPS_LRVOLUME))
    Caps += "Separate L/R Volume";
  else if (Has(Support, WAVECAPS_VOLUME))
    Caps += "Volume";
  // Tried whatever the support flags claim.
  if (!VolumeFollows(*FPlayer)) Caps += " (not controllable with this DeviceID driver)";
  if (Has(Support, WAVECAPS_PITCH)) Caps += ", Pitch";
  if (Has(Support, WAVECAPS_PLAYBACKRATE)) Caps += ", Rate";
  if (Has(Support, WAVECAPS_SYNC)) Caps += ", Synchronous Device";

  // Duplex: open output, then input (one buffer handed over, not started).
  // Nothing recorded meanwhile reaches OnRecord. The recorder and player are
  // closed only where open, so that ErrorMessage keeps the reason of a
  // failed open rather than an "already closed".
  FRecorder->FDiscard = true;
  if (FRecorder->DeviceOpen()) FRecorder->Close();
  const bool Duplex = FPlayer->Open() && FRecorder->Open();
  Caps = (Duplex ? "Full-duplex support, " : "Half-duplex support, ") + Caps;
  if (FRecorder->DeviceOpen()) FRecorder->Close();
  FRecorder->FDiscard = false;
  // The output device closes from the UI thread's queue and raises OnPlayed.
  if (FPlayer->DeviceOpen()) FPlayer->RequestClose();
  return true;
}

}  // namespace quellmarin

#pragma once
// The sound system on ALSA (alsa-lib): wave input and output on snd_pcm, the
// mixer on snd_mixer.
//
// Devices
//   * WAVE_MAPPER is ALSA's "default" PCM (on desktops the sound server, which
//     routes, mixes and resamples). Device numbers 0, 1, ... name the further
//     PCMs ALSA lists (snd_device_name_hint), one list for both directions so
//     that one number names the same device for input and output; "default"
//     and "null" are not in that list. A number keeps its PCM for the life of
//     the sound system: the list is in ALSA's order when first read, and a
//     PCM that appears later is appended. A PCM that is no longer listed keeps
//     its number; opening it then fails with ALSA's reason.
//   * Mixer device 0 is ALSA's "default" control; 1 .. 9 are the sound cards
//     ("hw:N").
//
// Threads
//   * Every open wave device has a thread of its own that fills or plays the
//     buffers in order and raises the device's notifications; every open mixer
//     handle has a thread that turns ALSA's element events into change
//     notifications. Callbacks run on those threads with the device's lock
//     held, so a call on the same device waits until the callback returned.
//   * The calls may be made from any thread (except from a callback).
//
// Faults
//   * Overruns (input) and underruns (output) are recovered from and counted
//     (Overruns(), Underruns()); a suspended device is resumed.
//   * A device that disappears (or that ALSA cannot recover) returns every
//     buffer it holds and then rests; further prepare, add, write and start
//     calls fail with MMSYSERR_NODRIVER. LastDeviceError() tells why.
//   * Failures of ALSA calls return codes of this sound system whose text
//     names the failing step, the device and ALSA's own text (snd_strerror).
//
// Desktop volume controls show the streams as "Quellmarin": the constructor
// names the application for the sound server's client libraries (through
// their environment variables) unless the environment already does.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "soundsystem/SoundSystem.h"

namespace quellmarin {

class TAlsaWave;
class TAlsaMixer;

class TAlsaSoundSystem : public TSoundSystem {
public:
  // DefaultPcm and DefaultCtl are the ALSA names behind WAVE_MAPPER and mixer
  // device 0.
  explicit TAlsaSoundSystem(std::string DefaultPcm = "default", std::string DefaultCtl = "default");
  ~TAlsaSoundSystem() override;

  // True when ALSA has a sound card or its default PCM can be opened (for
  // instance a sound server answers). Opens nothing that stays open.
  static bool Available();

  std::string Name() const override;

  uint32_t waveInGetNumDevs() override;
  MMRESULT waveInGetDevCapsA(uint32_t DeviceID, WAVEINCAPSA* Caps, uint32_t CapsSize) override;
  MMRESULT waveInOpen(HWAVEIN* Handle, uint32_t DeviceID, const WAVEFORMATEX* Format, TWaveInProc Callback,
                      uintptr_t Instance, uint32_t Flags) override;
  MMRESULT waveInPrepareHeader(HWAVEIN Handle, WAVEHDR* Header, uint32_t HeaderSize) override;
  MMRESULT waveInAddBuffer(HWAVEIN Handle, WAVEHDR* Header, uint32_t HeaderSize) override;
  MMRESULT waveInStart(HWAVEIN Handle) override;
  MMRESULT waveInReset(HWAVEIN Handle) override;
  MMRESULT waveInUnprepareHeader(HWAVEIN Handle, WAVEHDR* Header, uint32_t HeaderSize) override;
  MMRESULT waveInClose(HWAVEIN Handle) override;
  MMRESULT waveInGetErrorTextA(MMRESULT Code, char* Text, uint32_t TextSize) override;

  uint32_t waveOutGetNumDevs() override;
  MMRESULT waveOutGetDevCapsA(uint32_t DeviceID, WAVEOUTCAPSA* Caps, uint32_t CapsSize) override;
  MMRESULT waveOutOpen(HWAVEOUT* Handle, uint32_t DeviceID, const WAVEFORMATEX* Format, TWaveOutProc Callback,
                       uintptr_t Instance, uint32_t Flags) override;
  MMRESULT waveOutPrepareHeader(HWAVEOUT Handle, WAVEHDR* Header, uint32_t HeaderSize) override;
  MMRESULT waveOutWrite(HWAVEOUT Handle, WAVEHDR* Header, uint32_t HeaderSize) override;
  MMRESULT waveOutReset(HWAVEOUT Handle) override;
  MMRESULT waveOutUnprepareHeader(HWAVEOUT Handle, WAVEHDR* Header, uint32_t HeaderSize) override;
  MMRESULT waveOutClose(HWAVEOUT Handle) override;
  MMRESULT waveOutGetErrorTextA(MMRESULT Code, char* Text, uint32_t TextSize) override;
  MMRESULT waveOutGetVolume(uint32_t DeviceID, uint32_t* Volume) override;
  MMRESULT waveOutSetVolume(uint32_t DeviceID, uint32_t Volume) override;

  uint32_t mixerGetNumDevs() override;
  MMRESULT mixerGetDevCapsA(uint32_t MixerID, MIXERCAPSA* Caps, uint32_t CapsSize) override;
  MMRESULT mixerOpen(HMIXER* Handle, uint32_t MixerID, TMixerProc Callback, uintptr_t Instance,
                     uint32_t Flags) override;
  MMRESULT mixerGetLineInfoA(HMIXER Handle, MIXERLINEA* Line, uint32_t Flags) override;
  MMRESULT mixerGetLineControlsA(HMIXER Handle, MIXERLINECONTROLSA* Controls, uint32_t Flags) override;
  MMRESULT mixerGetControlDetailsA(HMIXER Handle, MIXERCONTROLDETAILS* Details, uint32_t Flags) override;
  MMRESULT mixerSetControlDetails(HMIXER Handle, const MIXERCONTROLDETAILS* Details, uint32_t Flags) override;
  MMRESULT mixerClose(HMIXER Handle) override;

  // Capture overruns and playback underruns ALSA reported and this sound
  // system recovered from, since construction, over all devices.
  uint32_t Overruns() const { return FOverruns.load(); }
  uint32_t Underruns() const { return FUnderruns.load(); }
  TXrunCounts XrunCounts() const override { return {Overruns(), Underruns()}; }
  // snd_pcm_delay of the capture PCM, read when its latest buffer filled.
  bool CaptureDelay(HWAVEIN Handle, int64_t& Frames) override;
  // Text of the last failure that ended a device (empty when none did).
  std::string LastDeviceError() const;

  // A PCM ALSA lists now, with its device number.
  struct TPcmDevice {
    uint32_t ID = 0;
    std::string Name;         // the ALSA PCM name ("pulse", "hw:CARD=PCH,DEV=0")
    std::string Description;  // ALSA's description, its lines joined by ", "
    bool Input = true;        // capture offered
    bool Output = true;       // playback offered
  };
  // The PCMs ALSA's hints list now, in device-number order (read afresh).
  std::vector<TPcmDevice> PcmDevices();
  // The device number of a PCM ALSA lists now; false when it lists none of
  // that name. "default" is WAVE_MAPPER.
  bool FindPcm(const std::string& Name, uint32_t& DeviceID);
  // The ALSA name and description behind a device number (WAVE_MAPPER: the
  // default PCM with ALSA's description of it); false for a number never
  // given out.
  bool DescribePcm(uint32_t DeviceID, std::string& Name, std::string& Description);

  // ---- internal, for the device and mixer objects ----
  // A code of this sound system whose text is Text (the same text gives the
  // same code).
  MMRESULT ErrorCode(const std::string& Text);
  // "<Step> <What> "<Device>": <ALSA's text>".
  MMRESULT AlsaError(const std::string& Step, const std::string& Device, int Err);
  void CountOverrun() { FOverruns.fetch_add(1); }
  void CountUnderrun() { FUnderruns.fetch_add(1); }
  void SetLastDeviceError(const std::string& Text);
  // Peak of the latest captured samples, per channel, 0 .. 32767.
  void PublishPeak(int32_t Left, int32_t Right);
  void ReadPeak(int32_t& Left, int32_t& Right) const;
  // A mixer handle changed a control: every handle on the same ALSA control
  // device looks at its values again.
  void MixerValuesChanged(const std::string& CtlName);
  // The mixer level (0 .. 65535) last set for an element channel (Key) and
  // the raw ALSA value it became, so that a level set reads back unchanged.
  void RememberLevel(const std::string& Key, long Raw, uint32_t Level);
  bool RecallLevel(const std::string& Key, long Raw, uint32_t& Level) const;

private:
  struct TDevice {
    std::string Name;  // the ALSA PCM name
    std::string Desc;  // first line of ALSA's description
    std::string Description;  // every line of it, joined by ", "
    bool Input = true;
    bool Output = true;
    bool Listed = false;  // in ALSA's latest list
  };
  // Reads ALSA's hints and brings FKnown up to date (new PCMs appended, the
  // Listed marks renewed); the number of devices known.
  uint32_t Devices();
  // The ALSA name of a wave device number; false when the number does not exist.
  bool PcmName(uint32_t DeviceID, std::string& Name, std::string& Desc);
  // The ALSA control names behind mixer numbers.
  std::vector<std::string> Controls();
  // The ALSA control device that holds the volume of a PCM, or "" when none.
  std::string CtlOfPcm(const std::string& Pcm);

  MMRESULT Open(bool Capture, uintptr_t* Handle, uint32_t DeviceID, const WAVEFORMATEX* Format,
                TWaveInProc Callback, uintptr_t Instance, uint32_t Flags);
  MMRESULT Caps(bool Capture, uint32_t DeviceID, char* Name, uint32_t& Formats, uint16_t& Channels,
                uint32_t* Support);
  std::shared_ptr<TAlsaWave> FindWave(uintptr_t Handle, bool Capture);
  MMRESULT HeaderCall(uintptr_t Handle, bool Capture, WAVEHDR* Header, uint32_t HeaderSize,
                      MMRESULT (TAlsaWave::*Call)(WAVEHDR*));
  MMRESULT DeviceCall(uintptr_t Handle, bool Capture, MMRESULT (TAlsaWave::*Call)());
  std::shared_ptr<TAlsaMixer> FindMixer(uintptr_t Handle);
  MMRESULT ErrorText(MMRESULT Code, char* Text, uint32_t TextSize);

  std::string FDefaultPcm;
  std::string FDefaultCtl;

  mutable std::mutex FLock;  // guards the handle tables, the texts and the peak
  uintptr_t FNextHandle = 0x5100;
  std::map<uintptr_t, std::shared_ptr<TAlsaWave>> FWaves;
  std::map<uintptr_t, std::shared_ptr<TAlsaMixer>> FMixers;
  std::vector<std::string> FTexts;  // invented codes: FirstCode + index
  std::string FLastDeviceError;
  std::map<std::string, std::pair<long, uint32_t>> FLevels;
  std::vector<TDevice> FKnown;  // the PCMs behind device numbers, append-only
  std::string FDefaultDescription;  // ALSA's description of the default PCM
  std::atomic<uint32_t> FOverruns{0};
  std::atomic<uint32_t> FUnderruns{0};
  std::atomic<int32_t> FPeakLeft{0};
  std::atomic<int32_t> FPeakRight{0};
};

}  // namespace quellmarin

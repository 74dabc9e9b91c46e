#pragma once
// The virtual sound card: a complete sound card inside the process, behind the
// sound-system interface. It runs on either of two clocks:
//   ckManual   - nothing happens by itself; the test fills input buffers and
//                finishes output buffers (FillInput, FinishOutput), and each of
//                those calls returns after the notifications have run.
//   ckRealTime - every open wave device has a thread that records and plays
//                at the device's sample rate; the running program uses this.
// Notifications always come on a thread of the card (one per open device and
// per mixer handle), never on the caller's thread.
//
// The input records a signal source (a built-in test signal, a sound file, or
// a loopback of what the output played) through the mixer's recording lines;
// the output keeps what it played (after the playback volumes) for tests to
// compare. The mixer has a playback destination "Volume Control" (its own line
// and "Wave", "Microphone", "Line In", "CD Audio") and a recording destination
// "Recording Control" (its own line and "Microphone", "Line In"), with volume,
// mute and peak-meter controls; volumes start at full scale and unmuted, so a
// fresh card records and plays samples unchanged.
//
// Fault injection: any call can be made to fail with a chosen code and text,
// open devices can vanish, the device counts and the reported capabilities can
// be set.
//
// Threads: every public call may come from any thread, but never from inside
// a callback of this card.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "soundsystem/SoundSystem.h"

namespace quellmarin {

class TVirtualSoundCard : public TSoundSystem {
public:
  enum TClock { ckManual = 0, ckRealTime = 1 };
  enum TSignalSource { ssTestSignal = 0, ssSoundFile = 1, ssLoopback = 2, ssSilence = 3 };

  // Mixer layout: destination and source numbers of the lines.
  enum : uint32_t {
    DestPlayback = 0,   // "Volume Control"
    DestRecording = 1,  // "Recording Control"
    SrcWave = 0,        // playback sources
    SrcPlayMicrophone = 1,
    SrcPlayLineIn = 2,
    SrcCDAudio = 3,
    SrcRecMicrophone = 0,  // recording sources
    SrcRecLineIn = 1,
  };
  // Marks a destination's own line in the calls that take a source number.
  static constexpr uint32_t OwnLine = 0xFFFFFFFFu;

  explicit TVirtualSoundCard(TClock Clock = ckRealTime);
  ~TVirtualSoundCard() override;

  TClock Clock() const { return FClock; }

  // ---- TSoundSystem ----
  std::string Name() const override;
  // Real-time clock only: an overrun is counted when a started input finds no
  // buffer for frames that came due (once until it records again); an
  // underrun when a write reaches an output that had played everything it
  // held (a gap), not the first write after opening or a reset.
  TXrunCounts XrunCounts() const override;

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

  // ---- Signal source ----
  void SetSignalSource(TSignalSource Source);
  TSignalSource SignalSource() const;
  // Reads a sound file (any format libsndfile reads; channels are mixed to
  // one) and makes it the source; it repeats when it ends. On failure the
  // source is unchanged and the reason is in Error.
  bool LoadSoundFile(const std::string& FileName, std::string* Error = nullptr);
  // The recording source line the signal enters through (SrcRecMicrophone or
  // SrcRecLineIn); its volume and mute and the recording line's own act on it.
  void SetInputLine(uint32_t Source);

  // ---- Manual clock (ckManual only; no effect on the real-time clock) ----
  // Fills the oldest held buffer of every started input device completely and
  // returns it, Count times. Returns the number of buffers returned; returns
  // after their notifications have run.
  int FillInput(int Count = 1);
  // Returns the oldest held buffer of every started input device with only
  // Bytes recorded (0: an empty buffer). Returns the number of buffers.
  int ReturnInput(uint32_t Bytes);
  // Plays the oldest held buffer of every open output device to its end and
  // finishes it, Count times. Returns the number of buffers finished.
  int FinishOutput(int Count = 1);

  // ---- What was played ----
  // The bytes every output device played, in the format of the output that
  // played them (PlayedFormat), after the playback volumes and mutes.
  std::vector<uint8_t> Played() const;
  WAVEFORMATEX PlayedFormat() const;
  void ClearPlayed();
  // Whether what is played is kept for Played() (on by default, for tests). The
  // running program turns it off: a card that only plays keeps nothing.
  void SetKeepPlayed(bool Keep);

  // ---- Mixer from outside ----
  // The control id of a line's control (Source OwnLine: the destination's own
  // line), or 0 when the line has no such control.
  uint32_t ControlID(uint32_t Destination, uint32_t Source, uint32_t ControlType) const;
  // Changes a control as another program would: every open mixer handle is
  // told. Values has one entry per channel (one: every channel). False for an
  // unknown control or a peak meter.
  bool SetControlValue(uint32_t ControlID, const std::vector<uint32_t>& Values);
  // A control's value on a channel (0 for an unknown control).
  int32_t ControlValue(uint32_t ControlID, uint32_t Channel = 0) const;

  // ---- Fault injection ----
  // Makes the named call (a method name of the interface, such as
  // "waveInAddBuffer") return Code: after Skip successful calls, Times times
  // (-1: until cleared). Text, when given, becomes the code's error text.
  // Throws std::invalid_argument for a name that is no call of the interface.
  void InjectFault(const std::string& Call, MMRESULT Code, const std::string& Text = "", int Skip = 0,
                   int Times = -1);
  void ClearFault(const std::string& Call);
  void ClearFaults();
  // The text the error-text calls give for Code (a code of its own or a
  // standard one).
  void SetErrorText(MMRESULT Code, const std::string& Text);
  // Every open input (output) device vanishes: it returns the buffers it
  // holds, then reports nothing more; the device count of that direction
  // drops to 0.
  void VanishInput();
  void VanishOutput();
  void SetDeviceCounts(uint32_t Inputs, uint32_t Outputs, uint32_t Mixers);
  void SetOutputCaps(const WAVEOUTCAPSA& Caps);
  void SetInputCaps(const WAVEINCAPSA& Caps);
  void SetMixerCaps(const MIXERCAPSA& Caps);  // only the product name and ids are taken
  // False: waveOutSetVolume succeeds but the volume does not change.
  void SetVolumeSettable(bool Value);
  // True: input and output cannot be open at the same time (MMSYSERR_ALLOCATED).
  void SetHalfDuplex(bool Value);

  // Counts for tests.
  int OpenWaveDevices() const;
  int HeldInputBuffers() const;
  int HeldOutputBuffers() const;

private:
  struct TWaveDevice;
  struct TMixerHandle;
  struct TLine;
  struct TControl;
  struct TFault {
    MMRESULT Code = 0;
    int Skip = 0;
    int Times = -1;
  };
  using TLock = std::unique_lock<std::mutex>;

  MMRESULT Fault(const char* Call);
  MMRESULT ErrorText(MMRESULT Code, char* Text, uint32_t TextSize);
  MMRESULT CheckFormat(const WAVEFORMATEX* Format) const;
  MMRESULT OpenWave(bool Input, uintptr_t* Handle, uint32_t DeviceID, const WAVEFORMATEX* Format,
                    TWaveInProc Callback, uintptr_t Instance, uint32_t Flags);
  TWaveDevice* FindWave(TLock& Lock, uintptr_t Handle, bool Input);
  MMRESULT PrepareHeader(bool Input, uintptr_t Handle, WAVEHDR* Header, uint32_t HeaderSize);
  MMRESULT UnprepareHeader(bool Input, uintptr_t Handle, WAVEHDR* Header, uint32_t HeaderSize);
  MMRESULT AddHeader(bool Input, uintptr_t Handle, WAVEHDR* Header, uint32_t HeaderSize);
  MMRESULT ResetWave(bool Input, uintptr_t Handle);
  MMRESULT CloseWave(bool Input, uintptr_t Handle);
  void ReturnAllHeld(TWaveDevice& Device);
  void ReturnHead(TWaveDevice& Device, uint32_t Bytes);
  void WaitDelivered(TLock& Lock, TWaveDevice& Device);
  // Manual clock: waits until every device has delivered its notifications.
  void WaitAllDelivered(TLock& Lock);
  void DeviceThread(TWaveDevice* Device);
  void Advance(TWaveDevice& Device);
  void RecordFrames(TWaveDevice& Device, uint8_t* Data, uint32_t Frames);
  void PlayFrames(TWaveDevice& Device, const uint8_t* Data, uint32_t Frames);
  double NextSourceSample(uint32_t Rate);
  void Vanish(bool Input);

  void BuildMixer();
  const TLine* FindLine(const MIXERLINEA& Line, uint32_t Flags) const;
  TControl* FindControl(uint32_t ControlID);
  const TControl* FindControl(uint32_t ControlID) const;
  const TControl* LineControl(uint32_t Destination, uint32_t Source, uint32_t ControlType) const;
  double LineGain(uint32_t Destination, uint32_t Source, uint32_t Channel) const;
  void ChangeControl(TLock& Lock, TControl& Control, const uint32_t* Values, uint32_t Count);
  void MixerThread(TMixerHandle* Mixer);
  TMixerHandle* FindMixer(uintptr_t Handle);

  const TClock FClock;
  mutable std::mutex FLock;
  std::atomic<uint32_t> FOverruns{0}, FUnderruns{0};
  std::condition_variable FDelivered;  // a notification has run or a device changed

  uintptr_t FNextHandle = 0x100;
  std::map<uintptr_t, std::unique_ptr<TWaveDevice>> FWave;
  std::map<uintptr_t, std::unique_ptr<TMixerHandle>> FMixers;

  // Signal source.
  TSignalSource FSource = ssTestSignal;
  uint32_t FInputLine = SrcRecMicrophone;
  std::vector<float> FFile;
  uint32_t FFileRate = 0;
  double FFilePos = 0;
  double FSweepPhase = 0, FTonePhase = 0, FSweepTime = 0;
  uint32_t FNoise = 12345;
  std::vector<float> FLoop;  // loopback ring of played samples
  size_t FLoopRead = 0, FLoopCount = 0;

  // Output record.
  std::vector<uint8_t> FPlayed;
  bool FKeepPlayed = true;
  WAVEFORMATEX FPlayedFormat{};

  // Mixer.
  std::vector<TLine> FLines;
  std::vector<TControl> FControls;

  // Fault injection and reported properties.
  std::map<std::string, TFault> FFaults;
  std::map<MMRESULT, std::string> FTexts;
  uint32_t FInputs = 1, FOutputs = 1, FMixerCount = 1;
  WAVEOUTCAPSA FOutCaps{};
  WAVEINCAPSA FInCaps{};
  MIXERCAPSA FMixerCaps{};
  uint32_t FVolume = 0xFFFFFFFFu;
  bool FVolumeSettable = true;
  bool FHalfDuplex = false;
};

}  // namespace quellmarin

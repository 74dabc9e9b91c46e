#pragma once
// One open mixer handle on an ALSA control device (snd_mixer), with a thread
// that turns ALSA's element events into change notifications. Internal to the
// ALSA sound system.
//
// Lines: destination 0, "Master Volume", is the playback mix; its own line is
// ALSA's "Master" element, its sources "PCM" as "Wave", "Mic" as
// "Microphone", "Line" as "Line In" and "CD" as "CD Audio". Destination 1,
// "Recording Control", is the recording input; its own line is ALSA's
// "Capture" element with a peak meter measured from the captured samples, its
// sources the capture sides of "Mic", "Line" and "CD". Only elements that
// exist are listed (a sound server typically offers "Master" and "Capture").

#include <alsa/asoundlib.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "soundsystem/SoundSystem.h"

namespace quellmarin {

class TAlsaSoundSystem;

class TAlsaMixer {
public:
  TAlsaMixer(TAlsaSoundSystem& Owner, uintptr_t Handle, std::string Ctl, TMixerProc Callback, uintptr_t Instance);
  ~TAlsaMixer();

  // Opens the control device, maps its elements and starts the event thread.
  MMRESULT Open();
  void Close();

  MMRESULT GetLineInfo(MIXERLINEA* Line, uint32_t Flags);
  MMRESULT GetLineControls(MIXERLINECONTROLSA* Controls, uint32_t Flags);
  MMRESULT GetControlDetails(MIXERCONTROLDETAILS* Details);
  MMRESULT SetControlDetails(const MIXERCONTROLDETAILS* Details);
  // Looks at the control values again (another handle changed one).
  void Rescan();

  const std::string Ctl;

  // The product name of an ALSA control device ("ALSA mixer: <card>"), or an
  // error code.
  static MMRESULT ProductName(TAlsaSoundSystem& Owner, const std::string& Ctl, std::string& Name);
  // The playback volume of a wave device on control device Ctl ("PCM", else
  // "Master"): read or set as left | right << 16. Stereo tells whether the
  // element has two channels. MMSYSERR_NOTSUPPORTED when there is none.
  static MMRESULT WaveVolume(TAlsaSoundSystem& Owner, const std::string& Ctl, bool Set, uint32_t& Volume,
                             bool* Stereo = nullptr);

private:
  enum TKind { kVolume = 0, kMute = 1, kMeter = 2 };
  struct TLine {
    uint32_t Destination = 0;
    uint32_t Source = 0;  // 0: the destination's own line; n: source n - 1
    std::string Name;
    std::string ShortName;
    uint32_t Component = 0;
    uint32_t Channels = 1;
    snd_mixer_elem_t* Elem = nullptr;
    bool Capture = false;
    bool Volume = false;
    bool Mute = false;
    bool Meter = false;
    uint32_t LineID() const { return 0x100 * (Destination + 1) + Source; }
    uint32_t ControlCount() const { return Volume + Mute + Meter; }
  };
  struct TControlValue {
    uint32_t ID;
    uint32_t Values[2];
  };

  void Map();
  TLine* FindLine(uint32_t LineID);
  // The line and kind of a control id, or nullptr.
  TLine* FindControl(uint32_t ID, TKind& Kind);
  static bool DetailsFit(const MIXERCONTROLDETAILS& Details, const TLine& Line);
  void FillControl(const TLine& Line, TKind Kind, MIXERCONTROLA& Control) const;
  void ReadValues(const TLine& Line, TKind Kind, uint32_t Values[2]);
  void Snapshot(std::vector<TControlValue>& Values);
  // Compares the values with the last snapshot and notifies the changes.
  void NotifyChanges();
  void Run();

  TAlsaSoundSystem& FOwner;
  const uintptr_t FHandle;
  const TMixerProc FCallback;
  const uintptr_t FInstance;

  std::mutex FLock;  // guards FMixer, the lines and the snapshot
  snd_mixer_t* FMixer = nullptr;
  std::vector<std::vector<TLine>> FDestinations;
  std::vector<TControlValue> FLast;
  int FWakeFd = -1;
  bool FStop = false;
  bool FDead = false;  // the control device stopped answering
  std::thread FThread;
};

}  // namespace quellmarin

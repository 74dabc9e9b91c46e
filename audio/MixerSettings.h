#pragma once
// TMixerSettings: the sound card's mixer as a flat list of lines, each
// addressed by a destination number (an output bus such as the playback mix
// or the recording input) and a source number (0 for the destination's own
// line, 1, 2, ... for the lines feeding it). Opening the mixer reads every
// line with its volume, mute and peak-meter controls once and keeps the
// control ids; afterwards the owner lists destinations and sources by name,
// reads and sets a line's volume and mute, reads its peak level, and hears of
// every volume or mute change (made by this program or any other) through the
// component's OnMixerChange.
//
// Threads
//   * Every public call runs on the UI thread.
//   * The sound system reports a control change on a thread of its own; the
//     mixer's callback only posts the control id to the mixer's window on the
//     UI thread's message queue (no blocking, no allocation). The window's
//     handler, on the UI thread, finds the line and raises OnMixerChange with
//     the mixer as Sender, so the handler may call GetVolumeMute and the rest.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/AudioSettings.h"

namespace quellmarin {

// The control id of a control a line does not have.
constexpr uint32_t NoControl = 0xFFFF;

// Line flags (TMixDetails::Flags, GetVolumeMute's Flags).
enum : uint16_t {
  mfNoMute = 0x80,      // the line has no mute control
  mfMonoVolume = 0x40,  // the line's volume control has one channel
};

// One node of the line list: a mixer line, or the node of the mixer device
// itself (Destination and Source 0xFFFF, Name the product name).
struct TMixDetails {
  uint16_t Destination = 0;
  uint16_t Source = 0;
  std::string Name;
  uint32_t VolumeID = NoControl;
  uint32_t MuteID = NoControl;
  uint32_t MeterID = NoControl;
  uint16_t MeterChannels = 0;  // 0 (no meter), 1 or 2
  uint16_t Flags = 0;          // mfNoMute, mfMonoVolume; 0 for the device node
  bool Mono = false;           // the volume control has one channel
  bool Listed = false;         // the line has a volume or a mute control
};

// A string list: item i at index i.
using TStrings = std::vector<std::string>;

class TMixerSettings : public TPersistent {
public:
  explicit TMixerSettings(TAudio* Owner);
  ~TMixerSettings() override;
  TMixerSettings(const TMixerSettings&) = delete;
  TMixerSettings& operator=(const TMixerSettings&) = delete;

  // Closes the connection in use (and drops its list and its waiting change
  // notifications), then opens mixer device ID and reads every line. Opened()
  // becomes the result: False without a mixer device, when the open fails,
  // when a line cannot be read (the lines read so far stay in Lines()) and
  // for a mixer without destinations. ErrorMessage is not touched.
  bool OpenMixer(int32_t ID);

  // The destination names, index = destination number. Empty while not open.
  // Both name calls refill the same list: copy what is needed before the
  // next call.
  const TStrings& DestinationNames();
  // The names of a destination's lines, index = source number (0 is the
  // destination's own line); a line without volume and mute is an empty
  // string. Empty for an unknown destination or while not open.
  const TStrings& SourceNames(uint16_t Destination);

  // Writes the line's volume (Left alone on a one-channel line) and then its
  // mute, each only when the line has that control. False for an unknown line
  // or while not open; on a failed write False with ErrorMessage "Volume
  // SetControlError in Mixer" or "Mute SetControlError in Mixer".
  bool SetVolumeMute(uint16_t Destination, uint16_t Source, uint16_t Left, uint16_t Right, bool Mute);
  // Fills Flags (low 8 bits of the line's flags), then Left and Right (Right
  // = Left on a one-channel line), then Mute. For an unknown line or while
  // not open: False, nothing filled. A line without a volume control: False,
  // "Volume GetControlError in Mixer" after Flags; without a mute control:
  // False, "Mute GetControlError in Mixer" after Flags, Left and Right. A
  // failed read gives the same texts.
  bool GetVolumeMute(uint16_t Destination, uint16_t Source, uint16_t& Left, uint16_t& Right, bool& Mute,
                     uint8_t& Flags);
  // The line's peak levels (Right = Left for a one-channel meter). False for
  // a line without a meter, an unknown line, while not open, or when the
  // meter cannot be read; ErrorMessage is not touched.
  bool GetPeakLevel(uint16_t Destination, uint16_t Source, int32_t& Left, int32_t& Right);

  // The capability report's part for the mixer: DeviceName the product name,
  // Listing "Mixer devices present: N. DeviceID M has:" and then, for each
  // destination, "\r\n", its name, ": " and each source name followed by
  // ", ". False, both empty, while not open; False with Listing "Mixer not
  // present" when the sound system has no mixer device any more.
  bool Describe(std::string& DeviceName, std::string& Listing);

  // The line lookup of the window's mixer panel: Destination := the index of
  // the last destination whose name contains DestName (case-sensitive), and
  // Source := the index of the last of its line names containing SourceName;
  // -1 where nothing matches (Source stays -1 when Destination does). Refills
  // the name list.
  void FindLine(const std::string& DestName, const std::string& SourceName, int& Destination, int& Source);

  // The list is complete and the mixer usable.
  bool Opened() const { return FOpened; }
  // The line list, device node first (for the report and tests).
  const std::vector<TMixDetails>& Lines() const { return FLines; }
  // The mixer's window: MM_MIXM_CONTROL_CHANGE with the control id as LParam.
  TMessageTarget* Window() const { return FWindow.get(); }
  TAudio* Audio() const { return FAudio; }

  // Internal: appends the node of Line and reads its controls.
  void AddLine(const MIXERLINEA& Line);

private:
  // What the sound system's callback reaches through its instance value: one
  // per open connection. When a connection cannot be closed, its relay is
  // marked gone and kept for the rest of the run, so a late callback finds it
  // and posts nothing.
  struct TRelay {
    TAudioWindow* Window = nullptr;
    std::atomic<int> Busy{0};
    std::atomic<bool> Gone{false};
  };

  static void MixerCallback(HMIXER Handle, uint32_t Msg, uintptr_t Instance, uintptr_t Param1, uintptr_t Param2);
  void WindowMessage(const TMessage& Message);
  void CloseMixer();
  const TMixDetails* FindNode(uint16_t Destination, uint16_t Source) const;
  bool ReadControl(uint32_t ControlID, uint32_t Channels, int32_t* Values);
  bool WriteControl(uint32_t ControlID, uint32_t Channels, const uint32_t* Values);
  void PutName(size_t Index, const std::string& Name);

  TAudio* FAudio;  // not owned
  HMIXER FMixer = 0;
  std::vector<TMixDetails> FLines;
  bool FOpened = false;
  std::unique_ptr<TAudioWindow> FWindow;
  std::unique_ptr<TRelay> FRelay;
  TStrings FNames;
};

}  // namespace quellmarin

#include "audio/MixerSettings.h"

#include <algorithm>
#include <mutex>
#include <thread>

#include "audio/Audio.h"

namespace quellmarin {

namespace {

constexpr uint16_t DeviceNode = 0xFFFF;

// Relays of connections that could not be closed. The sound system may still
// call them, so they live until the process ends (reachable from here).
template <class T>
void KeepForever(std::unique_ptr<T> Relay) {
  static std::mutex Lock;
  static auto* Kept = new std::vector<std::unique_ptr<T>>;
  std::lock_guard<std::mutex> Guard(Lock);
  Kept->push_back(std::move(Relay));
}

// Reads and writes pass at most two values per control: the layer keeps a
// left and a right value only.
uint32_t ValueCount(uint32_t LineChannels) { return std::min<uint32_t>(LineChannels, 2); }

}  // namespace

TMixerSettings::TMixerSettings(TAudio* Owner) : FAudio(Owner) {
  FWindow = std::make_unique<TAudioWindow>(Owner->MessageQueue(), [this](const TMessage& m) { WindowMessage(m); });
}

TMixerSettings::~TMixerSettings() {
  CloseMixer();
  FWindow.reset();
}

void TMixerSettings::CloseMixer() {
  if (FMixer != 0) {
    if (FAudio->SoundSystem().mixerClose(FMixer) != MMSYSERR_NOERROR) {
      // The connection stays with the sound system: its callbacks must find
      // a relay that posts nothing, for as long as they may come.
      FRelay->Gone = true;
      while (FRelay->Busy.load() != 0) std::this_thread::yield();
      KeepForever(std::move(FRelay));
    }
    FMixer = 0;
  }
  FRelay.reset();
  // Changes reported by the closed connection would be matched against the
  // next device's list.
  FAudio->MessageQueue().RemoveTarget(FWindow.get());
  FLines.clear();
  FOpened = false;
}

bool TMixerSettings::OpenMixer(int32_t ID) {
  CloseMixer();
  TSoundSystem& s = FAudio->SoundSystem();
  if (s.mixerGetNumDevs() == 0) return false;
  const auto Device = static_cast<uint32_t>(ID);
  MIXERCAPSA Caps;
  s.mixerGetDevCapsA(Device, &Caps, sizeof(Caps));  // without caps the mixer has no destinations
  Caps.szPname[MAXPNAMELEN - 1] = 0;

  auto Relay = std::make_unique<TRelay>();
  Relay->Window = FWindow.get();
  HMIXER Handle = 0;
  if (s.mixerOpen(&Handle, Device, &TMixerSettings::MixerCallback, reinterpret_cast<uintptr_t>(Relay.get()),
                  CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
    return false;
  FMixer = Handle;
  FRelay = std::move(Relay);

  TMixDetails Node;
  Node.Destination = DeviceNode;
  Node.Source = DeviceNode;
  Node.Name = Caps.szPname;
  FLines.push_back(Node);

  for (uint32_t d = 0; d < Caps.cDestinations; ++d) {
    MIXERLINEA Line;
    Line.dwDestination = d;
    if (s.mixerGetLineInfoA(FMixer, &Line, MIXER_GETLINEINFOF_DESTINATION) != MMSYSERR_NOERROR) return false;
    AddLine(Line);
    const uint32_t Connections = Line.cConnections;
    for (uint32_t src = 0; src < Connections; ++src) {
      MIXERLINEA Source;
      Source.dwDestination = d;
      Source.dwSource = src;
      if (s.mixerGetLineInfoA(FMixer, &Source, MIXER_GETLINEINFOF_SOURCE) != MMSYSERR_NOERROR) return false;
      AddLine(Source);
    }
  }
  FOpened = Caps.cDestinations > 0;
  return FOpened;
}

void TMixerSettings::AddLine(const MIXERLINEA& Line) {
  TMixDetails Node;
  Node.Destination = static_cast<uint16_t>(Line.dwDestination);
  Node.Source = 0;
  if (!FLines.empty() && FLines.back().Destination == Node.Destination)
    Node.Source = static_cast<uint16_t>(FLines.back().Source + 1);
  char Name[MIXER_LONG_NAME_CHARS + 1] = {};
  std::copy_n(Line.szName, MIXER_LONG_NAME_CHARS, Name);
  Node.Name = Name;
  Node.Flags = mfNoMute;
  if (Line.cControls > 0) {
    std::vector<MIXERCONTROLA> Controls(Line.cControls);
    MIXERLINECONTROLSA Request;
    Request.dwLineID = Line.dwLineID;
    Request.cControls = Line.cControls;
    Request.cbmxctrl = sizeof(MIXERCONTROLA);
    Request.pamxctrl = Controls.data();
    if (FAudio->SoundSystem().mixerGetLineControlsA(FMixer, &Request, MIXER_GETLINECONTROLSF_ALL) ==
        MMSYSERR_NOERROR) {
      const uint32_t Channels = ValueCount(Line.cChannels);
      int32_t Values[2];
      for (const MIXERCONTROLA& c : Controls) {
        switch (c.dwControlType) {
          case MIXERCONTROL_CONTROLTYPE_VOLUME:
            if (ReadControl(c.dwControlID, Channels, Values)) {
              Node.VolumeID = c.dwControlID;
              if (Line.cChannels == 1) {
                Node.Mono = true;
                Node.Flags |= mfMonoVolume;
              }
              Node.Listed = true;
            }
            break;
          case MIXERCONTROL_CONTROLTYPE_MUTE:
            if (ReadControl(c.dwControlID, 1, Values) && Node.MuteID == NoControl) {
              Node.MuteID = c.dwControlID;
              Node.Listed = true;
              Node.Flags &= 0x7F;
            }
            break;
          case MIXERCONTROL_CONTROLTYPE_PEAKMETER:
            if (ReadControl(c.dwControlID, Channels, Values)) {
              Node.MeterID = c.dwControlID;
              Node.MeterChannels = Line.cChannels == 1 ? 1 : 2;
            }
            break;
          default:
            break;
        }
      }
    }
  }
  FLines.push_back(std::move(Node));
}

bool TMixerSettings::ReadControl(uint32_t ControlID, uint32_t Channels, int32_t* Values) {
  MIXERCONTROLDETAILS Details;
  Details.dwControlID = ControlID;
  Details.cChannels = Channels;
  Details.cMultipleItems = 0;
  Details.cbDetails = 4;
  Details.paDetails = Values;
  return FAudio->SoundSystem().mixerGetControlDetailsA(FMixer, &Details, MIXER_GETCONTROLDETAILSF_VALUE) ==
         MMSYSERR_NOERROR;
}

bool TMixerSettings::WriteControl(uint32_t ControlID, uint32_t Channels, const uint32_t* Values) {
  MIXERCONTROLDETAILS Details;
  Details.dwControlID = ControlID;
  Details.cChannels = Channels;
  Details.cMultipleItems = 0;
  Details.cbDetails = 4;
  Details.paDetails = const_cast<uint32_t*>(Values);
  return FAudio->SoundSystem().mixerSetControlDetails(FMixer, &Details, MIXER_SETCONTROLDETAILSF_VALUE) ==
         MMSYSERR_NOERROR;
}

const TMixDetails* TMixerSettings::FindNode(uint16_t Destination, uint16_t Source) const {
  if (!FOpened) return nullptr;
  for (size_t i = 1; i < FLines.size(); ++i)
    if (FLines[i].Destination == Destination && FLines[i].Source == Source) return &FLines[i];
  return nullptr;
}

// Puts Name at Index, moving later entries up. An index beyond the end (a
// platform that skips numbers) is reached with empty entries, so that indices
// and numbers still agree.
void TMixerSettings::PutName(size_t Index, const std::string& Name) {
  if (Index > FNames.size()) FNames.resize(Index);
  FNames.insert(FNames.begin() + static_cast<std::ptrdiff_t>(Index), Name);
}

const TStrings& TMixerSettings::DestinationNames() {
  FNames.clear();
  if (FOpened)
    for (size_t i = 1; i < FLines.size(); ++i)
      if (FLines[i].Source == 0) PutName(FLines[i].Destination, FLines[i].Name);
  return FNames;
}

const TStrings& TMixerSettings::SourceNames(uint16_t Destination) {
  FNames.clear();
  if (FOpened)
    for (size_t i = 1; i < FLines.size(); ++i)
      if (FLines[i].Destination == Destination)
        PutName(FLines[i].Source, FLines[i].Listed ? FLines[i].Name : std::string());
  return FNames;
}

bool TMixerSettings::SetVolumeMute(uint16_t Destination, uint16_t Source, uint16_t Left, uint16_t Right,
                                   bool Mute) {
  const TMixDetails* Node = FindNode(Destination, Source);
  if (Node == nullptr) return false;
  if (Node->VolumeID != NoControl) {
    const uint32_t Values[2] = {Left, Right};
    if (!WriteControl(Node->VolumeID, Node->Mono ? 1 : 2, Values)) {
      FAudio->SetErrorMessage("Volume SetControlError in Mixer");
      return false;
    }
  }
  if (Node->MuteID == NoControl) return true;
  const uint32_t Value = Mute ? 1 : 0;
  if (!WriteControl(Node->MuteID, 1, &Value)) {
    FAudio->SetErrorMessage("Mute SetControlError in Mixer");
    return false;
  }
  return true;
}

bool TMixerSettings::GetVolumeMute(uint16_t Destination, uint16_t Source, uint16_t& Left, uint16_t& Right,
                                   bool& Mute, uint8_t& Flags) {
  const TMixDetails* Node = FindNode(Destination, Source);
  if (Node == nullptr) return false;
  Flags = static_cast<uint8_t>(Node->Flags & 0xFF);
  // A missing control is not asked for: NoControl could be a real id on
  // another sound system.
  int32_t Values[2] = {0, 0};
  if (Node->VolumeID == NoControl || !ReadControl(Node->VolumeID, Node->Mono ? 1 : 2, Values)) {
    FAudio->SetErrorMessage("Volume GetControlError in Mixer");
    return false;
  }
  Left = static_cast<uint16_t>(Values[0]);
  Right = Node->Mono ? Left : static_cast<uint16_t>(Values[1]);
  if (Node->MuteID == NoControl || !ReadControl(Node->MuteID, 1, Values)) {
    FAudio->SetErrorMessage("Mute GetControlError in Mixer");
    return false;
  }
  Mute = Values[0] != 0;
  return true;
}

bool TMixerSettings::GetPeakLevel(uint16_t Destination, uint16_t Source, int32_t& Left, int32_t& Right) {
  if (!FOpened) return false;
  for (size_t i = 1; i < FLines.size(); ++i) {
    const TMixDetails& Node = FLines[i];
    if (Node.Destination != Destination || Node.Source != Source || Node.MeterChannels == 0) continue;
    int32_t Values[2] = {0, 0};
    if (!ReadControl(Node.MeterID, Node.MeterChannels, Values)) return false;
    Left = Values[0];
    Right = Node.MeterChannels == 1 ? Left : Values[1];
    return true;
  }
  return false;
}

bool TMixerSettings::Describe(std::string& DeviceName, std::string& Listing) {
  DeviceName.clear();
  Listing.clear();
  if (!FOpened) return false;
  const uint32_t Count = FAudio->SoundSystem().mixerGetNumDevs();
  if (Count == 0) {
    Listing = "Mixer not present";
    return false;
  }
  DeviceName = FLines.front().Name;
  Listing = "Mixer devices present: " + std::to_string(Count) + ". DeviceID " +
            std::to_string(FAudio->MixerDeviceID()) + " has:";
  uint32_t Destination = 0;
  for (size_t i = 1; i < FLines.size(); ++i) {
    if (FLines[i].Destination == Destination) {
      Listing += "\r\n" + FLines[i].Name + ": ";
      ++Destination;
    } else {
      Listing += FLines[i].Name + ", ";
    }
  }
  return true;
}

void TMixerSettings::FindLine(const std::string& DestName, const std::string& SourceName, int& Destination,
                              int& Source) {
  Destination = -1;
  Source = -1;
  // An empty fragment matches nothing.
  auto Contains = [](const std::string& Text, const std::string& Part) {
    return !Part.empty() && Text.find(Part) != std::string::npos;
  };
  const TStrings& Destinations = DestinationNames();
  for (size_t i = 0; i < Destinations.size(); ++i)
    if (Contains(Destinations[i], DestName)) Destination = static_cast<int>(i);
  if (Destination < 0) return;
  const TStrings& Sources = SourceNames(static_cast<uint16_t>(Destination));
  for (size_t i = 0; i < Sources.size(); ++i)
    if (Contains(Sources[i], SourceName)) Source = static_cast<int>(i);
}

// Sound-system thread: hands the control id to the UI thread.
void TMixerSettings::MixerCallback(HMIXER, uint32_t Msg, uintptr_t Instance, uintptr_t, uintptr_t Param2) {
  if (Msg != MM_MIXM_CONTROL_CHANGE) return;
  auto* Relay = reinterpret_cast<TRelay*>(Instance);
  Relay->Busy.fetch_add(1);
  if (!Relay->Gone.load()) Relay->Window->Post(MM_MIXM_CONTROL_CHANGE, 0, static_cast<intptr_t>(Param2));
  Relay->Busy.fetch_sub(1);
}

// UI thread: raises OnMixerChange for a volume or mute control of a known line.
void TMixerSettings::WindowMessage(const TMessage& Message) {
  if (Message.Msg != MM_MIXM_CONTROL_CHANGE) return;
  if (!FOpened || !FAudio->OnMixerChange) return;
  const auto ID = static_cast<uint32_t>(Message.LParam);
  if (ID == NoControl) return;  // the mark of a missing control, never a line's
  for (size_t i = 1; i < FLines.size(); ++i) {
    if (FLines[i].VolumeID == ID || FLines[i].MuteID == ID) {
      const uint16_t Destination = FLines[i].Destination, Source = FLines[i].Source;
      // The handler may re-open the mixer or replace the event.
      const TNotifyMixerChange Event = FAudio->OnMixerChange;
      Event(this, Destination, Source);
      return;
    }
  }
}

}  // namespace quellmarin

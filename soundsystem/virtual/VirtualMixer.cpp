// The virtual sound card's mixer: its lines and controls, the gains they put
// on the signal, change notifications to every open mixer handle, and the
// mixer calls of the interface.

#include "soundsystem/virtual/VirtualSoundCard.h"
#include "soundsystem/virtual/VirtualCardDetail.h"

#include <algorithm>
#include <iterator>
#include <thread>
#include <utility>
#include <vector>

namespace quellmarin {

void TVirtualSoundCard::BuildMixer() {
  struct TSpec {
    const char* Name;
    const char* Short;
    uint32_t Destination, Source, Type, Channels;
    bool Mute, Meter;
  };
  const TSpec Specs[] = {
      {"Volume Control", "Volume", DestPlayback, OwnLine, MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, 2, true, true},
      {"Wave", "Wave", DestPlayback, SrcWave, MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT, 2, true, true},
      {"Microphone", "Mic", DestPlayback, SrcPlayMicrophone, MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, 1, true, false},
      {"Line In", "Line", DestPlayback, SrcPlayLineIn, MIXERLINE_COMPONENTTYPE_SRC_LINE, 2, true, false},
      {"CD Audio", "CD", DestPlayback, SrcCDAudio, MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC, 2, false, false},
      {"Recording Control", "Recording", DestRecording, OwnLine, MIXERLINE_COMPONENTTYPE_DST_WAVEIN, 2, false, true},
      {"Microphone", "Mic", DestRecording, SrcRecMicrophone, MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, 1, true, false},
      {"Line In", "Line", DestRecording, SrcRecLineIn, MIXERLINE_COMPONENTTYPE_SRC_LINE, 2, true, false},
  };
  uint32_t NextID = 1;
  for (const TSpec& s : Specs) {
    TLine Line;
    Line.Name = s.Name;
    Line.ShortName = s.Short;
    Line.Destination = s.Destination;
    Line.Source = s.Source;
    Line.ComponentType = s.Type;
    Line.Channels = s.Channels;
    Line.LineID = s.Source == OwnLine ? (0xFFFF0000u | s.Destination) : (((s.Source + 1) << 16) | s.Destination);
    const size_t Index = FLines.size();
    auto Add = [&](uint32_t Type, uint32_t Channels, int32_t Value) {
      TControl c;
      c.ID = NextID++;
      c.Type = Type;
      c.Line = Index;
      c.Channels = Channels;
      c.Value[0] = c.Value[1] = Value;
      FControls.push_back(c);
      Line.Controls.push_back(c.ID);
    };
    Add(MIXERCONTROL_CONTROLTYPE_VOLUME, s.Channels, 65535);
    if (s.Mute) Add(MIXERCONTROL_CONTROLTYPE_MUTE, 1, 0);
    if (s.Meter) Add(MIXERCONTROL_CONTROLTYPE_PEAKMETER, s.Channels, 0);
    FLines.push_back(std::move(Line));
  }
  for (TLine& d : FLines)
    if (d.Source == OwnLine)
      for (const TLine& s : FLines)
        if (s.Source != OwnLine && s.Destination == d.Destination) ++d.Connections;
}

const TVirtualSoundCard::TLine* TVirtualSoundCard::FindLine(const MIXERLINEA& Line, uint32_t Flags) const {
  for (const TLine& l : FLines) {
    switch (Flags) {
      case MIXER_GETLINEINFOF_DESTINATION:
        if (l.Source == OwnLine && l.Destination == Line.dwDestination) return &l;
        break;
      case MIXER_GETLINEINFOF_SOURCE:
        if (l.Source != OwnLine && l.Destination == Line.dwDestination && l.Source == Line.dwSource) return &l;
        break;
      case MIXER_GETLINEINFOF_LINEID:
        if (l.LineID == Line.dwLineID) return &l;
        break;
      default:
        return nullptr;
    }
  }
  return nullptr;
}

TVirtualSoundCard::TControl* TVirtualSoundCard::FindControl(uint32_t ControlID) {
  for (TControl& c : FControls)
    if (c.ID == ControlID) return &c;
  return nullptr;
}

const TVirtualSoundCard::TControl* TVirtualSoundCard::FindControl(uint32_t ControlID) const {
  for (const TControl& c : FControls)
    if (c.ID == ControlID) return &c;
  return nullptr;
}

const TVirtualSoundCard::TControl* TVirtualSoundCard::LineControl(uint32_t Destination, uint32_t Source,
                                                                  uint32_t ControlType) const {
  for (const TControl& c : FControls) {
    const TLine& l = FLines[c.Line];
    if (c.Type == ControlType && l.Destination == Destination && l.Source == Source) return &c;
  }
  return nullptr;
}

// The factor a line's volume and mute put on a channel's signal.
double TVirtualSoundCard::LineGain(uint32_t Destination, uint32_t Source, uint32_t Channel) const {
  double g = 1.0;
  if (const TControl* v = LineControl(Destination, Source, MIXERCONTROL_CONTROLTYPE_VOLUME))
    g = static_cast<uint32_t>(v->Value[std::min(Channel, v->Channels - 1)]) / 65535.0;
  if (const TControl* m = LineControl(Destination, Source, MIXERCONTROL_CONTROLTYPE_MUTE))
    if (m->Value[0] != 0) g = 0;
  return g;
}

uint32_t TVirtualSoundCard::ControlID(uint32_t Destination, uint32_t Source, uint32_t ControlType) const {
  TLock Lock(FLock);
  const TControl* c = LineControl(Destination, Source, ControlType);
  return c ? c->ID : 0;
}

int32_t TVirtualSoundCard::ControlValue(uint32_t ControlID, uint32_t Channel) const {
  TLock Lock(FLock);
  const TControl* c = FindControl(ControlID);
  return c ? c->Value[std::min(Channel, c->Channels - 1)] : 0;
}

bool TVirtualSoundCard::SetControlValue(uint32_t ControlID, const std::vector<uint32_t>& Values) {
  TLock Lock(FLock);
  TControl* c = FindControl(ControlID);
  if (c == nullptr || c->Type == MIXERCONTROL_CONTROLTYPE_PEAKMETER || Values.empty()) return false;
  ChangeControl(Lock, *c, Values.data(), static_cast<uint32_t>(std::min<size_t>(Values.size(), 2)));
  return true;
}

// Stores new values; when they differ, every open mixer handle is told, and
// the call returns after those notifications have run.
void TVirtualSoundCard::ChangeControl(TLock& Lock, TControl& Control, const uint32_t* Values, uint32_t Count) {
  bool Changed = false;
  for (uint32_t ch = 0; ch < Control.Channels; ++ch) {
    uint32_t v = Values[Count == 1 ? 0 : std::min(ch, Count - 1)];
    if (Control.Type == MIXERCONTROL_CONTROLTYPE_MUTE) v = v != 0;
    const auto nv = static_cast<int32_t>(v);
    if (Control.Value[ch] != nv) Changed = true;
    Control.Value[ch] = nv;
  }
  if (Control.Channels == 1) Control.Value[1] = Control.Value[0];
  if (!Changed) return;
  const uint32_t ID = Control.ID;
  for (auto& [h, m] : FMixers) {
    if (m->Callback == nullptr || m->Quit) continue;
    if (std::find(m->Pending, m->Pending + m->PendingCount, ID) != m->Pending + m->PendingCount) continue;
    if (m->PendingCount < static_cast<int>(std::size(m->Pending))) m->Pending[m->PendingCount++] = ID;
    m->Wake.notify_one();
  }
  FDelivered.wait(Lock, [this] {
    for (auto& [h, m] : FMixers)
      if (m->PendingCount > 0 || m->InCallback) return false;
    return true;
  });
}

void TVirtualSoundCard::MixerThread(TMixerHandle* M) {
  TLock Lock(FLock);
  for (;;) {
    if (M->PendingCount > 0) {
      const uint32_t ID = M->Pending[0];
      std::copy(M->Pending + 1, M->Pending + M->PendingCount, M->Pending);
      --M->PendingCount;
      M->InCallback = true;
      TMixerProc Callback = M->Callback;
      const uintptr_t Handle = M->Handle, Instance = M->Instance;
      Lock.unlock();
      Callback(Handle, MM_MIXM_CONTROL_CHANGE, Instance, Handle, ID);
      Lock.lock();
      M->InCallback = false;
      FDelivered.notify_all();
      continue;
    }
    if (M->Quit) break;
    M->Wake.wait(Lock);
  }
}

TVirtualSoundCard::TMixerHandle* TVirtualSoundCard::FindMixer(uintptr_t Handle) {
  auto it = FMixers.find(Handle);
  return it == FMixers.end() || it->second->Quit ? nullptr : it->second.get();
}

uint32_t TVirtualSoundCard::mixerGetNumDevs() {
  TLock Lock(FLock);
  return FMixerCount;
}

MMRESULT TVirtualSoundCard::mixerGetDevCapsA(uint32_t MixerID, MIXERCAPSA* Caps, uint32_t CapsSize) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault("mixerGetDevCapsA")) return r;
  if (MixerID >= FMixerCount) return MMSYSERR_BADDEVICEID;
  if (Caps == nullptr || CapsSize != sizeof(MIXERCAPSA)) return MMSYSERR_INVALPARAM;
  *Caps = FMixerCaps;
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualSoundCard::mixerOpen(HMIXER* Handle, uint32_t MixerID, TMixerProc Callback, uintptr_t Instance,
                                      uint32_t Flags) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault("mixerOpen")) return r;
  if (MixerID >= FMixerCount) return MMSYSERR_BADDEVICEID;
  if (Handle == nullptr) return MMSYSERR_INVALPARAM;
  const uint32_t Kind = Flags & 0x00070000u;
  if (Kind == CALLBACK_FUNCTION) {
    if (Callback == nullptr) return MMSYSERR_INVALPARAM;
  } else if (Kind != CALLBACK_NULL) {
    return MMSYSERR_INVALFLAG;
  }
  auto Mixer = std::make_unique<TMixerHandle>();
  TMixerHandle* M = Mixer.get();
  M->Handle = FNextHandle++;
  M->Callback = Kind == CALLBACK_FUNCTION ? Callback : nullptr;
  M->Instance = Instance;
  if (M->Callback) M->Thread = std::thread(&TVirtualSoundCard::MixerThread, this, M);
  FMixers[M->Handle] = std::move(Mixer);
  *Handle = M->Handle;
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualSoundCard::mixerClose(HMIXER Handle) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault("mixerClose")) return r;
  TMixerHandle* M = FindMixer(Handle);
  if (M == nullptr) return MMSYSERR_INVALHANDLE;
  M->Quit = true;
  M->PendingCount = 0;
  M->Wake.notify_one();
  FDelivered.wait(Lock, [&] { return !M->InCallback; });
  std::thread Thread = std::move(M->Thread);
  auto Node = FMixers.extract(Handle);
  Lock.unlock();
  if (Thread.joinable()) Thread.join();
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualSoundCard::mixerGetLineInfoA(HMIXER Handle, MIXERLINEA* Line, uint32_t Flags) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault("mixerGetLineInfoA")) return r;
  if (FindMixer(Handle) == nullptr) return MMSYSERR_INVALHANDLE;
  if (Line == nullptr || Line->cbStruct != sizeof(MIXERLINEA)) return MMSYSERR_INVALPARAM;
  if (Flags > MIXER_GETLINEINFOF_LINEID) return MMSYSERR_INVALFLAG;
  const TLine* l = FindLine(*Line, Flags);
  if (l == nullptr) return MIXERR_INVALLINE;
  Line->dwDestination = l->Destination;
  Line->dwSource = l->Source == OwnLine ? 0 : l->Source;
  Line->dwLineID = l->LineID;
  Line->fdwLine = MIXERLINE_LINEF_ACTIVE | (l->Source == OwnLine ? 0u : uint32_t{MIXERLINE_LINEF_SOURCE});
  Line->dwUser = 0;
  Line->dwComponentType = l->ComponentType;
  Line->cChannels = l->Channels;
  Line->cConnections = l->Source == OwnLine ? l->Connections : 0;
  Line->cControls = static_cast<uint32_t>(l->Controls.size());
  virtual_card::CopyName(Line->szShortName, MIXER_SHORT_NAME_CHARS, l->ShortName);
  virtual_card::CopyName(Line->szName, MIXER_LONG_NAME_CHARS, l->Name);
  Line->Target = {};
  Line->Target.dwType = 0;
  virtual_card::CopyName(Line->Target.szPname, MAXPNAMELEN, FMixerCaps.szPname);
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualSoundCard::mixerGetLineControlsA(HMIXER Handle, MIXERLINECONTROLSA* Controls, uint32_t Flags) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault("mixerGetLineControlsA")) return r;
  if (FindMixer(Handle) == nullptr) return MMSYSERR_INVALHANDLE;
  if (Controls == nullptr || Controls->cbStruct != sizeof(MIXERLINECONTROLSA) ||
      Controls->cbmxctrl != sizeof(MIXERCONTROLA) || Controls->pamxctrl == nullptr)
    return MMSYSERR_INVALPARAM;
  auto Fill = [&](const TControl& c, MIXERCONTROLA& Out) {
    Out = MIXERCONTROLA{};
    Out.dwControlID = c.ID;
    Out.dwControlType = c.Type;
    switch (c.Type) {
      case MIXERCONTROL_CONTROLTYPE_VOLUME:
        virtual_card::CopyName(Out.szShortName, MIXER_SHORT_NAME_CHARS, "Vol");
        virtual_card::CopyName(Out.szName, MIXER_LONG_NAME_CHARS, FLines[c.Line].Name + " Volume");
        Out.Bounds.lMaximum = 65535;
        Out.Metrics.cSteps = 65536;
        break;
      case MIXERCONTROL_CONTROLTYPE_MUTE:
        Out.fdwControl = MIXERCONTROL_CONTROLF_UNIFORM;
        virtual_card::CopyName(Out.szShortName, MIXER_SHORT_NAME_CHARS, "Mute");
        virtual_card::CopyName(Out.szName, MIXER_LONG_NAME_CHARS, FLines[c.Line].Name + " Mute");
        Out.Bounds.lMaximum = 1;
        Out.Metrics.cSteps = 2;
        break;
      default:
        virtual_card::CopyName(Out.szShortName, MIXER_SHORT_NAME_CHARS, "Peak");
        virtual_card::CopyName(Out.szName, MIXER_LONG_NAME_CHARS, FLines[c.Line].Name + " Peak Meter");
        Out.Bounds.lMinimum = -32768;
        Out.Bounds.lMaximum = 32767;
        break;
    }
  };
  switch (Flags) {
    case MIXER_GETLINECONTROLSF_ALL: {
      MIXERLINEA Key;
      Key.dwLineID = Controls->dwLineID;
      const TLine* l = FindLine(Key, MIXER_GETLINEINFOF_LINEID);
      if (l == nullptr) return MIXERR_INVALLINE;
      if (Controls->cControls != l->Controls.size() || l->Controls.empty()) return MMSYSERR_INVALPARAM;
      for (size_t i = 0; i < l->Controls.size(); ++i) Fill(*FindControl(l->Controls[i]), Controls->pamxctrl[i]);
      return MMSYSERR_NOERROR;
    }
    case MIXER_GETLINECONTROLSF_ONEBYID: {
      const TControl* c = FindControl(Controls->dwControlID);
      if (c == nullptr) return MIXERR_INVALCONTROL;
      Controls->dwLineID = FLines[c->Line].LineID;
      Fill(*c, Controls->pamxctrl[0]);
      return MMSYSERR_NOERROR;
    }
    case MIXER_GETLINECONTROLSF_ONEBYTYPE: {
      MIXERLINEA Key;
      Key.dwLineID = Controls->dwLineID;
      const TLine* l = FindLine(Key, MIXER_GETLINEINFOF_LINEID);
      if (l == nullptr) return MIXERR_INVALLINE;
      for (uint32_t id : l->Controls) {
        const TControl* c = FindControl(id);
        if (c->Type == Controls->dwControlType) {
          Fill(*c, Controls->pamxctrl[0]);
          return MMSYSERR_NOERROR;
        }
      }
      return MIXERR_INVALCONTROL;
    }
    default:
      return MMSYSERR_INVALFLAG;
  }
}

MMRESULT TVirtualSoundCard::mixerGetControlDetailsA(HMIXER Handle, MIXERCONTROLDETAILS* Details, uint32_t Flags) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault("mixerGetControlDetailsA")) return r;
  if (FindMixer(Handle) == nullptr) return MMSYSERR_INVALHANDLE;
  if (Flags != MIXER_GETCONTROLDETAILSF_VALUE) return MMSYSERR_INVALFLAG;
  if (Details == nullptr || Details->cbStruct != sizeof(MIXERCONTROLDETAILS) || Details->cbDetails != 4 ||
      Details->cMultipleItems != 0 || Details->paDetails == nullptr)
    return MMSYSERR_INVALPARAM;
  const TControl* c = FindControl(Details->dwControlID);
  if (c == nullptr) return MIXERR_INVALCONTROL;
  if (Details->cChannels < 1 || Details->cChannels > FLines[c->Line].Channels) return MMSYSERR_INVALPARAM;
  auto* Out = static_cast<int32_t*>(Details->paDetails);
  for (uint32_t ch = 0; ch < Details->cChannels; ++ch) Out[ch] = c->Value[std::min(ch, c->Channels - 1)];
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualSoundCard::mixerSetControlDetails(HMIXER Handle, const MIXERCONTROLDETAILS* Details,
                                                   uint32_t Flags) {
  TLock Lock(FLock);
  if (MMRESULT r = Fault("mixerSetControlDetails")) return r;
  if (FindMixer(Handle) == nullptr) return MMSYSERR_INVALHANDLE;
  if (Flags != MIXER_SETCONTROLDETAILSF_VALUE) return MMSYSERR_INVALFLAG;
  if (Details == nullptr || Details->cbStruct != sizeof(MIXERCONTROLDETAILS) || Details->cbDetails != 4 ||
      Details->cMultipleItems != 0 || Details->paDetails == nullptr)
    return MMSYSERR_INVALPARAM;
  TControl* c = FindControl(Details->dwControlID);
  if (c == nullptr) return MIXERR_INVALCONTROL;
  if (c->Type == MIXERCONTROL_CONTROLTYPE_PEAKMETER) return MMSYSERR_NOTSUPPORTED;
  if (Details->cChannels < 1 || Details->cChannels > FLines[c->Line].Channels) return MMSYSERR_INVALPARAM;
  uint32_t Values[2] = {0, 0};
  const auto* In = static_cast<const uint32_t*>(Details->paDetails);
  const uint32_t Count = std::min<uint32_t>(Details->cChannels, 2);
  for (uint32_t ch = 0; ch < Count; ++ch) {
    Values[ch] = In[ch];
    if (c->Type == MIXERCONTROL_CONTROLTYPE_VOLUME && Values[ch] > 65535) return MIXERR_INVALVALUE;
  }
  ChangeControl(Lock, *c, Values, Count);
  return MMSYSERR_NOERROR;
}

}  // namespace quellmarin

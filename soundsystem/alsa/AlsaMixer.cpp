#include "soundsystem/alsa/AlsaMixer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "soundsystem/alsa/AlsaSoundSystem.h"

namespace quellmarin {

namespace {

void CopyName(char* Target, size_t Size, const std::string& Text) {
  std::memset(Target, 0, Size);
  std::strncpy(Target, Text.c_str(), Size - 1);
}

snd_mixer_elem_t* FindElem(snd_mixer_t* Mixer, const char* Name) {
  snd_mixer_selem_id_t* sid;
  snd_mixer_selem_id_alloca(&sid);
  snd_mixer_selem_id_set_index(sid, 0);
  snd_mixer_selem_id_set_name(sid, Name);
  return snd_mixer_find_selem(Mixer, sid);
}

// Opens Ctl as a simple mixer with its elements loaded.
int OpenMixer(const std::string& Ctl, snd_mixer_t** Mixer) {
  int err = snd_mixer_open(Mixer, 0);
  if (err < 0) return err;
  if ((err = snd_mixer_attach(*Mixer, Ctl.c_str())) < 0 || (err = snd_mixer_selem_register(*Mixer, nullptr, nullptr)) < 0 ||
      (err = snd_mixer_load(*Mixer)) < 0) {
    snd_mixer_close(*Mixer);
    *Mixer = nullptr;
  }
  return err;
}

const snd_mixer_selem_channel_id_t ChannelIds[2] = {SND_MIXER_SCHN_FRONT_LEFT, SND_MIXER_SCHN_FRONT_RIGHT};

// Volume of an element channel as 0 .. 65535. The sound system remembers
// the level last set for a raw value, so a level set reads back unchanged
// even where ALSA's range is coarser.
uint32_t GetLevel(TAlsaSoundSystem& Owner, const std::string& Ctl, snd_mixer_elem_t* Elem, bool Capture,
                  int Channel) {
  long min = 0, max = 0, raw = 0;
  if (Capture) {
    snd_mixer_selem_get_capture_volume_range(Elem, &min, &max);
    if (snd_mixer_selem_has_capture_channel(Elem, ChannelIds[Channel]))
      snd_mixer_selem_get_capture_volume(Elem, ChannelIds[Channel], &raw);
    else
      snd_mixer_selem_get_capture_volume(Elem, SND_MIXER_SCHN_MONO, &raw);
  } else {
    snd_mixer_selem_get_playback_volume_range(Elem, &min, &max);
    if (snd_mixer_selem_has_playback_channel(Elem, ChannelIds[Channel]))
      snd_mixer_selem_get_playback_volume(Elem, ChannelIds[Channel], &raw);
    else
      snd_mixer_selem_get_playback_volume(Elem, SND_MIXER_SCHN_MONO, &raw);
  }
  std::string key = Ctl + "|" + snd_mixer_selem_get_name(Elem) + (Capture ? "|c" : "|p") + std::to_string(Channel);
  uint32_t level;
  if (Owner.RecallLevel(key, raw, level)) return level;
  if (max <= min) return 0;
  double v = std::round(static_cast<double>(raw - min) * 65535.0 / static_cast<double>(max - min));
  return static_cast<uint32_t>(std::clamp(v, 0.0, 65535.0));
}

int SetLevel(TAlsaSoundSystem& Owner, const std::string& Ctl, snd_mixer_elem_t* Elem, bool Capture, int Channel,
             uint32_t Level, bool All) {
  long min = 0, max = 0;
  if (Capture)
    snd_mixer_selem_get_capture_volume_range(Elem, &min, &max);
  else
    snd_mixer_selem_get_playback_volume_range(Elem, &min, &max);
  long raw = min + std::lround(static_cast<double>(Level) * static_cast<double>(max - min) / 65535.0);
  int err;
  if (All)
    err = Capture ? snd_mixer_selem_set_capture_volume_all(Elem, raw) : snd_mixer_selem_set_playback_volume_all(Elem, raw);
  else if (Capture)
    err = snd_mixer_selem_set_capture_volume(Elem, ChannelIds[Channel], raw);
  else
    err = snd_mixer_selem_set_playback_volume(Elem, ChannelIds[Channel], raw);
  if (err < 0) return err;
  std::string base = Ctl + "|" + snd_mixer_selem_get_name(Elem) + (Capture ? "|c" : "|p");
  for (int c = 0; c < 2; ++c)
    if (All || c == Channel) Owner.RememberLevel(base + std::to_string(c), raw, Level);
  return 0;
}

bool IsMono(snd_mixer_elem_t* Elem, bool Capture) {
  return Capture ? snd_mixer_selem_is_capture_mono(Elem) : snd_mixer_selem_is_playback_mono(Elem);
}

}  // namespace

TAlsaMixer::TAlsaMixer(TAlsaSoundSystem& Owner, uintptr_t Handle, std::string CtlName, TMixerProc Callback,
                       uintptr_t Instance)
    : Ctl(std::move(CtlName)), FOwner(Owner), FHandle(Handle), FCallback(Callback), FInstance(Instance) {}

TAlsaMixer::~TAlsaMixer() { Close(); }

MMRESULT TAlsaMixer::ProductName(TAlsaSoundSystem& Owner, const std::string& CtlName, std::string& Name) {
  snd_ctl_t* ctl = nullptr;
  int err = snd_ctl_open(&ctl, CtlName.c_str(), SND_CTL_NONBLOCK);
  if (err < 0) return Owner.AlsaError("Could not open ALSA control device", CtlName, err);
  snd_ctl_card_info_t* info;
  snd_ctl_card_info_alloca(&info);
  std::string card = CtlName;
  if (snd_ctl_card_info(ctl, info) >= 0 && snd_ctl_card_info_get_name(info)[0]) card = snd_ctl_card_info_get_name(info);
  snd_ctl_close(ctl);
  Name = "ALSA mixer: " + card;
  return MMSYSERR_NOERROR;
}

MMRESULT TAlsaMixer::WaveVolume(TAlsaSoundSystem& Owner, const std::string& CtlName, bool Set, uint32_t& Volume,
                                bool* Stereo) {
  if (CtlName.empty()) return MMSYSERR_NOTSUPPORTED;
  snd_mixer_t* mixer = nullptr;
  int err = OpenMixer(CtlName, &mixer);
  if (err < 0) return Owner.AlsaError("Could not open ALSA mixer", CtlName, err);
  snd_mixer_elem_t* elem = FindElem(mixer, "PCM");
  if (!elem || !snd_mixer_selem_has_playback_volume(elem)) elem = FindElem(mixer, "Master");
  MMRESULT r = MMSYSERR_NOERROR;
  if (!elem || !snd_mixer_selem_has_playback_volume(elem)) {
    r = MMSYSERR_NOTSUPPORTED;
  } else {
    bool mono = IsMono(elem, false);
    if (Stereo) *Stereo = !mono;
    if (Set) {
      uint32_t left = Volume & 0xFFFF, right = Volume >> 16;
      if (mono) {
        err = SetLevel(Owner, CtlName, elem, false, 0, left, true);
      } else {
        err = SetLevel(Owner, CtlName, elem, false, 0, left, false);
        if (err >= 0) err = SetLevel(Owner, CtlName, elem, false, 1, right, false);
      }
      if (err < 0) r = Owner.AlsaError("Could not set the playback volume on ALSA mixer", CtlName, err);
    } else {
      uint32_t left = GetLevel(Owner, CtlName, elem, false, 0);
      uint32_t right = mono ? left : GetLevel(Owner, CtlName, elem, false, 1);
      Volume = left | right << 16;
    }
  }
  snd_mixer_close(mixer);
  return r;
}

MMRESULT TAlsaMixer::Open() {
  int err = OpenMixer(Ctl, &FMixer);
  if (err < 0) return FOwner.AlsaError("Could not open ALSA mixer", Ctl, err);
  Map();
  Snapshot(FLast);
  FWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (FWakeFd < 0) {
    snd_mixer_close(FMixer);
    FMixer = nullptr;
    return MMSYSERR_NOMEM;
  }
  FThread = std::thread([this] { Run(); });
  return MMSYSERR_NOERROR;
}

void TAlsaMixer::Close() {
  {
    std::lock_guard lock(FLock);
    FStop = true;
  }
  if (FThread.joinable()) {
    uint64_t one = 1;
    ssize_t n = ::write(FWakeFd, &one, sizeof one);
    (void)n;
    FThread.join();
  }
  if (FMixer) {
    snd_mixer_close(FMixer);
    FMixer = nullptr;
  }
  if (FWakeFd >= 0) {
    ::close(FWakeFd);
    FWakeFd = -1;
  }
}

void TAlsaMixer::Map() {
  FDestinations.clear();
  auto line = [&](uint32_t Destination, const char* Elem, const char* Name, const char* Short, uint32_t Component,
                  bool Capture, bool Own) {
    snd_mixer_elem_t* e = Elem ? FindElem(FMixer, Elem) : nullptr;
    TLine l;
    l.Destination = Destination;
    l.Name = Name;
    l.ShortName = Short;
    l.Component = Component;
    l.Capture = Capture;
    if (e) {
      l.Volume = Capture ? snd_mixer_selem_has_capture_volume(e) : snd_mixer_selem_has_playback_volume(e);
      l.Mute = Capture ? snd_mixer_selem_has_capture_switch(e) : snd_mixer_selem_has_playback_switch(e);
      if (l.Volume || l.Mute) {
        l.Elem = e;
        l.Channels = IsMono(e, Capture) ? 1 : 2;
      } else {
        l.Volume = l.Mute = false;
      }
    }
    if (!l.Elem && !Own) return;  // a source the device does not have
    auto& lines = FDestinations[Destination];
    l.Source = static_cast<uint32_t>(lines.size());
    lines.push_back(l);
  };
  FDestinations.resize(2);
  // Playback: the master element, or what a card without one calls its
  // main output.
  const char* master = "Master";
  for (const char* candidate : {"Master", "Speaker", "Headphone", "Front"}) {
    snd_mixer_elem_t* e = FindElem(FMixer, candidate);
    if (e && snd_mixer_selem_has_playback_volume(e)) {
      master = candidate;
      break;
    }
  }
  line(0, master, "Master Volume", "Master", MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, false, true);
  line(0, "PCM", "Wave", "Wave", MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT, false, false);
  line(0, "Mic", "Microphone", "Mic", MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, false, false);
  line(0, "Line", "Line In", "Line", MIXERLINE_COMPONENTTYPE_SRC_LINE, false, false);
  line(0, "CD", "CD Audio", "CD", MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC, false, false);
  line(1, "Capture", "Recording Control", "Recording", MIXERLINE_COMPONENTTYPE_DST_WAVEIN, true, true);
  line(1, "Mic", "Microphone", "Mic", MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, true, false);
  line(1, "Line", "Line In", "Line", MIXERLINE_COMPONENTTYPE_SRC_LINE, true, false);
  line(1, "CD", "CD Audio", "CD", MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC, true, false);
  // The recording line's meter measures what is captured.
  TLine& rec = FDestinations[1][0];
  rec.Meter = true;
  if (!rec.Elem) rec.Channels = 2;
}

TAlsaMixer::TLine* TAlsaMixer::FindLine(uint32_t LineID) {
  for (auto& d : FDestinations)
    for (auto& l : d)
      if (l.LineID() == LineID) return &l;
  return nullptr;
}

TAlsaMixer::TLine* TAlsaMixer::FindControl(uint32_t ID, TKind& Kind) {
  TLine* l = FindLine(ID / 4);
  if (!l) return nullptr;
  Kind = static_cast<TKind>(ID % 4);
  if ((Kind == kVolume && l->Volume) || (Kind == kMute && l->Mute) || (Kind == kMeter && l->Meter)) return l;
  return nullptr;
}

void TAlsaMixer::FillControl(const TLine& Line, TKind Kind, MIXERCONTROLA& Control) const {
  Control = MIXERCONTROLA{};
  Control.dwControlID = Line.LineID() * 4 + Kind;
  long min = 0, max = 0;
  switch (Kind) {
    case kVolume:
      Control.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
      CopyName(Control.szShortName, sizeof Control.szShortName, "Volume");
      CopyName(Control.szName, sizeof Control.szName, Line.Name + " Volume");
      Control.Bounds.lMinimum = 0;
      Control.Bounds.lMaximum = 65535;
      if (Line.Capture)
        snd_mixer_selem_get_capture_volume_range(Line.Elem, &min, &max);
      else
        snd_mixer_selem_get_playback_volume_range(Line.Elem, &min, &max);
      Control.Metrics.cSteps = static_cast<uint32_t>(max - min + 1);
      break;
    case kMute:
      Control.dwControlType = MIXERCONTROL_CONTROLTYPE_MUTE;
      Control.fdwControl = MIXERCONTROL_CONTROLF_UNIFORM;
      CopyName(Control.szShortName, sizeof Control.szShortName, "Mute");
      CopyName(Control.szName, sizeof Control.szName, Line.Name + " Mute");
      Control.Bounds.lMinimum = 0;
      Control.Bounds.lMaximum = 1;
      Control.Metrics.cSteps = 2;
      break;
    case kMeter:
      Control.dwControlType = MIXERCONTROL_CONTROLTYPE_PEAKMETER;
      CopyName(Control.szShortName, sizeof Control.szShortName, "Peak");
      CopyName(Control.szName, sizeof Control.szName, Line.Name + " Peak Meter");
      Control.Bounds.lMinimum = -32768;
      Control.Bounds.lMaximum = 32767;
      Control.Metrics.cSteps = 65536;
      break;
  }
}

void TAlsaMixer::ReadValues(const TLine& Line, TKind Kind, uint32_t Values[2]) {
  switch (Kind) {
    case kVolume:
      Values[0] = GetLevel(FOwner, Ctl, Line.Elem, Line.Capture, 0);
      Values[1] = Line.Channels == 2 ? GetLevel(FOwner, Ctl, Line.Elem, Line.Capture, 1) : Values[0];
      break;
    case kMute: {
      int on = 1;
      if (Line.Capture)
        snd_mixer_selem_get_capture_switch(Line.Elem, SND_MIXER_SCHN_FRONT_LEFT, &on);
      else
        snd_mixer_selem_get_playback_switch(Line.Elem, SND_MIXER_SCHN_FRONT_LEFT, &on);
      Values[0] = Values[1] = on ? 0 : 1;
      break;
    }
    case kMeter: {
      int32_t left, right;
      FOwner.ReadPeak(left, right);
      Values[0] = static_cast<uint32_t>(left);
      Values[1] = static_cast<uint32_t>(right);
      break;
    }
  }
}

void TAlsaMixer::Snapshot(std::vector<TControlValue>& Values) {
  Values.clear();
  for (auto& d : FDestinations)
    for (auto& l : d)
      for (TKind k : {kVolume, kMute}) {
        if ((k == kVolume && !l.Volume) || (k == kMute && !l.Mute)) continue;
        TControlValue v{l.LineID() * 4 + k, {0, 0}};
        ReadValues(l, k, v.Values);
        Values.push_back(v);
      }
}

void TAlsaMixer::NotifyChanges() {
  std::vector<TControlValue> now;
  Snapshot(now);
  std::vector<TControlValue> before;
  before.swap(FLast);
  FLast = now;
  if (!FCallback) return;
  for (size_t i = 0; i < now.size() && i < before.size(); ++i)
    if (now[i].Values[0] != before[i].Values[0] || now[i].Values[1] != before[i].Values[1])
      FCallback(FHandle, MM_MIXM_CONTROL_CHANGE, FInstance, FHandle, now[i].ID);
}

void TAlsaMixer::Rescan() {
  uint64_t one = 1;
  ssize_t n = ::write(FWakeFd, &one, sizeof one);
  (void)n;
}

void TAlsaMixer::Run() {
  std::unique_lock lock(FLock);
  while (!FStop) {
    struct pollfd fds[16];
    fds[0] = {FWakeFd, POLLIN, 0};
    int count = 1;
    if (!FDead) {
      int n = snd_mixer_poll_descriptors(FMixer, fds + 1, 15);
      if (n > 0) count += n;
    }
    lock.unlock();
    ::poll(fds, static_cast<nfds_t>(count), -1);
    uint64_t value;
    ssize_t r = ::read(FWakeFd, &value, sizeof value);
    (void)r;
    lock.lock();
    if (FStop) break;
    if (count > 1) {
      unsigned short revents = 0;
      snd_mixer_poll_descriptors_revents(FMixer, fds + 1, static_cast<unsigned>(count - 1), &revents);
      if (revents & (POLLERR | POLLHUP | POLLNVAL)) FDead = true;  // the control device went away
      if (revents & POLLIN && snd_mixer_handle_events(FMixer) < 0) FDead = true;
    }
    NotifyChanges();
  }
}

MMRESULT TAlsaMixer::GetLineInfo(MIXERLINEA* Line, uint32_t Flags) {
  std::lock_guard lock(FLock);
  const TLine* l = nullptr;
  switch (Flags) {
    case MIXER_GETLINEINFOF_DESTINATION:
      if (Line->dwDestination >= FDestinations.size()) return MIXERR_INVALLINE;
      l = &FDestinations[Line->dwDestination][0];
      break;
    case MIXER_GETLINEINFOF_SOURCE:
      if (Line->dwDestination >= FDestinations.size() ||
          Line->dwSource + 1 >= FDestinations[Line->dwDestination].size())
        return MIXERR_INVALLINE;
      l = &FDestinations[Line->dwDestination][Line->dwSource + 1];
      break;
    case MIXER_GETLINEINFOF_LINEID:
      l = FindLine(Line->dwLineID);
      if (!l) return MIXERR_INVALLINE;
      break;
    default:
      return MMSYSERR_INVALFLAG;
  }
  MIXERLINEA out;
  out.dwDestination = l->Destination;
  out.dwSource = l->Source > 0 ? l->Source - 1 : 0;
  out.dwLineID = l->LineID();
  out.fdwLine = MIXERLINE_LINEF_ACTIVE | (l->Source > 0 ? static_cast<uint32_t>(MIXERLINE_LINEF_SOURCE) : 0u);
  out.dwUser = Line->dwUser;
  out.dwComponentType = l->Component;
  out.cChannels = l->Channels;
  out.cConnections = l->Source == 0 ? static_cast<uint32_t>(FDestinations[l->Destination].size() - 1) : 0;
  out.cControls = l->ControlCount();
  CopyName(out.szShortName, sizeof out.szShortName, l->ShortName);
  CopyName(out.szName, sizeof out.szName, l->Name);
  out.Target.dwType = 0;
  CopyName(out.Target.szPname, sizeof out.Target.szPname, "ALSA " + Ctl);
  *Line = out;
  return MMSYSERR_NOERROR;
}

MMRESULT TAlsaMixer::GetLineControls(MIXERLINECONTROLSA* Controls, uint32_t Flags) {
  std::lock_guard lock(FLock);
  if (Controls->cbmxctrl != sizeof(MIXERCONTROLA) || Controls->pamxctrl == nullptr) return MMSYSERR_INVALPARAM;
  switch (Flags) {
    case MIXER_GETLINECONTROLSF_ALL: {
      TLine* l = FindLine(Controls->dwLineID);
      if (!l) return MIXERR_INVALLINE;
      if (Controls->cControls != l->ControlCount() || Controls->cControls == 0) return MMSYSERR_INVALPARAM;
      uint32_t i = 0;
      for (TKind k : {kVolume, kMute, kMeter})
        if ((k == kVolume && l->Volume) || (k == kMute && l->Mute) || (k == kMeter && l->Meter))
          FillControl(*l, k, Controls->pamxctrl[i++]);
      return MMSYSERR_NOERROR;
    }
    case MIXER_GETLINECONTROLSF_ONEBYID: {
      TKind k;
      TLine* l = FindControl(Controls->dwControlID, k);
      if (!l) return MIXERR_INVALCONTROL;
      Controls->dwLineID = l->LineID();
      FillControl(*l, k, Controls->pamxctrl[0]);
      return MMSYSERR_NOERROR;
    }
    case MIXER_GETLINECONTROLSF_ONEBYTYPE: {
      TLine* l = FindLine(Controls->dwLineID);
      if (!l) return MIXERR_INVALLINE;
      for (TKind k : {kVolume, kMute, kMeter}) {
        MIXERCONTROLA c;
        if ((k == kVolume && l->Volume) || (k == kMute && l->Mute) || (k == kMeter && l->Meter)) {
          FillControl(*l, k, c);
          if (c.dwControlType == Controls->dwControlType) {
            Controls->pamxctrl[0] = c;
            Controls->dwControlID = c.dwControlID;
            return MMSYSERR_NOERROR;
          }
        }
      }
      return MIXERR_INVALCONTROL;
    }
    default:
      return MMSYSERR_INVALFLAG;
  }
}

// One 32-bit value per channel, for 1 up to the line's channel count.
bool TAlsaMixer::DetailsFit(const MIXERCONTROLDETAILS& Details, const TLine& Line) {
  return Details.cbDetails == 4 && Details.cMultipleItems == 0 && Details.paDetails != nullptr &&
         Details.cChannels >= 1 && Details.cChannels <= Line.Channels;
}

MMRESULT TAlsaMixer::GetControlDetails(MIXERCONTROLDETAILS* Details) {
  std::lock_guard lock(FLock);
  TKind k;
  TLine* l = FindControl(Details->dwControlID, k);
  if (!l) return MIXERR_INVALCONTROL;
  if (!DetailsFit(*Details, *l)) return MMSYSERR_INVALPARAM;
  uint32_t values[2];
  ReadValues(*l, k, values);
  std::memcpy(Details->paDetails, values, 4 * Details->cChannels);
  return MMSYSERR_NOERROR;
}

MMRESULT TAlsaMixer::SetControlDetails(const MIXERCONTROLDETAILS* Details) {
  std::unique_lock lock(FLock);
  TKind k;
  TLine* l = FindControl(Details->dwControlID, k);
  if (!l) return MIXERR_INVALCONTROL;
  if (!DetailsFit(*Details, *l)) return MMSYSERR_INVALPARAM;
  uint32_t values[2];
  std::memcpy(values, Details->paDetails, 4 * Details->cChannels);
  int err = 0;
  switch (k) {
    case kMeter:
      return MMSYSERR_NOTSUPPORTED;
    case kVolume:
      for (uint32_t c = 0; c < Details->cChannels; ++c)
        if (values[c] > 65535) return MIXERR_INVALVALUE;
      if (Details->cChannels == 1 || l->Channels == 1) {
        err = SetLevel(FOwner, Ctl, l->Elem, l->Capture, 0, values[0], true);
      } else {
        err = SetLevel(FOwner, Ctl, l->Elem, l->Capture, 0, values[0], false);
        if (err >= 0) err = SetLevel(FOwner, Ctl, l->Elem, l->Capture, 1, values[1], false);
      }
      break;
    case kMute:
      if (values[0] > 1) return MIXERR_INVALVALUE;
      err = l->Capture ? snd_mixer_selem_set_capture_switch_all(l->Elem, values[0] ? 0 : 1)
                       : snd_mixer_selem_set_playback_switch_all(l->Elem, values[0] ? 0 : 1);
      break;
  }
  if (err < 0) return FOwner.AlsaError("Could not set " + l->Name + " on ALSA mixer", Ctl, err);
  lock.unlock();
  // This handle and every other one on the device look at the values again
  // and report what changed.
  FOwner.MixerValuesChanged(Ctl);
  return MMSYSERR_NOERROR;
}

}  // namespace quellmarin

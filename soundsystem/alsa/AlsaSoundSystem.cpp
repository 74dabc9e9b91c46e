#include "soundsystem/alsa/AlsaSoundSystem.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "soundsystem/alsa/AlsaMixer.h"
#include "soundsystem/alsa/AlsaWave.h"

namespace quellmarin {

namespace {

// Codes this sound system invents for ALSA's failures start here.
constexpr MMRESULT FirstCode = 0x4000;
constexpr size_t MaxTexts = 4096;
// Device numbers given out at most (the list only grows while the program runs).
constexpr size_t MaxDevices = 256;

void CopyName(char* Target, size_t Size, const std::string& Text) {
  std::memset(Target, 0, Size);
  std::strncpy(Target, Text.c_str(), Size - 1);
}

bool ValidFormat(const WAVEFORMATEX* F) {
  return F->wFormatTag == WAVE_FORMAT_PCM && (F->nChannels == 1 || F->nChannels == 2) &&
         (F->wBitsPerSample == 8 || F->wBitsPerSample == 16) && F->nSamplesPerSec > 0 &&
         F->nBlockAlign == F->nChannels * F->wBitsPerSample / 8;
}

// Names the application for the sound server's client libraries, so desktop
// volume controls show the streams as "Quellmarin". The pulse ALSA plugin
// names its client "ALSA plug-in [<program>]"; only libpulse's override
// variables replace that (PULSE_PROP merely fills in what is missing).
// PipeWire's ALSA plugin takes its stream properties from PIPEWIRE_ALSA.
// A name the environment already gives is kept.
void NameStreams() {
  const char* override = std::getenv("PULSE_PROP_OVERRIDE");
  if (std::getenv("PULSE_PROP_OVERRIDE_application.name") == nullptr &&
      (override == nullptr || std::strstr(override, "application.name") == nullptr))
    setenv("PULSE_PROP_OVERRIDE_application.name", "Quellmarin", 1);
  if (std::getenv("PIPEWIRE_ALSA") == nullptr) setenv("PIPEWIRE_ALSA", "{ application.name = \"Quellmarin\" }", 1);
}

}  // namespace

TAlsaSoundSystem::TAlsaSoundSystem(std::string DefaultPcm, std::string DefaultCtl)
    : FDefaultPcm(std::move(DefaultPcm)), FDefaultCtl(std::move(DefaultCtl)) {
  NameStreams();
}

TAlsaSoundSystem::~TAlsaSoundSystem() {
  std::map<uintptr_t, std::shared_ptr<TAlsaWave>> waves;
  std::map<uintptr_t, std::shared_ptr<TAlsaMixer>> mixers;
  {
    std::lock_guard lock(FLock);
    waves.swap(FWaves);
    mixers.swap(FMixers);
  }
  for (auto& [h, w] : waves) {
    w->Reset();
    w->Close();
  }
  for (auto& [h, m] : mixers) m->Close();
}

namespace {
// ALSA prints its configuration errors to standard error; while probing, a
// missing card is an answer, not something to print.
void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}
}  // namespace

bool TAlsaSoundSystem::Available() {
  int card = -1;
  if (snd_card_next(&card) >= 0 && card >= 0) return true;
  snd_lib_error_set_handler(QuietAlsaErrors);
  snd_pcm_t* pcm = nullptr;
  const bool opened = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) >= 0;
  if (opened) snd_pcm_close(pcm);
  snd_lib_error_set_handler(nullptr);
  return opened;
}

std::string TAlsaSoundSystem::Name() const { return "ALSA"; }

// ---- error codes ------------------------------------------------------------

MMRESULT TAlsaSoundSystem::ErrorCode(const std::string& Text) {
  std::lock_guard lock(FLock);
  for (size_t i = 0; i < FTexts.size(); ++i)
    if (FTexts[i] == Text) return FirstCode + static_cast<MMRESULT>(i);
  if (FTexts.size() == MaxTexts) FTexts.pop_back();  // the last code takes the newest text
  FTexts.push_back(Text);
  return FirstCode + static_cast<MMRESULT>(FTexts.size() - 1);
}

MMRESULT TAlsaSoundSystem::AlsaError(const std::string& Step, const std::string& Device, int Err) {
  return ErrorCode(Step + " \"" + Device + "\": " + snd_strerror(Err));
}

MMRESULT TAlsaSoundSystem::ErrorText(MMRESULT Code, char* Text, uint32_t TextSize) {
  if (const char* standard = StandardErrorText(Code)) return CopyErrorText(standard, Text, TextSize);
  std::string text;
  {
    std::lock_guard lock(FLock);
    if (Code >= FirstCode && Code - FirstCode < FTexts.size()) text = FTexts[Code - FirstCode];
  }
  if (text.empty()) {
    CopyErrorText("", Text, TextSize);
    return MMSYSERR_BADERRNUM;
  }
  return CopyErrorText(text.c_str(), Text, TextSize);
}

MMRESULT TAlsaSoundSystem::waveInGetErrorTextA(MMRESULT Code, char* Text, uint32_t TextSize) {
  return ErrorText(Code, Text, TextSize);
}

MMRESULT TAlsaSoundSystem::waveOutGetErrorTextA(MMRESULT Code, char* Text, uint32_t TextSize) {
  return ErrorText(Code, Text, TextSize);
}

void TAlsaSoundSystem::SetLastDeviceError(const std::string& Text) {
  std::lock_guard lock(FLock);
  FLastDeviceError = Text;
}

std::string TAlsaSoundSystem::LastDeviceError() const {
  std::lock_guard lock(FLock);
  return FLastDeviceError;
}

void TAlsaSoundSystem::PublishPeak(int32_t Left, int32_t Right) {
  FPeakLeft.store(Left);
  FPeakRight.store(Right);
}

void TAlsaSoundSystem::ReadPeak(int32_t& Left, int32_t& Right) const {
  Left = FPeakLeft.load();
  Right = FPeakRight.load();
}

void TAlsaSoundSystem::RememberLevel(const std::string& Key, long Raw, uint32_t Level) {
  std::lock_guard lock(FLock);
  FLevels[Key] = {Raw, Level};
}

bool TAlsaSoundSystem::RecallLevel(const std::string& Key, long Raw, uint32_t& Level) const {
  std::lock_guard lock(FLock);
  auto it = FLevels.find(Key);
  if (it == FLevels.end() || it->second.first != Raw) return false;
  Level = it->second.second;
  return true;
}

// ---- devices ------------------------------------------------------------------

uint32_t TAlsaSoundSystem::Devices() {
  std::vector<TDevice> listed;
  std::string defaultDescription;
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) >= 0) {
    for (void** h = hints; *h; ++h) {
      char* name = snd_device_name_get_hint(*h, "NAME");
      char* desc = snd_device_name_get_hint(*h, "DESC");
      char* ioid = snd_device_name_get_hint(*h, "IOID");
      if (name) {
        const std::string d = desc ? desc : name;
        std::string joined;
        for (size_t from = 0; from <= d.size();) {
          size_t to = d.find('\n', from);
          if (to == std::string::npos) to = d.size();
          if (to > from) joined += (joined.empty() ? "" : ", ") + d.substr(from, to - from);
          from = to + 1;
        }
        if (std::strcmp(name, "default") == 0) {
          defaultDescription = joined;
        } else if (std::strcmp(name, "null") != 0) {
          TDevice device;
          device.Name = name;
          device.Desc = d.substr(0, d.find('\n'));
          device.Description = joined;
          device.Input = ioid == nullptr || std::strcmp(ioid, "Input") == 0;
          device.Output = ioid == nullptr || std::strcmp(ioid, "Output") == 0;
          device.Listed = true;
          listed.push_back(std::move(device));
        }
      }
      std::free(name);
      std::free(desc);
      std::free(ioid);
    }
    snd_device_name_free_hint(hints);
  }
  std::lock_guard lock(FLock);
  FDefaultDescription = defaultDescription;
  for (TDevice& known : FKnown) known.Listed = false;
  for (TDevice& device : listed) {
    auto it = std::find_if(FKnown.begin(), FKnown.end(), [&](const TDevice& k) { return k.Name == device.Name; });
    if (it != FKnown.end())
      *it = std::move(device);
    else if (FKnown.size() < MaxDevices)
      FKnown.push_back(std::move(device));
  }
  return static_cast<uint32_t>(FKnown.size());
}

bool TAlsaSoundSystem::PcmName(uint32_t DeviceID, std::string& Name, std::string& Desc) {
  if (DeviceID == WAVE_MAPPER) {
    Name = FDefaultPcm;
    Desc = "default device";
    return true;
  }
  // A number given out earlier keeps its PCM; a new one may need the list read.
  {
    std::lock_guard lock(FLock);
    if (DeviceID < FKnown.size()) {
      Name = FKnown[DeviceID].Name;
      Desc = FKnown[DeviceID].Desc;
      return true;
    }
  }
  if (DeviceID >= Devices()) return false;
  std::lock_guard lock(FLock);
  Name = FKnown[DeviceID].Name;
  Desc = FKnown[DeviceID].Desc;
  return true;
}

std::vector<TAlsaSoundSystem::TPcmDevice> TAlsaSoundSystem::PcmDevices() {
  Devices();
  std::vector<TPcmDevice> list;
  std::lock_guard lock(FLock);
  for (size_t i = 0; i < FKnown.size(); ++i)
    if (FKnown[i].Listed)
      list.push_back({static_cast<uint32_t>(i), FKnown[i].Name, FKnown[i].Description, FKnown[i].Input,
                      FKnown[i].Output});
  return list;
}

bool TAlsaSoundSystem::FindPcm(const std::string& Name, uint32_t& DeviceID) {
  if (Name == "default") {
    DeviceID = WAVE_MAPPER;
    return true;
  }
  for (const TPcmDevice& d : PcmDevices())
    if (d.Name == Name) {
      DeviceID = d.ID;
      return true;
    }
  return false;
}

bool TAlsaSoundSystem::DescribePcm(uint32_t DeviceID, std::string& Name, std::string& Description) {
  Devices();
  std::lock_guard lock(FLock);
  if (DeviceID == WAVE_MAPPER) {
    Name = FDefaultPcm;
    Description = FDefaultDescription;
    return true;
  }
  if (DeviceID >= FKnown.size()) return false;
  Name = FKnown[DeviceID].Name;
  Description = FKnown[DeviceID].Description;
  return true;
}

std::string TAlsaSoundSystem::CtlOfPcm(const std::string& Pcm) {
  if (Pcm == FDefaultPcm) return FDefaultCtl;
  // "front:CARD=PCH,DEV=0", "hw:1,0", "plughw:1": the card's own controls.
  auto card = Pcm.find("CARD=");
  if (card != std::string::npos) return "hw:" + Pcm.substr(card + 5, Pcm.find(',', card) - card - 5);
  for (const char* prefix : {"hw:", "plughw:"}) {
    size_t n = std::strlen(prefix);
    if (Pcm.compare(0, n, prefix) == 0) return "hw:" + Pcm.substr(n, Pcm.find(',') - n);
  }
  // A plugin with a control device of the same name ("pulse").
  std::string base = Pcm.substr(0, Pcm.find(':'));
  snd_config_t* top = nullptr;
  snd_config_t* node = nullptr;
  bool defined = false;
  if (snd_config_update_ref(&top) >= 0) {
    defined = snd_config_search(top, ("ctl." + base).c_str(), &node) >= 0;
    snd_config_unref(top);
  }
  return defined ? base : "";
}

uint32_t TAlsaSoundSystem::waveInGetNumDevs() { return Devices(); }
uint32_t TAlsaSoundSystem::waveOutGetNumDevs() { return Devices(); }

MMRESULT TAlsaSoundSystem::Caps(bool Capture, uint32_t DeviceID, char* Name, uint32_t& Formats, uint16_t& Channels,
                                uint32_t* Support) {
  std::string pcmName, desc;
  if (!PcmName(DeviceID, pcmName, desc)) return MMSYSERR_BADDEVICEID;
  CopyName(Name, MAXPNAMELEN, "ALSA " + desc);
  snd_pcm_t* pcm = nullptr;
  int err = snd_pcm_open(&pcm, pcmName.c_str(), Capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK,
                         SND_PCM_NONBLOCK);
  if (err < 0)
    return AlsaError(std::string("Could not open ALSA ") + (Capture ? "capture" : "playback") + " device", pcmName,
                     err);
  snd_pcm_hw_params_t* any;
  snd_pcm_hw_params_t* trial;
  snd_pcm_hw_params_alloca(&any);
  snd_pcm_hw_params_alloca(&trial);
  Formats = 0;
  Channels = 0;
  if (snd_pcm_hw_params_any(pcm, any) >= 0) {
    // Flag bit: rate index x 4 + bits index x 2 + channel index.
    const unsigned rates[3] = {11025, 22050, 44100};
    for (unsigned r = 0; r < 3; ++r)
      for (unsigned b = 0; b < 2; ++b)
        for (unsigned c = 0; c < 2; ++c) {
          snd_pcm_hw_params_copy(trial, any);
          if (snd_pcm_hw_params_set_format(pcm, trial, b ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_U8) < 0 ||
              snd_pcm_hw_params_set_channels(pcm, trial, c + 1) < 0 ||
              snd_pcm_hw_params_set_rate(pcm, trial, rates[r], 0) < 0)
            continue;
          Formats |= 1u << (r * 4 + b * 2 + c);
          if (c + 1 > Channels) Channels = static_cast<uint16_t>(c + 1);
        }
  }
  snd_pcm_close(pcm);
  if (Support) {
    *Support = 0;
    uint32_t volume = 0;
    bool stereo = false;
    if (TAlsaMixer::WaveVolume(*this, CtlOfPcm(pcmName), false, volume, &stereo) == MMSYSERR_NOERROR)
      *Support = WAVECAPS_VOLUME | (stereo ? static_cast<uint32_t>(WAVECAPS_LRVOLUME) : 0u);
  }
  return MMSYSERR_NOERROR;
}

MMRESULT TAlsaSoundSystem::waveInGetDevCapsA(uint32_t DeviceID, WAVEINCAPSA* Caps_, uint32_t CapsSize) {
  if (Caps_ == nullptr || CapsSize != sizeof(WAVEINCAPSA)) return MMSYSERR_INVALPARAM;
  WAVEINCAPSA c;
  MMRESULT r = Caps(true, DeviceID, c.szPname, c.dwFormats, c.wChannels, nullptr);
  if (r == MMSYSERR_NOERROR) *Caps_ = c;
  return r;
}

MMRESULT TAlsaSoundSystem::waveOutGetDevCapsA(uint32_t DeviceID, WAVEOUTCAPSA* Caps_, uint32_t CapsSize) {
  if (Caps_ == nullptr || CapsSize != sizeof(WAVEOUTCAPSA)) return MMSYSERR_INVALPARAM;
  WAVEOUTCAPSA c;
  MMRESULT r = Caps(false, DeviceID, c.szPname, c.dwFormats, c.wChannels, &c.dwSupport);
  if (r == MMSYSERR_NOERROR) *Caps_ = c;
  return r;
}

MMRESULT TAlsaSoundSystem::waveOutGetVolume(uint32_t DeviceID, uint32_t* Volume) {
  if (Volume == nullptr) return MMSYSERR_INVALPARAM;
  std::string pcmName, desc;
  if (!PcmName(DeviceID, pcmName, desc)) return MMSYSERR_BADDEVICEID;
  return TAlsaMixer::WaveVolume(*this, CtlOfPcm(pcmName), false, *Volume);
}

MMRESULT TAlsaSoundSystem::waveOutSetVolume(uint32_t DeviceID, uint32_t Volume) {
  std::string pcmName, desc;
  if (!PcmName(DeviceID, pcmName, desc)) return MMSYSERR_BADDEVICEID;
  std::string ctl = CtlOfPcm(pcmName);
  MMRESULT r = TAlsaMixer::WaveVolume(*this, ctl, true, Volume);
  if (r == MMSYSERR_NOERROR) MixerValuesChanged(ctl);
  return r;
}

// ---- wave devices -------------------------------------------------------------

std::shared_ptr<TAlsaWave> TAlsaSoundSystem::FindWave(uintptr_t Handle, bool Capture) {
  std::lock_guard lock(FLock);
  auto it = FWaves.find(Handle);
  if (it == FWaves.end() || it->second->Capture != Capture) return nullptr;
  return it->second;
}

MMRESULT TAlsaSoundSystem::Open(bool Capture, uintptr_t* Handle, uint32_t DeviceID, const WAVEFORMATEX* Format,
                                TWaveInProc Callback, uintptr_t Instance, uint32_t Flags) {
  const uint32_t callbackType = Flags & 0x00070000;
  if (Flags & ~(WAVE_FORMAT_QUERY | WAVE_ALLOWSYNC | 0x00070000u)) return MMSYSERR_INVALFLAG;
  if (callbackType != CALLBACK_FUNCTION && callbackType != CALLBACK_NULL) return MMSYSERR_INVALFLAG;
  if (Format == nullptr) return MMSYSERR_INVALPARAM;
  const bool query = Flags & WAVE_FORMAT_QUERY;
  if (!query && Handle == nullptr) return MMSYSERR_INVALPARAM;
  std::string pcmName, desc;
  if (!PcmName(DeviceID, pcmName, desc)) return MMSYSERR_BADDEVICEID;
  if (!ValidFormat(Format)) return WAVERR_BADFORMAT;
  if (query) return TAlsaWave::Query(*this, Capture, pcmName, *Format);
  uintptr_t handle;
  {
    std::lock_guard lock(FLock);
    handle = ++FNextHandle;
  }
  auto wave = std::make_shared<TAlsaWave>(*this, Capture, handle, pcmName,
                                          callbackType == CALLBACK_FUNCTION ? Callback : nullptr, Instance);
  MMRESULT r = wave->Open(*Format);
  if (r != MMSYSERR_NOERROR) return r;
  {
    std::lock_guard lock(FLock);
    FWaves[handle] = wave;
  }
  *Handle = handle;
  return MMSYSERR_NOERROR;
}

MMRESULT TAlsaSoundSystem::waveInOpen(HWAVEIN* Handle, uint32_t DeviceID, const WAVEFORMATEX* Format,
                                      TWaveInProc Callback, uintptr_t Instance, uint32_t Flags) {
  return Open(true, Handle, DeviceID, Format, Callback, Instance, Flags);
}

MMRESULT TAlsaSoundSystem::waveOutOpen(HWAVEOUT* Handle, uint32_t DeviceID, const WAVEFORMATEX* Format,
                                       TWaveOutProc Callback, uintptr_t Instance, uint32_t Flags) {
  return Open(false, Handle, DeviceID, Format, Callback, Instance, Flags);
}

MMRESULT TAlsaSoundSystem::HeaderCall(uintptr_t Handle, bool Capture, WAVEHDR* Header, uint32_t HeaderSize,
                                      MMRESULT (TAlsaWave::*Call)(WAVEHDR*)) {
  auto wave = FindWave(Handle, Capture);
  if (!wave) return MMSYSERR_INVALHANDLE;
  if (Header == nullptr || HeaderSize != sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
  return (wave.get()->*Call)(Header);
}

MMRESULT TAlsaSoundSystem::DeviceCall(uintptr_t Handle, bool Capture, MMRESULT (TAlsaWave::*Call)()) {
  auto wave = FindWave(Handle, Capture);
  if (!wave) return MMSYSERR_INVALHANDLE;
  MMRESULT r = (wave.get()->*Call)();
  if (Call == &TAlsaWave::Close && r == MMSYSERR_NOERROR) {
    std::lock_guard lock(FLock);
    FWaves.erase(Handle);
  }
  return r;
}

MMRESULT TAlsaSoundSystem::waveInPrepareHeader(HWAVEIN Handle, WAVEHDR* Header, uint32_t HeaderSize) {
  return HeaderCall(Handle, true, Header, HeaderSize, &TAlsaWave::Prepare);
}
MMRESULT TAlsaSoundSystem::waveInAddBuffer(HWAVEIN Handle, WAVEHDR* Header, uint32_t HeaderSize) {
  return HeaderCall(Handle, true, Header, HeaderSize, &TAlsaWave::Add);
}
MMRESULT TAlsaSoundSystem::waveInStart(HWAVEIN Handle) { return DeviceCall(Handle, true, &TAlsaWave::Start); }
MMRESULT TAlsaSoundSystem::waveInReset(HWAVEIN Handle) { return DeviceCall(Handle, true, &TAlsaWave::Reset); }
MMRESULT TAlsaSoundSystem::waveInUnprepareHeader(HWAVEIN Handle, WAVEHDR* Header, uint32_t HeaderSize) {
  return HeaderCall(Handle, true, Header, HeaderSize, &TAlsaWave::Unprepare);
}
MMRESULT TAlsaSoundSystem::waveInClose(HWAVEIN Handle) { return DeviceCall(Handle, true, &TAlsaWave::Close); }

bool TAlsaSoundSystem::CaptureDelay(HWAVEIN Handle, int64_t& Frames) {
  Frames = 0;
  const std::shared_ptr<TAlsaWave> Wave = FindWave(Handle, true);
  if (!Wave || Wave->CaptureDelay() < 0) return false;
  Frames = Wave->CaptureDelay();
  return true;
}

MMRESULT TAlsaSoundSystem::waveOutPrepareHeader(HWAVEOUT Handle, WAVEHDR* Header, uint32_t HeaderSize) {
  return HeaderCall(Handle, false, Header, HeaderSize, &TAlsaWave::Prepare);
}
MMRESULT TAlsaSoundSystem::waveOutWrite(HWAVEOUT Handle, WAVEHDR* Header, uint32_t HeaderSize) {
  return HeaderCall(Handle, false, Header, HeaderSize, &TAlsaWave::Add);
}
MMRESULT TAlsaSoundSystem::waveOutReset(HWAVEOUT Handle) { return DeviceCall(Handle, false, &TAlsaWave::Reset); }
MMRESULT TAlsaSoundSystem::waveOutUnprepareHeader(HWAVEOUT Handle, WAVEHDR* Header, uint32_t HeaderSize) {
  return HeaderCall(Handle, false, Header, HeaderSize, &TAlsaWave::Unprepare);
}
MMRESULT TAlsaSoundSystem::waveOutClose(HWAVEOUT Handle) { return DeviceCall(Handle, false, &TAlsaWave::Close); }

// ---- mixer --------------------------------------------------------------------

std::vector<std::string> TAlsaSoundSystem::Controls() {
  std::vector<std::string> list;
  snd_ctl_t* ctl = nullptr;
  if (snd_ctl_open(&ctl, FDefaultCtl.c_str(), SND_CTL_NONBLOCK) >= 0) {
    snd_ctl_close(ctl);
    list.push_back(FDefaultCtl);
  }
  int card = -1;
  while (list.size() < MaxDevices && snd_card_next(&card) >= 0 && card >= 0)
    list.push_back("hw:" + std::to_string(card));
  return list;
}

std::shared_ptr<TAlsaMixer> TAlsaSoundSystem::FindMixer(uintptr_t Handle) {
  std::lock_guard lock(FLock);
  auto it = FMixers.find(Handle);
  return it == FMixers.end() ? nullptr : it->second;
}

void TAlsaSoundSystem::MixerValuesChanged(const std::string& CtlName) {
  std::lock_guard lock(FLock);
  for (auto& [h, m] : FMixers)
    if (m->Ctl == CtlName) m->Rescan();
}

uint32_t TAlsaSoundSystem::mixerGetNumDevs() { return static_cast<uint32_t>(Controls().size()); }

MMRESULT TAlsaSoundSystem::mixerGetDevCapsA(uint32_t MixerID, MIXERCAPSA* Caps_, uint32_t CapsSize) {
  if (Caps_ == nullptr || CapsSize != sizeof(MIXERCAPSA)) return MMSYSERR_INVALPARAM;
  auto list = Controls();
  if (MixerID >= list.size()) return MMSYSERR_BADDEVICEID;
  std::string name;
  MMRESULT r = TAlsaMixer::ProductName(*this, list[MixerID], name);
  if (r != MMSYSERR_NOERROR) return r;
  MIXERCAPSA c;
  CopyName(c.szPname, sizeof c.szPname, name);
  c.cDestinations = 2;
  *Caps_ = c;
  return MMSYSERR_NOERROR;
}

MMRESULT TAlsaSoundSystem::mixerOpen(HMIXER* Handle, uint32_t MixerID, TMixerProc Callback, uintptr_t Instance,
                                     uint32_t Flags) {
  if (Flags != CALLBACK_FUNCTION && Flags != CALLBACK_NULL) return MMSYSERR_INVALFLAG;
  if (Handle == nullptr) return MMSYSERR_INVALPARAM;
  auto list = Controls();
  if (MixerID >= list.size()) return MMSYSERR_BADDEVICEID;
  uintptr_t handle;
  {
    std::lock_guard lock(FLock);
    handle = ++FNextHandle;
  }
  auto mixer = std::make_shared<TAlsaMixer>(*this, handle, list[MixerID],
                                            Flags == CALLBACK_FUNCTION ? Callback : nullptr, Instance);
  MMRESULT r = mixer->Open();
  if (r != MMSYSERR_NOERROR) return r;
  {
    std::lock_guard lock(FLock);
    FMixers[handle] = mixer;
  }
  *Handle = handle;
  return MMSYSERR_NOERROR;
}

MMRESULT TAlsaSoundSystem::mixerGetLineInfoA(HMIXER Handle, MIXERLINEA* Line, uint32_t Flags) {
  auto mixer = FindMixer(Handle);
  if (!mixer) return MMSYSERR_INVALHANDLE;
  if (Line == nullptr || Line->cbStruct != sizeof(MIXERLINEA)) return MMSYSERR_INVALPARAM;
  return mixer->GetLineInfo(Line, Flags);
}

MMRESULT TAlsaSoundSystem::mixerGetLineControlsA(HMIXER Handle, MIXERLINECONTROLSA* Controls_, uint32_t Flags) {
  auto mixer = FindMixer(Handle);
  if (!mixer) return MMSYSERR_INVALHANDLE;
  if (Controls_ == nullptr || Controls_->cbStruct != sizeof(MIXERLINECONTROLSA)) return MMSYSERR_INVALPARAM;
  return mixer->GetLineControls(Controls_, Flags);
}

MMRESULT TAlsaSoundSystem::mixerGetControlDetailsA(HMIXER Handle, MIXERCONTROLDETAILS* Details, uint32_t Flags) {
  auto mixer = FindMixer(Handle);
  if (!mixer) return MMSYSERR_INVALHANDLE;
  if (Flags != MIXER_GETCONTROLDETAILSF_VALUE) return MMSYSERR_INVALFLAG;
  if (Details == nullptr || Details->cbStruct != sizeof(MIXERCONTROLDETAILS)) return MMSYSERR_INVALPARAM;
  return mixer->GetControlDetails(Details);
}

MMRESULT TAlsaSoundSystem::mixerSetControlDetails(HMIXER Handle, const MIXERCONTROLDETAILS* Details,
                                                  uint32_t Flags) {
  auto mixer = FindMixer(Handle);
  if (!mixer) return MMSYSERR_INVALHANDLE;
  if (Flags != MIXER_SETCONTROLDETAILSF_VALUE) return MMSYSERR_INVALFLAG;
  if (Details == nullptr || Details->cbStruct != sizeof(MIXERCONTROLDETAILS)) return MMSYSERR_INVALPARAM;
  return mixer->SetControlDetails(Details);
}

MMRESULT TAlsaSoundSystem::mixerClose(HMIXER Handle) {
  std::shared_ptr<TAlsaMixer> mixer;
  {
    std::lock_guard lock(FLock);
    auto it = FMixers.find(Handle);
    if (it == FMixers.end()) return MMSYSERR_INVALHANDLE;
    mixer = it->second;
    FMixers.erase(it);
  }
  mixer->Close();
  return MMSYSERR_NOERROR;
}

}  // namespace quellmarin

#include "audio/Audio.h"

namespace quellmarin {

namespace {
constexpr const char* AudioVersion = "4.1 (32bit)";
}

TAudio::TAudio(TComponent* Owner, TSoundSystem& SoundSystem, TMessageQueue& Queue)
    : TComponent(Owner), FSoundSystem(SoundSystem), FQueue(Queue) {
  FAudioDeviceID = WAVE_MAPPER;
  FSeparateCtrls = false;
  FVersion = AudioVersion;
  FRecorder = std::make_unique<TRecorder>(this);
  FPlayer = std::make_unique<TPlayer>(this);
  FWindow = std::make_unique<TAudioWindow>(FQueue, [this](const TMessage& m) { WindowMessage(m); });
  FMixer = std::make_unique<TMixerSettings>(this);
  FMixer->OpenMixer(FMixerDeviceID);
  FErrorMessage.clear();
  // Without devices the buffers are first built by the next format setter.
  if (FSoundSystem.waveInGetNumDevs() >= 1) {
    if (FRecorder->AllocateBuffers() && FSoundSystem.waveOutGetNumDevs() >= 1) FPlayer->AllocateBuffers();
  }
}

TAudio::~TAudio() {
  // The recorder first: an owner that plays every recorded block would keep
  // the player's Stop waiting for as long as blocks arrive.
  FRecorder->Stop();
  FPlayer->Stop();
  FMixer.reset();
  FRecorder->ReleaseBuffers();
  FRecorder.reset();
  FPlayer->ReleaseBuffers();
  FPlayer.reset();
  FWindow.reset();
}

void TAudio::SetAudioDeviceID(uint32_t Value) {
  if (Value > 9) Value = WAVE_MAPPER;
  if (Value == FAudioDeviceID && Value == FInputDeviceID && Value == FOutputDeviceID) return;
  if (FRecorder->DeviceOpen() || FPlayer->DeviceOpen()) {
    // The buffers the open device holds must stay.
    FErrorMessage = "The wave device cannot change while a device is open";
    return;
  }
  FAudioDeviceID = Value;
  FInputDeviceID = Value;
  FOutputDeviceID = Value;
  FRecorder->Rebuild();
  FPlayer->Rebuild();
}

bool TAudio::SetWaveDevices(uint32_t Input, uint32_t Output) {
  if (FRecorder->DeviceOpen() || FPlayer->DeviceOpen()) {
    FErrorMessage = "The wave device cannot change while a device is open";
    return false;
  }
  FInputDeviceID = Input;
  FOutputDeviceID = Output;
  return true;
}

void TAudio::SetMixerDeviceID(int32_t Value) {
  if (Value == FMixerDeviceID) return;
  FMixerDeviceID = Value;
  FMixer->OpenMixer(Value);
}

void TAudio::SetVersion(const std::string&) { FVersion = AudioVersion; }

void TAudio::WindowMessage(const TMessage& Message) {
  if (Message.Msg != WM_QUERYENDSESSION) return;
  // The session ends: stop and release everything, as the destructor does.
  // The handler's caller touches nothing of the window after this returns.
  delete this;
}

}  // namespace quellmarin

#pragma once
// The audio device layer: TAudio, the component through which the system
// reaches the sound card. It owns a recorder, a player and the mixer access
// object for its whole life, holds the wave and mixer device numbers,
// the four events through which the layer reports to its owner, and
// ErrorMessage, the text of the last failure.
//
// Device operations return a Boolean (or nothing) and never raise for device
// failures; the reason is left in ErrorMessage, which only construction and
// the player's Stop (when it discards queued data) set empty.
//
// Threads: every public call, every setter and every posted handler runs on
// the UI thread, the one that pumps the message queue given to the
// constructor. The sound system's callbacks run on its own threads; they only
// advance ring bookkeeping, run the recorder's trigger test and channel split,
// raise OnRecord / OnBufferPlayed and post to the queue (without blocking or
// allocating). Every call that hands a buffer to a device or closes one is
// made on the UI thread.
//
//   OnRecord        callback thread (see Recorder.h for what it may do)
//   OnBufferPlayed  callback thread, after each finished buffer that was not
//                   the last one written at that moment
//   OnPlayed        UI thread, after the output device has been closed
//   OnMixerChange   UI thread

#include <cstdint>
#include <memory>
#include <string>

#include "audio/AudioSettings.h"
#include "audio/MemoryStream.h"
#include "audio/MixerSettings.h"
#include "audio/Player.h"
#include "audio/Recorder.h"
#include "platform/Component.h"
#include "platform/MessageQueue.h"
#include "soundsystem/SoundSystem.h"

namespace quellmarin {

class TMixerSettings;  // the mixer access object

class TAudio : public TComponent {
public:
  // SoundSystem and Queue must outlive the component. Queue is the UI
  // thread's message queue.
  TAudio(TComponent* Owner, TSoundSystem& SoundSystem, TMessageQueue& Queue);
  ~TAudio() override;

  // Wave device for input and output: 0 .. 9, anything else is stored as
  // WAVE_MAPPER (0xFFFFFFFF). A change rebuilds the recorder's and the
  // player's buffers, and makes it the device of both directions.
  uint32_t AudioDeviceID() const { return FAudioDeviceID; }
  void SetAudioDeviceID(uint32_t Value);
  // The devices the recorder and the player open: AudioDeviceID unless
  // SetWaveDevices chose others.
  uint32_t InputDeviceID() const { return FInputDeviceID; }
  uint32_t OutputDeviceID() const { return FOutputDeviceID; }
  // Chooses the input and the output device separately (any device number
  // of the sound system, or WAVE_MAPPER); they are opened at the next Open.
  // Refused, with ErrorMessage set and False, while either device is open.
  bool SetWaveDevices(uint32_t Input, uint32_t Output);
  int32_t MixerDeviceID() const { return FMixerDeviceID; }
  void SetMixerDeviceID(int32_t Value);
  // False: the format setters act on recorder and player together.
  bool SeparateCtrls() const { return FSeparateCtrls; }
  void SetSeparateCtrls(bool Value) { FSeparateCtrls = Value; }
  TPlayer* Player() const { return FPlayer.get(); }
  TRecorder* Recorder() const { return FRecorder.get(); }
  // The mixer of MixerDeviceID, opened at construction and by SetMixerDeviceID.
  TMixerSettings* Mixer() const { return FMixer.get(); }
  // Always "4.1 (32bit)"; the setter ignores its argument.
  const std::string& Version() const { return FVersion; }
  void SetVersion(const std::string& Value);

  const std::string& ErrorMessage() const { return FErrorMessage; }
  void SetErrorMessage(const std::string& Value) { FErrorMessage = Value; }

  // Describes the wave devices in use (OutputDeviceID, and InputDeviceID for
  // the duplex test; WAVE_MAPPER is the sound system's default device) for
  // the capability report (see Capabilities.cpp): DeviceName its product name, Caps "Full-duplex
  // support, " or "Half-duplex support, " and its formats and playback
  // controls. Opens and closes the devices itself: call it only while neither
  // recording nor playing. The output device closes from the message queue
  // shortly after the call (OnPlayed). False, both strings empty and
  // ErrorMessage set, without a usable device.
  bool QueryCapabilities(std::string& DeviceName, std::string& Caps);

  TNotifyAudioRecordEvent OnRecord;
  TNotifyBufferPlayedEvent OnBufferPlayed;
  TNotifyPlayedEvent OnPlayed;
  TNotifyMixerChange OnMixerChange;

  TSoundSystem& SoundSystem() const { return FSoundSystem; }
  TMessageQueue& MessageQueue() const { return FQueue; }
  // The component's own window. WM_QUERYENDSESSION posted to it (the session
  // ends) makes the component stop its devices and destroy itself exactly as
  // its destructor does; its owner must drop every reference to it then.
  TMessageTarget* Window() const { return FWindow.get(); }

private:
  void WindowMessage(const TMessage& Message);

  TSoundSystem& FSoundSystem;
  TMessageQueue& FQueue;
  uint32_t FAudioDeviceID = WAVE_MAPPER;
  uint32_t FInputDeviceID = WAVE_MAPPER;
  uint32_t FOutputDeviceID = WAVE_MAPPER;
  int32_t FMixerDeviceID = 0;
  bool FSeparateCtrls = false;
  std::string FVersion;
  std::string FErrorMessage;
  std::unique_ptr<TRecorder> FRecorder;
  std::unique_ptr<TPlayer> FPlayer;
  std::unique_ptr<TAudioWindow> FWindow;
  // Created after the window, opened with MixerDeviceID, destroyed before the
  // recorder.
  std::unique_ptr<TMixerSettings> FMixer;
};

}  // namespace quellmarin

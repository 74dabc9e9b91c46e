#include "app/Utils.h"

#include "app/SoundSystemFactory.h"

namespace quellmarin {

void SetupRecorder(TAudio* Audio) {
  TRecorder* recorder = Audio->Recorder();
  recorder->SetSampleRate(20000);
  recorder->SetNoSamples(2000);
  recorder->SetChannels(Mono);
  recorder->SetBitsPerSample(_16);
}

bool ReportSoundSystem(TAudio* Audio, const TLineSink& Memo) {
  std::string DeviceName, Text;
  const bool Described = Audio->QueryCapabilities(DeviceName, Text);
  if (Described) {
    // The product name is short and says little on ALSA ("ALSA default
    // device"): name the devices in use as ALSA knows them.
    TSoundSystem& System = Audio->SoundSystem();
    const std::string Output = WaveDeviceTitle(System, Audio->OutputDeviceID());
    if (Audio->InputDeviceID() != Audio->OutputDeviceID()) {
      const std::string Input = WaveDeviceTitle(System, Audio->InputDeviceID());
      if (!Output.empty() || !Input.empty())
        DeviceName = "Output: " + (Output.empty() ? DeviceName : Output) + "; input: " + (Input.empty() ? "?" : Input);
    } else if (!Output.empty()) {
      DeviceName = Output;
    }
  }
  Memo(DeviceName);
  Memo(Text);
  Audio->Mixer()->Describe(DeviceName, Text);
  Memo(DeviceName);
  Memo(Text);
  return Described;
}

}  // namespace quellmarin

#include "app/Utils.h"

namespace quellmarin {

void SetupRecorder(TAudio* Audio) {
  TRecorder* recorder = Audio->Recorder();
  recorder->SetSampleRate(20000);
  recorder->SetNoSamples(2000);
  recorder->SetChannels(Mono);
  recorder->SetBitsPerSample(_16);
}

void ReportSoundSystem(TAudio* Audio, const TLineSink& Memo) {
  std::string DeviceName, Text;
  Audio->QueryCapabilities(DeviceName, Text);
  Memo(DeviceName);
  Memo(Text);
  Audio->Mixer()->Describe(DeviceName, Text);
  Memo(DeviceName);
  Memo(Text);
}

}  // namespace quellmarin

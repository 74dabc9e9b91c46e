#include "app/Utils.h"

#include "audio/Audio.h"

namespace quellmarin {

void SetupRecorder(TAudio* Audio) {
  TRecorder* Recorder = Audio->Recorder();
  Recorder->SetSampleRate(20000);
  Recorder->SetNoSamples(2000);
  Recorder->SetChannels(Mono);
  Recorder->SetBitsPerSample(_16);
}

}  // namespace quellmarin

#include "app/Utils.h"

namespace quellmarin {

void SetupRecorder(TAudio* Audio) {
  TRecorder* recorder = Audio->Recorder();
  recorder->SetSampleRate(20000);
  recorder->SetNoSamples(2000);
  recorder->SetChannels(Mono);
  recorder->SetBitsPerSample(_16);
}

}  // namespace quellmarin

// What the virtual sound card's input records: the built-in test signal, a
// sound file, a loopback of what the output played, or silence.

#include "soundsystem/virtual/VirtualSoundCard.h"
#include "soundsystem/virtual/VirtualCardDetail.h"

#include <sndfile.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace quellmarin {

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr size_t LoopCapacity = size_t(1) << 20;  // loopback ring, samples

}  // namespace

void TVirtualSoundCard::SetSignalSource(TSignalSource Source) {
  TLock Lock(FLock);
  FSource = Source;
  if (Source == ssLoopback && FLoop.empty()) FLoop.assign(LoopCapacity, 0.0f);
  FLoopRead = FLoopCount = 0;
}

TVirtualSoundCard::TSignalSource TVirtualSoundCard::SignalSource() const {
  TLock Lock(FLock);
  return FSource;
}

bool TVirtualSoundCard::LoadSoundFile(const std::string& FileName, std::string* Error) {
  SF_INFO Info{};
  SNDFILE* File = sf_open(FileName.c_str(), SFM_READ, &Info);
  if (File == nullptr) {
    if (Error) *Error = sf_strerror(nullptr);
    return false;
  }
  std::vector<float> Frames(static_cast<size_t>(Info.frames) * static_cast<size_t>(Info.channels));
  const sf_count_t Read = sf_readf_float(File, Frames.data(), Info.frames);
  sf_close(File);
  if (Read <= 0 || Info.channels <= 0 || Info.samplerate <= 0) {
    if (Error) *Error = "no samples in " + FileName;
    return false;
  }
  std::vector<float> Mono(static_cast<size_t>(Read));
  for (size_t i = 0; i < Mono.size(); ++i) {
    double s = 0;
    for (int c = 0; c < Info.channels; ++c) s += Frames[i * static_cast<size_t>(Info.channels) + static_cast<size_t>(c)];
    Mono[i] = static_cast<float>(s / Info.channels);
  }
  TLock Lock(FLock);
  FFile = std::move(Mono);
  FFileRate = static_cast<uint32_t>(Info.samplerate);
  FFilePos = 0;
  FSource = ssSoundFile;
  return true;
}

void TVirtualSoundCard::SetInputLine(uint32_t Source) {
  TLock Lock(FLock);
  if (Source == SrcRecMicrophone || Source == SrcRecLineIn) FInputLine = Source;
}

// One sample of the signal source, -1 .. 1, at the given rate. The test
// signal is a slow logarithmic sweep (100 Hz up to 4 kHz in 20 s) over a
// steady 1 kHz tone and a little noise.
double TVirtualSoundCard::NextSourceSample(uint32_t Rate) {
  switch (FSource) {
    case ssTestSignal: {
      const double Period = 20.0;
      const double Top = std::min(4000.0, 0.4 * Rate);
      const double f = 100.0 * std::pow(Top / 100.0, FSweepTime / Period);
      FSweepTime += 1.0 / Rate;
      if (FSweepTime >= Period) FSweepTime -= Period;
      FSweepPhase = std::fmod(FSweepPhase + 2 * Pi * f / Rate, 2 * Pi);
      FTonePhase = std::fmod(FTonePhase + 2 * Pi * 1000.0 / Rate, 2 * Pi);
      FNoise = FNoise * 1664525u + 1013904223u;
      const double Noise = (static_cast<double>(FNoise >> 8) / 16777216.0 - 0.5) * 0.04;
      return 0.4 * std::sin(FSweepPhase) + 0.2 * std::sin(FTonePhase) + Noise;
    }
    case ssSoundFile: {
      if (FFile.empty()) return 0;
      const double s = FFile[static_cast<size_t>(FFilePos)];
      FFilePos += static_cast<double>(FFileRate) / Rate;
      while (FFilePos >= static_cast<double>(FFile.size())) FFilePos -= static_cast<double>(FFile.size());
      return s;
    }
    case ssLoopback: {
      if (FLoopCount == 0) return 0;
      const double s = FLoop[FLoopRead];
      FLoopRead = (FLoopRead + 1) % FLoop.size();
      --FLoopCount;
      return s;
    }
    case ssSilence:
      break;
  }
  return 0;
}

}  // namespace quellmarin

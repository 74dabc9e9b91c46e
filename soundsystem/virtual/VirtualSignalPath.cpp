// Frames through the virtual sound card's mixer: recording applies the
// recording lines' volumes and mutes to the source, playing applies the
// playback lines' and the output volume; both feed the peak meters. What was
// played is kept for tests, and for the loopback source.

#include "soundsystem/virtual/VirtualSoundCard.h"
#include "soundsystem/virtual/VirtualCardDetail.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace quellmarin {

namespace {

constexpr size_t PlayedLimit = size_t(64) << 20;  // bytes kept of what was played

// Full scale is 1.0 = 32768 (128), as sound files read; +1.0 clips to the
// largest sample, so a 16-bit file records unchanged.
inline uint8_t Quantise8(double x) {
  return static_cast<uint8_t>(std::clamp(std::lround(x * 128.0) + 128, 0L, 255L));
}
inline int16_t Quantise16(double x) {
  return static_cast<int16_t>(std::clamp(std::lround(x * 32768.0), -32768L, 32767L));
}

}  // namespace

void TVirtualSoundCard::RecordFrames(TWaveDevice& D, uint8_t* Data, uint32_t Frames) {
  const uint32_t Channels = D.Format.nChannels;
  const bool Wide = D.Format.wBitsPerSample == 16;
  double Gain[2];
  for (uint32_t c = 0; c < 2; ++c)
    Gain[c] = LineGain(DestRecording, OwnLine, c) * LineGain(DestRecording, FInputLine, c);
  int32_t Peak[2] = {0, 0};
  for (uint32_t i = 0; i < Frames; ++i) {
    const double x = NextSourceSample(D.Format.nSamplesPerSec);
    for (uint32_t c = 0; c < Channels; ++c) {
      const double y = x * Gain[c];
      if (Wide) {
        const int16_t v = Quantise16(y);
        std::memcpy(Data, &v, 2);
        Data += 2;
        Peak[c] = std::max<int32_t>(Peak[c], std::abs(static_cast<int32_t>(v)));
      } else {
        const uint8_t v = Quantise8(y);
        *Data++ = v;
        Peak[c] = std::max<int32_t>(Peak[c], std::abs(static_cast<int32_t>(v) - 128) * 256);
      }
    }
  }
  if (Channels == 1) Peak[1] = Peak[0];
  if (TControl* m = const_cast<TControl*>(LineControl(DestRecording, OwnLine, MIXERCONTROL_CONTROLTYPE_PEAKMETER)))
    for (int c = 0; c < 2; ++c) m->Value[c] = std::min(Peak[c], 32767);
}

void TVirtualSoundCard::PlayFrames(TWaveDevice& D, const uint8_t* Data, uint32_t Frames) {
  const uint32_t Channels = D.Format.nChannels;
  const bool Wide = D.Format.wBitsPerSample == 16;
  double WaveGain[2], Gain[2];
  for (uint32_t c = 0; c < 2; ++c) {
    WaveGain[c] = LineGain(DestPlayback, SrcWave, c);
    const uint32_t Volume = c == 0 ? (FVolume & 0xFFFF) : (FVolume >> 16);
    Gain[c] = WaveGain[c] * LineGain(DestPlayback, OwnLine, c) * (Volume / 65535.0);
  }
  const bool Keep =
      FKeepPlayed && FPlayed.size() + static_cast<size_t>(Frames) * D.Format.nBlockAlign <= PlayedLimit;
  int32_t WavePeak[2] = {0, 0}, Peak[2] = {0, 0};
  for (uint32_t i = 0; i < Frames; ++i) {
    double Mono = 0;
    for (uint32_t c = 0; c < Channels; ++c) {
      double x;
      if (Wide) {
        int16_t s;
        std::memcpy(&s, Data, 2);
        Data += 2;
        x = s;
      } else {
        x = (static_cast<int>(*Data++) - 128) * 256.0;
      }
      const double y = x * Gain[c];
      WavePeak[c] = std::max<int32_t>(WavePeak[c], static_cast<int32_t>(std::fabs(x * WaveGain[c])));
      if (Wide) {
        const int16_t v = static_cast<int16_t>(std::clamp(std::lround(y), -32768L, 32767L));
        Peak[c] = std::max<int32_t>(Peak[c], std::abs(static_cast<int32_t>(v)));
        Mono += v / 32768.0;
        if (Keep) {
          uint8_t b[2];
          std::memcpy(b, &v, 2);
          FPlayed.insert(FPlayed.end(), b, b + 2);
        }
      } else {
        const long q = std::clamp(std::lround(y / 256.0), -128L, 127L);
        Peak[c] = std::max<int32_t>(Peak[c], static_cast<int32_t>(std::labs(q) * 256));
        Mono += q / 128.0;
        if (Keep) FPlayed.push_back(static_cast<uint8_t>(q + 128));
      }
    }
    if (FSource == ssLoopback && !FLoop.empty()) {
      const size_t Write = (FLoopRead + FLoopCount) % FLoop.size();
      FLoop[Write] = static_cast<float>(Mono / Channels);
      if (FLoopCount < FLoop.size())
        ++FLoopCount;
      else
        FLoopRead = (FLoopRead + 1) % FLoop.size();
    }
  }
  if (Channels == 1) {
    Peak[1] = Peak[0];
    WavePeak[1] = WavePeak[0];
  }
  if (TControl* m = const_cast<TControl*>(LineControl(DestPlayback, OwnLine, MIXERCONTROL_CONTROLTYPE_PEAKMETER)))
    for (int c = 0; c < 2; ++c) m->Value[c] = std::min(Peak[c], 32767);
  if (TControl* m = const_cast<TControl*>(LineControl(DestPlayback, SrcWave, MIXERCONTROL_CONTROLTYPE_PEAKMETER)))
    for (int c = 0; c < 2; ++c) m->Value[c] = std::min(WavePeak[c], 32767);
}

std::vector<uint8_t> TVirtualSoundCard::Played() const {
  TLock Lock(FLock);
  return FPlayed;
}

WAVEFORMATEX TVirtualSoundCard::PlayedFormat() const {
  TLock Lock(FLock);
  return FPlayedFormat;
}

void TVirtualSoundCard::ClearPlayed() {
  TLock Lock(FLock);
  FPlayed.clear();
}

void TVirtualSoundCard::SetKeepPlayed(bool Keep) {
  TLock Lock(FLock);
  FKeepPlayed = Keep;
  if (!Keep) std::vector<uint8_t>().swap(FPlayed);
}

}  // namespace quellmarin

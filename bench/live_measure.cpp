// What a listener hears of the live loop, measured through a sound server.
//
// Run by bench/live-measure.sh, which starts a private PulseAudio server with
// a stereo null sink "bus": its left channel carries what is played into
// "feed" and is the default source (the program's input), its right channel
// is the default sink "out" (the program's output). This program runs the
// live loop on ALSA's default device as the window drives it, and at the same
// time plays a test signal into "feed" and records the bus's monitor through
// PCMs of its own: input and output in one stereo stream, on one time line. The scenario, in seconds of the test signal:
//   1 - 5    clicks every 0.5 s, filter off: delay and bit-exact pass-through
//   5 - 9    silence, high pass on: DC of the output
//   9 - 11   1 kHz tone, low pass (centre 3000 Hz): the steady level
//   11 - 31  the centre slider dragged: a new design every 50 ms between
//            1500 and 4000 Hz (1 kHz stays in the pass band): level dips, gaps
// It prints the figures and exits 0, or 1 when a device cannot be used.

#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "app/LiveLoop.h"
#include "app/Utils.h"
#include "platform/MessageQueue.h"
#include "soundsystem/alsa/AlsaSoundSystem.h"

using namespace quellmarin;

namespace {

constexpr int kRate = 20000;
constexpr int kStep = 200;  // frames per write/read step
constexpr double kSeconds = 32.0;

snd_pcm_t* OpenPcm(const char* Name, snd_pcm_stream_t Stream, unsigned Channels = 1) {
  snd_pcm_t* pcm = nullptr;
  if (snd_pcm_open(&pcm, Name, Stream, 0) < 0) return nullptr;
  if (snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, Channels, kRate, 0, 40000) < 0) {
    snd_pcm_close(pcm);
    return nullptr;
  }
  return pcm;
}

int16_t Signal(long n) {
  const double t = static_cast<double>(n) / kRate;
  if (t >= 1 && t < 5) return (n - kRate) % (kRate / 2) == 0 ? 16000 : 0;
  if (t >= 9) return static_cast<int16_t>(std::lround(8000 * std::sin(2 * M_PI * 1000 * t)));
  return 0;
}

void ReadAll(snd_pcm_t* Pcm, int16_t* Data, int Frames) {
  while (Frames > 0) {
    snd_pcm_sframes_t r = snd_pcm_readi(Pcm, Data, static_cast<snd_pcm_uframes_t>(Frames));
    if (r < 0) r = snd_pcm_recover(Pcm, static_cast<int>(r), 1) < 0 ? Frames : 0;
    Data += 2 * r;
    Frames -= static_cast<int>(r);
  }
}

void WriteAll(snd_pcm_t* Pcm, const int16_t* Data, int Frames) {
  while (Frames > 0) {
    snd_pcm_sframes_t r = snd_pcm_writei(Pcm, Data, static_cast<snd_pcm_uframes_t>(Frames));
    if (r < 0) r = snd_pcm_recover(Pcm, static_cast<int>(r), 1) < 0 ? Frames : 0;
    Data += r;
    Frames -= static_cast<int>(r);
  }
}

// RMS over windows of W samples.
std::vector<double> Rms(const std::vector<int16_t>& X, size_t From, size_t To, size_t W) {
  std::vector<double> r;
  for (size_t i = From; i + W <= To; i += W) {
    double s = 0;
    for (size_t j = i; j < i + W; ++j) s += double(X[j]) * X[j];
    r.push_back(std::sqrt(s / double(W)));
  }
  return r;
}

}  // namespace

int main() {
  snd_pcm_t* feed = OpenPcm("feed", SND_PCM_STREAM_PLAYBACK);
  snd_pcm_t* bus = OpenPcm("bus", SND_PCM_STREAM_CAPTURE, 2);
  if (!feed || !bus) {
    std::fprintf(stderr, "live-measure: the measuring devices (feed, bus) cannot be opened\n");
    return 1;
  }

  TAlsaSoundSystem alsa;
  TComponent owner(nullptr);
  TMessageQueue queue;
  auto* audio = new TAudio(&owner, alsa, queue);
  SetupRecorder(audio);
  audio->Recorder()->SetTriggered(true);
  TFFT engine;
  engine.Init(&owner, audio, ftLowPass, 0);
  TLiveLoop loop(*audio, engine);
  auto publish = [&](TFilterType Type, int Centre) {
    engine.SetFilter(Type, 300, Centre);
    engine.UpdateFilterResponse();
    const TTImeSignal& taps = engine.FResponseFilter->Taps();
    loop.PublishFilter(std::make_unique<TLiveFilter>(taps.Data, taps.Length));
    loop.CollectRetired();
  };
  publish(ftHighPass, 2000);
  if (!loop.Start()) {
    std::fprintf(stderr, "live-measure: recording cannot start: %s\n", audio->ErrorMessage().c_str());
    return 1;
  }

  const long total = static_cast<long>(kSeconds * kRate);
  std::vector<int16_t> in(static_cast<size_t>(total)), out(static_cast<size_t>(total));
  std::atomic<long> position{0};
  std::thread measure([&] {
    std::vector<int16_t> step(kStep), both(2 * kStep);
    snd_pcm_start(bus);
    for (long n = 0; n < total; n += kStep) {
      for (int i = 0; i < kStep; ++i) step[static_cast<size_t>(i)] = Signal(n + i);
      WriteAll(feed, step.data(), kStep);
      ReadAll(bus, both.data(), kStep);
      for (int i = 0; i < kStep; ++i) {
        in[static_cast<size_t>(n + i)] = both[static_cast<size_t>(2 * i)];
        out[static_cast<size_t>(n + i)] = both[static_cast<size_t>(2 * i + 1)];
      }
      position.store(n + kStep);
    }
  });

  // The window's part: designs and switches at the scenario's times.
  auto waitFor = [&](double Seconds) {
    while (position.load() < static_cast<long>(Seconds * kRate)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  };
  waitFor(5);
  loop.SetFilterEnabled(true);  // the high pass
  waitFor(9);
  publish(ftLowPass, 3000);
  int designs = 0;
  for (double t = 11; t < 31; t += 0.05) {
    waitFor(t);
    const double phase = std::fmod((t - 11) / 4.0, 1.0);  // a sweep up and down every 4 s
    const int centre = static_cast<int>(1500 + 2500 * (phase < 0.5 ? 2 * phase : 2 - 2 * phase));
    publish(ftLowPass, centre);
    ++designs;
  }
  measure.join();
  loop.Stop();

  // Delay: each click's first loud sample in the output against the input.
  std::vector<double> delays;
  for (long k = 0; k < 8; ++k) {
    const long from = static_cast<long>(1.0 * kRate) + k * kRate / 2 - kRate / 10;
    auto first = [&](const std::vector<int16_t>& x, long start) {
      for (long i = std::max(0L, start); i < total; ++i)
        if (std::abs(x[static_cast<size_t>(i)]) > 8000) return i;
      return -1L;
    };
    const long a = first(in, from);
    if (a < 0) continue;
    const long b = first(out, a);
    if (b >= 0) delays.push_back(1000.0 * double(b - a) / kRate);
  }
  const long delaySamples = delays.empty() ? 0 : std::lround(delays.front() * kRate / 1000.0);
  // Bit-exact pass-through: the clicks' neighbourhoods in the output equal the input's.
  long mismatches = 0;
  for (long i = static_cast<long>(1.0 * kRate); i < static_cast<long>(4.5 * kRate) && i + delaySamples < total; ++i)
    mismatches += in[static_cast<size_t>(i)] != out[static_cast<size_t>(i + delaySamples)];
  // DC with the high pass on silence (7 - 9 s of the output).
  double sum = 0;
  int peak = 0;
  const size_t d0 = static_cast<size_t>(7 * kRate + delaySamples), d1 = static_cast<size_t>(9 * kRate);
  for (size_t i = d0; i < d1; ++i) {
    sum += out[i];
    peak = std::max(peak, std::abs(int(out[i])));
  }
  const double dc = sum / double(d1 - d0);
  // Level: 1 ms RMS of the output; the steady level over 10 - 11 s.
  const size_t shift = static_cast<size_t>(delaySamples);
  const std::vector<double> steady = Rms(out, 10 * kRate + shift, 11 * kRate + shift, 20);
  double ref = 0;
  for (double v : steady) ref += v;
  ref /= double(std::max<size_t>(1, steady.size()));
  const std::vector<double> drag = Rms(out, 11 * kRate + shift, 31 * kRate, 20);
  double lowest = 1e9;
  int gaps = 0;
  std::vector<double> gapAt;
  for (size_t i = 0; i < drag.size(); ++i) {
    lowest = std::min(lowest, drag[i]);
    if (drag[i] < 0.1 * ref) {
      ++gaps;
      if (gapAt.empty() || 11.0 + i * 0.001 - gapAt.back() > 0.05) gapAt.push_back(11.0 + double(i) * 0.001);
    }
  }
  for (double t : gapAt) std::printf("  a gap begins at %.3f s of the output\n", t);
  std::sort(delays.begin(), delays.end());
  std::printf("delay input->output: %zu clicks, median %.1f ms (min %.1f, max %.1f)\n", delays.size(),
              delays.empty() ? 0 : delays[delays.size() / 2], delays.empty() ? 0 : delays.front(),
              delays.empty() ? 0 : delays.back());
  std::printf("pass-through, filter off: %ld differing samples over 3.5 s of clicks\n", mismatches);
  std::printf("high pass on silence: output DC %.2f LSB, largest sample %d LSB\n", dc, peak);
  std::printf("slider dragged 20 s (%d designs, 1 kHz tone): steady RMS %.0f, deepest 1 ms dip %.2f dB, "
              "1 ms windows below -20 dB: %d\n",
              designs, ref, 20 * std::log10(std::max(lowest, 1e-9) / ref), gaps);
  std::printf("loop: %llu blocks, output ran dry %llu, restarts %llu, dropped %lld, padded %lld samples, "
              "crossfades %llu, busy %.2f %% of the run\n",
              static_cast<unsigned long long>(loop.Blocks()), static_cast<unsigned long long>(loop.Underruns()),
              static_cast<unsigned long long>(loop.OutputRestarts()), static_cast<long long>(loop.DroppedFrames()),
              static_cast<long long>(loop.PaddedFrames()),
              static_cast<unsigned long long>(loop.Stage().Crossfades()),
              100.0 * double(loop.BusyNanoseconds()) / (kSeconds * 1e9));
  snd_pcm_close(feed);
  snd_pcm_close(bus);
  return 0;
}

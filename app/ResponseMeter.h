#pragma once
// The filter's measured response: the live transfer function from the input
// and output of the same blocks, as the live loop publishes them.
//
// Each block pair is Hann-windowed (each its own mean removed) and
// transformed over 2048 points, the bins of the designed response. The output
// is taken Delay samples later than the input (the filter's delay, half its
// length for a linear-phase design), so that both windows see the same
// stretch of sound; windowed unaligned, the two would agree only in part and
// the gain would read low (0.3 dB for a 240-tap filter). Per bin
// the meter sums the cross-spectrum conj(X) Y and the input power |X|^2 over
// the blocks; their ratio is the transfer function H, and |H| in dB is what
// it shows. Noise the output adds (its rounding, a crossfade) is not
// correlated with the input and averages out of the cross-spectrum. A bin
// whose input power stays within 10 dB of what 16-bit rounding alone puts
// there has no input energy to measure by and is left out; so are the lowest
// bins, within the window's main lobe around 0 Hz (below 30 Hz), where what
// each block's mean removal leaves dominates.
//
// Against the design the meter gives the two figures a FIR design promises:
// the stop-band attenuation (the largest gain measured in the stop band) and
// the pass-band ripple (the largest deviation from 0 dB in the pass band).
// The bands come from the designed response: the pass band where the design's
// gain is within its ripple of 100 %, the stop band where it is below its
// stop-band level.
//
// Threads: the UI thread (off the audio path); it allocates only when built.

#include <cstdint>
#include <vector>

namespace quellmarin {

class TResponseMeter {
 public:
  static constexpr int32_t FftLength = 2048;
  // Bins 0 .. Bins - 1 at k x SampleRate / FftLength; bin 0 (DC) is never
  // measured.
  static constexpr int32_t Bins = FftLength / 2;

  explicit TResponseMeter(double SampleRate = 20000.0);

  // Forgets every block (a new design, the filter switched). Delay: samples
  // the output lags the input (0 with the filter off).
  void Reset(int32_t Delay = 0);
  int32_t Delay() const { return FDelay; }
  // Adds one block as recorded (Input) and as played (Output), Count samples
  // each: Input[0 .. Count - Delay) against Output[Delay .. Count). Blocks
  // that leave fewer than 16 such samples are ignored; longer stretches than
  // FftLength are cut.
  void Add(const int16_t* Input, const int16_t* Output, int32_t Count);
  int64_t Blocks() const { return FBlocks; }
  double BinHz() const { return FSampleRate / FftLength; }

  // |H| at Bin in dB; false when the bin had no input energy, or no block
  // came yet.
  bool GainDb(int32_t Bin, double& Db) const;

  struct TFigures {
    int32_t PassBins = 0;      // pass-band bins with input energy
    int32_t StopBins = 0;      // stop-band bins with input energy
    double RippleDb = 0;       // largest |gain in dB| over the pass-band bins
    double StopBandAttDb = 0;  // minus the largest gain in dB over the stop-band bins
  };
  // The figures for a design whose response in percent is Design[0 ..
  // Count) on the meter's bins, with its ripple (a fraction of 1) and
  // stop-band attenuation (dB).
  TFigures Figures(const float* Design, int32_t Count, double Ripple, double StopBandAttDb) const;

 private:
  void Transform(const int16_t* Samples, int32_t Count, std::vector<float>& Buffer) const;

  double FSampleRate;
  int64_t FBlocks = 0;
  int32_t FDelay = 0;
  double FFloor = 0;                       // the input power 16-bit rounding gives a bin, summed over the blocks
  std::vector<double> FPower;              // sum of |X|^2
  std::vector<double> FCrossRe, FCrossIm;  // sum of conj(X) Y
  std::vector<float> FWindow;              // Hann window of FWindowLength samples
  int32_t FWindowLength = 0;
  int32_t FFirstBin = 1;  // the lowest bin outside the window's main lobe around 0 Hz
  double FWindowPower = 0;    // sum of the window's squares
  std::vector<float> FX, FY;  // transforms, 1-based packed
};

// The pass-band ripple a design's ripple (a fraction of 1) stands for, in dB.
double RippleToDb(double Ripple);

}  // namespace quellmarin

#pragma once
// The dominant tone's frequency in hertz, finer than the spectrum's bins.
//
// The live spectrum's bins are 9.77 Hz wide (20 kHz over 2048 points), and the
// spectrum is taken without a window, so interpolating its magnitudes leaves
// errors of a few hertz. Instead the estimate goes back to the block the
// spectrum was taken of: it searches the Hann-windowed block's continuous
// spectrum for its maximum near the peak bin (golden-section search on the
// magnitude). For a clean tone this is exact to well below 0.1 Hz; the Hann
// window keeps the tone's mirror image and other tones a few bins away out of
// the estimate.
//
// Threads: a pure function; it allocates nothing (the live loop calls it once
// per block).

#include <cstdint>

namespace quellmarin {

// The frequency in [CoarseHz - SpanHz, CoarseHz + SpanHz] (cut to 0 ..
// SampleRate / 2) at which the Hann-windowed spectrum of Signal[0 .. Count),
// its mean removed, is largest. CoarseHz when there is nothing to search
// (Count < 2, no span, a rate that is not positive).
double ToneFrequency(const float* Signal, int32_t Count, double SampleRate, double CoarseHz, double SpanHz);

}  // namespace quellmarin

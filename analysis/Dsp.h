#pragma once
// The numeric kernels: spectrum kernels (windows, FFT, magnitude and phase,
// decibels) and the Kaiser-window FIR design kernels.

#if __has_include("analysis/DspSpectrum.h")
#include "analysis/DspSpectrum.h"
#endif
#if __has_include("analysis/DspFir.h")
#include "analysis/DspFir.h"
#endif

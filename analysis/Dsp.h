#pragma once
// The numeric kernels: spectrum kernels (windows, FFT, magnitude and phase,
// decibels) and the Kaiser-window FIR design kernels.

#include "analysis/DspFir.h"
#include "analysis/DspSpectrum.h"

#pragma once
// The analysis components: the base, the amplitude spectrum analysis, the FIR
// filter and the signal generator.

#include "analysis/Analysis.h"
#if __has_include("analysis/SpectrumAnalysis.h")
#include "analysis/SpectrumAnalysis.h"
#endif
#if __has_include("analysis/FirAnalysis.h")
#include "analysis/FirAnalysis.h"
#endif
#if __has_include("analysis/SignalGeneration.h")
#include "analysis/SignalGeneration.h"
#endif

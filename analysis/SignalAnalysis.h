#pragma once
// The analysis components: the base, the amplitude spectrum analysis, the FIR
// filter and the signal generator.

#include "analysis/Analysis.h"
#include "analysis/FirAnalysis.h"
#include "analysis/SignalGeneration.h"
#include "analysis/SpectrumAnalysis.h"

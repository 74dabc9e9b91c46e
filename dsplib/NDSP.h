#pragma once
// The FIR-filtering and random-number calls the analyses make.

#if __has_include("dsplib/Fir.h")
#include "dsplib/Fir.h"
#endif
#if __has_include("dsplib/Random.h")
#include "dsplib/Random.h"
#endif

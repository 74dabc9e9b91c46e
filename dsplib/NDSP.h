#pragma once
// The FIR-filtering and random-number calls the analyses make.

#include "dsplib/Fir.h"
#include "dsplib/Random.h"

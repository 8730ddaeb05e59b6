// Simulated channel values: fixed, or drifting as a sine with Gaussian noise.
#pragma once

#include "platform/spectrum/Loggers.h"

#include <random>

namespace spectrum {

// The value of spec's channel at t seconds: base + drift * sin(2 pi t /
// period) + noise * N(0, 1). Drifting humidity stays within 0..100.
double simulate(const SimSpec &spec, int channel, double t, std::mt19937 &random);

} // namespace spectrum

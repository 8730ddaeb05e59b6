#include "platform/spectrum/Simulation.h"

#include <algorithm>
#include <cmath>

namespace spectrum {

double simulate(const SimSpec &spec, int channel, double t, std::mt19937 &random)
{
  double v = spec.channels[channel].value;
  if (spec.drift == 0.0 && spec.noise == 0.0)
    return v;
  const double pi = std::acos(-1.0);
  v += spec.drift * std::sin(2 * pi * std::fmod(t, spec.periodS) / spec.periodS);
  if (spec.noise > 0.0)
    v += std::normal_distribution<double>(0.0, spec.noise)(random);
  return channel == 1 ? std::min(100.0, std::max(0.0, v)) : v;
}

} // namespace spectrum

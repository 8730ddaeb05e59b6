// Helpers shared by the sources of the support library; not for tests.
#pragma once

#include "tests/support/TestUtil.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>

#ifndef TMX_BIN_DIR
#error "TMX_BIN_DIR must name the directory of the built executables"
#endif

namespace tmx::test::detail {

using Clock = std::chrono::steady_clock;

inline std::runtime_error failure(const std::string &what)
{
  return std::runtime_error(what + (errno ? std::string(": ") + std::strerror(errno) : std::string()));
}

inline int remainingMs(Clock::time_point deadline)
{
  auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

} // namespace tmx::test::detail

namespace tmx::test {

using detail::Clock;
using detail::failure;
using detail::remainingMs;

} // namespace tmx::test

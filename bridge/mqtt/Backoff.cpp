#include "bridge/mqtt/Backoff.h"

#include <algorithm>
#include <numeric>
#include <vector>

namespace Mqtt {
namespace {

constexpr std::int64_t FirstWindowMs = 5000;
constexpr std::int64_t LongestWindowMs = 60000;

}  // namespace

std::int64_t Backoff::WindowMs(int window, std::size_t brokers) {
  const int round = window / static_cast<int>(brokers == 0 ? 1 : brokers);
  return round < 2 ? FirstWindowMs
                   : std::min(FirstWindowMs << std::min(round - 1, 4), LongestWindowMs);
}

std::int64_t Backoff::Next(std::int64_t nowMs, std::mt19937& random) {
  if (Window_ < 0) {
    Window_ = 0;
    WindowStart_ = nowMs;
  }
  // An attempt that took longer than its window (a connect timing out) skips the windows it
  // overran, and the next one starts no earlier than now.
  for (;;) {
    const std::int64_t end = WindowStart_ + WindowMs(Window_, Brokers_);
    const std::int64_t from = std::max(nowMs, WindowStart_);
    WindowStart_ = end;
    Window_ = std::min(Window_ + 1, 1 << 20);
    if (end > from) {
      return std::uniform_int_distribution<std::int64_t>(from, end - 1)(random) - nowMs;
    }
  }
}

std::size_t Stride(std::size_t hash, std::size_t brokers) {
  std::vector<std::size_t> strides;
  for (std::size_t stride = 1; stride < brokers; ++stride) {
    if (std::gcd(stride, brokers) == 1) {
      strides.push_back(stride);
    }
  }
  return strides.empty() ? 1 : strides[(hash / brokers) % strides.size()];
}

}  // namespace Mqtt

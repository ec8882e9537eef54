// The reconnect schedule of the MQTT connection, apart from the connection so that it can be
// tested and measured without a broker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>

namespace Mqtt {

// When to try again after failed connects. Each attempt of a run of failures falls at a random
// moment of a window of its own; the windows follow each other from the first failure, 5 s each
// for the first two rounds of the broker list, then doubling up to 60 s. A fleet that lost its
// broker at one moment then comes back spread evenly over a window, whenever the broker returns,
// and no bridge comes back later than the end of the window after the one its broker returned in.
class Backoff {
 public:
  explicit Backoff(std::size_t brokers) : Brokers_(brokers == 0 ? 1 : brokers) {}
  // After a failed attempt at nowMs (a steady clock's milliseconds): the wait before the next.
  std::int64_t Next(std::int64_t nowMs, std::mt19937& random);
  // A connect was accepted: the next failure starts a new run.
  void Reset() { Window_ = -1; }
  static std::int64_t WindowMs(int window, std::size_t brokers);

 private:
  std::size_t Brokers_;
  int Window_ = -1;  // the next attempt's window; -1: no run of failures
  std::int64_t WindowStart_ = 0;
};

// How far round the list of brokers a bridge goes after a failure, from the hash of its name: a
// step that visits every broker in a round, and differs between bridges, so that those of a
// broker that is lost spread over the others instead of all moving to the next in the list.
std::size_t Stride(std::size_t hash, std::size_t brokers);

}  // namespace Mqtt

#pragma once

#include <cstdint>

namespace cbus {

// The machine's seeded generator (splitmix64): the same seed gives the same run on every host.
class Random {
  public:
    explicit Random(std::uint64_t seed = 1) : state_(seed) {}
    void reseed(std::uint64_t seed) { state_ = seed; }

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n); 0 when n is 0.
    std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : next() % n; }
    // True with probability p (0..1), decided in millionths.
    bool chance(double p) { return below(1'000'000) < static_cast<std::uint64_t>(p * 1'000'000.0); }

  private:
    std::uint64_t state_;
};

}  // namespace cbus

// The uniform pseudo-random generator and the calendar date, as the core
// takes them from the platform.
#ifndef CADENZA_PLATFORM_RANDOM_H_
#define CADENZA_PLATFORM_RANDOM_H_

#include <cstdint>
#include <ctime>
#include <random>

namespace cadenza {

class Random {
 public:
  Random() : gen_(0x5eed) {}
  // Seeds from the clock (with a per-process counter, so that two seedings
  // in the same clock tick differ).
  void SeedFromClock();
  void Seed(uint64_t seed) { gen_.seed(seed); }
  // Uniform in [0, 1).
  double Next() { return std::generate_canonical<double, 53>(gen_); }

 private:
  std::mt19937_64 gen_;
};

struct Date {
  int day = 1;    // 1..31
  int month = 1;  // 1..12
  int year = 1970;
};

// Today's local date.
Date Today();

// The local calendar time of `t`.
std::tm LocalTime(std::time_t t);

}  // namespace cadenza

#endif  // CADENZA_PLATFORM_RANDOM_H_

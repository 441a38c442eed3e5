#include "platform/random.h"

#include <atomic>
#include <chrono>
#include <ctime>

namespace cadenza {

void Random::SeedFromClock() {
  static std::atomic<uint64_t> counter{0};
  auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  auto wall = std::chrono::system_clock::now().time_since_epoch().count();
  gen_.seed(static_cast<uint64_t>(now) ^ (static_cast<uint64_t>(wall) << 1) ^
            (counter.fetch_add(1) * 0x9E3779B97F4A7C15ULL));
}

Date Today() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return Date{tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900};
}

}  // namespace cadenza

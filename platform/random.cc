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

std::tm LocalTime(std::time_t t) {
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &t);
#else
  localtime_r(&t, &tm);
#endif
  return tm;
}

Date Today() {
  const std::tm tm = LocalTime(std::time(nullptr));
  return Date{tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900};
}

}  // namespace cadenza

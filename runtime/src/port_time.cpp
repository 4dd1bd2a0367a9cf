// Platform-neutral part of the platform layer: calendar arithmetic that
// every port shares.
#include <cstdio>

#include "port.h"

namespace qel_port {

void format_civil_time(int64_t t, char* out, std::size_t size) {
  // Days to civil date (proleptic Gregorian), no library call involved.
  int64_t days = t / 86400, secs = t % 86400;
  if (secs < 0) {
    secs += 86400;
    days -= 1;
  }
  int64_t z = days + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t day = doy - (153 * mp + 2) / 5 + 1;
  int64_t month = mp < 10 ? mp + 3 : mp - 9;
  int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  std::snprintf(out, size, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld",
                static_cast<long long>(year), static_cast<long long>(month),
                static_cast<long long>(day), static_cast<long long>(secs / 3600),
                static_cast<long long>(secs / 60 % 60), static_cast<long long>(secs % 60));
}

}  // namespace qel_port

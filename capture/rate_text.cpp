#include "capture/rate_text.hpp"

#include <cmath>
#include <cstdint>

#include "base/console.hpp"

std::string rateText(double rate) {
  if (std::isnan(rate)) return "nan";
  if (std::isinf(rate)) return rate > 0 ? "inf" : "-inf";
  double whole = std::trunc(rate);
  // 2^63 is exactly representable; below it the cast is defined.
  if (std::fabs(whole) < 9223372036854775808.0) {
    return formatLine("%lld", static_cast<long long>(whole));
  }
  return formatLine("%.0f", whole);  // integral already: the exact digits
}

#include "audio/resample.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>

namespace {

// Output lengths from here on are no track the tool could hold: a rate
// pair that asks for one (a source rate near zero) leaves the input alone
// rather than failing an allocation.
constexpr double kMaxOutput = 4294967296.0;  // 2^32 samples

}  // namespace

std::vector<float> resampleLinear(std::span<const float> x, double from, double to) {
  const auto unchanged = [&] { return std::vector<float>(x.begin(), x.end()); };
  const auto n = static_cast<std::int64_t>(x.size());
  // NaN rates fail the "greater than 0" tests.
  if (!(from > 0.0) || !(to > 0.0) || n == 0 || std::fabs(from - to) <= 1.0) return unchanged();
  const double ratio = to / from;
  const double length = ratio * static_cast<double>(n);
  if (!(length < kMaxOutput)) return unchanged();
  const auto m = static_cast<std::int64_t>(length);  // truncated toward zero
  if (m < 2) return unchanged();

  std::vector<float> out;
  try {
    out.resize(static_cast<std::size_t>(m));
  } catch (const std::bad_alloc&) {
    return unchanged();
  }
  const std::int64_t last = n - 1;
  for (std::int64_t i = 0; i < m; ++i) {
    // The index is divided by the ratio (not multiplied by from/to): the
    // two differ in the last bit for most rate pairs.
    const double pos = static_cast<double>(i) / ratio;
    const auto k = static_cast<std::int64_t>(pos);
    const float xa = x[static_cast<std::size_t>(std::min(k, last))];
    const float xb = x[static_cast<std::size_t>(std::min(k + 1, last))];
    const auto frac = static_cast<float>(pos - static_cast<double>(k));
    out[static_cast<std::size_t>(i)] = xa + (xb - xa) * frac;
  }
  return out;
}

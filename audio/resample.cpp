#include "audio/resample.hpp"

#include <cmath>
#include <new>

namespace {

// Output lengths from here on are no track the tool could hold: a rate
// pair that asks for one (a source rate near zero) leaves the input alone
// rather than failing an allocation.
constexpr double kMaxOutput = 4294967296.0;  // 2^32 samples

}  // namespace

std::optional<std::int64_t> resampledLength(std::int64_t n, double from, double to) {
  // NaN rates fail the "greater than 0" tests.
  if (!(from > 0.0) || !(to > 0.0) || n == 0 || std::fabs(from - to) <= 1.0) return std::nullopt;
  const double length = (to / from) * static_cast<double>(n);
  if (!(length < kMaxOutput)) return std::nullopt;
  const auto m = static_cast<std::int64_t>(length);  // truncated toward zero
  if (m < 2) return std::nullopt;
  return m;
}

std::vector<float> resampleLinear(std::span<const float> x, double from, double to) {
  const auto unchanged = [&] { return std::vector<float>(x.begin(), x.end()); };
  const auto n = static_cast<std::int64_t>(x.size());
  const std::optional<std::int64_t> m = resampledLength(n, from, to);
  if (!m) return unchanged();

  std::vector<float> out;
  try {
    out.resize(static_cast<std::size_t>(*m));
  } catch (const std::bad_alloc&) {
    return unchanged();
  }
  const double ratio = to / from;
  const auto at = [&](std::int64_t j) { return x[static_cast<std::size_t>(j)]; };
  for (std::int64_t i = 0; i < *m; ++i)
    out[static_cast<std::size_t>(i)] = resampledSample(at, i, ratio, n - 1);
  return out;
}

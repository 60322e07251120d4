#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <vector>

#include "aec/large_buffer.hpp"

TEST(LargeBuffer, StartsOnA2MiBBoundaryAsZerosAndHoldsWhatIsWritten) {
  // A half spectrum of 2^20 points: a few bytes over 4 MiB.
  const size_t bins = (size_t{1} << 19) + 1;
  LargeBuffer a(bins * sizeof(std::complex<float>));
  LargeBuffer b(bins * sizeof(std::complex<float>));
  EXPECT_EQ(a.bytes(), bins * sizeof(std::complex<float>));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a.as<void>()) % (uintptr_t{1} << 21), 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b.as<void>()) % (uintptr_t{1} << 21), 0u);
  std::complex<float>* pa = a.as<std::complex<float>>();
  std::complex<float>* pb = b.as<std::complex<float>>();
  for (size_t k = 0; k < bins; ++k) ASSERT_EQ(pa[k], std::complex<float>(0.0f, 0.0f)) << k;
  // Both buffers usable to their last byte, and apart from each other.
  for (size_t k = 0; k < bins; ++k) {
    pa[k] = {static_cast<float>(k), 1.0f};
    pb[k] = {-1.0f, static_cast<float>(k)};
  }
  for (size_t k = 0; k < bins; k += 4099) {
    EXPECT_EQ(pa[k], std::complex<float>(static_cast<float>(k), 1.0f));
    EXPECT_EQ(pb[k], std::complex<float>(-1.0f, static_cast<float>(k)));
  }
  EXPECT_EQ(pa[bins - 1], std::complex<float>(static_cast<float>(bins - 1), 1.0f));
}

TEST(LargeBuffer, SmallAndEmptySizesWork) {
  LargeBuffer empty(0);
  EXPECT_EQ(empty.bytes(), 0u);
  EXPECT_NE(empty.as<void>(), nullptr);
  LargeBuffer one(1);
  *one.as<unsigned char>() = 7;
  EXPECT_EQ(*one.as<unsigned char>(), 7);
}

TEST(LargeBuffer, AdvisingHugePagesLeavesTheContentsAlone) {
  // On memory already written, on a range with no whole 2 MiB page, and on
  // an empty range: a hint only.
  std::vector<float> track(3u << 20);
  for (size_t i = 0; i < track.size(); ++i) track[i] = static_cast<float>(i % 977);
  adviseHugePages(track.data(), track.size() * sizeof(float));
  adviseHugePages(track.data() + 1, 4096);
  adviseHugePages(track.data(), 0);
  for (size_t i = 0; i < track.size(); i += 1013) ASSERT_EQ(track[i], static_cast<float>(i % 977));
}

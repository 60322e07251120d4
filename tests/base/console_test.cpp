#include "base/console.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

TEST(Console, LogErrWritesPrefixMessageAndLineFeed) {
  struct Case {
    std::string message, line;
  };
  const Case cases[] = {
      {"", "narup-capture: \n"},
      {"[WARN] x", "narup-capture: [WARN] x\n"},
      // The system's own symbols reach standard error as their UTF-8 bytes.
      {"micΔ=0.0dB → out — 2×", "narup-capture: mic\xce\x94=0.0dB \xe2\x86\x92 out \xe2\x80\x94 2\xc3\x97\n"},
      {"two\nlines", "narup-capture: two\nlines\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    testing::internal::CaptureStderr();
    logErr(c.message);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
  }
}

TEST(ConsoleDeathTest, FailPrintsOneLineAndExitsWithOne) {
  EXPECT_EXIT(fail("no sources selected"), testing::ExitedWithCode(1),
              "^narup-capture \\[FAIL\\] no sources selected\n$");
}

TEST(Console, FormatLineFollowsPrintfDirectives) {
  EXPECT_EQ(formatLine("sys: %d frames, peak %.3f, clip %.1f%%", 12, 0.5, 2.25),
            "sys: 12 frames, peak 0.500, clip 2.2%");
  EXPECT_EQ(formatLine("%s", ""), "");
  const std::string big(10000, 'a');
  EXPECT_EQ(formatLine("%s!", big.c_str()), big + "!");
}

}  // namespace

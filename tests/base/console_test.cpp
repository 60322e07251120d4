#include "base/console.hpp"

#include <gtest/gtest.h>

TEST(Console, LinesArePrefixMessageAndLineFeedInUtf8) {
  const std::tuple<void (*)(std::string_view), std::string, std::string> cases[] = {
      {logErr, "", "narup-capture: \n"},
      {logErr, "micΔ → — 2×", "narup-capture: mic\xce\x94 \xe2\x86\x92 \xe2\x80\x94 2\xc3\x97\n"},
      {logErr, "two\nlines", "narup-capture: two\nlines\n"},
      {logFail, "no sources selected", "narup-capture [FAIL] no sources selected\n"},
  };
  for (const auto& [write, message, line] : cases) {
    testing::internal::CaptureStderr();
    write(message);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), line);
  }
  EXPECT_EXIT(fail("x"), testing::ExitedWithCode(1), "^narup-capture \\[FAIL\\] x\n$");
}

TEST(Console, FormatLineFollowsPrintfDirectivesAtAnyLength) {
  const std::string big(10000, 'a');
  EXPECT_EQ(formatLine("%d, %.1f%% %s!", 12, 2.25, big.c_str()), "12, 2.2% " + big + "!");
}

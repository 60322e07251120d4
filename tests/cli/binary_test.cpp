// The real binary: exit statuses and the exact bytes on both streams.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/run_process.hpp"

namespace {

const std::string kBinary = NARUP_BINARY;
const std::string kUsageLine =
    "narup-capture [FAIL] usage: narup-capture <out.wav> [--system] [--mic] [--mic-device <uid>] "
    "[--no-echo-cancel]\n";

// The program name in the lines is fixed, whatever path the binary runs from.
TEST(Binary, NoArgumentsPrintsTheUsageLineAndExitsOne) {
  const auto dir = std::filesystem::temp_directory_path() / "narup-cli-name";
  std::filesystem::create_directories(dir);
  const auto renamed = dir / "other-name";
  std::filesystem::copy_file(kBinary, renamed, std::filesystem::copy_options::overwrite_existing);
  for (const std::string& program : {kBinary, renamed.string()}) {
    SCOPED_TRACE(program);
    const ProcessResult r = runProcess({program});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, kUsageLine);
    EXPECT_EQ(r.out, "");
  }
  std::filesystem::remove_all(dir);
}

TEST(Binary, ProcessFilesWinsOverDeviceModes) {
  const ProcessResult r =
      runProcess({kBinary, "--process-files", "/nonexistent/m.wav", "/nonexistent/s.wav",
                  "/nonexistent/o.wav", "--list-input-devices"});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "narup-capture [FAIL] cannot read mic wav: /nonexistent/m.wav\n");
  EXPECT_EQ(r.out, "");
}

}  // namespace

// Arbitrary argument vectors through the mode choice. Only the parse runs:
// no mode is started, so nothing here can end the fuzzer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/command_line.hpp"

namespace {

// Splits the input at NUL bytes into arguments; element 0 is the program.
std::vector<std::string> argumentsFrom(const uint8_t* data, size_t size) {
  std::vector<std::string> args{"narup-capture"};
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty()) args.push_back(current);
  return args;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto args = argumentsFrom(data, size);
  const Mode mode = parseCommandLine(args);
  // What the parse promises: a capture only with an output path, always with
  // at least one source, and its path is element 1.
  if (const auto* capture = std::get_if<CaptureMode>(&mode)) {
    if (args.size() < 2 || capture->outPath != args[1]) __builtin_trap();
    if (!capture->wantSystem && !capture->wantMic) __builtin_trap();
  }
  if (std::holds_alternative<UsageFailure>(mode) && args.size() >= 2) __builtin_trap();
  // "--recover" as the last argument never records.
  if (!args.empty() && args.back() == "--recover" && std::holds_alternative<CaptureMode>(mode))
    __builtin_trap();
  return 0;
}

#include "audio/channel_path.hpp"

#include <string_view>

std::string channelPath(const std::string& path, const std::string& label) {
  constexpr std::string_view kExt = ".wav";  // exact, case-sensitive
  std::string_view stem = path;
  if (stem.ends_with(kExt)) stem.remove_suffix(kExt.size());
  std::string out;
  out.reserve(stem.size() + 1 + label.size() + kExt.size());
  out.append(stem);
  out.push_back('.');
  out.append(label);
  out.append(kExt);
  return out;
}

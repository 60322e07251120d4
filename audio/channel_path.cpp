#include "audio/channel_path.hpp"

#include <string_view>

#include "audio/track_writer.hpp"

std::string channelPath(const std::string& path, const std::string& label) {
  // The channel files take the output's format, and so its extension.
  const std::string_view ext = extensionOf(trackFormatOf(path));
  std::string_view stem = path;
  if (stem.ends_with(ext)) stem.remove_suffix(ext.size());
  std::string out;
  out.reserve(stem.size() + 1 + label.size() + ext.size());
  out.append(stem);
  out.push_back('.');
  out.append(label);
  out.append(ext);
  return out;
}

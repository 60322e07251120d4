#include "capture/spool_paths.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "base/home_directory.hpp"

namespace {

// A file name holds at most 255 bytes; an encoded path longer than this is
// shortened and made unique by a hash of the whole path.
constexpr std::size_t kLongestName = 200;

// The output's absolute path, its folder resolved: the same from any
// working folder, as the recording and a later --recover must agree.
std::string absoluteOutput(const std::string& outPath) {
  const std::string folder = folderOf(outPath);
  const auto slash = outPath.rfind('/');
  const std::string name = slash == std::string::npos ? outPath : outPath.substr(slash + 1);
  char* resolved = ::realpath(folder.c_str(), nullptr);
  if (resolved == nullptr) return outPath;
  std::string whole(resolved);
  std::free(resolved);
  return (whole == "/" ? "" : whole) + "/" + name;
}

// "/home/u/call.wav" → "%2Fhome%2Fu%2Fcall.wav.spool": one folder name per
// output, readable, and never the same for two paths.
std::string fallbackName(const std::string& absolute) {
  std::string name;
  for (char c : absolute) {
    if (c == '/') name += "%2F";
    else if (c == '%') name += "%25";
    else name += c;
  }
  if (name.size() > kLongestName) {
    std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : absolute) hash = (hash ^ c) * 1099511628211ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    name = name.substr(name.size() - (kLongestName - 17)) + "-" + hex;
  }
  return name + ".spool";
}

std::vector<std::string> fallbackRoots() {
  std::vector<std::string> roots;
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') {
    roots.push_back(std::string(state) + "/narup-capture");
  } else if (const std::string home = homeDirectory(); !home.empty()) {
    roots.push_back(home + "/.local/state/narup-capture");
  }
  roots.push_back("/var/tmp/narup-capture-" + std::to_string(::getuid()));
  return roots;
}

// The part number of `file` in track `label`, or -1 when it is no part.
int partIndexOf(const std::string& file, const std::string& label) {
  if (file == label + ".wav") return 0;
  const std::string head = label + ".";
  if (file.size() <= head.size() + 4 || file.compare(0, head.size(), head) != 0 ||
      file.compare(file.size() - 4, 4, ".wav") != 0)
    return -1;
  const std::string digits = file.substr(head.size(), file.size() - head.size() - 4);
  if (digits.empty() || digits.size() > 6 || digits[0] == '0' ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return -1;
  return std::atoi(digits.c_str());
}

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = ::readdir(d)) names.emplace_back(e->d_name);
  ::closedir(d);
  return names;
}

}  // namespace

std::string folderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

SpoolPaths spoolPaths(const std::string& outPath) {
  SpoolPaths paths;
  paths.dir = outPath + ".spool";
  paths.sys = paths.dir + "/sys.wav";
  paths.mic = paths.dir + "/mic.wav";
  paths.lock = paths.dir + "/lock";
  const std::string name = fallbackName(absoluteOutput(outPath));
  for (const std::string& root : fallbackRoots()) paths.fallbackDirs.push_back(root + "/" + name);
  return paths;
}

std::string spoolPartPath(const std::string& dir, const std::string& label, int index) {
  return dir + "/" + label + (index == 0 ? "" : "." + std::to_string(index)) + ".wav";
}

std::vector<SpoolPart> findSpoolParts(const SpoolPaths& paths, const std::string& label) {
  std::map<int, std::string> parts;
  std::vector<std::string> dirs{paths.dir};
  dirs.insert(dirs.end(), paths.fallbackDirs.begin(), paths.fallbackDirs.end());
  for (const std::string& dir : dirs) {
    for (const std::string& file : filesIn(dir)) {
      const int index = partIndexOf(file, label);
      if (index >= 0) parts.emplace(index, dir + "/" + file);
    }
  }
  std::vector<SpoolPart> found;
  for (auto& [index, path] : parts) found.push_back({index, path});
  return found;
}

bool removeSpool(const SpoolPaths& paths) {
  for (const char* label : {"sys", "mic"}) {
    for (const SpoolPart& part : findSpoolParts(paths, label)) ::unlink(part.path.c_str());
  }
  for (const std::string& dir : paths.fallbackDirs) ::rmdir(dir.c_str());
  ::unlink(paths.lock.c_str());
  return ::rmdir(paths.dir.c_str()) == 0 || errno == ENOENT;
}

#include "capture/spool_paths.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

SpoolPaths spoolPaths(const std::string& outPath) {
  SpoolPaths paths;
  paths.dir = outPath + ".spool";
  paths.sys = paths.dir + "/sys.wav";
  paths.mic = paths.dir + "/mic.wav";
  return paths;
}

std::string earlierSpoolMessage(const std::string& outPath) {
  return "spool of an earlier recording exists: " + spoolPaths(outPath).dir +
         " — run narup-capture --recover " + outPath;
}

std::optional<std::string> claimSpool(const std::string& outPath) {
  // mkdir either makes the folder or finds it there, in one step: two
  // recordings to the same path cannot both take it.
  if (::mkdir(spoolPaths(outPath).dir.c_str(), 0777) != 0 && errno == EEXIST)
    return earlierSpoolMessage(outPath);
  return std::nullopt;
}

bool removeSpool(const SpoolPaths& paths) {
  ::unlink(paths.sys.c_str());
  ::unlink(paths.mic.c_str());
  return ::rmdir(paths.dir.c_str()) == 0 || errno == ENOENT;
}

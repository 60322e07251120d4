#include "base/home_directory.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

std::string homeDirectory() {
  if (const char* env = std::getenv("HOME"); env != nullptr && env[0] != '\0') return env;
  if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr)
    return pw->pw_dir;
  return {};
}

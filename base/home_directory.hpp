#pragma once

#include <string>

// The user's home folder: $HOME, else the password entry's; empty when
// neither gives one.
std::string homeDirectory();

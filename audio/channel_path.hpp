#pragma once

#include <string>

// The file of one recorded channel beside the output path: "out.wav" with
// label "mic" gives "out.mic.wav"; a path not ending in ".wav" keeps its
// whole name ("out" gives "out.mic.wav").
std::string channelPath(const std::string& path, const std::string& label);

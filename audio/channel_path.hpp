#pragma once

#include <string>

// The file of one recorded channel beside the output path: "out.wav" with
// label "mic" gives "out.mic.wav", "out.flac" gives "out.mic.flac" and
// "out.opus" "out.mic.opus"; a path ending in none of the three keeps its
// whole name and takes ".wav" ("out" gives "out.mic.wav").
std::string channelPath(const std::string& path, const std::string& label);

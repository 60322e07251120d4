#pragma once

// Raw 32-bit float files for the peer runners of the quality benchmark,
// which link nothing of the tool.

#include <cstdio>
#include <string>
#include <vector>

inline bool readRawFloats(const std::string& path, std::vector<float>& out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  std::fseek(f, 0, SEEK_END);
  const long bytes = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  out.resize(static_cast<size_t>(bytes) / sizeof(float));
  const size_t got = std::fread(out.data(), sizeof(float), out.size(), f);
  std::fclose(f);
  return got == out.size();
}

inline bool writeRawFloats(const std::string& path, const std::vector<float>& in) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const size_t put = std::fwrite(in.data(), sizeof(float), in.size(), f);
  return std::fclose(f) == 0 && put == in.size();
}

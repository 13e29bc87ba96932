// Small file helpers shared by the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace mirvo::testing {

// Writes data to path, creating its folders.
inline void WriteFile(const std::filesystem::path& path, std::string_view data) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

// The whole file; empty when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// n bytes of every value, different for each n, the same on every run.
inline std::string PatternBytes(std::size_t n) {
  std::string s(n, '\0');
  std::uint32_t x = 0x9E3779B9u ^ static_cast<std::uint32_t>(n);
  for (auto& c : s) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

}  // namespace mirvo::testing

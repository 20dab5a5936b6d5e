// Shared by the media fuzzers: the input bytes become a file, since the exports
// take paths. Files live in a per-process folder under /tmp.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace fuzz {

inline std::string WorkPath(const std::string &name) {
  static const std::filesystem::path dir = [] {
    auto d = std::filesystem::temp_directory_path() / ("mpg-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(d);
    return d;
  }();
  return (dir / name).string();
}

inline std::string WriteInput(const std::string &name, const uint8_t *data, size_t size) {
  const std::string path = WorkPath(name);
  if (FILE *f = std::fopen(path.c_str(), "wb")) {
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  return path;
}

inline void Remove(const std::string &path) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
}

}  // namespace fuzz

// The parts of the platform layer that are the same on every system.
#include "platform/platform.h"

#include <atomic>
#include <chrono>
#include <cstdio>

namespace mpg::platform {

namespace {
// Set by the host once for every later call, and read by the calls of any thread:
// like the progress scale, it belongs to the process, not to a job.
std::atomic<PathEncoding> hostPathEncoding{PathEncoding::Ansi};
}  // namespace

void SetHostPathEncoding(PathEncoding encoding) noexcept {
  hostPathEncoding.store(encoding, std::memory_order_relaxed);
}

PathEncoding HostPathEncoding() noexcept { return hostPathEncoding.load(std::memory_order_relaxed); }

std::string detail::NextNameBeside(const char *path, uint32_t processId) {
  // Each try takes a new suffix: the counter keeps the calls of one process apart,
  // the process id and the clock those of several processes.
  static std::atomic<uint32_t> counter{0};
  const auto now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  const uint64_t mixed =
      (now ^ uint64_t{processId} << 32) + counter.fetch_add(1, std::memory_order_relaxed) * 0x9E3779B97F4A7C15ull;
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<uint32_t>(mixed ^ mixed >> 32));
  return std::string(path) + suffix;
}

int CompareNoCase(std::string_view a, std::string_view b) noexcept {
  auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    int d = lower(static_cast<unsigned char>(a[i])) - lower(static_cast<unsigned char>(b[i]));
    if (d != 0) return d;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace mpg::platform

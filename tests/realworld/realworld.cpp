#include "realworld/realworld.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>

namespace fs = std::filesystem;

namespace mpgtest {

const std::string &RealWorldDir() {
  static const std::string dir = [] {
    const fs::path p = fs::path(MPG_SOURCE_DIR) / ".." / "shared" / "media" / "realworld";
    std::error_code ec;
    return fs::is_directory(p, ec) ? fs::canonical(p).string() : std::string();
  }();
  return dir;
}

std::string Real(const std::string &name) { return RealWorldDir() + "/" + name; }

std::vector<std::string> RealHlsSegments(const std::string &folder) {
  std::vector<std::string> files;
  for (const auto &e : fs::directory_iterator(Real("hls/" + folder)))
    if (e.path().extension() == ".ts") files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

namespace {

double Seconds(const nlohmann::json &v) {
  if (v.is_string()) return std::stod(v.get<std::string>());
  if (v.is_number()) return v.get<double>();
  return std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

PacketSpan ProbeSpan(const std::string &path, const std::string &selector) {
  PacketSpan span;
  const nlohmann::json packets = ProbePackets(path, selector);
  if (!packets.is_array()) return span;
  double first = std::numeric_limits<double>::infinity();
  double end = -std::numeric_limits<double>::infinity();
  double lastDts = -std::numeric_limits<double>::infinity();
  for (const auto &p : packets) {
    ++span.count;
    const double pts = p.contains("pts_time") ? Seconds(p["pts_time"]) : std::nan("");
    const double dts = p.contains("dts_time") ? Seconds(p["dts_time"]) : std::nan("");
    const double dur = p.contains("duration_time") ? Seconds(p["duration_time"]) : 0.0;
    if (span.count == 1) span.firstDts = dts;
    if (!std::isnan(pts)) {
      first = std::min(first, pts);
      end = std::max(end, pts + (std::isnan(dur) ? 0.0 : dur));
    }
    if (!std::isnan(dts)) {
      if (dts <= lastDts) ++span.nonIncreasingDts;
      lastDts = dts;
    }
  }
  if (span.count > 0 && std::isfinite(first)) {
    span.firstPts = first;
    span.end = end;
  }
  return span;
}

int CountStreams(const std::string &path, const std::string &type) {
  const nlohmann::json info = Probe(path);
  int n = 0;
  if (!info.contains("streams")) return 0;
  for (const auto &s : info["streams"]) {
    if (s.value("codec_type", "") != type) continue;
    if (s.contains("disposition") && s["disposition"].value("attached_pic", 0) == 1) continue;
    ++n;
  }
  return n;
}

double ProbeStartTime(const std::string &path) {
  const nlohmann::json info = Probe(path);
  if (!info.contains("format") || !info["format"].contains("start_time")) return 0;
  return Seconds(info["format"]["start_time"]);
}

std::string ProbeCodec(const std::string &path, const std::string &type) {
  const nlohmann::json info = Probe(path);
  if (!info.contains("streams")) return {};
  for (const auto &s : info["streams"])
    if (s.value("codec_type", "") == type) return s.value("codec_name", "");
  return {};
}

}  // namespace mpgtest

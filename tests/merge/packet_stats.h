// What ffprobe sees of a file's packets, per stream, for the merge and join tests.
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/media.h"

extern "C" {
#include <libavutil/error.h>
}

namespace mergetest {

struct Track {
  int count = 0;
  double first = 1e300, end = -1e300;  // seconds: smallest pts, largest pts + duration
  double maxStep = 0;                  // largest step between successive dts
  int nonIncreasing = 0;               // packets whose dts is not above the previous one's
};

struct Packets {
  std::map<int, Track> tracks;  // by stream index
  double worstLate = 0;         // in file order, how far a packet lies behind one stored before it
};

inline Packets ReadPackets(const std::string &path, const std::string &selector = "") {
  Packets r;
  std::map<int, double> lastDts;
  std::vector<std::pair<int64_t, double>> byPos;
  for (const auto &p : mpgtest::ProbePackets(path, selector)) {
    auto time = [&p](const char *key, double fallback) {
      return p.contains(key) ? std::stod(p[key].get<std::string>()) : fallback;
    };
    const int s = p["stream_index"].get<int>();
    const double pts = time("pts_time", 0), dts = time("dts_time", pts);
    Track &t = r.tracks[s];
    if (t.count++ > 0) {
      t.maxStep = std::max(t.maxStep, dts - lastDts[s]);
      if (dts <= lastDts[s]) ++t.nonIncreasing;
    }
    lastDts[s] = dts;
    t.first = std::min(t.first, pts);
    t.end = std::max(t.end, pts + time("duration_time", 0));
    if (p.contains("pos") && p["pos"] != "N/A") byPos.emplace_back(std::stoll(p["pos"].get<std::string>()), dts);
  }
  std::sort(byPos.begin(), byPos.end());
  double latest = -1e300;
  for (const auto &[pos, dts] : byPos) r.worstLate = std::max(r.worstLate, latest - dts), latest = std::max(latest, dts);
  return r;
}

// The one stream a selector picks.
inline Track ReadTrack(const std::string &path, const std::string &selector) {
  const Packets p = ReadPackets(path, selector);
  return p.tracks.empty() ? Track{} : p.tracks.begin()->second;
}

}  // namespace mergetest

// Test support for the real-file groups: files from real encoders, cameras and
// HLS/DASH streams kept in ../shared/media/realworld beside the checkout, and
// judges that compare an output with its input through ffprobe, independently of
// the library. Every group skips with a clear message when the folder is absent.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/media.h"

namespace mpgtest {

// The folder of real files, or empty when it is not beside the checkout.
const std::string &RealWorldDir();
// Path of a file in that folder ("hls/sp_hls_ts_h264/fileSequence0.ts" works too).
std::string Real(const std::string &name);
// The files of an HLS folder in playing order (names sorted), as full paths.
std::vector<std::string> RealHlsSegments(const std::string &folder);

// Skips the running test when the real files are absent.
#define REQUIRE_REALWORLD()                                                                      \
  do {                                                                                           \
    if (::mpgtest::RealWorldDir().empty())                                                       \
      GTEST_SKIP() << "../shared/media/realworld is absent: real-file tests skipped";           \
  } while (0)

// What ffprobe sees of one stream's packets.
struct PacketSpan {
  int count = 0;
  double firstPts = 0;  // seconds; the smallest pts
  double firstDts = 0;  // seconds; the first packet's dts
  double end = 0;       // seconds; the largest pts + duration
  int nonIncreasingDts = 0;  // packets whose dts is not above the previous one's
  double Span() const { return end - firstPts; }
};
// selector as for ffprobe's -select_streams ("v:0", "a:0").
PacketSpan ProbeSpan(const std::string &path, const std::string &selector);

// Number of streams of a media type ("video", "audio") that ffprobe lists, leaving
// attached pictures out.
int CountStreams(const std::string &path, const std::string &type);
// The format's start_time in seconds (0 when ffprobe gives none).
double ProbeStartTime(const std::string &path);
// The codec name of the first stream of type, or empty.
std::string ProbeCodec(const std::string &path, const std::string &type);

}  // namespace mpgtest

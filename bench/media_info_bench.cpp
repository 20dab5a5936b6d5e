// MPG_GetMediaInfo against `ffprobe -show_format -show_streams` on a 10-minute 720p
// H.264 + AAC MP4, whole process against whole process: a host asks for the record
// once per file, so start-up, library loading, the open and the measuring reads all
// count.
//
//   media_info_bench info PATH       one MPG_GetMediaInfo call; exit status 0 when it
//                                    returns true (the process the comparison times)
//   media_info_bench [RUNS] [PATH]   runs both peers RUNS times (default 21),
//                                    interleaved with alternating order after one
//                                    untimed warm-up each, and prints the medians and
//                                    their ratio. Without PATH the input is made by the
//                                    ffmpeg tool once, next to this program.
// The closing line for bench/run_all.sh:
//   BENCH job=media_info_720p_10min lib_median_s=<x> peer_median_s=<y> ratio=<r> peer=ffprobe
// BENCH_QUICK=1: 5 runs by default, and a made input of one minute instead of ten.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "mpg.h"

namespace {

constexpr int kDefaultRuns = 21;
constexpr int kQuickRuns = 5;

// testsrc2 at 1280x720, 25 fps, and a sine tone, ten minutes of each (one in a quick
// run); about the size and key-frame spacing (x264's default 250 frames) of a
// downloaded 720p file.
std::string InputRecipe(int seconds) {
  const std::string d = std::to_string(seconds);
  return "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=" + d +
         " -f lavfi -i sine=frequency=440:sample_rate=48000:duration=" + d +
         " -ac 2 -c:v libx264 -preset ultrafast -b:v 1500k -pix_fmt yuv420p -c:a aac -b:a 128k -shortest";
}

int InfoOnce(const char *path) {
  MpgMediaInfo info;
  return MPG_GetMediaInfo(path, &info) ? 0 : 1;
}

int Compare(int runs, std::string path) {
  const std::string self = bench::SelfPath();
  if (self.empty()) {
    std::fprintf(stderr, "cannot find this program's own path\n");
    return 1;
  }
  const bool quick = bench::Quick();
  if (path.empty()) {
    path = bench::SelfDir() + (quick ? "/media_info_bench_1min_720p.mp4" : "/media_info_bench_10min_720p.mp4");
    if (!bench::MakeInput(path, InputRecipe(quick ? 60 : 600))) return 1;
  }

  const bench::Job job = {"media_info_720p_10min", "ffprobe", bench::Exec({self, "info", path}),
                          bench::Exec({"ffprobe", "-v", "error", "-show_format", "-show_streams", path}), nullptr};
  bench::Series ours, peer;
  if (!bench::Interleave(job, runs, ours, peer)) {
    std::fprintf(stderr, "(is MPG_GetMediaInfo answering false, or is there no ffprobe?)\n");
    return 1;
  }
  const double oursWall = bench::Median(ours.seconds) * 1000, peerWall = bench::Median(peer.seconds) * 1000;
  const double oursCpu = bench::Median(ours.cpuSeconds) * 1000, peerCpu = bench::Median(peer.cpuSeconds) * 1000;
  std::printf("input: %s\n", path.c_str());
  std::printf("runs: %d each, interleaved\n", runs);
  std::printf("%-46s %12s %12s\n", "median per process", "wall ms", "cpu ms");
  std::printf("%-46s %12.2f %12.2f\n", "MPG_GetMediaInfo", oursWall, oursCpu);
  std::printf("%-46s %12.2f %12.2f\n", "ffprobe -show_format -show_streams", peerWall, peerCpu);
  std::printf("ratio MPG_GetMediaInfo / ffprobe: wall %.3fx (target <= 0.8x), cpu %.3fx\n", oursWall / peerWall,
              oursCpu / peerCpu);
  bench::PrintBenchLine(job.name, oursWall / 1000, peerWall / 1000, job.peerName, 4);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::strcmp(argv[1], "info") == 0) return InfoOnce(argv[2]);
  const int runs = argc > 1 ? std::atoi(argv[1]) : bench::Quick() ? kQuickRuns : kDefaultRuns;
  if (runs <= 0) {
    std::fprintf(stderr, "usage: %s info PATH | %s [RUNS] [PATH]\n", argv[0], argv[0]);
    return 2;
  }
  return Compare(runs, argc > 2 ? argv[2] : "");
}

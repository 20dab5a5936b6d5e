// MP3 conversion of a 10-minute 48 kHz stereo AAC file by the library and by the
// ffmpeg tool doing the same work (`ffmpeg -i in -vn -c:a libmp3lame -b:a 128k`).
// Both run as child processes of this program, in alternating order, so each pays
// the same start-up and cache conditions; the program prints every wall time, the
// two medians and their ratio (target: the library at most 1.1 times ffmpeg), then
//   BENCH job=mp3_convert_10min lib_median_s=<x> peer_median_s=<y> ratio=<r> peer=ffmpeg libmp3lame
// BENCH_QUICK=1: 3 runs by default, and a one-minute input instead of ten minutes.
//
//   mp3_bench [runs]            the benchmark (the input is made once, beside the program)
//   mp3_bench --convert IN OUT  one conversion through the library, then exit
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_support.h"
#include "transcode/mp3_convert.h"

namespace {

constexpr int kDefaultRuns = 5;
constexpr int32_t kBitRate = 128000;

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && std::string(argv[1]) == "--convert") {
    const mpg::Status st = mpg::ConvertToMp3(argv[2], argv[3], kBitRate, nullptr, 0);
    return mpg::IsOk(st) ? 0 : 1;
  }
  const bool quick = bench::Quick();
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : quick ? 3 : kDefaultRuns;
  const std::string self = bench::SelfPath();
  if (self.empty()) {
    std::fprintf(stderr, "cannot find this program's own path\n");
    return 1;
  }
  const std::string dir = bench::SelfDir();
  const std::string seconds = quick ? "60" : "600";
  const std::string input = dir + "/mp3_bench_input_" + seconds + "s.m4a";
  const std::string ours = dir + "/mp3_bench_ours.mp3", peer = dir + "/mp3_bench_ffmpeg.mp3";
  // Tone plus noise, so neither coder meets an unusually easy signal.
  if (!bench::MakeInput(input, "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=" + seconds +
                                   " -f lavfi -i anoisesrc=r=48000:a=0.1:d=" + seconds +
                                   ":seed=7 -filter_complex amix=inputs=2 -ac 2 -c:a aac -b:a 128k"))
    return 1;
  const bench::Job job = {"mp3_convert_10min", "ffmpeg libmp3lame", bench::Exec({self, "--convert", input, ours}),
                          bench::Exec({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", input, "-vn", "-c:a",
                                       "libmp3lame", "-b:a", "128k", peer}),
                          nullptr};
  bench::Series ourTimes, peerTimes;
  // No warm-up: every run, the first included, is timed and reported.
  const bool ok = bench::Interleave(
      job, runs, ourTimes, peerTimes,
      [](int round, const bench::Series &lib, const bench::Series &tool) {
        std::printf("run %d: library %.3f s, ffmpeg %.3f s\n", round + 1, lib.seconds.back(), tool.seconds.back());
        std::fflush(stdout);
      },
      false);
  if (!ok) return 1;
  const double ourMedian = bench::Median(ourTimes.seconds), peerMedian = bench::Median(peerTimes.seconds);
  std::printf("median: library %.3f s, ffmpeg %.3f s, ratio %.3f (target <= 1.1)\n", ourMedian, peerMedian,
              ourMedian / peerMedian);
  bench::PrintBenchLine(job.name, ourMedian, peerMedian, job.peerName);
  return 0;
}

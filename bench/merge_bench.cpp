// Merge and concatenation beside the ffmpeg tool doing the same job on the same
// inputs: a 10-minute 720p H.264 file with a 10-minute AAC file, and 300 two-second
// MPEG-TS segments. Each run is a child process (the library call in a fork, the
// tool by exec), runs are interleaved, and medians of wall time and peak memory
// are reported with their ratios.
//
//   merge_bench [work-dir (default /tmp/mpg_merge_bench)] [runs (default 5)]
//
// Inputs are made once in the work directory by the ffmpeg tool and kept. Each job
// also prints, for bench/run_all.sh,
//   BENCH job=<name> lib_median_s=<x> peer_median_s=<y> ratio=<r> peer=<peer> lib_peak_mib=<m> peer_peak_mib=<m>
// BENCH_QUICK=1: 3 runs by default, and one-minute inputs (30 segments) in
// /tmp/mpg_merge_bench_quick.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "bench_support.h"
#include "mpg.h"

namespace {

using bench::Quote;

bool MakeInputs(const std::string &dir, int seconds, int segmentCount) {
  std::error_code ec;
  std::filesystem::create_directories(dir + "/seg", ec);
  const std::string d = std::to_string(seconds);
  const std::string video = dir + "/video.mp4", audio = dir + "/audio.m4a";
  if (!bench::MakeInput(video, "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=" + d +
                                   " -c:v libx264 -preset ultrafast -g 50 -pix_fmt yuv420p -b:v 2500k") ||
      !bench::MakeInput(audio, "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=" + d +
                                   " -ac 2 -c:a aac -b:a 128k"))
    return false;
  const std::string lastSegment = dir + "/seg/seg" + std::to_string(segmentCount - 1) + ".ts";
  if (!bench::FileExists(lastSegment)) {
    std::printf("making %s/seg/seg*.ts ...\n", dir.c_str());
    std::fflush(stdout);
    if (!bench::RunFfmpeg("-i " + Quote(video) + " -i " + Quote(audio) + " -map 0:v -map 1:a -c copy -f segment " +
                          "-segment_time 2 -segment_list " + Quote(dir + "/seg/list.ffconcat") +
                          " -segment_list_type ffconcat " + Quote(dir + "/seg/seg%d.ts")))
      return false;
  }
  return bench::FileExists(lastSegment);
}

void PrintComparison(const char *label, const bench::Series &lib, const bench::Series &tool, double target,
                     const bench::Job &job) {
  using bench::Median;
  const double libT = Median(lib.seconds), toolT = Median(tool.seconds);
  const double libM = Median(lib.peakMiB), toolM = Median(tool.peakMiB);
  std::printf("%-14s library %7.3f s %7.1f MiB | ffmpeg %7.3f s %7.1f MiB | time ratio %.3f (target <= %.1f) | "
              "memory ratio %.3f%s\n",
              label, libT, libM, toolT, toolM, libT / toolT, target, libM / toolM,
              lib.failures || tool.failures ? "  (FAILED RUNS)" : "");
  if (lib.failures || tool.failures) return;
  char memory[96];
  std::snprintf(memory, sizeof memory, "lib_peak_mib=%.1f peer_peak_mib=%.1f", libM, toolM);
  bench::PrintBenchLine(job.name, libT, toolT, job.peerName, 3, memory);
}

}  // namespace

int main(int argc, char **argv) {
  const bool quick = bench::Quick();
  const std::string dir = argc > 1 ? argv[1] : quick ? "/tmp/mpg_merge_bench_quick" : "/tmp/mpg_merge_bench";
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : quick ? 3 : 5;
  const int kSegments = quick ? 30 : 300;
  std::printf("inputs in %s\n", dir.c_str());
  if (!MakeInputs(dir, quick ? 60 : 600, kSegments)) {
    std::fprintf(stderr, "could not make the inputs\n");
    return 1;
  }
  const std::string video = dir + "/video.mp4", audio = dir + "/audio.m4a";
  std::vector<std::string> segments;
  for (int i = 0; i < kSegments; ++i) segments.push_back(dir + "/seg/seg" + std::to_string(i) + ".ts");
  std::vector<const char *> segmentList;
  for (const std::string &s : segments) segmentList.push_back(s.c_str());
  segmentList.push_back(nullptr);
  const std::string libMerged = dir + "/lib_merged.mp4", toolMerged = dir + "/tool_merged.mp4";
  const std::string libJoined = dir + "/lib_joined.ts", toolJoined = dir + "/tool_joined.ts";

  const bench::Job merge = {
      "merge_av_720p_10min", "ffmpeg -c copy",
      [&] { return MPG_MergeAV(video.c_str(), audio.c_str(), libMerged.c_str(), nullptr, 0) == 0 ? 0 : 1; },
      bench::Exec({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", video, "-i", audio, "-map", "0:v:0", "-map",
                   "1:a:0", "-c", "copy", toolMerged}),
      nullptr};
  const bench::Job concat = {
      "concat_300_ts_segments", "ffmpeg concat demuxer",
      [&] { return MPG_Merge(segmentList.data(), libJoined.c_str(), 0, 0, nullptr, 0) == 0 ? 0 : 1; },
      bench::Exec({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "concat", "-safe", "0", "-i",
                   dir + "/seg/list.ffconcat", "-c", "copy", toolJoined}),
      nullptr};

  bench::Series mergeLib, mergeTool, concatLib, concatTool;
  // One warm-up of each, so the inputs sit in the page cache for every timed run.
  bench::WarmUp(merge), bench::WarmUp(concat);
  for (int r = 0; r < runs; ++r) {
    // Alternate which side goes first; a failed run is counted and the runs go on.
    bench::RunRound(merge, r % 2 == 0, mergeLib, mergeTool);
    bench::RunRound(concat, r % 2 == 0, concatLib, concatTool);
    std::printf("run %d/%d: merge %.3f / %.3f s, concat %.3f / %.3f s (library / ffmpeg)\n", r + 1, runs,
                mergeLib.seconds.back(), mergeTool.seconds.back(), concatLib.seconds.back(),
                concatTool.seconds.back());
    std::fflush(stdout);
  }
  std::printf("medians of %d runs:\n", runs);
  PrintComparison("merge", mergeLib, mergeTool, 1.1, merge);
  PrintComparison("concatenation", concatLib, concatTool, 0.6, concat);
  return mergeLib.failures || mergeTool.failures || concatLib.failures || concatTool.failures ? 1 : 0;
}

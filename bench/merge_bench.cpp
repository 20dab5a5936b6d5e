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
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "mpg.h"

namespace {

struct Sample {
  double seconds = 0;
  long peakKiB = 0;
  int exitCode = -1;
};

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Runs body in a child process and measures it from fork to reaping.
Sample RunChild(const std::function<int()> &body) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    dup2(devNull, STDERR_FILENO);
    _exit(body());
  }
  Sample s;
  int status = 0;
  struct rusage usage {};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return s;
  s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  s.peakKiB = usage.ru_maxrss;
  s.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return s;
}

int ExecTool(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  return 127;
}

int Shell(const std::string &command) {
  std::printf("  %s\n", command.c_str());
  std::fflush(stdout);
  return std::system(command.c_str());
}

bool MakeInputs(const std::string &dir, int seconds, int segmentCount) {
  Shell("mkdir -p '" + dir + "'");
  const std::string ff = "ffmpeg -nostdin -v error -y ";
  const std::string d = std::to_string(seconds);
  if (!Exists(dir + "/video.mp4") &&
      Shell(ff + "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=" + d + " -c:v libx264 -preset ultrafast "
                 "-g 50 -pix_fmt yuv420p -b:v 2500k '" + dir + "/video.mp4'") != 0)
    return false;
  if (!Exists(dir + "/audio.m4a") &&
      Shell(ff + "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=" + d + " -ac 2 -c:a aac -b:a 128k '" + dir +
            "/audio.m4a'") != 0)
    return false;
  const std::string lastSegment = dir + "/seg/seg" + std::to_string(segmentCount - 1) + ".ts";
  if (!Exists(lastSegment)) {
    Shell("mkdir -p '" + dir + "/seg'");
    if (Shell(ff + "-i '" + dir + "/video.mp4' -i '" + dir + "/audio.m4a' -map 0:v -map 1:a -c copy -f segment " +
              "-segment_time 2 -segment_list '" + dir + "/seg/list.ffconcat' -segment_list_type ffconcat '" + dir +
              "/seg/seg%d.ts'") != 0)
      return false;
  }
  return Exists(lastSegment);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Series {
  std::vector<double> seconds;
  std::vector<double> peakMiB;
  int failures = 0;
  void Add(const Sample &s) {
    if (s.exitCode != 0) ++failures;
    seconds.push_back(s.seconds);
    peakMiB.push_back(s.peakKiB / 1024.0);
  }
};

void PrintComparison(const char *job, const Series &lib, const Series &tool, double target, const char *benchJob,
                     const char *peer) {
  const double libT = Median(lib.seconds), toolT = Median(tool.seconds);
  const double libM = Median(lib.peakMiB), toolM = Median(tool.peakMiB);
  std::printf("%-14s library %7.3f s %7.1f MiB | ffmpeg %7.3f s %7.1f MiB | time ratio %.3f (target <= %.1f) | "
              "memory ratio %.3f%s\n",
              job, libT, libM, toolT, toolM, libT / toolT, target, libM / toolM,
              lib.failures || tool.failures ? "  (FAILED RUNS)" : "");
  if (lib.failures || tool.failures) return;
  std::printf("BENCH job=%s lib_median_s=%.3f peer_median_s=%.3f ratio=%.3f peer=%s lib_peak_mib=%.1f "
              "peer_peak_mib=%.1f\n",
              benchJob, libT, toolT, libT / toolT, peer, libM, toolM);
}

}  // namespace

int main(int argc, char **argv) {
  const char *quickEnv = std::getenv("BENCH_QUICK");
  const bool quick = quickEnv && std::strcmp(quickEnv, "1") == 0;
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

  auto libMerge = [&] {
    return MPG_MergeAV(video.c_str(), audio.c_str(), libMerged.c_str(), nullptr, 0) == 0 ? 0 : 1;
  };
  auto toolMerge = [&] {
    return ExecTool({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", video, "-i", audio, "-map", "0:v:0", "-map",
                     "1:a:0", "-c", "copy", toolMerged});
  };
  auto libConcat = [&] {
    return MPG_Merge(segmentList.data(), libJoined.c_str(), 0, 0, nullptr, 0) == 0 ? 0 : 1;
  };
  auto toolConcat = [&] {
    return ExecTool({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "concat", "-safe", "0", "-i",
                     dir + "/seg/list.ffconcat", "-c", "copy", toolJoined});
  };

  Series mergeLib, mergeTool, concatLib, concatTool;
  // One warm-up of each, so the inputs sit in the page cache for every timed run.
  RunChild(libMerge), RunChild(toolMerge), RunChild(libConcat), RunChild(toolConcat);
  for (int r = 0; r < runs; ++r) {
    // Alternate which side goes first.
    if (r % 2 == 0) {
      mergeLib.Add(RunChild(libMerge)), mergeTool.Add(RunChild(toolMerge));
      concatLib.Add(RunChild(libConcat)), concatTool.Add(RunChild(toolConcat));
    } else {
      mergeTool.Add(RunChild(toolMerge)), mergeLib.Add(RunChild(libMerge));
      concatTool.Add(RunChild(toolConcat)), concatLib.Add(RunChild(libConcat));
    }
    std::printf("run %d/%d: merge %.3f / %.3f s, concat %.3f / %.3f s (library / ffmpeg)\n", r + 1, runs,
                mergeLib.seconds.back(), mergeTool.seconds.back(), concatLib.seconds.back(),
                concatTool.seconds.back());
    std::fflush(stdout);
  }
  std::printf("medians of %d runs:\n", runs);
  PrintComparison("merge", mergeLib, mergeTool, 1.1, "merge_av_720p_10min", "ffmpeg -c copy");
  PrintComparison("concatenation", concatLib, concatTool, 1.2, "concat_300_ts_segments", "ffmpeg concat demuxer");
  return mergeLib.failures || mergeTool.failures || concatLib.failures || concatTool.failures ? 1 : 0;
}

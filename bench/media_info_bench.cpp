// MPG_GetMediaInfo against `ffprobe -show_format -show_streams` on a 10-minute 720p
// H.264 + AAC MP4, whole process against whole process: a host asks for the record
// once per file, so start-up, library loading and the three opens all count.
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
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mpg.h"

namespace {

constexpr int kDefaultRuns = 21;
constexpr int kQuickRuns = 5;

bool Quick() {
  const char *quick = std::getenv("BENCH_QUICK");
  return quick && std::strcmp(quick, "1") == 0;
}

// testsrc2 at 1280x720, 25 fps, and a sine tone, ten minutes of each (one in a quick
// run); about the size and key-frame spacing (x264's default 250 frames) of a
// downloaded 720p file.
std::string InputRecipe(int seconds) {
  const std::string d = std::to_string(seconds);
  return "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25:duration=" + d +
         " -f lavfi -i sine=frequency=440:sample_rate=48000:duration=" + d +
         " -ac 2 -c:v libx264 -preset ultrafast -b:v 1500k -pix_fmt yuv420p -c:a aac -b:a 128k -shortest ";
}

std::string SelfPath() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  buf[n] = '\0';
  return buf;
}

std::string Quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

bool FileExists(const std::string &path) { return access(path.c_str(), R_OK) == 0; }

struct Timing {
  double wallMs = -1.0;  // negative when the program could not run or failed
  double cpuMs = 0.0;    // user + system time of the child, less sensitive to a busy machine
};

// Runs argv with stdout and stderr sent to /dev/null and times it.
Timing TimeProcess(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) return {};
  if (pid == 0) {
    if (FILE *null = std::fopen("/dev/null", "w")) {
      dup2(fileno(null), STDOUT_FILENO);
      dup2(fileno(null), STDERR_FILENO);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (wait4(pid, &status, 0, &usage) != pid) return {};
  const auto end = std::chrono::steady_clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  auto ms = [](const timeval &tv) { return tv.tv_sec * 1000.0 + tv.tv_usec / 1000.0; };
  return {std::chrono::duration<double, std::milli>(end - start).count(), ms(usage.ru_utime) + ms(usage.ru_stime)};
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

int InfoOnce(const char *path) {
  MpgMediaInfo info;
  return MPG_GetMediaInfo(path, &info) ? 0 : 1;
}

int Compare(int runs, std::string path) {
  const std::string self = SelfPath();
  if (self.empty()) {
    std::fprintf(stderr, "cannot find this program's own path\n");
    return 1;
  }
  if (path.empty()) {
    path = self.substr(0, self.rfind('/') + 1) +
           (Quick() ? "media_info_bench_1min_720p.mp4" : "media_info_bench_10min_720p.mp4");
    if (!FileExists(path)) {
      std::printf("making %s ...\n", path.c_str());
      std::fflush(stdout);
      const std::string tmp = path + ".part.mp4";
      if (std::system((InputRecipe(Quick() ? 60 : 600) + Quote(tmp)).c_str()) != 0 || std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "ffmpeg could not make the input\n");
        return 1;
      }
    }
  }

  const std::vector<std::string> ours = {self, "info", path};
  const std::vector<std::string> peer = {"ffprobe", "-v", "error", "-show_format", "-show_streams", path};
  // One untimed run each brings the file and both programs into the page cache.
  if (TimeProcess(ours).wallMs < 0 || TimeProcess(peer).wallMs < 0) {
    std::fprintf(stderr, "a warm-up run failed (MPG_GetMediaInfo false, or no ffprobe)\n");
    return 1;
  }
  std::vector<double> oursWall, peerWall, oursCpu, peerCpu;
  for (int i = 0; i < runs; ++i) {
    // Alternate which peer goes first, so neither always follows the other's I/O.
    const bool oursFirst = i % 2 == 0;
    const Timing a = TimeProcess(oursFirst ? ours : peer);
    const Timing b = TimeProcess(oursFirst ? peer : ours);
    if (a.wallMs < 0 || b.wallMs < 0) {
      std::fprintf(stderr, "run %d failed\n", i);
      return 1;
    }
    const Timing &o = oursFirst ? a : b;
    const Timing &p = oursFirst ? b : a;
    oursWall.push_back(o.wallMs);
    oursCpu.push_back(o.cpuMs);
    peerWall.push_back(p.wallMs);
    peerCpu.push_back(p.cpuMs);
  }
  std::printf("input: %s\n", path.c_str());
  std::printf("runs: %d each, interleaved\n", runs);
  std::printf("%-46s %12s %12s\n", "median per process", "wall ms", "cpu ms");
  std::printf("%-46s %12.2f %12.2f\n", "MPG_GetMediaInfo", Median(oursWall), Median(oursCpu));
  std::printf("%-46s %12.2f %12.2f\n", "ffprobe -show_format -show_streams", Median(peerWall), Median(peerCpu));
  std::printf("ratio MPG_GetMediaInfo / ffprobe: wall %.3fx (target <= 1.25x), cpu %.3fx\n",
              Median(oursWall) / Median(peerWall), Median(oursCpu) / Median(peerCpu));
  std::printf("BENCH job=media_info_720p_10min lib_median_s=%.4f peer_median_s=%.4f ratio=%.3f peer=ffprobe\n",
              Median(oursWall) / 1000, Median(peerWall) / 1000, Median(oursWall) / Median(peerWall));
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::strcmp(argv[1], "info") == 0) return InfoOnce(argv[2]);
  const int runs = argc > 1 ? std::atoi(argv[1]) : Quick() ? kQuickRuns : kDefaultRuns;
  if (runs <= 0) {
    std::fprintf(stderr, "usage: %s info PATH | %s [RUNS] [PATH]\n", argv[0], argv[0]);
    return 2;
  }
  return Compare(runs, argc > 2 ? argv[2] : "");
}

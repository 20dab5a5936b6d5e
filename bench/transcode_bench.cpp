// MPG_Transcode beside the ffmpeg tool: a 60-second 720p MPEG-4 + MP3 AVI to H.264
// at 640x360 in MP4 with the audio copied, both with libx264 at its default preset,
// the same bit rate, size, scaler and FFmpeg's automatic thread count. Whole
// process against whole process.
//
//   transcode_bench once IN OUT      one MPG_Transcode call; exit status 0 when it
//                                    returns 0 (the process the comparison times)
//   transcode_bench [RUNS] [PATH]    runs both peers RUNS times (default 5; 2 with
//                                    BENCH_QUICK=1), interleaved with alternating
//                                    order after one untimed warm-up each, and
//                                    prints the medians, their ratio and a BENCH
//                                    line. Without PATH the input is made by the
//                                    ffmpeg tool once, next to this program.
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
#include "mpg_string.hpp"

namespace {

constexpr int kDefaultRuns = 5;
constexpr int kQuickRuns = 2;
// One of the transcode's bit-rate steps, so the request is taken as it stands.
constexpr int32_t kVideoBitRate = 1024000;
constexpr int32_t kOutputHeight = 360;  // the width follows the 16:9 input: 640
constexpr int32_t kMp4OutputFormat = 4;
constexpr int32_t kH264Choice = 5;

// testsrc2 at 1280x720 and 25 fps with a sine tone, one minute: MPEG-4 Part 2 at
// about 4 Mbit/s and MP3 at 128 kbit/s in AVI, like a downloaded DivX file.
const char kInputRecipe[] =
    "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25:duration=60 "
    "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=60 -ac 2 "
    "-c:v mpeg4 -b:v 4M -g 250 -c:a libmp3lame -b:a 128k -shortest ";

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

// Runs argv with stdout and stderr sent to /dev/null; the wall time in seconds, or
// a negative number when the program could not run or failed.
double TimeProcess(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) return -1.0;
  if (pid == 0) {
    if (FILE *null = std::fopen("/dev/null", "w")) {
      dup2(fileno(null), STDOUT_FILENO);
      dup2(fileno(null), STDERR_FILENO);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1.0;
  const auto end = std::chrono::steady_clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1.0;
  return std::chrono::duration<double>(end - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

int TranscodeOnce(const char *in, const char *out) {
  TranscodeParams p{};
  p.outputFormat = kMp4OutputFormat;
  p.videoCodecChoice = kH264Choice;
  p.height = kOutputHeight;
  p.videoBitRateRequest = kVideoBitRate;
  const Str::string inPath(in), outPath(out);
  const int32_t st = MPG_Transcode(&inPath, &outPath, &p, nullptr, 0);
  if (st != 0) std::fprintf(stderr, "MPG_Transcode: %d (%s)\n", st, MPG_GetErrorText(st));
  return st == 0 ? 0 : 1;
}

int Compare(int runs, std::string path) {
  const std::string self = SelfPath();
  if (self.empty()) {
    std::fprintf(stderr, "cannot find this program's own path\n");
    return 1;
  }
  const std::string dir = self.substr(0, self.rfind('/') + 1);
  if (path.empty()) {
    path = dir + "transcode_bench_60s_720p_mpeg4_mp3.avi";
    if (!FileExists(path)) {
      std::printf("making %s ...\n", path.c_str());
      std::fflush(stdout);
      const std::string tmp = path + ".part.avi";
      if (std::system((kInputRecipe + Quote(tmp)).c_str()) != 0 || std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "ffmpeg could not make the input\n");
        return 1;
      }
    }
  }
  const std::string ourOut = dir + "transcode_bench_lib.mp4", peerOut = dir + "transcode_bench_ffmpeg.mp4";
  const std::vector<std::string> ours = {self, "once", path, ourOut};
  const std::vector<std::string> peer = {"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", path,
                                         "-map", "0:v:0", "-map", "0:a:0", "-c:v", "libx264",
                                         "-b:v", std::to_string(kVideoBitRate), "-vf",
                                         "scale=640:" + std::to_string(kOutputHeight) + ":flags=bicubic",
                                         "-threads", "0", "-c:a", "copy", peerOut};
  // One untimed run each brings the file and both programs into the page cache.
  if (TimeProcess(ours) < 0 || TimeProcess(peer) < 0) {
    std::fprintf(stderr, "a warm-up run failed (MPG_Transcode, or no ffmpeg with libx264)\n");
    return 1;
  }
  std::vector<double> oursS, peerS;
  for (int i = 0; i < runs; ++i) {
    // Alternate which peer goes first, so neither always follows the other.
    const bool oursFirst = i % 2 == 0;
    const double a = TimeProcess(oursFirst ? ours : peer);
    const double b = TimeProcess(oursFirst ? peer : ours);
    if (a < 0 || b < 0) {
      std::fprintf(stderr, "run %d failed\n", i);
      return 1;
    }
    oursS.push_back(oursFirst ? a : b);
    peerS.push_back(oursFirst ? b : a);
  }
  std::remove(ourOut.c_str());
  std::remove(peerOut.c_str());
  const double oursMedian = Median(oursS), peerMedian = Median(peerS);
  std::printf("input: %s\n", path.c_str());
  std::printf("runs: %d each, interleaved\n", runs);
  std::printf("MPG_Transcode (whole process)   median %7.2f s  (min %.2f, max %.2f)\n", oursMedian,
              *std::min_element(oursS.begin(), oursS.end()), *std::max_element(oursS.begin(), oursS.end()));
  std::printf("ffmpeg, matched settings        median %7.2f s  (min %.2f, max %.2f)\n", peerMedian,
              *std::min_element(peerS.begin(), peerS.end()), *std::max_element(peerS.begin(), peerS.end()));
  std::printf("ratio MPG_Transcode / ffmpeg: %.3fx (target <= 1.1x)\n", oursMedian / peerMedian);
  std::printf("BENCH job=transcode_720p_mpeg4_mp3_avi_to_h264_360p_mp4 lib_median_s=%.3f peer_median_s=%.3f "
              "ratio=%.3f peer=ffmpeg\n",
              oursMedian, peerMedian, oursMedian / peerMedian);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && std::strcmp(argv[1], "once") == 0) return TranscodeOnce(argv[2], argv[3]);
  const char *quick = std::getenv("BENCH_QUICK");
  const bool isQuick = quick && std::strcmp(quick, "1") == 0;
  const int runs = argc > 1 ? std::atoi(argv[1]) : (isQuick ? kQuickRuns : kDefaultRuns);
  if (runs <= 0) {
    std::fprintf(stderr, "usage: %s once IN OUT | %s [RUNS] [PATH]\n", argv[0], argv[0]);
    return 2;
  }
  return Compare(runs, argc > 2 ? argv[2] : "");
}

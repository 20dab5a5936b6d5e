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
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "transcode/mp3_convert.h"

namespace {

constexpr int kDefaultRuns = 5;
constexpr int32_t kBitRate = 128000;

std::string Quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string Directory(const std::string &program) {
  const auto slash = program.rfind('/');
  return slash == std::string::npos ? "." : program.substr(0, slash);
}

bool Exists(const std::string &path) {
  if (FILE *f = std::fopen(path.c_str(), "rb")) {
    std::fclose(f);
    return true;
  }
  return false;
}

// Seconds of wall time of a shell command; negative when it failed.
double TimeCommand(const std::string &command) {
  const auto start = std::chrono::steady_clock::now();
  const int rc = std::system(command.c_str());
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return rc == 0 ? elapsed.count() : -1.0;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && std::string(argv[1]) == "--convert") {
    const mpg::Status st = mpg::ConvertToMp3(argv[2], argv[3], kBitRate, nullptr, 0);
    return mpg::IsOk(st) ? 0 : 1;
  }
  const char *quickEnv = std::getenv("BENCH_QUICK");
  const bool quick = quickEnv && std::strcmp(quickEnv, "1") == 0;
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : quick ? 3 : kDefaultRuns;
  const std::string dir = Directory(argv[0]);
  const std::string seconds = quick ? "60" : "600";
  const std::string input = dir + "/mp3_bench_input_" + seconds + "s.m4a";
  const std::string ours = dir + "/mp3_bench_ours.mp3", peer = dir + "/mp3_bench_ffmpeg.mp3";
  if (!Exists(input)) {
    // Tone plus noise, so neither coder meets an unusually easy signal.
    const std::string make =
        "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=48000:duration=" + seconds +
        " -f lavfi -i anoisesrc=r=48000:a=0.1:d=" + seconds + ":seed=7 -filter_complex amix=inputs=2 -ac 2 "
        "-c:a aac -b:a 128k " + Quote(input);
    std::printf("making the input: %s\n", input.c_str());
    if (std::system(make.c_str()) != 0) return 1;
  }
  const std::string ourCommand = Quote(argv[0]) + " --convert " + Quote(input) + " " + Quote(ours);
  const std::string peerCommand = "ffmpeg -nostdin -v error -y -i " + Quote(input) +
                                  " -vn -c:a libmp3lame -b:a 128k " + Quote(peer);
  std::vector<double> ourTimes, peerTimes;
  for (int i = 0; i < runs; ++i) {
    // Alternate which goes first, so neither always runs on a warmer machine.
    const bool oursFirst = i % 2 == 0;
    const double first = TimeCommand(oursFirst ? ourCommand : peerCommand);
    const double second = TimeCommand(oursFirst ? peerCommand : ourCommand);
    const double ourTime = oursFirst ? first : second, peerTime = oursFirst ? second : first;
    if (ourTime < 0 || peerTime < 0) {
      std::fprintf(stderr, "run %d failed\n", i + 1);
      return 1;
    }
    std::printf("run %d: library %.3f s, ffmpeg %.3f s\n", i + 1, ourTime, peerTime);
    ourTimes.push_back(ourTime);
    peerTimes.push_back(peerTime);
  }
  const double ourMedian = Median(ourTimes), peerMedian = Median(peerTimes);
  std::printf("median: library %.3f s, ffmpeg %.3f s, ratio %.3f (target <= 1.1)\n", ourMedian, peerMedian,
              ourMedian / peerMedian);
  std::printf("BENCH job=mp3_convert_10min lib_median_s=%.3f peer_median_s=%.3f ratio=%.3f peer=ffmpeg libmp3lame\n",
              ourMedian, peerMedian, ourMedian / peerMedian);
  return 0;
}

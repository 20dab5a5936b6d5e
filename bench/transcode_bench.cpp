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
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
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
    "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=60 "
    "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=60 -ac 2 "
    "-c:v mpeg4 -b:v 4M -g 250 -c:a libmp3lame -b:a 128k -shortest";

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
  const std::string self = bench::SelfPath();
  if (self.empty()) {
    std::fprintf(stderr, "cannot find this program's own path\n");
    return 1;
  }
  const std::string dir = bench::SelfDir() + "/";
  if (path.empty()) {
    path = dir + "transcode_bench_60s_720p_mpeg4_mp3.avi";
    if (!bench::MakeInput(path, kInputRecipe)) return 1;
  }
  const std::string ourOut = dir + "transcode_bench_lib.mp4", peerOut = dir + "transcode_bench_ffmpeg.mp4";
  const bench::Job job = {
      "transcode_720p_mpeg4_mp3_avi_to_h264_360p_mp4", "ffmpeg", bench::Exec({self, "once", path, ourOut}),
      bench::Exec({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", path, "-map", "0:v:0", "-map", "0:a:0", "-c:v",
                   "libx264", "-b:v", std::to_string(kVideoBitRate), "-vf",
                   "scale=640:" + std::to_string(kOutputHeight) + ":flags=bicubic", "-threads", "0", "-c:a", "copy",
                   peerOut}),
      nullptr};
  bench::Series ours, peer;
  if (!bench::Interleave(job, runs, ours, peer)) {
    std::fprintf(stderr, "(is MPG_Transcode failing, or is there no ffmpeg with libx264?)\n");
    return 1;
  }
  std::remove(ourOut.c_str());
  std::remove(peerOut.c_str());
  const double oursMedian = bench::Median(ours.seconds), peerMedian = bench::Median(peer.seconds);
  auto [oursMin, oursMax] = std::minmax_element(ours.seconds.begin(), ours.seconds.end());
  auto [peerMin, peerMax] = std::minmax_element(peer.seconds.begin(), peer.seconds.end());
  std::printf("input: %s\n", path.c_str());
  std::printf("runs: %d each, interleaved\n", runs);
  std::printf("MPG_Transcode (whole process)   median %7.2f s  (min %.2f, max %.2f)\n", oursMedian, *oursMin, *oursMax);
  std::printf("ffmpeg, matched settings        median %7.2f s  (min %.2f, max %.2f)\n", peerMedian, *peerMin, *peerMax);
  std::printf("ratio MPG_Transcode / ffmpeg: %.3fx (target <= 1.1x)\n", oursMedian / peerMedian);
  bench::PrintBenchLine(job.name, oursMedian, peerMedian, job.peerName);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && std::strcmp(argv[1], "once") == 0) return TranscodeOnce(argv[2], argv[3]);
  const int runs = argc > 1 ? std::atoi(argv[1]) : (bench::Quick() ? kQuickRuns : kDefaultRuns);
  if (runs <= 0) {
    std::fprintf(stderr, "usage: %s once IN OUT | %s [RUNS] [PATH]\n", argv[0], argv[0]);
    return 2;
  }
  return Compare(runs, argc > 2 ? argv[2] : "");
}

// Picture grabs beside their command-line peers, whole process against whole process:
//   black_at50/at10  MPG_GetImageP on a 6-minute 1080p H.264 file whose pictures are all
//                    black (a key frame every 8.3 s), at 50 % and 10 %, against
//                    ffmpeg -ss <the same second> -i in -frames:v 1 out.jpg
//   at50_640         MPG_GetImageP at 50 %, 360 lines high, on a 10-minute 720p file,
//                    against ffmpegthumbnailer -s 640 -t 50 (Debian's ffmpegthumbnailer)
// Runs are interleaved (the order alternates) after one untimed warm-up each; each job
// prints one line:
//   BENCH job=<name> lib_median_s=<x> peer_median_s=<y> ratio=<r> peer=<peer>
//
//   grab_bench                              all jobs, 9 runs each (BENCH_QUICK=1: 3)
//   grab_bench grab IN OUT POSITION HEIGHT  one library grab in this process, then exit
// The inputs are made once with the ffmpeg tool under /tmp/grab_bench.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "mpg.h"

namespace {

const std::string kDir = "/tmp/grab_bench";
const std::string kBlack = kDir + "/black_1080p_6min.mp4";
const std::string kMovie = kDir + "/testsrc_720p_10min.mp4";

const char kBlackRecipe[] =
    "-f lavfi -i color=c=black:size=1920x1080:rate=24:duration=360 "
    "-c:v libx264 -preset ultrafast -g 200 -keyint_min 200 -pix_fmt yuv420p";
const char kMovieRecipe[] =
    "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=600 "
    "-c:v libx264 -preset ultrafast -b:v 1500k -pix_fmt yuv420p";

int CompareAll() {
  const std::string self = bench::SelfPath();
  mkdir(kDir.c_str(), 0755);
  if (self.empty() || !bench::MakeInput(kBlack, kBlackRecipe) || !bench::MakeInput(kMovie, kMovieRecipe)) {
    std::fprintf(stderr, "cannot make the benchmark inputs under %s\n", kDir.c_str());
    return 1;
  }
  const int runs = bench::Quick() ? 3 : 9;
  const std::string libOut = kDir + "/lib.jpg", peerOut = kDir + "/peer.jpg";
  using bench::Exec;
  const auto ffmpegAt = [&](const char *second) {
    return Exec({"ffmpeg", "-nostdin", "-v", "error", "-y", "-ss", second, "-i", kBlack, "-frames:v", "1", peerOut});
  };
  const std::vector<bench::Job> jobs = {
      {"grab_black_1080p_at50", "ffmpeg -ss 180 -frames:v 1", Exec({self, "grab", kBlack, libOut, "50", "0"}),
       ffmpegAt("180"), nullptr},
      {"grab_black_1080p_at10", "ffmpeg -ss 36 -frames:v 1", Exec({self, "grab", kBlack, libOut, "10", "0"}),
       ffmpegAt("36"), nullptr},
      {"grab_720p_at50_640", "ffmpegthumbnailer -s 640 -t 50", Exec({self, "grab", kMovie, libOut, "50", "360"}),
       Exec({"ffmpegthumbnailer", "-i", kMovie, "-o", peerOut, "-s", "640", "-t", "50"}), nullptr},
  };
  int failed = 0;
  for (const bench::Job &job : jobs) failed += bench::RunJob(job, runs) ? 0 : 1;
  return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 6 && std::strcmp(argv[1], "grab") == 0) {
    return MPG_GetImageP(MPG_IMAGE_JPEG, argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]), 80) ? 0 : 1;
  }
  if (argc != 1) {
    std::fprintf(stderr, "usage: %s | grab IN OUT POSITION HEIGHT\n", argv[0]);
    return 2;
  }
  return CompareAll();
}

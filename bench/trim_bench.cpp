// A one-minute clip cut from a long download, the way users trim: MPG_SaveTrimmedVideo
// from 301 s to 361 s of a 10-minute 720p H.264 + AAC MP4 whose pictures come in
// 2-second groups (High profile, B-frames, as real encoders write them), beside
//   ffmpeg -ss 301 -to 361 -i in -c:v libx264 -c:a copy out
// The range starts and ends a second into a group, so the trim re-encodes a second
// at each end, as an arbitrary cut does.
// and, when BENCH_TRIM_BASELINE names another build of the library (a libmpg.so),
// beside that build's trim of the same range, so a change to the trim is measured
// against the trim it replaces.
// Each run is a child process; runs are interleaved after one untimed warm-up:
//   BENCH job=<name> lib_median_s=<x> peer_median_s=<y> ratio=<r> peer=<peer>
//
//   trim_bench                       7 runs each (BENCH_QUICK=1: 3)
//   trim_bench trim IN OUT S E [LIB] one trim in this process (with LIB's export when
//                                    given), then exit: what the timed children run
// The input is made once with the ffmpeg tool under /tmp/trim_bench.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_support.h"
#include "mpg.h"

namespace {

const std::string kDir = "/tmp/trim_bench";
const std::string kInput = kDir + "/in_720p_10min_gop2s.mp4";
constexpr int kStart = 301;
constexpr int kEnd = 361;

// Fixed 2 s groups (no scene cuts), B-frames and CABAC: what a site's encoder serves.
const char kRecipe[] =
    "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=600 "
    "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=600 -ac 2 "
    "-c:v libx264 -preset veryfast -profile:v high -g 50 -keyint_min 50 -sc_threshold 0 -b:v 2000k "
    "-pix_fmt yuv420p -c:a aac -b:a 128k -shortest";

using TrimFunction = int32_t (*)(const char *, const char *, int32_t, int32_t);

// The trim export of this build, or of the library at libPath.
TrimFunction TrimExport(const char *libPath) {
  if (!libPath) return &MPG_SaveTrimmedVideo;
  void *lib = dlopen(libPath, RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::fprintf(stderr, "cannot load %s: %s\n", libPath, dlerror());
    return nullptr;
  }
  return reinterpret_cast<TrimFunction>(dlsym(lib, "MPG_SaveTrimmedVideo"));
}

int TrimHere(const char *in, const char *out, int start, int end, const char *libPath) {
  const TrimFunction trim = TrimExport(libPath);
  return trim && trim(in, out, start, end) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  if ((argc == 6 || argc == 7) && std::strcmp(argv[1], "trim") == 0) {
    return TrimHere(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]), argc == 7 ? argv[6] : nullptr);
  }
  if (argc > 1) {
    std::fprintf(stderr, "usage: %s | trim IN OUT START END [LIBMPG]\n", argv[0]);
    return 2;
  }
  mkdir(kDir.c_str(), 0755);
  const std::string self = bench::SelfPath();
  if (self.empty() || !bench::MakeInput(kInput, kRecipe)) {
    std::fprintf(stderr, "cannot make the benchmark input under %s\n", kDir.c_str());
    return 1;
  }
  const int runs = bench::Quick() ? 3 : 7;
  const std::string libOut = kDir + "/lib_clip.mp4", peerOut = kDir + "/peer_clip.mp4";
  const std::string start = std::to_string(kStart), end = std::to_string(kEnd);
  using bench::Exec;
  int failed = 0;
  const bench::Job ffmpeg = {"trim_60s_of_10min_720p", "ffmpeg -ss -to -c:v libx264 -c:a copy",
                             Exec({self, "trim", kInput, libOut, start, end}),
                             Exec({"ffmpeg", "-nostdin", "-v", "error", "-y", "-ss", start, "-to", end, "-i", kInput,
                                   "-c:v", "libx264", "-c:a", "copy", peerOut}),
                             nullptr};
  failed += bench::RunJob(ffmpeg, runs) ? 0 : 1;
  if (const char *baseline = std::getenv("BENCH_TRIM_BASELINE"); baseline && *baseline) {
    const bench::Job before = {"trim_60s_of_10min_720p_vs_baseline", std::string("baseline build ") + baseline,
                               Exec({self, "trim", kInput, libOut, start, end}),
                               Exec({self, "trim", kInput, peerOut, start, end, baseline}), nullptr};
    failed += bench::RunJob(before, runs) ? 0 : 1;
  }
  return failed == 0 ? 0 : 1;
}

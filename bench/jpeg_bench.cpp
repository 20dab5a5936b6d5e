// Encodes one 1920x1080 RGB picture with our JPEG encoder and with libjpeg-turbo set
// to the same work: quality 90, float DCT, 4:4:4, the standard Huffman tables
// (no optimised coding). The benchmarks run interleaved in random order, repeated,
// and the program ends by printing both medians and their ratio, then the line
//   BENCH job=jpeg_encode_1080p lib_median_s=<x> peer_median_s=<y> ratio=<r> peer=<peer>
// BENCH_QUICK=1 cuts the repetitions from 15 to 3.
//
// The float-DCT peer needs the libjpeg API (-ljpeg, MPG_BENCH_WITH_LIBJPEG). Without
// it the peer is TurboJPEG with its accurate integer DCT, which is close in cost but
// not the same work; the report names which peer ran.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#if defined(MPG_BENCH_WITH_LIBJPEG)
#include <jpeglib.h>
#endif

#include "image/jpeg/jpeg_encoder.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kQuality = 90;

// Smooth gradients, two sine gratings and a little deterministic noise: edges and
// flat areas in proportions close to a video frame.
const std::vector<uint8_t>& TestPicture() {
  static const std::vector<uint8_t> picture = [] {
    std::vector<uint8_t> rgb(size_t{kWidth} * kHeight * 3);
    uint32_t seed = 12345;
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        seed = seed * 1664525u + 1013904223u;
        const int noise = static_cast<int>(seed >> 28) - 8;
        const double wave = std::sin(x * 0.021 + y * 0.013) * std::cos(y * 0.037);
        const int r = x * 255 / (kWidth - 1);
        const int g = 128 + static_cast<int>(110 * wave);
        const int b = ((x / 64 + y / 64) % 2 ? 200 : 40) + y * 40 / kHeight;
        uint8_t* px = &rgb[(size_t{static_cast<size_t>(y)} * kWidth + x) * 3];
        px[0] = static_cast<uint8_t>(std::clamp(r + noise, 0, 255));
        px[1] = static_cast<uint8_t>(std::clamp(g + noise, 0, 255));
        px[2] = static_cast<uint8_t>(std::clamp(b + noise, 0, 255));
      }
    }
    return rgb;
  }();
  return picture;
}

// The fast kernels must write exactly the scalar kernel's bytes; checked once, before
// any timing, for the SSE2 kernel and for the one kBest picks (AVX2 where the
// processor has it).
bool KernelsAgree() {
  const std::vector<uint8_t>& rgb = TestPicture();
  std::vector<uint8_t> scalar;
  if (!mpg::jpeg::EncodeJpegToMemory(rgb.data(), kWidth, kHeight, kQuality, scalar,
                                     mpg::jpeg::Kernel::kScalar)) {
    return false;
  }
  for (mpg::jpeg::Kernel kernel : {mpg::jpeg::Kernel::kSse2, mpg::jpeg::Kernel::kBest}) {
    std::vector<uint8_t> fast;
    if (!mpg::jpeg::EncodeJpegToMemory(rgb.data(), kWidth, kHeight, kQuality, fast, kernel) ||
        fast != scalar) {
      return false;
    }
  }
  return true;
}

void EncodeOurs(benchmark::State& state, mpg::jpeg::Kernel kernel) {
  const std::vector<uint8_t>& rgb = TestPicture();
  std::vector<uint8_t> out;
  for (auto _ : state) {
    if (!mpg::jpeg::EncodeJpegToMemory(rgb.data(), kWidth, kHeight, kQuality, out, kernel)) {
      state.SkipWithError("encoding failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["bytes"] = static_cast<double>(out.size());
}

void BM_Ours(benchmark::State& state) {
  EncodeOurs(state, mpg::jpeg::Kernel::kBest);
  state.SetLabel(mpg::jpeg::HasAvx2Kernel() ? "AVX2 kernel" : "SSE2 kernel");
}
void BM_OursScalar(benchmark::State& state) { EncodeOurs(state, mpg::jpeg::Kernel::kScalar); }

#if defined(MPG_BENCH_WITH_LIBJPEG)
void BM_LibjpegTurbo(benchmark::State& state) {
  const std::vector<uint8_t>& rgb = TestPicture();
  unsigned long size = 0;
  for (auto _ : state) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = kWidth;
    cinfo.image_height = kHeight;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, kQuality, TRUE);
    cinfo.dct_method = JDCT_FLOAT;
    cinfo.optimize_coding = FALSE;
    for (int c = 0; c < cinfo.num_components; ++c) {
      cinfo.comp_info[c].h_samp_factor = 1;
      cinfo.comp_info[c].v_samp_factor = 1;
    }
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
      JSAMPROW row = const_cast<JSAMPROW>(&rgb[size_t{cinfo.next_scanline} * kWidth * 3]);
      jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    benchmark::DoNotOptimize(buffer);
    std::free(buffer);
  }
  state.counters["bytes"] = static_cast<double>(size);
  state.SetLabel("libjpeg API, JDCT_FLOAT");
}
#else
void BM_LibjpegTurbo(benchmark::State& state) {
  const std::vector<uint8_t>& rgb = TestPicture();
  tjhandle handle = tjInitCompress();
  unsigned char* buffer = tjAlloc(static_cast<int>(tjBufSize(kWidth, kHeight, TJSAMP_444)));
  unsigned long size = 0;
  for (auto _ : state) {
    size = tjBufSize(kWidth, kHeight, TJSAMP_444);
    if (tjCompress2(handle, rgb.data(), kWidth, 0, kHeight, TJPF_RGB, &buffer, &size,
                    TJSAMP_444, kQuality, TJFLAG_NOREALLOC | TJFLAG_ACCURATEDCT) != 0) {
      state.SkipWithError(tjGetErrorStr2(handle));
      break;
    }
    benchmark::DoNotOptimize(buffer);
  }
  tjFree(buffer);
  tjDestroy(handle);
  state.counters["bytes"] = static_cast<double>(size);
  state.SetLabel("TurboJPEG, integer DCT: not the float peer");
}
#endif

const char* const kQuick = std::getenv("BENCH_QUICK");
const int kRepetitions = kQuick && std::strcmp(kQuick, "1") == 0 ? 3 : 15;
BENCHMARK(BM_Ours)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions)->UseRealTime();
BENCHMARK(BM_OursScalar)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions)->UseRealTime();
BENCHMARK(BM_LibjpegTurbo)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions)->UseRealTime();

// Prints as usual and keeps each benchmark's medians for the closing ratios. Wall
// time is the measure; CPU time is printed beside it because on a loaded machine it
// is the steadier of the two.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        medians_[run.run_name.function_name] = {run.GetAdjustedRealTime(),
                                                run.GetAdjustedCPUTime()};
      }
    }
  }

  void PrintRatios() const {
    const auto peer = medians_.find("BM_LibjpegTurbo");
    if (peer == medians_.end() || peer->second.real <= 0 || peer->second.cpu <= 0) return;
    for (const char* name : {"BM_Ours", "BM_OursScalar"}) {
      const auto ours = medians_.find(name);
      if (ours == medians_.end()) continue;
      std::printf("%s vs BM_LibjpegTurbo, median ms: wall %.3f / %.3f = %.3f, cpu %.3f / %.3f = %.3f\n",
                  name, ours->second.real, peer->second.real, ours->second.real / peer->second.real,
                  ours->second.cpu, peer->second.cpu, ours->second.cpu / peer->second.cpu);
    }
    const auto ours = medians_.find("BM_Ours");
    if (ours == medians_.end()) return;
#if defined(MPG_BENCH_WITH_LIBJPEG)
    const char* peerName = "libjpeg-turbo float DCT";
#else
    const char* peerName = "TurboJPEG integer DCT";
#endif
    // The medians are in the benchmarks' unit, milliseconds.
    std::printf("BENCH job=jpeg_encode_1080p lib_median_s=%.4f peer_median_s=%.4f ratio=%.3f peer=%s\n",
                ours->second.real / 1000, peer->second.real / 1000, ours->second.real / peer->second.real,
                peerName);
  }

 private:
  struct Medians {
    double real;
    double cpu;
  };
  std::map<std::string, Medians> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  // Interleave the repetitions so that both encoders see the same machine load.
  std::vector<char*> args(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave.data());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  if (!KernelsAgree()) {
    std::fprintf(stderr, "a fast kernel's file differs from the scalar kernel's\n");
    return 1;
  }
  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}

// Encodes one 1920x1080 RGB picture with our JPEG encoder and with libjpeg-turbo set
// to the same work: quality 90, float DCT, 4:4:4, the standard Huffman tables
// (no optimised coding). The benchmarks run interleaved in random order, repeated,
// and the program ends by printing both medians and their ratio.
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

void EncodeOurs(benchmark::State& state, mpg::jpeg::Kernel kernel) {
  const std::vector<uint8_t>& rgb = TestPicture();
  std::vector<uint8_t> reference;
  std::vector<uint8_t> out;
  if (!mpg::jpeg::EncodeJpegToMemory(rgb.data(), kWidth, kHeight, kQuality, reference,
                                     mpg::jpeg::Kernel::kScalar) ||
      !mpg::jpeg::EncodeJpegToMemory(rgb.data(), kWidth, kHeight, kQuality, out, kernel) ||
      out != reference) {
    state.SkipWithError("output differs from the scalar reference");
    return;
  }
  for (auto _ : state) {
    mpg::jpeg::EncodeJpegToMemory(rgb.data(), kWidth, kHeight, kQuality, out, kernel);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["bytes"] = static_cast<double>(out.size());
}

void BM_Ours(benchmark::State& state) { EncodeOurs(state, mpg::jpeg::Kernel::kBest); }
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

constexpr int kRepetitions = 15;
BENCHMARK(BM_Ours)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions)->UseRealTime();
BENCHMARK(BM_OursScalar)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions)->UseRealTime();
BENCHMARK(BM_LibjpegTurbo)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions)->UseRealTime();

// Prints as usual and keeps each benchmark's median for the closing ratio.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        medians_[run.run_name.function_name] = run.GetAdjustedRealTime();
      }
    }
  }

  void PrintRatio() const {
    const auto ours = medians_.find("BM_Ours");
    const auto scalar = medians_.find("BM_OursScalar");
    const auto peer = medians_.find("BM_LibjpegTurbo");
    if (ours == medians_.end() || peer == medians_.end() || peer->second <= 0) return;
    std::printf("median ms: ours %.3f, libjpeg-turbo %.3f; ratio ours/libjpeg-turbo %.3f\n",
                ours->second, peer->second, ours->second / peer->second);
    if (scalar != medians_.end()) {
      std::printf("median ms: ours scalar %.3f; ratio %.3f\n", scalar->second,
                  scalar->second / peer->second);
    }
  }

 private:
  std::map<std::string, double> medians_;
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
  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio();
  benchmark::Shutdown();
  return 0;
}

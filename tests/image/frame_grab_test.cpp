// The picture exports on real files: ffprobe names each output's format, djpeg or ffmpeg decodes it, and
// ffmpeg's decode of every input frame (hue turning 36 degrees a frame, scaled alike) tells which it shows.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <memory>

#include "support/media.h"

using namespace mpgtest;

namespace {

// H.264 from a lavfi graph with a key frame exactly every keyint frames.
std::string H264(const std::string &name, const std::string &graph, int keyint, const std::string &extra = "") {
  const std::string k = std::to_string(keyint);
  return MakeFixture(name, graph + " -fflags +bitexact -flags:v +bitexact -threads 1 -c:v libx264 -preset ultrafast "
                     "-pix_fmt yuv420p -x264-params keyint=" + k + ":min-keyint=" + k + ":scenecut=0 " + extra);
}
std::string Src(const std::string &size, int rate, const std::string &duration) {
  return "-f lavfi -i testsrc2=size=" + size + ":rate=" + std::to_string(rate) + ":duration=" + duration + ",hue=h=36*n";
}
std::string Wide() { return H264("grab_320x180.mp4", Src("320x180", 5, "1"), 5); }
std::string Keyint4() { return H264("grab_keyint4.mp4", Src("320x240", 10, "2"), 4); }  // keys 0, 4, 8 ...
std::string LongGop() { return H264("grab_long_gop.mp4", Src("160x120", 25, "14"), 300); }  // keys 0, 300
std::string OneKey4s() { return H264("grab_one_key_4s.mp4", Src("160x120", 25, "4"), 250); }
// 21 fps with B pictures: frame 20 leaves the decoder while a packet past second 1 is in.
std::string BFrames() { return H264("grab_bframes_3s.mp4", Src("160x120", 21, "3"), 250, "-bf 2 -b_strategy 0"); }
// Frames 0..7 black (7 with a white bottom edge), then the pattern; keys at 0, 5, 10.
std::string BlackOpening() {
  const std::string black = "color=c=black:size=320x240:rate=10:duration=0.8,drawbox=y=ih-8:h=8:color=white:t=fill:enable='gte(t,0.7)'";
  return H264("grab_black_opening.mp4", "-f lavfi -i " + Quote(black) + " " + Src("320x240", 10, "1.2") + " -filter_complex concat=n=2", 5);
}
// Three seconds of black before the pattern: more than the grab searches past a black picture.
std::string LongBlackOpening() {
  return H264("grab_long_black_opening.mp4", "-f lavfi -i color=c=black:size=160x120:rate=10:duration=3 " +
              Src("160x120", 10, "1") + " -filter_complex concat=n=2", 10);
}
std::string AllBlack() { return H264("grab_all_black.mp4", "-f lavfi -i color=c=black:size=160x120:rate=10:duration=1", 5); }
// Lossless RGB at odd sizes: the grab must give ffmpeg's pixels exactly.
std::string Odd13x7() { return MakeFixture("grab_13x7.mkv", Src("26x14", 10, "1") + ",scale=13:7 -c:v ffv1 -pix_fmt bgr0"); }
std::string OnePixel() { return MakeFixture("grab_1x1.mkv", "-f lavfi -i color=0x3080C0:s=2x2:d=1,scale=1:1 -c:v ffv1 -pix_fmt bgr0"); }
std::string Unseekable() { return MakeFixture("grab_unseekable.mpjpeg", Src("160x120", 10, "2") + " -c:v mjpeg -f mpjpeg"); }

std::vector<std::string> DecodeFrames(const std::string &video, int width, int height) {
  std::string raw;
  Run("ffmpeg -v error -i " + Quote(video) + " -frames:v 1000 -sws_flags fast_bilinear+accurate_rnd -s " +
          std::to_string(width) + "x" + std::to_string(height) + " -f rawvideo -pix_fmt rgb24 -", &raw);
  const size_t bytes = static_cast<size_t>(width) * height * 3;
  std::vector<std::string> frames;
  for (size_t at = 0; bytes && at + bytes <= raw.size(); at += bytes) frames.push_back(raw.substr(at, bytes));
  return frames;
}

double MeanAbsDiff(const std::string &a, const std::string &b) {
  if (a.size() != b.size() || a.empty()) return 1e9;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += std::abs(static_cast<uint8_t>(a[i]) - static_cast<uint8_t>(b[i]));
  return sum / static_cast<double>(a.size());
}

// The frame the picture shows: the closest, when clearly closer than every other; else -1.
int FrameShown(const Picture &pic, const std::vector<std::string> &frames) {
  int best = -1; double bestDiff = 1e9, secondDiff = 1e9;
  for (size_t i = 0; i < frames.size(); ++i) {
    const double d = MeanAbsDiff(pic.rgb, frames[i]);
    if (d < bestDiff) secondDiff = bestDiff, bestDiff = d, best = static_cast<int>(i);
    else if (d < secondDiff) secondDiff = d;
  }
  return bestDiff < 0.6 * secondDiff ? best : -1;
}

enum class Call { File, MemoryBmp, MemoryJpg };
constexpr int kFails = 0, kWriteFails = -1;  // width column for rows that must fail

struct Row {
  const char *name;
  Call call;
  std::string (*input)();
  int32_t format, at, height;  // at: the file grab's position, the memory grab's second
  int width, outHeight, frame;  // size (or kFails, kWriteFails); frame shown, -1: only near frame 0
  double tolerance = 3;         // mean difference allowed from that frame
  int32_t scale = 100;
};

class GrabTable : public ::testing::TestWithParam<Row> {};

TEST_P(GrabTable, TakesThePictureAskedFor) {
  const Row &r = GetParam();
  const std::string input = r.input();  // made before any file size limit
  const int32_t format = r.call == Call::File ? r.format : r.call == Call::MemoryBmp ? MPG_IMAGE_BMP : MPG_IMAGE_JPEG;
  const std::string out = Out(std::string(r.name) + (format == MPG_IMAGE_PPM ? ".ppm" : format == MPG_IMAGE_BMP ? ".bmp" : ".jpg"));
  const std::string stale = "a picture from an earlier call";
  WriteBytes(out, stale);
  MPG_SetPercent100(r.scale);
  // A disk that fills: writes past 64 bytes fail with EFBIG (SIGXFSZ ignored).
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  const rlimit limit{r.width == kWriteFails ? 64 : saved.rlim_cur, saved.rlim_max};
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &limit);
  bool ok = false;
  if (r.call != Call::MemoryBmp) {
    ok = r.call == Call::File ? MPG_GetImageP(format, input.c_str(), out.c_str(), r.at, r.height, 90)
                              : MPG_GetImageJPG(input.c_str(), out.c_str(), r.at, r.height);
  } else {
    uint32_t size = 12345;
    std::unique_ptr<uint8_t, decltype(&std::free)> bmp(MPG_GetImageBMP(input.c_str(), r.at, &size, r.height), &std::free);
    ok = bmp != nullptr;
    EXPECT_EQ(size == 0, !ok) << "size " << size;
    if (ok) WriteBytes(out, std::string(reinterpret_cast<const char *>(bmp.get()), size));
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  MPG_SetPercent100(100);
  if (r.width <= 0) {  // a refusal leaves the file that stood there; a failed write removes its file
    EXPECT_FALSE(ok);
    EXPECT_EQ(FileExists(out) ? ReadBytes(out) : "(removed)", r.width == kFails ? stale : "(removed)");
    return;
  }
  ASSERT_TRUE(ok);
  const char *codec = format == MPG_IMAGE_PPM ? "ppm" : format == MPG_IMAGE_BMP ? "bmp" : "mjpeg";
  EXPECT_EQ(Probe(out)["streams"][0].value("codec_name", ""), codec);
  if (format == MPG_IMAGE_BMP) { EXPECT_EQ(FileSizeOf(out), 54u + (r.width * 3u + 3u) / 4u * 4u * r.outHeight); }  // rows of 4n bytes
  const Picture pic = DecodePicture(out);
  ASSERT_EQ(std::pair(pic.width, pic.height), std::pair(r.width, r.outHeight));
  const auto frames = DecodeFrames(input, r.width, r.outHeight);
  ASSERT_GT(frames.size(), static_cast<size_t>(std::max(r.frame, 0)));
  if (r.frame >= 0) { EXPECT_EQ(FrameShown(pic, frames), r.frame); }
  EXPECT_LE(MeanAbsDiff(pic.rgb, frames[static_cast<size_t>(std::max(r.frame, 0))]), r.tolerance);
}

constexpr int32_t P = MPG_IMAGE_PPM, B = MPG_IMAGE_BMP, J = MPG_IMAGE_JPEG;
constexpr Call F = Call::File, M = Call::MemoryBmp, MJ = Call::MemoryJpg;

INSTANTIATE_TEST_SUITE_P(
    Grab, GrabTable,
    ::testing::Values(
        // Sizes: height 0 keeps the decoded size, else the width follows, raised to a multiple of 4.
        Row{"WidePpm", F, Wide, P, 0, 0, 320, 180, 0}, Row{"WideBmp100", F, Wide, B, 0, 100, 180, 100, 0},
        Row{"WideJpeg100", F, Wide, J, 0, 100, 180, 100, 0}, Row{"VgaPpm100", F, Keyint4, P, 0, 100, 136, 100, 0},
        Row{"Height1Width4", F, Keyint4, B, 0, 1, 4, 1, -1, 12}, Row{"WideMemBmp100", M, Wide, 0, 0, 100, 180, 100, 0},
        Row{"VgaMemJpg100", MJ, Keyint4, 0, 1, 100, 136, 100, 8, 10},
        // Odd widths pad BMP rows, sizes off the 8x8 grid fill partial JPEG blocks; positions are shares of the duration.
        Row{"OddPpm", F, Odd13x7, P, 0, 0, 13, 7, 0, 0}, Row{"OddBmp", F, Odd13x7, B, 0, 0, 13, 7, 0, 0},
        Row{"OddMemBmp", M, Odd13x7, 0, 0, 0, 13, 7, 0, 0}, Row{"OddJpeg", F, Odd13x7, J, 0, 0, 13, 7, 0, 12},
        Row{"OnePixelBmp", F, OnePixel, B, 0, 0, 1, 1, -1, 0}, Row{"OnePixelJpeg", F, OnePixel, J, 50, 0, 1, 1, -1, 3},
        Row{"Half", F, Keyint4, B, 50, 0, 320, 240, 10}, Row{"Key8", F, Keyint4, B, 40, 0, 320, 240, 8},
        Row{"Scale1000", F, Keyint4, B, 500, 0, 320, 240, 10, 3, 1000}, Row{"LongGop", F, LongGop, P, 10, 0, 160, 120, 35},
        // Pictures of one colour are passed over, unless there is nothing else; a song gives its cover.
        Row{"BlackOpening", F, BlackOpening, P, 0, 0, 320, 240, 7}, Row{"AllBlack", F, AllBlack, P, 50, 0, 160, 120, -1},
        Row{"LongBlackOpening", F, LongBlackOpening, P, 0, 0, 160, 120, -1},
        Row{"Cover", F, fx::Mp3WithCover5s, P, 50, 0, 64, 64, 0}, Row{"CoverMemBmp", M, fx::Mp3WithCover5s, 0, 3, 0, 64, 64, 0},
        // Memory grabs sample every 20th picture: BMP the last before the second, JPEG the first at it.
        Row{"MemBmp3s", M, OneKey4s, 0, 3, 0, 160, 120, 60}, Row{"MemJpg3s", MJ, OneKey4s, 0, 3, 0, 160, 120, 80, 10},
        Row{"MemBmp0s", M, OneKey4s, 0, 0, 0, 160, 120, 0}, Row{"MemBmpPastEnd", M, OneKey4s, 0, 10, 0, 160, 120, 80},
        Row{"MemJpgPastEnd", MJ, OneKey4s, 0, 10, 0, 160, 120, 80, 10}, Row{"MemBmpBFrames", M, BFrames, 0, 1, 0, 160, 120, 20},
        Row{"MemJpgBFrames", MJ, BFrames, 0, 1, 0, 160, 120, 40, 10}, Row{"MemJpg0s", MJ, OneKey4s, 0, 0, 0, 160, 120, 0, 10},
        // Refusals leave the old file; a write that fails removes the file the grab opened.
        Row{"Format3", F, Keyint4, 3, 0, 0, kFails, 0, 0}, Row{"FormatMinus1", F, Keyint4, -1, 0, 0, kFails, 0, 0},
        Row{"NegativeHeight", F, Keyint4, P, 0, -5, kFails, 0, 0}, Row{"AtTheEnd", F, Keyint4, P, 100, 0, kFails, 0, 0},
        Row{"AudioOnly", F, fx::AacAudio10s, J, 0, 0, kFails, 0, 0}, Row{"AudioMemBmp", M, fx::AacAudio10s, 0, 0, 0, kFails, 0, 0},
        Row{"AudioMemJpg", MJ, fx::AacAudio10s, 0, 1, 0, kFails, 0, 0}, Row{"MemBmpMinus1s", M, Keyint4, 0, -1, 0, kFails, 0, 0},
        Row{"MemJpgMinus1s", MJ, Keyint4, 0, -1, 0, kFails, 0, 0}, Row{"Unseekable", M, Unseekable, 0, 1, 0, kFails, 0, 0},
        Row{"FullDiskPpm", F, Keyint4, P, 0, 0, kWriteFails, 0, 0}, Row{"FullDiskBmp", F, Keyint4, B, 0, 0, kWriteFails, 0, 0},
        Row{"FullDiskJpeg", F, Keyint4, J, 0, 0, kWriteFails, 0, 0}, Row{"FullDiskMemJpg", MJ, Keyint4, 0, 1, 0, kWriteFails, 0, 0}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace

// The frame grab on real files: output sizes judged by ffprobe and djpeg, and which
// picture was taken judged against ffmpeg's own decode of every frame. The fixtures
// rotate the hue by 36 degrees a frame, so neighbouring frames tell apart clearly.
#include "image/frame_grab.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/av_ptr.h"
#include "core/streams.h"
#include "core/timebase.h"
#include "core/seek.h"
#include "support/media.h"

using namespace mpg;
using namespace mpgtest;

namespace {

// ---- Fixtures ---------------------------------------------------------------------------

const std::string kExact = " -fflags +bitexact -flags:v +bitexact -threads 1 ";

// H.264 from a lavfi graph, key frames exactly every keyint frames.
std::string H264(const std::string &graph, int keyint, const std::string &extra = "") {
  return graph + kExact + " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -x264-params keyint=" +
         std::to_string(keyint) + ":min-keyint=" + std::to_string(keyint) + ":scenecut=0 " + extra;
}

const std::string kHueSteps = ",hue=h=36*n";

std::string FullHd2s() {
  return MakeFixture("grab_1080p_2s.mp4", H264("-f lavfi -i testsrc2=size=1920x1080:rate=5:duration=2", 5));
}
std::string Vga2s() {
  return MakeFixture("grab_480p_2s.mp4", H264("-f lavfi -i testsrc2=size=640x480:rate=10:duration=2", 10));
}
// Frames 0..7 black, then test pattern; key frames at 0, 5, 10, 15: frames 8 and 9 are
// P pictures with content, frame 10 the first key picture with content.
std::string BlackOpening() {
  return MakeFixture("grab_black_opening.mp4",
                     H264("-f lavfi -i color=c=black:size=320x240:rate=10:duration=0.8 -f lavfi -i "
                          "testsrc2=size=320x240:rate=10:duration=1.2 -filter_complex " +
                              Quote("[1:v]hue=h=36*n[pat];[0:v][pat]concat=n=2:v=1:a=0"),
                          5));
}
// 20 frames at 10 fps, key frames every 4: 0, 4, 8, 12, 16.
std::string Keyint4() {
  return MakeFixture("grab_keyint4.mp4",
                     H264("-f lavfi -i testsrc2=size=320x240:rate=10:duration=2" + kHueSteps, 4));
}
// 350 frames with key frames at 0 and 300 only.
std::string LongGop() {
  return MakeFixture("grab_long_gop.mp4",
                     H264("-f lavfi -i testsrc2=size=160x120:rate=25:duration=14" + kHueSteps, 300));
}
// 100 frames at 25 fps, one key frame.
std::string OneKey4s() {
  return MakeFixture("grab_one_key_4s.mp4",
                     H264("-f lavfi -i testsrc2=size=160x120:rate=25:duration=4" + kHueSteps, 250));
}
// 63 frames at 21 fps with B pictures: frame 20 is just before second 1, and the
// packet in flight when it comes out of the decoder is already past it.
std::string BFrames3s() {
  return MakeFixture("grab_bframes_3s.mp4",
                     H264("-f lavfi -i testsrc2=size=160x120:rate=21:duration=3" + kHueSteps, 250,
                          "-bf 2 -b_strategy 0"));
}
// Multipart JPEG: a stream without index or timestamps to seek by.
std::string MultipartJpeg() {
  return MakeFixture("grab_unseekable.mpjpeg",
                     "-f lavfi -i testsrc2=size=160x120:rate=10:duration=2 -c:v mjpeg -f mpjpeg");
}

// ---- Judges -----------------------------------------------------------------------------

struct Picture {
  int width = 0;
  int height = 0;
  std::string rgb;  // packed RGB24
};

Picture ParsePpm(const std::string &bytes) {
  Picture pic;
  int maxval = 0, consumed = 0;
  if (std::sscanf(bytes.c_str(), "P6 %d %d %d%n", &pic.width, &pic.height, &maxval, &consumed) != 3) return {};
  pic.rgb = bytes.substr(static_cast<size_t>(consumed) + 1);
  return pic;
}

uint32_t Le32(const std::string &b, size_t at) {
  return static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8 |
         static_cast<uint8_t>(b[at + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

// A top-down 24-bit BMP file image (rows padded to 4 bytes) as RGB.
Picture ParseBmp(const std::string &b) {
  if (b.size() < 54 || b.compare(0, 2, "BM") != 0) return {};
  Picture pic;
  pic.width = static_cast<int>(Le32(b, 18));
  pic.height = -static_cast<int32_t>(Le32(b, 22));
  const size_t stride = (static_cast<size_t>(pic.width) * 3 + 3) & ~size_t{3};
  for (int y = 0; y < pic.height; ++y) {
    for (int x = 0; x < pic.width; ++x) {
      const size_t at = 54 + y * stride + x * 3;
      pic.rgb += {b[at + 2], b[at + 1], b[at]};
    }
  }
  return pic;
}

// The picture in an image file, decoded by djpeg for JPEG and by ffmpeg otherwise.
Picture DecodeImage(const std::string &path) {
  std::string out;
  const bool jpeg = ReadBytes(path).compare(0, 2, "\xFF\xD8") == 0;
  const std::string cmd = jpeg ? "djpeg -pnm " + Quote(path)
                               : "ffmpeg -v error -i " + Quote(path) + " -f image2pipe -c:v ppm -";
  if (Run(cmd, &out) != 0) return {};
  return ParsePpm(out);
}

// The first maxFrames frames of a video as RGB24 at width x height, decoded and
// scaled by ffmpeg with the scaler settings the grab uses.
std::vector<std::string> DecodeFrames(const std::string &video, int width, int height, int maxFrames = 1000) {
  std::string raw;
  Run("ffmpeg -v error -i " + Quote(video) + " -frames:v " + std::to_string(maxFrames) +
          " -sws_flags fast_bilinear+accurate_rnd -s " + std::to_string(width) + "x" + std::to_string(height) +
          " -f rawvideo -pix_fmt rgb24 -",
      &raw);
  const size_t frameBytes = static_cast<size_t>(width) * height * 3;
  std::vector<std::string> frames;
  for (size_t at = 0; frameBytes && at + frameBytes <= raw.size(); at += frameBytes) {
    frames.push_back(raw.substr(at, frameBytes));
  }
  return frames;
}

double MeanAbsDiff(const std::string &a, const std::string &b) {
  if (a.size() != b.size() || a.empty()) return 1e9;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += std::abs(static_cast<uint8_t>(a[i]) - static_cast<uint8_t>(b[i]));
  return sum / static_cast<double>(a.size());
}

// The index of the frame of video the picture shows: the closest by mean difference,
// and only when it is clearly closer than every other frame (scaling and lossy
// coding leave some difference to all of them); -1 otherwise.
int FrameShown(const Picture &pic, const std::string &video) {
  const auto frames = DecodeFrames(video, pic.width, pic.height);
  int best = -1;
  double bestDiff = 1e9, secondDiff = 1e9;
  for (size_t i = 0; i < frames.size(); ++i) {
    const double d = MeanAbsDiff(pic.rgb, frames[i]);
    if (d < bestDiff) {
      secondDiff = bestDiff;
      bestDiff = d;
      best = static_cast<int>(i);
    } else if (d < secondDiff) {
      secondDiff = d;
    }
  }
  const bool clear = bestDiff < 0.6 * secondDiff;
  EXPECT_TRUE(clear) << "closest frame " << best << " at " << bestDiff << ", next at " << secondDiff;
  return clear ? best : -1;
}

// An output path with a stale file on it, as a host re-using a name would leave.
// While it lives, files this process writes cannot grow past bytes: a write beyond
// fails with EFBIG, as on a full disk (SIGXFSZ is ignored so that it does not kill us).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
  }
  FileSizeLimit(const FileSizeLimit &) = delete;
  FileSizeLimit &operator=(const FileSizeLimit &) = delete;

 private:
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
};

std::string StaleOutput(const std::string &name) {
  const std::string path = Out(name);
  WriteBytes(path, "stale picture from an earlier call");
  return path;
}

// ---- Sizes and writers ------------------------------------------------------------------

struct SizeCase {
  const char *name;
  std::string (*fixture)();
  int32_t format;
  int32_t height;
  int width;
  int expectedHeight;
};

class GrabToFileSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(GrabToFileSize, WritesTheScaledPictureTheDecoderReads) {
  const SizeCase &c = GetParam();
  const std::string out = Out(std::string(c.name) + ".img");
  ASSERT_TRUE(MPG_GetImage(c.format, c.fixture().c_str(), out.c_str(), c.height, 90));
  const Picture pic = DecodeImage(out);
  EXPECT_EQ(pic.width, c.width);
  EXPECT_EQ(pic.height, c.expectedHeight);
  EXPECT_EQ(pic.rgb.size(), static_cast<size_t>(c.width) * c.expectedHeight * 3);
  // Position 0 on a file that opens with content takes its first picture, scaled and
  // converted as ffmpeg does it.
  const auto first = DecodeFrames(c.fixture(), c.width, c.expectedHeight, 1);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_LT(MeanAbsDiff(pic.rgb, first[0]), 3.0);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, GrabToFileSize,
    ::testing::Values(SizeCase{"FullHdPpmKeepsDecodedSize", FullHd2s, MPG_IMAGE_PPM, 0, 1920, 1080},
                      SizeCase{"FullHdBmpHeight100", FullHd2s, MPG_IMAGE_BMP, 100, 180, 100},
                      SizeCase{"FullHdJpegHeight100", FullHd2s, MPG_IMAGE_JPEG, 100, 180, 100},
                      SizeCase{"VgaJpegKeepsDecodedSize", Vga2s, MPG_IMAGE_JPEG, 0, 640, 480},
                      SizeCase{"VgaPpmHeight100RaisesWidthTo136", Vga2s, MPG_IMAGE_PPM, 100, 136, 100},
                      SizeCase{"VgaBmpHeight100RaisesWidthTo136", Vga2s, MPG_IMAGE_BMP, 100, 136, 100}),
    [](const auto &info) { return std::string(info.param.name); });

struct SizeRuleCase {
  int32_t decodedWidth, decodedHeight, height;
  std::optional<std::pair<int32_t, int32_t>> expected;
};

class OutputImageSizeRule : public ::testing::TestWithParam<SizeRuleCase> {};

TEST_P(OutputImageSizeRule, GivesMultipleOf4WidthsAndRefusesImpossibleSizes) {
  const SizeRuleCase &c = GetParam();
  const auto size = OutputImageSize(c.decodedWidth, c.decodedHeight, c.height);
  ASSERT_EQ(size.has_value(), c.expected.has_value());
  if (size) {
    EXPECT_EQ(size->width, c.expected->first);
    EXPECT_EQ(size->height, c.expected->second);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Edges, OutputImageSizeRule,
    ::testing::Values(SizeRuleCase{642, 480, 0, std::pair{642, 480}},  // height 0 never rounds
                      SizeRuleCase{1920, 1080, 1, std::pair{4, 1}},    // 1 rounds up to 4
                      SizeRuleCase{1280, 720, 100, std::pair{180, 100}},
                      SizeRuleCase{640, 480, -1, std::nullopt},
                      SizeRuleCase{1, 1000, 1, std::nullopt},  // width truncates to 0
                      // 1920 x 2^31-1 overflows 32 bits: refused, not wrapped.
                      SizeRuleCase{1920, 1080, std::numeric_limits<int32_t>::max(), std::nullopt}));

TEST(IsUniformImage, OneDifferingPixelMakesAPictureWorthTaking) {
  std::vector<uint8_t> rgb(8 * 4 * 3, 0);
  EXPECT_TRUE(IsUniformImage(rgb.data(), 8, 4));
  rgb.back() = 1;  // the blue byte of the last pixel
  EXPECT_FALSE(IsUniformImage(rgb.data(), 8, 4));
  EXPECT_TRUE(IsUniformImage(rgb.data(), 8, 0));
}

// What a host does with the buffer of MPG_GetImageBMP: free() it.
struct FreeDeleter {
  void operator()(uint8_t *p) const { std::free(p); }
};
using HostBuffer = std::unique_ptr<uint8_t, FreeDeleter>;

// ---- Which picture the file grab takes ----------------------------------------------------

TEST(GrabImageToFile, BlackOpeningGivesFirstPictureWithContent) {
  const std::string out = Out("black_opening.ppm");
  ASSERT_TRUE(MPG_GetImage(MPG_IMAGE_PPM, BlackOpening().c_str(), out.c_str(), 0, 0));
  // Not the black pictures 0..7; P picture 8 decodes cleanly from key picture 0.
  EXPECT_EQ(FrameShown(DecodeImage(out), BlackOpening()), 8);
}

// Nothing but black: the black picture is still the picture there.
TEST(GrabImageToFile, ClipOfOneColourGivesThatColour) {
  const std::string black = MakeFixture("grab_all_black.mp4",
                                        H264("-f lavfi -i color=c=black:size=160x120:rate=10:duration=1", 5));
  const std::string out = Out("all_black.ppm");
  ASSERT_TRUE(MPG_GetImageP(MPG_IMAGE_PPM, black.c_str(), out.c_str(), 50, 0, 0));
  const Picture pic = DecodeImage(out);
  ASSERT_EQ(pic.width, 160);
  EXPECT_LT(static_cast<uint8_t>(pic.rgb[0]), 20);
}

struct PositionCase {
  int32_t scale;
  int32_t position;
  int expectedFrame;
};

class GrabAtPosition : public ::testing::TestWithParam<PositionCase> {
 protected:
  void TearDown() override { MPG_SetPercent100(100); }
};

TEST_P(GrabAtPosition, TakesThePictureAtTheFraction) {
  const PositionCase &c = GetParam();
  MPG_SetPercent100(c.scale);
  const std::string out = Out("position.bmp");
  ASSERT_TRUE(MPG_GetImageP(MPG_IMAGE_BMP, Keyint4().c_str(), out.c_str(), c.position, 0, 0));
  EXPECT_EQ(FrameShown(DecodeImage(out), Keyint4()), c.expectedFrame);
}

// Two seconds, 10 fps, key frames every 4: half way is P picture 10, decoded from key
// picture 8, as the ffmpeg tool's -ss gives it.
INSTANTIATE_TEST_SUITE_P(Fractions, GrabAtPosition,
                         ::testing::Values(PositionCase{100, 0, 0}, PositionCase{100, 50, 10},
                                           PositionCase{1000, 500, 10}, PositionCase{100, 40, 8}));

// The position lies 35 pictures into a 300-picture group: decoding starts at the
// key picture before it, not at the next one 11 seconds later.
TEST(GrabImageToFile, PositionFarFromNextKeyFrameTakesThePictureThere) {
  const std::string out = Out("long_gop.ppm");
  ASSERT_TRUE(MPG_GetImageP(MPG_IMAGE_PPM, LongGop().c_str(), out.c_str(), 10, 0, 0));
  EXPECT_EQ(FrameShown(DecodeImage(out), LongGop()), 35);
}

// A song's only picture is its cover (ID3 art; red, so of one colour): every grab
// gives it, wherever it was asked for.
TEST(ImageGrab, SongWithCoverGivesTheCover) {
  const std::string song = fx::Mp3WithCover5s();
  for (int32_t position : {0, 50}) {
    const std::string out = Out("cover.ppm");
    ASSERT_TRUE(MPG_GetImageP(MPG_IMAGE_PPM, song.c_str(), out.c_str(), position, 0, 0)) << position;
    const Picture pic = DecodeImage(out);
    ASSERT_EQ(pic.width, 64);
    EXPECT_GT(static_cast<uint8_t>(pic.rgb[0]), 200);
  }
  uint32_t size = 0;
  HostBuffer bmp(MPG_GetImageBMP(song.c_str(), 3, &size, 0));
  EXPECT_EQ(size, 54u + 64u * 64u * 3u);
}

// ---- Failures of the file grab ------------------------------------------------------------

struct FailureCase {
  const char *name;
  int32_t format;
  std::string (*input)();
  int32_t position;
  int32_t height;
};

std::string Missing() { return "/nonexistent/grab_input.mp4"; }

class GrabToFileFailure : public ::testing::TestWithParam<FailureCase> {};

// Each fails before the output is opened: what stood at its path is still there.
TEST_P(GrabToFileFailure, ReturnsFalseAndLeavesTheExistingFile) {
  const FailureCase &c = GetParam();
  const std::string out = StaleOutput("failed.img");
  const std::string before = ReadBytes(out);
  EXPECT_FALSE(MPG_GetImageP(c.format, c.input().c_str(), out.c_str(), c.position, c.height, 90));
  EXPECT_EQ(ReadBytes(out), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GrabToFileFailure,
    ::testing::Values(FailureCase{"Format3", 3, Keyint4, 0, 0}, FailureCase{"FormatMinus1", -1, Keyint4, 0, 0},
                      FailureCase{"AudioOnlyInput", MPG_IMAGE_PPM, fx::AacAudio10s, 0, 0},
                      FailureCase{"MissingInput", MPG_IMAGE_BMP, Missing, 0, 0},
                      FailureCase{"TextInput", MPG_IMAGE_JPEG, fx::TextFile, 0, 0},
                      FailureCase{"NegativeHeight", MPG_IMAGE_PPM, Keyint4, 0, -5},
                      // Every packet lies before the end of the stream.
                      FailureCase{"PositionAtTheEnd", MPG_IMAGE_PPM, Keyint4, 100, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(GrabImageToFile, OutputDirectoryIsNeitherWrittenNorRemoved) {
  const std::string dir = Out("a_directory");
  ASSERT_EQ(mpgtest::Run("mkdir " + Quote(dir)), 0);
  EXPECT_FALSE(MPG_GetImage(MPG_IMAGE_BMP, Keyint4().c_str(), dir.c_str(), 0, 0));
  EXPECT_EQ(mpgtest::Run("test -d " + Quote(dir)), 0);
}

// An output path naming the input, by any spelling, is refused before anything is
// written or deleted.
TEST(ImageGrab, OutputNamingTheInputLeavesTheInputUntouched) {
  const std::string input = Out("input.mp4");
  WriteBytes(input, ReadBytes(Keyint4()));
  const std::string before = ReadBytes(input);
  const std::string otherSpelling = OutputDir() + "/./input.mp4";
  for (int32_t format : {MPG_IMAGE_PPM, MPG_IMAGE_BMP, MPG_IMAGE_JPEG, 3}) {
    EXPECT_FALSE(MPG_GetImage(format, input.c_str(), input.c_str(), 0, 0));
    EXPECT_FALSE(MPG_GetImageP(format, input.c_str(), otherSpelling.c_str(), 50, 100, 90));
  }
  EXPECT_FALSE(MPG_GetImageJPG(input.c_str(), otherSpelling.c_str(), 1, 0));
  EXPECT_EQ(ReadBytes(input), before);
}

// ---- The memory grab ------------------------------------------------------------------------

// What a host does with MPG_GetImageBMP: take the buffer, read it, free() it.
Picture GrabBmp(const std::string &input, int32_t seconds, int32_t height, uint32_t *sizeOut = nullptr) {
  uint32_t size = 12345;
  HostBuffer bmp(MPG_GetImageBMP(input.c_str(), seconds, &size, height));
  if (sizeOut) *sizeOut = size;
  if (!bmp) {
    EXPECT_EQ(size, 0u);
    return {};
  }
  const std::string bytes(reinterpret_cast<const char *>(bmp.get()), size);
  EXPECT_EQ(Le32(bytes, 2), size) << "bfSize";
  return ParseBmp(bytes);
}

Picture GrabJpeg(const std::string &input, int32_t seconds, int32_t height) {
  const std::string out = Out("memory_grab.jpg");
  if (!MPG_GetImageJPG(input.c_str(), out.c_str(), seconds, height)) return {};
  return DecodeImage(out);
}

TEST(GrabImageToMemory, BmpBufferIsACompleteFileTheHostFrees) {
  uint32_t size = 0;
  const Picture pic = GrabBmp(FullHd2s(), 1, 100, &size);
  EXPECT_EQ(pic.width, 180);
  EXPECT_EQ(pic.height, 100);
  EXPECT_EQ(size, 54u + 180u * 100u * 3u);
  const Picture full = GrabBmp(Vga2s(), 0, 0);
  EXPECT_EQ(full.width, 640);
  EXPECT_EQ(full.height, 480);
}

TEST(GrabImageToMemory, JpegFileDecodesAtTheScaledSize) {
  const Picture pic = GrabJpeg(Vga2s(), 1, 100);
  EXPECT_EQ(pic.width, 136);
  EXPECT_EQ(pic.height, 100);
}

struct SampleCase {
  const char *name;
  std::string (*fixture)();
  int32_t seconds;
  int bmpFrame;   // the last sample before the second
  int jpegFrame;  // the first sample at or after it
};

class MemoryGrabSampling : public ::testing::TestWithParam<SampleCase> {};

TEST_P(MemoryGrabSampling, TakesEvery20thPictureAroundTheSecond) {
  const SampleCase &c = GetParam();
  EXPECT_EQ(FrameShown(GrabBmp(c.fixture(), c.seconds, 0), c.fixture()), c.bmpFrame);
  EXPECT_EQ(FrameShown(GrabJpeg(c.fixture(), c.seconds, 0), c.fixture()), c.jpegFrame);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MemoryGrabSampling,
    ::testing::Values(
        // One key frame: the seek lands on frame 0; samples 0, 20, 40, 60 (2.4 s), 80 (3.2 s).
        SampleCase{"KeptPictureIsLastSampleBeforeTheSecond", OneKey4s, 3, 60, 80},
        // The first sample is already at the second: the BMP shows it.
        SampleCase{"FirstSampleAtTheSecondFillsTheKeptPicture", OneKey4s, 0, 0, 0},
        // Second 10 lies past the end of 4 s: the seek falls back to second 3 and the
        // input ends before the target, so both show the last sample.
        SampleCase{"SecondPastTheEndFallsBackToTheLastSample", OneKey4s, 10, 80, 80},
        // Frame 20 (0.952 s) leaves the decoder while a packet of a later second is in.
        SampleCase{"BPicturesAreJudgedByTheirOwnTimestamp", BFrames3s, 1, 20, 40}),
    [](const auto &info) { return std::string(info.param.name); });

// The memory grab's JPEG file follows the same rule.
TEST(GrabImageToMemory, JpegGrabOfAMissingInputLeavesTheExistingFile) {
  const std::string out = StaleOutput("memory_failed.jpg");
  const std::string before = ReadBytes(out);
  EXPECT_FALSE(MPG_GetImageJPG(Missing().c_str(), out.c_str(), 1, 0));
  EXPECT_FALSE(MPG_GetImageJPG(fx::AacAudio10s().c_str(), out.c_str(), 1, 0));
  EXPECT_EQ(ReadBytes(out), before);
}

// A disk that fills while the picture is written: the file the grab opened goes
// again, for every format and for the memory grab's JPEG.
TEST(ImageGrab, WriteThatFailsRemovesTheFileItOpened) {
  const std::string input = Vga2s();  // made before the limit, which the ffmpeg tool inherits
  for (int32_t format : {MPG_IMAGE_PPM, MPG_IMAGE_BMP, MPG_IMAGE_JPEG}) {
    const std::string out = StaleOutput("full_disk.img");
    const FileSizeLimit limit(64);
    EXPECT_FALSE(MPG_GetImage(format, input.c_str(), out.c_str(), 0, 90)) << format;
    EXPECT_FALSE(FileExists(out)) << format;
  }
  const std::string jpeg = StaleOutput("full_disk.jpg");
  const FileSizeLimit limit(64);
  EXPECT_FALSE(MPG_GetImageJPG(input.c_str(), jpeg.c_str(), 1, 0));
  EXPECT_FALSE(FileExists(jpeg));
}

TEST(GrabImageToMemory, UnusableInputGivesNullAndSizeZero) {
  EXPECT_EQ(GrabBmp(Missing(), 0, 0).width, 0);
  EXPECT_EQ(GrabBmp(fx::AacAudio10s(), 0, 0).width, 0);
  EXPECT_EQ(GrabBmp(Keyint4(), -1, 0).width, 0);
  uint32_t size = 7;
  EXPECT_EQ(MPG_GetImageBMP(nullptr, 0, &size, 0), nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(MPG_GetImageBMP(Keyint4().c_str(), 0, nullptr, 0), nullptr);
  EXPECT_FALSE(MPG_GetImageJPG(Missing().c_str(), Out("x.jpg").c_str(), 0, 0));
}

// ---- SeekToSecond ---------------------------------------------------------------------------

// The video packet reading goes on with, in seconds.
double NextVideoPacketSeconds(AVFormatContext *ctx, int index) {
  PacketPtr pkt = MakePacket();
  while (av_read_frame(ctx, pkt.get()) >= 0) {
    if (pkt->stream_index == index) return TimestampToSeconds(pkt->pts, ctx->streams[index]->time_base);
    av_packet_unref(pkt.get());
  }
  return -1;
}

TEST(SeekToSecond, LandsOnTheKeyFrameAtOrBeforeTheSecond) {
  InputFormatPtr ctx;
  ASSERT_TRUE(IsOk(OpenInputFile(fx::H264Video10s().c_str(), ctx)));
  EXPECT_TRUE(IsOk(SeekToSecond(ctx.get(), nullptr, 0, 5)));
  EXPECT_DOUBLE_EQ(NextVideoPacketSeconds(ctx.get(), 0), 5.0);
  // Second 12 is past the end of 10 s: tried again at 11, 10, then 9.
  EXPECT_TRUE(IsOk(SeekToSecond(ctx.get(), nullptr, 0, 12)));
  EXPECT_DOUBLE_EQ(NextVideoPacketSeconds(ctx.get(), 0), 9.0);
}

TEST(SeekToSecond, GivesUpAfter60SecondsOfFallback) {
  InputFormatPtr ctx;
  ASSERT_TRUE(IsOk(OpenInputFile(fx::H264Video10s().c_str(), ctx)));
  // From 68 the 60th attempt is second 9, the last one inside 10 s; from 69 it is 10.
  EXPECT_TRUE(IsOk(SeekToSecond(ctx.get(), nullptr, 0, 68)));
  EXPECT_DOUBLE_EQ(NextVideoPacketSeconds(ctx.get(), 0), 9.0);
  EXPECT_FALSE(IsOk(SeekToSecond(ctx.get(), nullptr, 0, 69)));
  EXPECT_EQ(SeekToSecond(ctx.get(), nullptr, 5, 0), StatusFromAv(AVERROR(EINVAL)));
}

TEST(SeekToSecond, UnseekableInputSaysTheSeekFailed) {
  InputFormatPtr ctx;
  ASSERT_TRUE(IsOk(OpenInputFile(MultipartJpeg().c_str(), ctx)));
  EXPECT_EQ(SeekToSecond(ctx.get(), nullptr, 0, 3), kSeekFailed);
  // The memory grab has nowhere to start from.
  EXPECT_EQ(GrabBmp(MultipartJpeg(), 1, 0).width, 0);
}

TEST(SecondToStreamTimestamp, SevenHoursAt90kHzDoNotWrap) {
  AVFormatContext *raw = avformat_alloc_context();
  ASSERT_NE(raw, nullptr);
  OutputFormatPtr owner(raw);
  AVStream *st = avformat_new_stream(raw, nullptr);
  ASSERT_NE(st, nullptr);
  st->time_base = AVRational{1, 90000};
  st->start_time = 900;
  EXPECT_EQ(SecondToStreamTimestamp(st, 25200), int64_t{25200} * 90000 + 900);
  st->start_time = AV_NOPTS_VALUE;  // unknown start: count from 0
  EXPECT_EQ(SecondToStreamTimestamp(st, 2), 180000);
}

}  // namespace

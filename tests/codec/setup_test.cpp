// The set-up operations seen from what they hand out: which streams they refuse,
// whether the encoders they prepare open, the sizes and rates they settle on, and
// what the output streams tell a muxer. The video encoder's value tables are pinned
// at their edges.
#include <gtest/gtest.h>

#include <string>

#include "core/input.h"
#include "support/media.h"
#include "codec/setup.h"

namespace mpg {
namespace {

using mpgtest::MakeFixture;

const std::string kExact = " -fflags +bitexact -flags:v +bitexact -threads 1 ";

std::string H264Sized(const char *name, const char *size) {
  return MakeFixture(name, std::string("-f lavfi -i testsrc2=size=") + size + ":rate=25:duration=0.2" + kExact +
                               "-c:v libx264 -preset ultrafast -pix_fmt yuv420p");
}
std::string H264At640x360() { return H264Sized("h264_640x360.mp4", "640x360"); }
std::string H264At176x120() { return H264Sized("h264_176x120.mp4", "176x120"); }
std::string H264At1920x1080() { return H264Sized("h264_1920x1080.mp4", "1920x1080"); }
std::string H264At1280x720() { return H264Sized("h264_1280x720.mp4", "1280x720"); }
std::string WavS16() {
  return MakeFixture("sine_s16.wav", "-f lavfi -i sine=sample_rate=44100:duration=1 -ac 2 -c:a pcm_s16le");
}

struct RateCase {
  int32_t in;
  int32_t out;
};
class SnapVideoBitRateTable : public ::testing::TestWithParam<RateCase> {};
TEST_P(SnapVideoBitRateTable, MapsUpToAnEncoderStep) { EXPECT_EQ(SnapVideoBitRate(GetParam().in), GetParam().out); }
INSTANTIATE_TEST_SUITE_P(Edges, SnapVideoBitRateTable,
                         ::testing::Values(RateCase{0, 24000}, RateCase{128, 128000}, RateCase{800, 1024000},
                                           RateCase{999, 1024000}, RateCase{1000, 24000}, RateCase{24000, 24000},
                                           RateCase{24001, 48000}, RateCase{128001, 196000},
                                           RateCase{196000, 196000},  // not 192000
                                           RateCase{196001, 256000}, RateCase{10000000, 10000000},
                                           RateCase{10000001, 12000000}, RateCase{20000000, 12000000}));

struct FrameRateCase {
  int32_t num, den;
  AVRational out;
};
class SnapFrameRateTable : public ::testing::TestWithParam<FrameRateCase> {};
TEST_P(SnapFrameRateTable, MapsToACommonRate) {
  const AVRational tb = SnapFrameRate(GetParam().num, GetParam().den);
  EXPECT_EQ(tb.num, GetParam().out.num);
  EXPECT_EQ(tb.den, GetParam().out.den);
}
INSTANTIATE_TEST_SUITE_P(
    Edges, SnapFrameRateTable,
    ::testing::Values(FrameRateCase{2, 25, {1, 12}},  // 12.5 fps
                      FrameRateCase{1, 13, {1, 12}}, FrameRateCase{1, 14, {1, 15}}, FrameRateCase{1, 24, {1001, 24000}},
                      FrameRateCase{1, 25, {1, 25}}, FrameRateCase{1001, 30000, {1001, 30000}},
                      FrameRateCase{100, 2998, {1001, 30000}}, FrameRateCase{100, 2999, {1, 30}},
                      FrameRateCase{1, 50, {1, 50}}, FrameRateCase{1001, 60000, {1001, 60000}},
                      FrameRateCase{1, 60, {1, 60}}, FrameRateCase{1, 120, {1, 60}}, FrameRateCase{0, 25, {1, 60}}));

struct SizeCase {
  int w, h, outW, outH;
};
class H263SizeTable : public ::testing::TestWithParam<SizeCase> {};
TEST_P(H263SizeTable, GivesASizeH263Accepts) {
  const VideoSize s = H263Size(GetParam().w, GetParam().h);
  EXPECT_EQ(s.width, GetParam().outW);
  EXPECT_EQ(s.height, GetParam().outH);
}
INSTANTIATE_TEST_SUITE_P(Edges, H263SizeTable,
                         ::testing::Values(SizeCase{176, 144, 176, 144}, SizeCase{704, 576, 704, 576},
                                           SizeCase{176, 120, 128, 96}, SizeCase{255, 1000, 128, 96},
                                           SizeCase{640, 191, 128, 96}, SizeCase{640, 360, 352, 288},
                                           SizeCase{527, 500, 352, 288}, SizeCase{1280, 720, 704, 576},
                                           SizeCase{1055, 900, 704, 576}, SizeCase{1920, 1080, 1408, 1152}));

// An output context that writes nothing; set-up never opens the file.
OutputFormatPtr NewOutput(const char *muxer) {
  AVFormatContext *raw = nullptr;
  avformat_alloc_output_context2(&raw, nullptr, muxer, nullptr);
  return OutputFormatPtr(raw);
}

// An input opened as a pipeline opens it, with the stream it would choose.
struct OpenedInput {
  explicit OpenedInput(const std::string &path) { EXPECT_TRUE(IsOk(OpenInputFile(path.c_str(), in))); }
  AVStream *Stream(int index) const { return index >= 0 ? in->streams[index] : nullptr; }
  InputFormatPtr in;
};

TEST(OpenBestAudioDecoder, VideoOnlyInputHasNoAudioToDecode) {
  OpenedInput input(H264At640x360());
  int index = 0;
  CodecContextPtr dec;
  EXPECT_EQ(OpenBestAudioDecoder(input.in.get(), index, dec), Status::AudioStreamNotFound);
  EXPECT_FALSE(dec);
}

// 16-bit sources meet encoders that list no 16-bit interleaved format.
struct EncoderCase {
  const char *name;
  std::string (*input)();
  AVCodecID codec;
};
class AudioEncoderFromSource : public ::testing::TestWithParam<EncoderCase> {};
TEST_P(AudioEncoderFromSource, OpensWithAFormatItTakes) {
  auto out = NewOutput("matroska");
  OpenedInput input(GetParam().input());
  int index = -1;
  AVStream *st = nullptr;
  CodecContextPtr dec, enc;
  ASSERT_TRUE(IsOk(OpenBestAudioDecoder(input.in.get(), index, dec)));
  ASSERT_TRUE(IsOk(AddAudioEncoderStream(out.get(), input.Stream(index), dec.get(), GetParam().codec, st, enc)));
  EXPECT_EQ(st->codecpar->codec_id, GetParam().codec);
  EXPECT_EQ(st->codecpar->codec_tag, 0u);
  EXPECT_GE(avcodec_open2(enc.get(), enc->codec, nullptr), 0);
}
INSTANTIATE_TEST_SUITE_P(Sources, AudioEncoderFromSource,
                         ::testing::Values(EncoderCase{"FlacToMp3", mpgtest::fx::FlacAudio5s, AV_CODEC_ID_MP3},
                                           EncoderCase{"FlacToAac", mpgtest::fx::FlacAudio5s, AV_CODEC_ID_AAC},
                                           EncoderCase{"WavToAac", WavS16, AV_CODEC_ID_AAC}),
                         [](const auto &info) { return std::string(info.param.name); });

struct VideoSizeCase {
  const char *name;
  std::string (*input)();
  VideoEncodeRequest req;
  int width, height;
};
class VideoEncoderSize : public ::testing::TestWithParam<VideoSizeCase> {};
TEST_P(VideoEncoderSize, OpensAtTheSettledSize) {
  auto out = NewOutput("matroska");
  OpenedInput input(GetParam().input());
  AVStream *st = nullptr;
  CodecContextPtr dec, enc;
  VideoEncodeRequest req = GetParam().req;
  ASSERT_TRUE(IsOk(OpenVideoReencode(req, out.get(), input.Stream(0), st, dec, enc)));
  EXPECT_EQ(enc->width, GetParam().width);
  EXPECT_EQ(enc->height, GetParam().height);
  EXPECT_EQ(st->codecpar->width, GetParam().width);
  EXPECT_EQ(st->codecpar->height, GetParam().height);
}
INSTANTIATE_TEST_SUITE_P(
    Requests, VideoEncoderSize,
    ::testing::Values(VideoSizeCase{"H263From640x360", H264At640x360, {4, 0, 0, 0, 0, 0}, 352, 288},
                      VideoSizeCase{"H263From176x120", H264At176x120, {4, 0, 0, 0, 0, 0}, 128, 96},
                      VideoSizeCase{"H263From1920x1080", H264At1920x1080, {4, 0, 0, 0, 0, 0}, 1408, 1152},
                      VideoSizeCase{"HalfScaleWithWidthOne", H264At1280x720, {6, 0, 1, 0, 50, 0}, 640, 360},
                      VideoSizeCase{"ScaleIgnoredWithoutSize", H264At1280x720, {6, 0, 0, 0, 50, 0}, 1280, 720},
                      VideoSizeCase{"HeightAloneKeepsAspect", H264At1280x720, {6, 0, 0, 360, 0, 0}, 640, 360},
                      // 640 x 101 / 360 is 179: 4:2:0 needs even sizes, rounded to the nearest.
                      VideoSizeCase{"OddSizesRoundedToEven", H264At640x360, {5, 0, 0, 101, 0, 0}, 180, 102}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(VideoSetUp, ChoiceOutOfRangeIsBadParameter) {
  auto out = NewOutput("mp4");
  OpenedInput input(H264At640x360());
  AVStream *st = nullptr;
  CodecContextPtr dec, enc;
  VideoEncodeRequest req;
  req.videoCodecChoice = 7;
  EXPECT_EQ(OpenVideoReencode(req, out.get(), input.Stream(0), st, dec, enc), Status::BadParameter);
}

// An MP4 takes the codec configuration from the stream: it must be the MPEG-4
// encoder's (a visual object sequence, 00 00 01 B0), not the H.264 input's avcC.
TEST(VideoSetUp, OutputStreamCarriesTheEncodersConfigurationNotTheInputs) {
  auto out = NewOutput("mp4");
  OpenedInput input(H264At640x360());
  AVStream *st = nullptr;
  CodecContextPtr dec, enc;
  VideoEncodeRequest req;
  req.videoCodecChoice = 6;
  ASSERT_TRUE(IsOk(OpenVideoReencode(req, out.get(), input.Stream(0), st, dec, enc)));
  ASSERT_GE(st->codecpar->extradata_size, 4);
  const uint8_t *x = st->codecpar->extradata;
  EXPECT_EQ(x[0], 0x00);
  EXPECT_EQ(x[1], 0x00);
  EXPECT_EQ(x[2], 0x01);
  EXPECT_EQ(x[3], 0xB0);
  EXPECT_EQ(st->codecpar->codec_id, AV_CODEC_ID_MPEG4);
}

}  // namespace
}  // namespace mpg

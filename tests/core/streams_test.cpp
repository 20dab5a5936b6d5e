// Stream lookup and duration measurement on real files.
#include "core/streams.h"

#include <gtest/gtest.h>

#include "support/media.h"

using namespace mpg;
using namespace mpgtest;

namespace {

InputFormatPtr Open(const std::string &path) {
  InputFormatPtr ctx;
  EXPECT_TRUE(IsOk(OpenInputFile(path.c_str(), ctx))) << path;
  return ctx;
}

// An AVI whose video time base is 1001/30000: ten seconds of NTSC-rate frames.
std::string NtscAvi10s() {
  return MakeFixture("ntsc_10s.avi",
                     "-f lavfi -i testsrc2=size=160x120:rate=30000/1001:duration=10 -c:v mpeg4 -q:v 8");
}

// An MP4 with a second audio stream, so the search has a stream to step over.
std::string TwoAudioStreams() {
  return MakeFixture("two_audio.mkv", "-i " + Quote(fx::H264Video10s()) + " -i " + Quote(fx::AacAudio10s()) +
                                          " -i " + Quote(fx::Mp3Audio5s()) + " -map 0:v -map 1:a -map 2:a -c copy");
}

TEST(FindUsableAudioStream, SkipsVideoAndFindsAudioInIndexOrder) {
  auto ctx = Open(TwoAudioStreams());
  EXPECT_EQ(FindUsableAudioStream(ctx.get()), 1);
  EXPECT_EQ(FindNextUsableAudioStream(ctx.get(), -1), 1);
  EXPECT_EQ(FindNextUsableAudioStream(ctx.get(), 1), 2);
  EXPECT_EQ(FindNextUsableAudioStream(ctx.get(), 2), -1);
  EXPECT_EQ(FindUsableAudioStream(nullptr), -1);
  EXPECT_EQ(FindNextUsableAudioStream(nullptr, -1), -1);
}

TEST(FindUsableAudioStream, ZeroChannelStreamIsNotUsable) {
  auto ctx = Open(fx::AacAudio10s());
  ASSERT_EQ(FindUsableAudioStream(ctx.get()), 0);
  ctx->streams[0]->codecpar->ch_layout.nb_channels = 0;
  EXPECT_EQ(FindUsableAudioStream(ctx.get()), -1);
}

TEST(FindUsableAudioStream, VideoOnlyFileHasNone) {
  auto ctx = Open(fx::H264Video10s());
  EXPECT_EQ(FindUsableAudioStream(ctx.get()), -1);
  EXPECT_EQ(FindFirstStreamOfType(ctx.get(), AVMEDIA_TYPE_VIDEO), 0);
}

TEST(ProbeStreamCodec, NamesTheFirstStreamOfTheType) {
  EXPECT_EQ(ProbeStreamCodec(fx::H264Aac10s().c_str(), AVMEDIA_TYPE_VIDEO), AV_CODEC_ID_H264);
  EXPECT_EQ(ProbeStreamCodec(fx::H264Aac10s().c_str(), AVMEDIA_TYPE_AUDIO), AV_CODEC_ID_AAC);
  EXPECT_EQ(ProbeStreamCodec(fx::Mp3WithCover5s().c_str(), AVMEDIA_TYPE_VIDEO), AV_CODEC_ID_MJPEG);
  EXPECT_EQ(ProbeStreamCodec(fx::AacAudio10s().c_str(), AVMEDIA_TYPE_VIDEO), AV_CODEC_ID_NONE);
  EXPECT_EQ(ProbeStreamCodec("/nonexistent.mp4", AVMEDIA_TYPE_AUDIO), AV_CODEC_ID_NONE);
  EXPECT_EQ(ProbeStreamCodec(fx::TextFile().c_str(), AVMEDIA_TYPE_AUDIO), AV_CODEC_ID_NONE);
  EXPECT_EQ(ProbeStreamCodec(nullptr, AVMEDIA_TYPE_AUDIO), AV_CODEC_ID_NONE);
}

struct DurationCase {
  const char *name;
  std::string (*path)();
  AVMediaType type;
  int64_t seconds;
};

class MeasureDurationBySeek : public ::testing::TestWithParam<DurationCase> {};

// The largest pts is the start of the last packet, so a 10 s file measures 9 s.
TEST_P(MeasureDurationBySeek, GivesWholeSecondsOfTheLastPts) {
  auto ctx = Open(GetParam().path());
  int index = FindFirstStreamOfType(ctx.get(), GetParam().type);
  ASSERT_GE(index, 0);
  EXPECT_EQ(mpg::MeasureDurationBySeek(ctx.get(), ctx->streams[index]), GetParam().seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Files, MeasureDurationBySeek,
    ::testing::Values(DurationCase{"H264", fx::H264Video10s, AVMEDIA_TYPE_VIDEO, 9},
                      DurationCase{"Aac", fx::AacAudio10s, AVMEDIA_TYPE_AUDIO, 9},
                      DurationCase{"Vp9", fx::Vp9Video5s, AVMEDIA_TYPE_VIDEO, 4},
                      // The encoder's priming and padding put the last MP3 frame past 5 s.
                      DurationCase{"Mp3", fx::Mp3Audio5s, AVMEDIA_TYPE_AUDIO, 5},
                      // 1001/30000: the whole time base counts, not its denominator alone.
                      DurationCase{"NtscAvi", NtscAvi10s, AVMEDIA_TYPE_VIDEO, 9}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(MeasureDurationBySeekEffects, ReadingGoesOnFromTheStart) {
  auto ctx = Open(fx::H264Video10s());
  AVStream *st = ctx->streams[0];
  ASSERT_GT(mpg::MeasureDurationBySeek(ctx.get(), st), 0);
  PacketPtr pkt = MakePacket();
  ASSERT_GE(av_read_frame(ctx.get(), pkt.get()), 0);
  EXPECT_LE(pkt->pts, av_rescale_q(1, AVRational{1, 25}, st->time_base)) << "did not seek back to the start";
}

TEST(MeasureDurationBySeekEffects, NullArgumentsMeasureZero) {
  EXPECT_EQ(mpg::MeasureDurationBySeek(nullptr, nullptr), 0);
  EXPECT_EQ(MeasureMergeDuration(nullptr, nullptr, nullptr, nullptr), 0);
}

TEST(MeasureMergeDuration, FallsBackToTheSecondInputWhenTheFirstMeasuresZero) {
  auto video = Open(fx::H264Video10s());
  auto audio = Open(fx::Mp3Audio5s());
  EXPECT_EQ(MeasureMergeDuration(video.get(), video->streams[0], audio.get(), audio->streams[0]), 9);
  EXPECT_EQ(MeasureMergeDuration(nullptr, nullptr, audio.get(), audio->streams[0]), 5);
  // A stream with a zero denominator cannot be measured; the second input answers.
  video->streams[0]->time_base.den = 0;
  EXPECT_EQ(MeasureMergeDuration(video.get(), video->streams[0], audio.get(), audio->streams[0]), 5);
}

}  // namespace

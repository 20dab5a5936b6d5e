// Stream lookup and duration measurement on real files.
#include "core/streams.h"
#include "merge/merge_job.h"
#include "core/timebase.h"

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

std::string TsStartingAt10s() {
  return MakeFixture("h264_5s_from_10s.ts", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=5 -c:v libx264 "
                                            "-preset ultrafast -g 25 -pix_fmt yuv420p -output_ts_offset 10");
}
std::string Pcm16Wav5s() {
  return MakeFixture("pcm16_5s.wav", "-f lavfi -i sine=frequency=440:sample_rate=8000:duration=5 -c:a pcm_s16le");
}
std::string OpusOgg3s() {
  return MakeFixture("opus_3006ms.ogg", "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=3.006 -c:a libopus");
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

struct DurationCase {
  const char *name;
  std::string (*path)();
  AVMediaType type;
  int64_t seconds;
};

class MeasureDurationBySeek : public ::testing::TestWithParam<DurationCase> {};

// From the stream's first timestamp to the end of its last packet: a 10 s file
// measures 10 s, wherever its timeline starts and however its container seeks.
TEST_P(MeasureDurationBySeek, GivesWholeSecondsToTheEndOfTheLastPacket) {
  auto ctx = Open(GetParam().path());
  int index = FindFirstStreamOfType(ctx.get(), GetParam().type);
  ASSERT_GE(index, 0);
  EXPECT_EQ(mpg::MeasureDurationBySeek(ctx.get(), ctx->streams[index]), GetParam().seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Files, MeasureDurationBySeek,
    ::testing::Values(DurationCase{"H264", fx::H264Video10s, AVMEDIA_TYPE_VIDEO, 10},
                      DurationCase{"Aac", fx::AacAudio10s, AVMEDIA_TYPE_AUDIO, 10},
                      DurationCase{"Vp9", fx::Vp9Video5s, AVMEDIA_TYPE_VIDEO, 5},
                      DurationCase{"Mp3", fx::Mp3Audio5s, AVMEDIA_TYPE_AUDIO, 5},
                      // 1001/30000: the whole time base counts, not its denominator alone.
                      DurationCase{"NtscAvi", NtscAvi10s, AVMEDIA_TYPE_VIDEO, 10},
                      // The timeline starts at 10 s (plus the muxer's delay): not counted.
                      DurationCase{"TsStartingAt10s", TsStartingAt10s, AVMEDIA_TYPE_VIDEO, 5},
                      // A seek by time computes a byte position past the end of the data.
                      DurationCase{"Pcm16Wav", Pcm16Wav5s, AVMEDIA_TYPE_AUDIO, 5},
                      // A 3.006 s Ogg whose last page ends 1 s after its last packet starts.
                      DurationCase{"OpusOgg", OpusOgg3s, AVMEDIA_TYPE_AUDIO, 3}),
    [](const auto &info) { return std::string(info.param.name); });

// Callers read on after measuring: they must get the first packet again, with every
// stream delivered, also where the measure had to read again from earlier points.
TEST(MeasureDurationBySeekEffects, ReadingGoesOnFromTheStart) {
  for (const std::string &path : {fx::H264Aac10s(), TsStartingAt10s(), Pcm16Wav5s()}) {
    auto ctx = Open(path);
    AVStream *st = ctx->streams[0];
    ASSERT_GT(mpg::MeasureDurationBySeek(ctx.get(), st), 0) << path;
    for (unsigned i = 0; i < ctx->nb_streams; ++i) EXPECT_EQ(ctx->streams[i]->discard, AVDISCARD_DEFAULT) << path;
    PacketPtr pkt = MakePacket();
    ASSERT_GE(av_read_frame(ctx.get(), pkt.get()), 0) << path;
    AVStream *read = ctx->streams[pkt->stream_index];
    const int64_t start = read->start_time == AV_NOPTS_VALUE ? 0 : read->start_time;
    EXPECT_LE(pkt->dts, start + av_rescale_q(1, AVRational{1, 25}, read->time_base))
        << path << ": did not seek back to the start";
  }
}

// MPEG-TS counts 90 kHz ticks in 33 bits; a span across the wrap counts it once.
TEST(TimestampSpan, CountsA33BitWrapOnce) {
  constexpr int64_t kWrap = int64_t{1} << 33;
  EXPECT_EQ(TimestampSpan(kWrap - 90000, 360000, 33), 450000);
  EXPECT_EQ(TimestampSpan(900000, 1350000, 33), 450000);
  EXPECT_EQ(TimestampSpan(1000, 500, 64), 0);  // no wrap to mend: never negative
  EXPECT_EQ(TimestampSpan(900000, 897000, 33), 0);  // a frame early, not a wrap
  EXPECT_EQ(TimestampSpan(AV_NOPTS_VALUE, 500, 33), 0);
}

// A position counts from the stream's first timestamp, as its length does: the last
// packet of a TS that starts at 10 s sits at the measured length, not 10 s later.
TEST(SecondsIntoStream, CountsFromTheStreamsFirstTimestamp) {
  auto ctx = Open(TsStartingAt10s());
  AVStream *st = ctx->streams[0];
  const int64_t length = mpg::MeasureDurationBySeek(ctx.get(), st);
  EXPECT_EQ(SecondsIntoStream(ctx.get(), st, st->start_time), 0);
  EXPECT_EQ(SecondsIntoStream(ctx.get(), st, st->start_time - 90000), 0);
  EXPECT_EQ(SecondsIntoStream(ctx.get(), st, st->start_time + int64_t{90000} * length), length);
  EXPECT_EQ(SecondsIntoStream(ctx.get(), st, AV_NOPTS_VALUE), 0);
}

TEST(MeasureDurationBySeekEffects, NullArgumentsMeasureZero) {
  EXPECT_EQ(mpg::MeasureDurationBySeek(nullptr, nullptr), 0);
  EXPECT_EQ(MeasureMergeDuration(nullptr, nullptr, nullptr, nullptr), 0);
}

TEST(MeasureMergeDuration, FallsBackToTheSecondInputWhenTheFirstMeasuresZero) {
  auto video = Open(fx::H264Video10s());
  auto audio = Open(fx::Mp3Audio5s());
  EXPECT_EQ(MeasureMergeDuration(video.get(), video->streams[0], audio.get(), audio->streams[0]), 10);
  EXPECT_EQ(MeasureMergeDuration(nullptr, nullptr, audio.get(), audio->streams[0]), 5);
  // A stream with a zero denominator cannot be measured; the second input answers.
  video->streams[0]->time_base.den = 0;
  EXPECT_EQ(MeasureMergeDuration(video.get(), video->streams[0], audio.get(), audio->streams[0]), 5);
}

}  // namespace

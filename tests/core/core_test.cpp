// The rules every pipeline shares: progress reports, status texts, time-base
// arithmetic, stream lookup and length measurement.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "core/input.h"
#include "core/progress.h"
#include "core/status.h"
#include "core/streams.h"
#include "core/timebase.h"
#include "support/media.h"

using namespace mpg;
using namespace mpgtest;

namespace {

InputFormatPtr Open(const std::string &path) {
  InputFormatPtr ctx;
  EXPECT_TRUE(IsOk(OpenInputFile(path.c_str(), ctx))) << path;
  return ctx;
}

std::string TsStartingAt10s() {
  return MakeFixture("h264_5s_from_10s.ts", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=5 -c:v libx264 "
                                            "-preset ultrafast -g 25 -pix_fmt yuv420p -output_ts_offset 10");
}

TEST(CoreProgress, SendsOnlyAdvancesTakesStopsAndEndsAtTheHostsScale) {
  ProgressLog log;
  ProgressReporter reporter(ProgressLog::Callback, log.User());
  for (int32_t v : {0, 10, 10, 5, 20}) reporter.ReportIfAdvanced(v);
  EXPECT_FALSE(reporter.ReportPosition(3, 10));  // 30 of 100
  reporter.ReportText(std::string_view("audio.first_dts=1024 and more").substr(0, 20));
  MPG_SetPercent100(1000);
  MPG_SetPercent100(0);  // ignored, as is any scale below 1
  MPG_SetPercent100(-7);
  reporter.ReportFinal();
  MPG_SetPercent100(100);
  EXPECT_EQ(log.values, (std::vector<int32_t>{10, 20, 30, 1000}));
  EXPECT_EQ(log.texts, (std::vector<std::string>{"audio.first_dts=1024"}));
  for (uintptr_t user : log.users) EXPECT_EQ(user, log.User());

  ProgressLog stopper;
  stopper.stopAtValue = 2;
  ProgressReporter stopped(ProgressLog::Callback, stopper.User());
  EXPECT_FALSE(stopped.ReportIfAdvanced(1));
  EXPECT_TRUE(stopped.ReportIfAdvanced(2));
  EXPECT_TRUE(stopped.StopRequested());

  ProgressReporter silent(nullptr, 0);
  EXPECT_FALSE(silent.Report(50));
  silent.ReportFinal();
  EXPECT_FALSE(silent.StopRequested());
}

// The codes with texts of their own give them; every other code, the bad-parameter
// code and the codes the library chooses among them, gives what av_strerror gives.
TEST(CoreStatus, OwnCodesKeepTheirTextsAndEveryOtherCodeGetsFfmpegs) {
  const std::map<int32_t, std::string> own = {
      {MPG_AUDIO_CODEC_NOT_FOUND, "Audio codec not found"}, {MPG_VIDEO_CODEC_NOT_FOUND, "Video codec not found"},
      {MPG_AUDIO_STREAM_NOT_FOUND, "Audio stream not found"}, {MPG_VIDEO_STREAM_NOT_FOUND, "Video stream not found"},
      {MPG_SAME_FILE, "Output file is the same as an input file"}};
  for (const auto &[code, text] : own) EXPECT_EQ(MPG_GetErrorText(code), text) << code;
  for (int averr : {MPG_OK, MPG_BAD_PARAMETER, AVERROR_EXIT, AVERROR_UNKNOWN, -1, AVERROR_EOF, AVERROR(ENOMEM)})
    EXPECT_EQ(std::string(MPG_GetErrorText(averr)), AvErrorText(averr)) << averr;
  EXPECT_EQ(std::string(MPG_GetErrorText(AVERROR_EXIT)), "Immediate exit requested");
}

TEST(CoreTime, ConversionsUseTheWholeTimeBaseAndRoundToNearest) {
  EXPECT_EQ(TimestampToWholeSeconds(61999, {1, 1000}), 61);
  EXPECT_EQ(TimestampToWholeSeconds(299, {1001, 30000}), 9);  // not 299 / 30000 = 0
  EXPECT_EQ(TimestampToWholeSeconds(100, {1, 0}), 0);
  EXPECT_EQ(TimestampToWholeSeconds(AV_NOPTS_VALUE, {1, 90000}), 0);
  EXPECT_EQ(TimestampToWholeSeconds(int64_t{90000} * 86400, {1, 90000}), 86400);  // no 32-bit overflow
  EXPECT_EQ(RescaleTs(AV_NOPTS_VALUE, {1, 1000}, {1, 90000}), AV_NOPTS_VALUE);
  EXPECT_EQ(RescaleTs(24, {1, 48000}, {1, 1000}), 1);  // half a tick rounds away from zero
  EXPECT_EQ(RescaleTs(-24, {1, 48000}, {1, 1000}), -1);
  EXPECT_EQ(ProgressValue(2, 3, 100), 66);
  EXPECT_EQ(ProgressValue(5, 0, 100), std::nullopt);
  // MPEG-TS counts 90 kHz ticks in 33 bits: a span across the wrap counts it once.
  EXPECT_EQ(TimestampSpan((int64_t{1} << 33) - 90000, 360000, 33), 450000);
  EXPECT_EQ(TimestampSpan(900000, 897000, 33), 0);  // a frame early, not a wrap
  PacketPtr pkt = MakePacket();
  pkt->pts = 3000, pkt->dts = AV_NOPTS_VALUE, pkt->duration = 1500, pkt->pos = 1234;
  RescalePacketTimes(pkt.get(), {1, 90000}, {1, 1000});
  EXPECT_EQ(std::vector<int64_t>({pkt->pts, pkt->dts, pkt->duration, pkt->pos}),
            std::vector<int64_t>({33, AV_NOPTS_VALUE, 17, -1}));
}

TEST(CoreStreams, AudioLookupStepsOverVideoAndStreamsWithoutChannelsOrRate) {
  const std::string two = MakeFixture("two_audio.mkv", "-i " + Quote(fx::H264Video10s()) + " -i " +
                                                           Quote(fx::AacAudio10s()) + " -i " + Quote(fx::Mp3Audio5s()) +
                                                           " -map 0:v -map 1:a -map 2:a -c copy");
  auto ctx = Open(two);
  EXPECT_EQ(FindUsableAudioStream(ctx.get()), 1);
  EXPECT_EQ(FindNextUsableAudioStream(ctx.get(), 1), 2);
  EXPECT_EQ(FindNextUsableAudioStream(ctx.get(), 2), -1);
  ctx->streams[1]->codecpar->ch_layout.nb_channels = 0;
  ctx->streams[2]->codecpar->sample_rate = 0;
  EXPECT_EQ(FindUsableAudioStream(ctx.get()), -1);
  EXPECT_EQ(FindFirstStreamOfType(ctx.get(), AVMEDIA_TYPE_VIDEO), 0);
}

struct LengthCase {
  std::string (*path)();
  AVMediaType type;
  int64_t seconds;
};

class CoreMeasure : public ::testing::TestWithParam<LengthCase> {};

// From the stream's first timestamp to the end of its last packet, wherever the
// timeline starts and however the container seeks; reading then goes on from the start.
TEST_P(CoreMeasure, WholeSecondsToTheEndOfTheLastPacketThenReadsOnFromTheStart) {
  auto ctx = Open(GetParam().path());
  const int index = FindFirstStreamOfType(ctx.get(), GetParam().type);
  ASSERT_GE(index, 0);
  AVStream *st = ctx->streams[index];
  const int64_t length = MeasureDurationBySeek(ctx.get(), st);
  EXPECT_EQ(length, GetParam().seconds);
  if (st->start_time != AV_NOPTS_VALUE) {  // a position counts from the first timestamp, as the length does
    EXPECT_EQ(SecondsIntoStream(ctx.get(), st, st->start_time + av_rescale_q(length, {1, 1}, st->time_base)), length);
  }
  for (unsigned i = 0; i < ctx->nb_streams; ++i) EXPECT_EQ(ctx->streams[i]->discard, AVDISCARD_DEFAULT);
  PacketPtr pkt = MakePacket();
  ASSERT_GE(av_read_frame(ctx.get(), pkt.get()), 0);
  AVStream *read = ctx->streams[pkt->stream_index];
  const int64_t start = read->start_time == AV_NOPTS_VALUE ? 0 : read->start_time;
  EXPECT_LE(pkt->dts, start + av_rescale_q(1, {1, 25}, read->time_base)) << "did not seek back to the start";
}

INSTANTIATE_TEST_SUITE_P(
    Core, CoreMeasure,
    ::testing::Values(LengthCase{fx::H264Aac10s, AVMEDIA_TYPE_VIDEO, 10}, LengthCase{fx::AacAudio10s, AVMEDIA_TYPE_AUDIO, 10},
                      LengthCase{fx::Vp9Video5s, AVMEDIA_TYPE_VIDEO, 5}, LengthCase{fx::Mp3Audio5s, AVMEDIA_TYPE_AUDIO, 5},
                      // 1001/30000: the whole time base counts, not its denominator alone.
                      LengthCase{[] { return MakeFixture("ntsc_10s.avi", "-f lavfi -i testsrc2=size=160x120:rate=30000/1001:duration=10 -c:v mpeg4 -q:v 8"); },
                                 AVMEDIA_TYPE_VIDEO, 10},
                      LengthCase{TsStartingAt10s, AVMEDIA_TYPE_VIDEO, 5},
                      // A seek by time computes a byte position past the end of the data.
                      LengthCase{[] { return MakeFixture("pcm16_5s.wav", "-f lavfi -i sine=sample_rate=8000:duration=5 -c:a pcm_s16le"); },
                                 AVMEDIA_TYPE_AUDIO, 5},
                      // An Ogg whose last page ends a second after its last packet starts.
                      LengthCase{[] { return MakeFixture("opus_3006ms.ogg", "-f lavfi -i sine=sample_rate=48000:duration=3.006 -c:a libopus"); },
                                 AVMEDIA_TYPE_AUDIO, 3}));

}  // namespace

// The rules every pipeline shares: progress reports, status texts, time-base
// arithmetic and stream lookup. (Lengths measured by seeking are judged on every
// real file by the real-file table, through MPG_GetMediaInfo.)
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

}  // namespace

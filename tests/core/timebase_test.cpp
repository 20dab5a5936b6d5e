// Time-base conversions whose mistakes would move every timestamp of a job.
#include "core/timebase.h"

#include <gtest/gtest.h>

using namespace mpg;

namespace {

TEST(TimestampToWholeSeconds, UsesTheWholeTimeBase) {
  EXPECT_EQ(TimestampToWholeSeconds(61999, {1, 1000}), 61);
  EXPECT_EQ(TimestampToWholeSeconds(-5, {1, 1000}), 0);
  EXPECT_EQ(TimestampToWholeSeconds(299, {1001, 30000}), 9);  // not 299 / 30000 = 0
  EXPECT_EQ(TimestampToWholeSeconds(100, {1, 0}), 0);
  EXPECT_EQ(TimestampToWholeSeconds(AV_NOPTS_VALUE, {1, 90000}), 0);
  // 24 hours at 1/90000 overflows 32-bit products, not 64-bit ones.
  EXPECT_EQ(TimestampToWholeSeconds(int64_t{90000} * 86400, {1, 90000}), 86400);
}

TEST(RescaleTs, RoundsToNearestAndPassesNoPts) {
  EXPECT_EQ(RescaleTs(AV_NOPTS_VALUE, {1, 1000}, {1, 90000}), AV_NOPTS_VALUE);
  EXPECT_EQ(RescaleTs(1, {1, 48000}, {1, 1000}), 0);
  EXPECT_EQ(RescaleTs(24, {1, 48000}, {1, 1000}), 1);  // 0.5 ms rounds away from zero
  EXPECT_EQ(RescaleTs(-24, {1, 48000}, {1, 1000}), -1);
}

TEST(RescalePacketTimes, MovesAllThreeTimesAndDropsThePosition) {
  AVPacket *pkt = av_packet_alloc();
  pkt->pts = 3000;
  pkt->dts = AV_NOPTS_VALUE;
  pkt->duration = 1500;
  pkt->pos = 1234;
  RescalePacketTimes(pkt, {1, 90000}, {1, 1000});
  EXPECT_EQ(pkt->pts, 33);
  EXPECT_EQ(pkt->dts, AV_NOPTS_VALUE);
  EXPECT_EQ(pkt->duration, 17);
  EXPECT_EQ(pkt->pos, -1);
  av_packet_free(&pkt);
}

TEST(ProgressValue, TruncatesAndRefusesAnUnknownTotal) {
  EXPECT_EQ(ProgressValue(1, 3, 100), 33);
  EXPECT_EQ(ProgressValue(2, 3, 100), 66);
  EXPECT_EQ(ProgressValue(9, 9, 1000), 1000);
  EXPECT_EQ(ProgressValue(5, 0, 100), std::nullopt);
}

}  // namespace

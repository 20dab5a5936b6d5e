// The re-encode engines driven as a pipeline drives them: packets in, finished
// packets out to a file. A kept range must give exactly its pictures from the
// output's time 0 (what an edit that re-encodes only part of a stream relies on),
// and the audio must keep its length and rising timestamps through a new rate and
// channel count.
#include <gtest/gtest.h>

#include <cmath>

#include "codec/audio_reencoder.h"
#include "codec/video_reencoder.h"
#include "core/input.h"
#include "core/output_file.h"
#include "core/streams.h"
#include "core/timebase.h"
#include "support/media.h"

using namespace mpg;
using namespace mpgtest;

namespace {

// Reads every packet of streamIndex into feed until done() or the input ends.
template <class Feed, class Done>
void FeedStream(AVFormatContext *in, int streamIndex, Feed &&feed, Done &&done) {
  PacketPtr pkt = MakePacket();
  ASSERT_TRUE(pkt);
  while (!done()) {
    const Status st = ReadPacket(in, pkt.get());
    if (st == Status::Eof) break;
    ASSERT_TRUE(IsOk(st));
    if (pkt->stream_index == streamIndex) {
      ASSERT_TRUE(IsOk(feed(pkt.get())));
    }
    av_packet_unref(pkt.get());
  }
}

// Re-encodes the first seconds of path's video into out as req asks (plus that
// range); returns the pictures encoded.
int64_t ReencodeVideo(const std::string &path, VideoReencodeRequest req, int seconds, const std::string &outPath) {
  InputFormatPtr in;
  EXPECT_TRUE(IsOk(OpenInputFile(path.c_str(), in)));
  if (!in) return -1;
  const int index = FindMovingVideoStream(in.get());
  if (index < 0) return -1;
  const AVStream *st = in->streams[index];
  OutputFile out;
  EXPECT_TRUE(IsOk(out.Create("mp4", outPath.c_str())));
  req.endTs = SecondsToTimestamp(seconds, st->time_base);
  VideoReencoder engine;
  EXPECT_TRUE(IsOk(engine.Open(req, st, out.get())));
  EXPECT_TRUE(IsOk(out.WriteHeader()));
  FeedStream(
      in.get(), index,
      [&](AVPacket *pkt) {
        const Status sent = engine.SendPacket(pkt);
        return IsOk(sent) ? WriteFinishedPackets(engine, out) : sent;
      },
      [&] { return engine.PastEnd(); });
  EXPECT_TRUE(IsOk(engine.Finish()));
  EXPECT_TRUE(IsOk(WriteFinishedPackets(engine, out)));
  EXPECT_TRUE(IsOk(out.Finish()));
  return engine.PicturesEncoded();
}

// A quality asked for replaces the stated bit rate: a finer one gives a larger file.
TEST(VideoReencoder, ConstantQualityGovernsTheSize) {
  VideoReencodeRequest fine, coarse;
  fine.quality = 12;
  coarse.quality = 40;
  const std::string finePath = Out("fine.mp4"), coarsePath = Out("coarse.mp4");
  EXPECT_EQ(ReencodeVideo(fx::H264Video10s(), fine, 2, finePath), 50);
  EXPECT_EQ(ReencodeVideo(fx::H264Video10s(), coarse, 2, coarsePath), 50);
  EXPECT_GT(FileSizeOf(finePath), 2 * FileSizeOf(coarsePath));
  EXPECT_TRUE(DecodesCleanly(finePath));
  EXPECT_TRUE(DecodesCleanly(coarsePath));
}

struct RangeCase {
  const char *name;
  int startSeconds;
  int endSeconds;
  int pictures;  // the fixture runs 10 s at 25 fps
};

class VideoReencoderRange : public ::testing::TestWithParam<RangeCase> {};

TEST_P(VideoReencoderRange, GivesExactlyThePicturesOfTheRangeFromTimeZero) {
  const RangeCase &c = GetParam();
  InputFormatPtr in;
  ASSERT_TRUE(IsOk(OpenInputFile(fx::H264Video10s().c_str(), in)));
  const int index = FindMovingVideoStream(in.get());
  ASSERT_GE(index, 0);
  const AVStream *st = in->streams[index];
  const std::string path = Out(std::string(c.name) + ".mp4");
  OutputFile out;
  ASSERT_TRUE(IsOk(out.Create("mp4", path.c_str())));
  VideoReencodeRequest req;
  req.speed = EncodeSpeed::Fast;
  req.startTs = SecondsToTimestamp(c.startSeconds, st->time_base);
  req.endTs = SecondsToTimestamp(c.endSeconds, st->time_base);
  VideoReencoder engine;
  ASSERT_TRUE(IsOk(engine.Open(req, st, out.get())));
  ASSERT_TRUE(IsOk(out.WriteHeader()));
  FeedStream(
      in.get(), index,
      [&](AVPacket *pkt) {
        const Status sent = engine.SendPacket(pkt);
        return IsOk(sent) ? WriteFinishedPackets(engine, out) : sent;
      },
      [&] { return engine.PastEnd(); });
  ASSERT_TRUE(IsOk(engine.Finish()));
  ASSERT_TRUE(IsOk(WriteFinishedPackets(engine, out)));
  ASSERT_TRUE(IsOk(out.Finish()));

  EXPECT_EQ(engine.PicturesEncoded(), c.pictures);
  const Track video = ReadPackets(path).Of("video");
  EXPECT_EQ(video.count, c.pictures);
  EXPECT_NEAR(video.first, 0.0, 0.001);
  EXPECT_NEAR(video.Span(), c.pictures / 25.0, 0.041);
  EXPECT_TRUE(DecodesCleanly(path));
}

INSTANTIATE_TEST_SUITE_P(Codec, VideoReencoderRange,
                         ::testing::Values(RangeCase{"FromTheStart", 0, 1, 25}, RangeCase{"Middle", 2, 5, 75},
                                           RangeCase{"EndPastTheInput", 9, 20, 25}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(AudioReencoder, NewRateAndChannelsKeepTheLengthWithRisingTimestamps) {
  InputFormatPtr in;
  ASSERT_TRUE(IsOk(OpenInputFile(fx::AacAudio10s().c_str(), in)));
  const int index = FindBestAudioStream(in.get());
  ASSERT_GE(index, 0);
  const std::string path = Out("audio.mp4");
  OutputFile out;
  ASSERT_TRUE(IsOk(out.Create("mp4", path.c_str())));
  AudioReencoder engine;
  ASSERT_TRUE(IsOk(engine.OpenDecoder(in->streams[index])));
  AudioReencodeRequest req;
  req.codecId = AV_CODEC_ID_AAC;
  req.sampleRate = 22050;
  req.channels = 1;
  ASSERT_TRUE(IsOk(engine.OpenEncoder(req, out.get())));
  ASSERT_TRUE(IsOk(out.WriteHeader()));
  FeedStream(
      in.get(), index,
      [&](AVPacket *pkt) {
        Status st = engine.SendPacket(pkt);
        if (IsOk(st)) st = engine.EncodeQueued();
        return IsOk(st) ? WriteFinishedPackets(engine, out) : st;
      },
      [] { return false; });
  ASSERT_TRUE(IsOk(engine.Finish()));
  ASSERT_TRUE(IsOk(WriteFinishedPackets(engine, out)));
  ASSERT_TRUE(IsOk(out.Finish()));

  const nlohmann::json probe = Probe(path);
  ASSERT_EQ(probe["streams"].size(), 1u);
  EXPECT_EQ(probe["streams"][0]["sample_rate"], "22050");
  EXPECT_EQ(probe["streams"][0]["channels"], 1);
  const Track audio = ReadPackets(path).Of("audio");
  EXPECT_EQ(audio.nonRising, 0);
  EXPECT_NEAR(audio.Span(), 10.0, 0.1);
  EXPECT_TRUE(DecodesCleanly(path));
}

}  // namespace

// MPG_SaveTrimmedVideo: the kept pictures and sound cover the range within a frame,
// starting together at 0, and decode cleanly, with reordered (B-frame) streams and ranges that reach the end
// of the input; the refusals leave no output.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "core/av_ptr.h"
#include "core/seek.h"
#include "support/media.h"

using namespace mpgtest;

namespace {

const std::string kExact = " -fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1 ";
const std::string kSources =
    "-f lavfi -i testsrc2=size=320x240:rate=25:duration=10 -f lavfi -i sine=sample_rate=48000:duration=10 -ac 2 ";

// B-frames: pictures come out of the decoder in another order than their packets.
std::string H264BFramesMp4() {
  return MakeFixture("h264_bframes_aac_10s.mp4", kSources + kExact +
                                                     "-c:v libx264 -preset veryfast -bf 3 -g 25 -pix_fmt yuv420p "
                                                     "-c:a aac -b:a 96k");
}

struct Span {
  double first = 1e300;
  double end = -1e300;
  size_t packets = 0;
};

Span StreamSpan(const std::string &path, const std::string &selector) {
  Span s;
  for (const auto &p : ProbePackets(path, selector)) {
    const double pts = std::stod(p.value("pts_time", "0"));
    s.first = std::min(s.first, pts);
    s.end = std::max(s.end, pts + std::stod(p.value("duration_time", "0")));
    ++s.packets;
  }
  return s;
}

struct TrimCase {
  const char *name;
  std::string (*input)();
  int32_t start;
  int32_t end;
  const char *videoCodec;
};

const TrimCase kTrims[] = {
    {"H264Mp4TwoToFive", fx::H264Aac10s, 2, 5, "h264"},
    {"H264BFramesTwoToFive", H264BFramesMp4, 2, 5, "h264"},
    {"H264BFramesToTheEnd", H264BFramesMp4, 7, 10, "h264"},
    {"Mpeg4AviOneToThree", fx::Mpeg4Mp3Avi5s, 1, 3, "mpeg4"},
    {"EndPastTheInput", fx::H264Aac10s, 8, 30, "h264"},
};

class TrimRanges : public ::testing::TestWithParam<TrimCase> {};

TEST_P(TrimRanges, VideoAndAudioCoverTheRangeWithinAFrameAndDecodeCleanly) {
  const TrimCase &c = GetParam();
  const std::string in = c.input();
  const std::string out = Out("trimmed.out");
  ASSERT_EQ(MPG_SaveTrimmedVideo(in.c_str(), out.c_str(), c.start, c.end), 0);

  const nlohmann::json info = Probe(out);
  ASSERT_TRUE(info.contains("streams"));
  ASSERT_EQ(info["streams"].size(), 2u);
  EXPECT_EQ(info["streams"][1]["codec_name"], c.videoCodec);
  const double inputEnd = StreamSpan(in, "v:0").end;
  const double rangeEnd = std::min<double>(c.end, inputEnd);
  constexpr double kVideoFrame = 0.04, kAudioFrame = 1152.0 / 44100;
  const Span video = StreamSpan(out, "v:0");
  const Span audio = StreamSpan(out, "a:0");
  const double audioEnd = std::min<double>(c.end, StreamSpan(in, "a:0").end);
  // The range's start is the output's time 0, in every container (AVI stores no
  // timestamps, so sound and pictures must both start there).
  EXPECT_NEAR(video.first, 0.0, kVideoFrame / 2);
  EXPECT_NEAR(video.end, rangeEnd - c.start, kVideoFrame + 0.001);
  // Every picture of the range, at 25 frames per second.
  EXPECT_NEAR(static_cast<double>(video.packets), (rangeEnd - c.start) * 25, 1.0);
  EXPECT_NEAR(audio.first, 0.0, kAudioFrame);
  EXPECT_NEAR(audio.end, audioEnd - c.start, kAudioFrame);
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
}

INSTANTIATE_TEST_SUITE_P(Trim, TrimRanges, ::testing::ValuesIn(kTrims),
                         [](const auto &info) { return std::string(info.param.name); });

std::string UnknownExtension() {
  return MakeFixture("h264_aac_trim.unknownext", "-i " + Quote(fx::H264Aac10s()) + " -c copy -f mp4");
}
std::string H264Aac() { return fx::H264Aac10s(); }

struct RefusalCase {
  const char *name;
  std::string (*input)();
  int32_t start;
  int32_t end;
  int32_t status;
};

const RefusalCase kRefusals[] = {
    {"EndBeforeStart", H264Aac, 5, 2, MPG_BAD_PARAMETER},
    {"EmptyRange", H264Aac, 3, 3, MPG_BAD_PARAMETER},
    {"NegativeStart", H264Aac, -1, 3, MPG_BAD_PARAMETER},
    {"UnknownExtension", UnknownExtension, 2, 5, AVERROR_MUXER_NOT_FOUND},
    {"NoAudio", fx::H264Video10s, 2, 5, MPG_AUDIO_STREAM_NOT_FOUND},
    {"NoVideo", fx::AacAudio10s, 2, 5, MPG_VIDEO_STREAM_NOT_FOUND},
    // The seek fails at seconds 12, 11 and 10 and falls back to 9: the trim goes on
    // from there, finds no picture of the range and says the input ended.
    {"RangePastTheEndAfterSeekFallback", H264Aac, 12, 15, AVERROR_EOF},
};

class TrimRefusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(TrimRefusals, FailsWithItsCodeAndLeavesNoOutput) {
  const RefusalCase &c = GetParam();
  const std::string in = c.input();
  const std::string out = Out("trimmed.mp4");
  EXPECT_EQ(MPG_SaveTrimmedVideo(in.c_str(), out.c_str(), c.start, c.end), c.status);
  EXPECT_FALSE(FileExists(out));
}

INSTANTIATE_TEST_SUITE_P(Trim, TrimRefusals, ::testing::ValuesIn(kRefusals),
                         [](const auto &info) { return std::string(info.param.name); });

// A trim that fails on its input never opens the output: what stood there stays.
TEST(Trim, FailureBeforeTheOutputIsOpenedLeavesAnExistingFileUntouched) {
  const std::string out = Out("kept.mp4");
  WriteBytes(out, "an earlier file");
  EXPECT_EQ(MPG_SaveTrimmedVideo(fx::H264Video10s().c_str(), out.c_str(), 2, 5), MPG_AUDIO_STREAM_NOT_FOUND);
  EXPECT_EQ(ReadBytes(out), "an earlier file");
}

TEST(Trim, OutputNamingTheInputIsRefusedAndTheInputKept) {
  const std::string in = Out("input.mp4");
  WriteBytes(in, ReadBytes(fx::H264Aac10s()));
  const std::string before = ReadBytes(in);
  EXPECT_EQ(MPG_SaveTrimmedVideo(in.c_str(), in.c_str(), 2, 5), MPG_SAME_FILE);
  EXPECT_EQ(ReadBytes(in), before);
}

}  // namespace

// MPG_Crop: the output's container follows the input's name, every packet of the
// audio and video stream survives with its timestamps (the timeline moved to start
// at 0, as the ffmpeg tool's copies do), other streams are dropped,
// and the refusals (no audio, unknown name, a missing input, output naming the
// input) leave whatever stood at the output path untouched and log the crop's
// diagnostics.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/av_ptr.h"
#include "support/media.h"

using namespace mpgtest;

namespace {

const std::string kExact = " -fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1 ";
const std::string kSources =
    "-f lavfi -i testsrc2=size=320x240:rate=25:duration=4 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=4 ";

std::string H264AacTs() {
  return MakeFixture("h264_aac_4s.ts", kSources + "-ac 2" + kExact + "-c:v libx264 -preset ultrafast -g 25 "
                                                  "-pix_fmt yuv420p -c:a aac -b:a 96k");
}
std::string H264AacFlv() {
  return MakeFixture("h264_aac_4s.flv", kSources + "-ac 2" + kExact + "-c:v libx264 -preset ultrafast -g 25 "
                                                   "-pix_fmt yuv420p -c:a aac -b:a 96k -ar 44100");
}
// Two audio streams (the second with the higher bit rate, so it is the one chosen)
// and a subtitle stream beside the video.
std::string FourStreamsMkv() {
  return MakeFixture("four_streams_4s.mkv",
                     kSources + "-f lavfi -i sine=frequency=880:sample_rate=44100:duration=4 "
                                "-f lavfi -i color=c=black:size=16x16:duration=4 "
                                "-map 0:v -map 1:a -map 2:a -map 3:v" + kExact +
                         "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p "
                         "-c:a:0 libopus -b:a:0 48k -c:a:1 aac -b:a:1 160k -ac 2");
}

// pts and size of every packet of one stream, as ffprobe lists them, the pts less
// startSeconds.
std::vector<std::string> PacketList(const std::string &path, const std::string &selector, double startSeconds = 0) {
  std::vector<std::string> list;
  for (const auto &p : ProbePackets(path, selector)) {
    std::string pts = p.value("pts_time", "?");
    if (startSeconds != 0 && pts != "?") {
      char moved[32];
      std::snprintf(moved, sizeof moved, "%.6f", std::stod(pts) - startSeconds);
      pts = moved;
    }
    list.push_back(pts + "/" + p.value("size", "?"));
  }
  return list;
}

// The format's start time in seconds, 0 when ffprobe states none.
double StartSeconds(const std::string &path) {
  const nlohmann::json info = Probe(path);
  const std::string start = info["format"].value("start_time", "0");
  return std::stod(start);
}

struct CropCase {
  const char *name;
  std::string (*input)();
  const char *formatName;
  // Matroska moves Opus by its codec delay on a remux (the video with it), so the
  // judge there is the ffmpeg tool's own remux of the same file.
  bool judgeByToolRemux;
};

const CropCase kCropCases[] = {
    {"Mp4", fx::H264Aac10s, "mov,mp4,m4a,3gp,3g2,mj2", false},
    {"Webm", fx::Vp9Opus5s, "matroska,webm", true},
    {"Avi", fx::Mpeg4Mp3Avi5s, "avi", false},
    {"MpegTs", H264AacTs, "mpegts", false},
    {"Flv", H264AacFlv, "flv", false},
};

class CropContainers : public ::testing::TestWithParam<CropCase> {};

TEST_P(CropContainers, KeepsInputContainerAndEveryPacketWithItsTimestamps) {
  const CropCase &c = GetParam();
  const std::string in = c.input();
  // The output's own extension says nothing: the input's name chooses the muxer.
  const std::string out = Out("cropped.out");
  ASSERT_EQ(MPG_Crop(in.c_str(), out.c_str()), 0);

  const nlohmann::json info = Probe(out);
  ASSERT_TRUE(info.contains("streams"));
  EXPECT_EQ(info["format"]["format_name"], c.formatName);
  EXPECT_EQ(info["streams"].size(), 2u);
  // The input's timeline moved to 0 (MPEG-TS starts at 1.4 s).
  std::string judge = in;
  double judgeStart = StartSeconds(in);
  if (c.judgeByToolRemux) {
    const std::string ext = in.substr(in.rfind('.'));
    judge = MakeFixture(std::string("remux_of_") + c.name + ext, "-i " + Quote(in) + " -map 0:v:0 -map 0:a:0 -c copy");
    judgeStart = 0;
  }
  for (const char *selector : {"v:0", "a:0"}) {
    const auto expected = PacketList(judge, selector, judgeStart);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(PacketList(out, selector), expected) << selector;
  }
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
}

INSTANTIATE_TEST_SUITE_P(Crop, CropContainers, ::testing::ValuesIn(kCropCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Crop, DropsFurtherStreamsAndCopiesTheAudioItsParametersDescribe) {
  const std::string in = FourStreamsMkv();
  const std::string out = Out("cropped.mkv");
  ASSERT_EQ(MPG_Crop(in.c_str(), out.c_str()), 0);
  const nlohmann::json info = Probe(out);
  ASSERT_EQ(info["streams"].size(), 2u);
  // The 160 kbit/s AAC stream is the one chosen; its packets, and only they, are
  // written under its parameters.
  std::string audioCodec;
  for (const auto &s : info["streams"]) {
    if (s["codec_type"] == "audio") audioCodec = s["codec_name"];
  }
  EXPECT_EQ(audioCodec, "aac");
  EXPECT_EQ(PacketList(out, "a:0"), PacketList(in, "a:1"));
  EXPECT_EQ(PacketList(out, "v:0"), PacketList(in, "v:0"));
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
}

// The diagnostics go through av_log; the test (as a host may) listens to them.
std::vector<std::string> *capturedLog = nullptr;
void CaptureLog(void *, int level, const char *fmt, va_list args) {
  if (!capturedLog || level > AV_LOG_ERROR) return;
  char line[512];
  std::vsnprintf(line, sizeof line, fmt, args);
  capturedLog->push_back(line);
}

struct RefusalCase {
  const char *name;
  std::string (*input)();
  int32_t status;
  const char *logLine;  // null: none expected
};

std::string MissingFile() { return Out("missing.mp4"); }
std::string UnknownExtension() { return MakeFixture("h264_aac.unknownext", "-i " + Quote(fx::H264Aac10s()) + " -c copy -f mp4"); }

const RefusalCase kRefusals[] = {
    {"NoAudio", fx::H264Video10s, MPG_AUDIO_STREAM_NOT_FOUND, "Cannot find a video stream in the input file\n"},
    {"NoVideo", fx::AacAudio10s, MPG_VIDEO_STREAM_NOT_FOUND, "Cannot find a video stream in the input file\n"},
    // A song's cover picture is no video to carry.
    {"CoverPictureOnly", fx::Mp3WithCover5s, MPG_VIDEO_STREAM_NOT_FOUND,
     "Cannot find a video stream in the input file\n"},
    {"MissingInput", MissingFile, AVERROR(ENOENT), "Cannot open input file\n"},
    {"NotMedia", fx::TextFile, AVERROR_MUXER_NOT_FOUND, nullptr},
    {"UnknownExtension", UnknownExtension, AVERROR_MUXER_NOT_FOUND, nullptr},
};

class CropRefusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(CropRefusals, FailsWithItsCodeAndLeavesTheOutputPathUntouched) {
  const RefusalCase &c = GetParam();
  const std::string in = c.input();
  const std::string out = Out("cropped.mp4");
  const std::string older = "an older file at the output path";
  WriteBytes(out, older);
  std::vector<std::string> log;
  capturedLog = &log;
  av_log_set_callback(CaptureLog);
  const int32_t st = MPG_Crop(in.c_str(), out.c_str());
  av_log_set_callback(av_log_default_callback);
  capturedLog = nullptr;
  EXPECT_EQ(st, c.status);
  // Every refusal comes before the output is opened.
  EXPECT_EQ(ReadBytes(out), older);
  if (c.logLine) {
    EXPECT_NE(std::find(log.begin(), log.end(), c.logLine), log.end());
  }
}

INSTANTIATE_TEST_SUITE_P(Crop, CropRefusals, ::testing::ValuesIn(kRefusals),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Crop, OutputNamingTheInputIsRefusedAndTheInputKept) {
  const std::string in = Out("input.mp4");
  WriteBytes(in, ReadBytes(fx::H264Aac10s()));
  const std::string before = ReadBytes(in);
  const std::string sameByOtherSpelling = OutputDir() + "/./input.mp4";
  EXPECT_EQ(MPG_Crop(in.c_str(), sameByOtherSpelling.c_str()), MPG_SAME_FILE);
  EXPECT_EQ(ReadBytes(in), before);
}

TEST(Crop, NullPathsAreRefused) {
  const std::string in = fx::H264Aac10s();
  EXPECT_EQ(MPG_Crop(nullptr, Out("x.mp4").c_str()), MPG_BAD_PARAMETER);
  EXPECT_EQ(MPG_Crop(in.c_str(), ""), MPG_BAD_PARAMETER);
}

}  // namespace

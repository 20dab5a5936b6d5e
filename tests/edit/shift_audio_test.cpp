// MPG_ShiftAudio: every audio packet moves by the shift, measured by ffprobe on the
// time bases the containers give audio; video keeps its times; progress only grows,
// never passes the scale and ends with it; a stop finishes the file without a last
// report; a refusal leaves the output path untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/av_ptr.h"
#include "support/media.h"

using namespace mpgtest;

namespace {

const std::string kExact = " -fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1 ";
const std::string kVideo = "-f lavfi -i testsrc2=size=320x240:rate=25:duration=4 ";
const std::string kH264 = " -c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p ";

// MP4 counts AAC in samples: 1/44100 and 1/48000; Matroska in milliseconds.
std::string Mp4Audio44100() {
  return MakeFixture("h264_aac44k_4s.mp4", kVideo + "-f lavfi -i sine=sample_rate=44100:duration=4 -ac 2" + kExact +
                                               kH264 + "-c:a aac -b:a 96k");
}
std::string Mp4Audio48000() {
  return MakeFixture("h264_aac48k_4s.mp4", kVideo + "-f lavfi -i sine=sample_rate=48000:duration=4 -ac 2" + kExact +
                                               kH264 + "-c:a aac -b:a 96k");
}
std::string MkvAudioMs() {
  return MakeFixture("h264_aac_4s.mkv", kVideo + "-f lavfi -i sine=sample_rate=48000:duration=4 -ac 2" + kExact +
                                            kH264 + "-c:a aac -b:a 96k");
}
// MPEG-TS timestamps start at 1.4 s, past the stream length's share of them.
std::string MpegTs() {
  return MakeFixture("h264_aac_shift_4s.ts", kVideo + "-f lavfi -i sine=sample_rate=48000:duration=4 -ac 2" + kExact +
                                                 kH264 + "-c:a aac -b:a 96k");
}

struct Times {
  std::vector<int64_t> pts;
  std::string timeBase;
};

Times PacketTimes(const std::string &path, const std::string &selector) {
  Times t;
  for (const auto &p : ProbePackets(path, selector)) t.pts.push_back(p.value("pts", int64_t{0}));
  const nlohmann::json info = Probe(path);
  for (const auto &s : info["streams"]) {
    if (s["codec_type"] == (selector == "a:0" ? "audio" : "video")) t.timeBase = s["time_base"];
  }
  return t;
}

// A count of ticks of one 1/n time base in another's, rounded down.
int64_t TicksIn(int64_t ticks, const std::string &from, const std::string &to) {
  return ticks * std::stoll(to.substr(2)) / std::stoll(from.substr(2));
}

struct ShiftCase {
  const char *name;
  std::string (*input)();
  int32_t shiftMs;
  const char *timeBase;  // of the output audio stream
  int64_t ticks;         // the shift in its ticks
};

const ShiftCase kShifts[] = {
    {"Zero44100", Mp4Audio44100, 0, "1/44100", 0},
    {"Delay500At44100", Mp4Audio44100, 500, "1/44100", 22050},
    {"AdvanceOneMsAt48000", Mp4Audio48000, -1, "1/48000", -48},
    {"Delay500At48000", Mp4Audio48000, 500, "1/48000", 24000},
    {"Delay500AtMs", MkvAudioMs, 500, "1/1000", 500},
    {"AdvanceOneMsAtMs", MkvAudioMs, -1, "1/1000", -1},
};

class ShiftAmounts : public ::testing::TestWithParam<ShiftCase> {};

TEST_P(ShiftAmounts, MovesEveryAudioPacketByTheShiftAndNoVideoPacket) {
  const ShiftCase &c = GetParam();
  const std::string in = c.input();
  const std::string out = Out("shifted.out");
  ASSERT_EQ(MPG_ShiftAudio(in.c_str(), out.c_str(), c.shiftMs, nullptr, 0), 0);

  const Times audioIn = PacketTimes(in, "a:0"), audioOut = PacketTimes(out, "a:0");
  ASSERT_EQ(audioOut.timeBase, c.timeBase);
  ASSERT_EQ(audioIn.timeBase, c.timeBase);
  ASSERT_EQ(audioOut.pts.size(), audioIn.pts.size());
  const Times videoIn = PacketTimes(in, "v:0"), videoOut = PacketTimes(out, "v:0");
  ASSERT_EQ(videoOut.pts.size(), videoIn.pts.size());
  // A muxer may move the whole file so that no timestamp is negative; the distance
  // between the streams is what the shift sets.
  const int64_t fileShift = videoOut.pts.empty() ? 0 : videoOut.pts[0] - videoIn.pts[0];
  for (size_t i = 0; i < videoIn.pts.size(); ++i) EXPECT_EQ(videoOut.pts[i] - videoIn.pts[i], fileShift) << i;
  // Every audio packet moves by one amount: the shift, plus the file's own move.
  const int64_t delta = audioOut.pts[0] - audioIn.pts[0];
  for (size_t i = 0; i < audioIn.pts.size(); ++i) EXPECT_EQ(audioOut.pts[i] - audioIn.pts[i], delta) << i;
  const int64_t fileShiftInAudioTicks = TicksIn(fileShift, videoIn.timeBase, c.timeBase);
  // MP4 places a delayed track by an edit list counted in whole milliseconds.
  const int64_t ticksPerMs = std::stoll(std::string(c.timeBase).substr(2)) / 1000;
  EXPECT_NEAR(static_cast<double>(delta - fileShiftInAudioTicks), static_cast<double>(c.ticks),
              static_cast<double>(ticksPerMs));
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
}

INSTANTIATE_TEST_SUITE_P(Shift, ShiftAmounts, ::testing::ValuesIn(kShifts),
                         [](const auto &info) { return std::string(info.param.name); });

struct ProgressCase {
  const char *name;
  std::string (*input)();
  int32_t scale;
};

const ProgressCase kProgress[] = {
    {"Mp4Percent", Mp4Audio48000, 100},
    {"Mp4Permille", Mp4Audio48000, 1000},
    {"MpegTsStartingLate", MpegTs, 100},
    {"MatroskaWithoutStreamLength", MkvAudioMs, 100},
};

class ShiftProgress : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(ShiftProgress, ValuesGrowStayWithinTheScaleAndEndWithIt) {
  const ProgressCase &c = GetParam();
  const std::string in = c.input();
  MPG_SetPercent100(c.scale);
  ProgressLog log;
  const int32_t st = MPG_ShiftAudio(in.c_str(), Out("shifted.out").c_str(), 200, ProgressLog::Callback, log.User());
  MPG_SetPercent100(100);
  ASSERT_EQ(st, 0);
  ASSERT_GE(log.values.size(), 3u);
  EXPECT_EQ(log.values.back(), c.scale);
  for (size_t i = 0; i + 1 < log.values.size(); ++i) {
    EXPECT_LT(log.values[i], log.values[i + 1]) << i;
    EXPECT_GT(log.values[i], 0);
  }
  for (uintptr_t user : log.users) EXPECT_EQ(user, log.User());
}

INSTANTIATE_TEST_SUITE_P(Shift, ShiftProgress, ::testing::ValuesIn(kProgress),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Shift, StopAtFirstReportLeavesFinishedFileAndSucceeds) {
  const std::string in = Mp4Audio48000();
  const std::string out = Out("stopped.mp4");
  ProgressLog log;
  log.stopAtValue = 1;
  ASSERT_EQ(MPG_ShiftAudio(in.c_str(), out.c_str(), 100, ProgressLog::Callback, log.User()), 0);
  // The stop was the last word: no report follows it.
  ASSERT_EQ(log.values.size(), 1u);
  EXPECT_LT(log.values.back(), 100);
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
  EXPECT_LT(ProbePackets(out, "v:0").size(), ProbePackets(in, "v:0").size());
}

std::string MissingFile() { return Out("missing.mp4"); }

struct RefusalCase {
  const char *name;
  std::string (*input)();
  int32_t status;
};

const RefusalCase kRefusals[] = {
    {"NoAudio", fx::H264Video10s, MPG_AUDIO_STREAM_NOT_FOUND},
    {"NoVideo", fx::AacAudio10s, MPG_VIDEO_STREAM_NOT_FOUND},
    // A song's cover picture is no video to shift the sound against.
    {"CoverPictureOnly", fx::Mp3WithCover5s, MPG_VIDEO_STREAM_NOT_FOUND},
    {"MissingInput", MissingFile, AVERROR(ENOENT)},
};

class ShiftRefusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ShiftRefusals, FailsWithItsCodeAndLeavesTheOutputPathUntouched) {
  const RefusalCase &c = GetParam();
  const std::string out = Out("shifted.mp4");
  const std::string older = "an older file at the output path";
  WriteBytes(out, older);
  EXPECT_EQ(MPG_ShiftAudio(c.input().c_str(), out.c_str(), 10, nullptr, 0), c.status);
  EXPECT_EQ(ReadBytes(out), older);
}

INSTANTIATE_TEST_SUITE_P(Shift, ShiftRefusals, ::testing::ValuesIn(kRefusals),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Shift, OutputNamingTheInputIsRefusedAndTheInputKept) {
  const std::string in = Out("input.mp4");
  WriteBytes(in, ReadBytes(Mp4Audio48000()));
  const std::string before = ReadBytes(in);
  EXPECT_EQ(MPG_ShiftAudio(in.c_str(), in.c_str(), 10, nullptr, 0), MPG_SAME_FILE);
  EXPECT_EQ(ReadBytes(in), before);
}

}  // namespace

// MPG_Crop, MPG_ShiftAudio and MPG_SaveTrimmedVideo in one table. A copy (crop,
// shift) carries every packet of the video and of the chosen audio with its size,
// the timeline moved to 0 and the audio moved by the shift; a trim carries the
// pictures and sound of its range from time 0. Both keep the input's container
// (whatever the output's name) and decode cleanly. A refusal leaves the file the
// user had at the output path as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <string>
#include <vector>

#include "core/av_ptr.h"
#include "support/media.h"

using namespace mpgtest;

namespace {

const std::string kExact = " -fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1 ";
const std::string kH264 = " -c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p ";
std::string Sources(int seconds, int rate) {
  const std::string d = std::to_string(seconds);
  return "-f lavfi -i testsrc2=size=320x240:rate=25:duration=" + d + " -f lavfi -i sine=sample_rate=" +
         std::to_string(rate) + ":duration=" + d + " -ac 2" + kExact;
}
std::string AvFixture(const std::string &name, int rate, const std::string &codecs, int seconds = 4) {
  return MakeFixture(name, Sources(seconds, rate) + codecs);
}
// MPEG-TS timestamps start at 1.4 s; MP4 counts AAC in samples, Matroska and FLV in ms.
std::string Ts() { return AvFixture("h264_aac_4s.ts", 48000, kH264 + "-c:a aac -b:a 96k"); }
std::string Flv() { return AvFixture("h264_aac_4s.flv", 44100, kH264 + "-c:a aac -b:a 96k"); }
std::string Mp4At44100() { return AvFixture("h264_aac44k_4s.mp4", 44100, kH264 + "-c:a aac -b:a 96k"); }
std::string Mkv() { return AvFixture("h264_aac_4s.mkv", 48000, kH264 + "-c:a aac -b:a 96k"); }
// Pictures leave the decoder in another order than their packets.
std::string BFrames() {
  return AvFixture("h264_bframes_6s.mp4", 48000, "-c:v libx264 -preset veryfast -bf 3 -g 25 -c:a aac", 6);
}
// Opus beside AAC of a higher rate (the audio chosen) and a second, tiny video.
std::string FourStreams() {
  return MakeFixture("four_streams_4s.mkv", Sources(4, 48000) +
                                                "-f lavfi -i sine=sample_rate=44100:duration=4 -f lavfi -i "
                                                "color=c=black:size=16x16:duration=4 -map 0:v -map 1:a -map 2:a -map 3:v" +
                                                kH264 + "-c:a:0 libopus -b:a:0 48k -c:a:1 aac -b:a:1 160k");
}
std::string UnknownName() { return MakeFixture("h264_aac.unknownext", "-i " + Quote(fx::H264Aac10s()) + " -c copy -f mp4"); }

enum Job { kCrop, kTrim, kShift };
struct EditCase {
  const char *name;
  Job job;
  std::string (*input)();
  int32_t a = 0, b = 0;      // trim: start and end seconds; shift: milliseconds
  int32_t status = MPG_OK;
  const char *text = "";     // trim: the video codec written; a crop's refusal: its log line
  const char *inAudio = "a:0";  // the input's audio stream the copy carries
  int32_t scale = 100;       // shift: the progress scale
  int stopAt = 0;            // shift: the progress report answered with stop
};

const EditCase kCases[] = {
    {"CropMp4", kCrop, fx::H264Aac10s},
    {"CropAvi", kCrop, fx::Mpeg4Mp3Avi5s},
    {"CropMpegTs", kCrop, Ts},
    {"CropFlv", kCrop, Flv},
    {"CropBestOfTwoAudioStreams", kCrop, FourStreams, 0, 0, MPG_OK, "", "a:1"},
    {"ShiftLaterAt44100PerMille", kShift, Mp4At44100, 500, 0, MPG_OK, "", "a:0", 1000},
    {"ShiftEarlierAt48000", kShift, fx::H264Aac10s, -1},
    {"ShiftLaterInMsWithoutStreamLength", kShift, Mkv, 500},
    {"ShiftMpegTsStartingLate", kShift, Ts, 200},
    {"ShiftStopped", kShift, fx::H264Aac10s, 100, 0, MPG_OK, "", "a:0", 100, 1},
    {"TrimBFrames", kTrim, BFrames, 2, 5, MPG_OK, "h264"},
    {"TrimBFramesPastTheEnd", kTrim, BFrames, 4, 30, MPG_OK, "h264"},
    {"TrimAvi", kTrim, fx::Mpeg4Mp3Avi5s, 1, 3, MPG_OK, "mpeg4"},
    {"TrimMpegTsFromTheStart", kTrim, Ts, 0, 2, MPG_OK, "h264"},
    {"CropNoAudio", kCrop, fx::H264Video10s, 0, 0, MPG_AUDIO_STREAM_NOT_FOUND,
     "Cannot find a video stream in the input file\n"},
    {"CropCoverPictureOnly", kCrop, fx::Mp3WithCover5s, 0, 0, MPG_VIDEO_STREAM_NOT_FOUND,
     "Cannot find a video stream in the input file\n"},
    {"CropUnknownName", kCrop, UnknownName, 0, 0, AVERROR_MUXER_NOT_FOUND},
    {"ShiftNoVideo", kShift, fx::AacAudio10s, 10, 0, MPG_VIDEO_STREAM_NOT_FOUND},
    {"TrimEndBeforeStart", kTrim, fx::H264Aac10s, 5, 2, MPG_BAD_PARAMETER},
    {"TrimEndAtStart", kTrim, fx::H264Aac10s, 3, 3, MPG_BAD_PARAMETER},
    {"TrimNegativeStart", kTrim, fx::H264Aac10s, -1, 3, MPG_BAD_PARAMETER},
    {"TrimNoAudio", kTrim, fx::H264Video10s, 2, 5, MPG_AUDIO_STREAM_NOT_FOUND},
    {"TrimNoVideo", kTrim, fx::AacAudio10s, 2, 5, MPG_VIDEO_STREAM_NOT_FOUND},
    {"TrimUnknownName", kTrim, UnknownName, 2, 5, AVERROR_MUXER_NOT_FOUND},
    {"TrimRangePastTheEnd", kTrim, fx::H264Aac10s, 12, 15, AVERROR_EOF},
};

// The crop's diagnostics go through av_log; the test listens to them as a host may.
std::vector<std::string> logLines;
void CaptureLog(void *, int level, const char *fmt, va_list args) {
  char line[512];
  std::vsnprintf(line, sizeof line, fmt, args);
  if (level <= AV_LOG_ERROR) logLines.push_back(line);
}

double Pts(const nlohmann::json &packet) { return std::stod(packet.value("pts_time", "nan")); }
double End(const nlohmann::json &packets) {
  double end = 0;
  for (const auto &p : packets) end = std::max(end, Pts(p) + std::stod(p.value("duration_time", "0")));
  return end;
}

// Every packet of the copy against the input's: same sizes, each stream moved by one
// amount (a muxer may move the whole file a little, as Matroska does for Opus).
void ExpectCopy(const EditCase &c, const std::string &in, const std::string &out) {
  const double inStart = std::stod(Probe(in)["format"].value("start_time", "0"));
  double videoMove = 0;
  for (const std::string sel : {"v:0", "a:0"}) {
    const auto from = ProbePackets(in, sel == "v:0" ? sel : c.inAudio), to = ProbePackets(out, sel);
    ASSERT_FALSE(to.empty()) << sel;
    EXPECT_EQ(to.size() < from.size(), c.stopAt > 0) << sel;
    EXPECT_LE(to.size(), from.size()) << sel;
    const double move = Pts(to[0]) - Pts(from[0]) + inStart;
    if (sel == "v:0") videoMove = move;
    EXPECT_NEAR(move - videoMove, c.job == kShift && sel == "a:0" ? c.a / 1000.0 : 0, 0.0011) << sel;
    EXPECT_NEAR(videoMove, 0, 0.01);
    for (size_t i = 0; i < std::min(to.size(), from.size()); ++i) {
      EXPECT_NEAR(Pts(to[i]) - Pts(from[i]) + inStart, move, 2e-6) << sel << " " << i;
      EXPECT_EQ(to[i].value("size", ""), from[i].value("size", "")) << sel << " " << i;
    }
  }
}

// The range's pictures at 25 fps and its sound, both from time 0 (AVI stores no
// timestamps: both must start there), within a frame.
void ExpectTrim(const EditCase &c, const std::string &in, const std::string &out) {
  const auto video = ProbePackets(out, "v:0"), audio = ProbePackets(out, "a:0");
  ASSERT_FALSE(video.empty() || audio.empty());
  EXPECT_EQ(Probe(out)["streams"][1].value("codec_name", ""), c.text);
  const double videoEnd = std::min<double>(c.b, End(ProbePackets(in, "v:0")) - std::stod(Probe(in)["format"].value("start_time", "0"))) - c.a;
  const double audioEnd = std::min<double>(c.b, End(ProbePackets(in, "a:0"))) - c.a;
  // A muxer may move the whole file by the encoder's delay (MPEG-TS: 2 frames).
  EXPECT_NEAR(Pts(video[0]), 0, 0.081);
  EXPECT_NEAR(Pts(audio[0]), Pts(video[0]), 0.027);
  EXPECT_NEAR(End(video) - Pts(video[0]), videoEnd, 0.041);
  EXPECT_NEAR(static_cast<double>(video.size()), videoEnd * 25, 1.0);
  EXPECT_NEAR(End(audio) - Pts(video[0]), audioEnd, 0.027);
}

void ExpectProgress(const EditCase &c, const ProgressLog &log) {
  ASSERT_FALSE(log.values.empty());
  for (uintptr_t user : log.users) EXPECT_EQ(user, reinterpret_cast<uintptr_t>(&log));
  if (c.stopAt) {
    // At most the scale may follow the stop.
    EXPECT_LT(log.values[0], c.scale);
    EXPECT_TRUE(log.values.size() == 1 || (log.values.size() == 2 && log.values[1] == c.scale));
    return;
  }
  EXPECT_GE(log.values.size(), 3u);
  EXPECT_GT(log.values.front(), 0);
  EXPECT_EQ(log.values.back(), c.scale);
  for (size_t i = 0; i + 1 < log.values.size(); ++i) EXPECT_LT(log.values[i], log.values[i + 1]) << i;
}

class EditTable : public ::testing::TestWithParam<EditCase> {};

TEST_P(EditTable, OutputJudgedByFfprobeOrRefusalLeavesTheOutputPath) {
  const EditCase &c = GetParam();
  const std::string in = c.input();
  // The output's own name says nothing: the input's chooses the container.
  const std::string out = Out("edited.out"), older = "a file the user had here";
  WriteBytes(out, older);
  ProgressLog log;
  log.stopAtValue = c.stopAt;
  MPG_SetPercent100(c.scale);
  logLines.clear();
  av_log_set_callback(CaptureLog);
  const int32_t st = c.job == kCrop   ? MPG_Crop(in.c_str(), out.c_str())
                     : c.job == kTrim ? MPG_SaveTrimmedVideo(in.c_str(), out.c_str(), c.a, c.b)
                                      : MPG_ShiftAudio(in.c_str(), out.c_str(), c.a, ProgressLog::Callback, log.User());
  av_log_set_callback(av_log_default_callback);
  MPG_SetPercent100(100);
  ASSERT_EQ(st, c.status);
  if (st != MPG_OK) {
    // Only a range past the end fails after the output was opened: that file goes.
    EXPECT_EQ(FileExists(out) ? ReadBytes(out) : "", st == AVERROR_EOF ? "" : older);
    EXPECT_TRUE(!*c.text || std::find(logLines.begin(), logLines.end(), c.text) != logLines.end()) << c.text;
    return;
  }
  const nlohmann::json info = Probe(out);
  EXPECT_EQ(info["format"]["format_name"], Probe(in)["format"]["format_name"]);
  EXPECT_EQ(info["streams"].size(), 2u);
  if (c.job == kTrim) ExpectTrim(c, in, out);
  else ExpectCopy(c, in, out);
  if (c.job == kShift) ExpectProgress(c, log);
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
}

INSTANTIATE_TEST_SUITE_P(Edit, EditTable, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace

// The editing exports, judged by ffprobe and a full decode. MPG_Crop and MPG_ShiftAudio
// copy every packet of the video and the chosen audio, the timeline moved to 0 and the
// audio by the shift; MPG_SaveTrimmedVideo keeps the pictures and sound of its range
// from 0; all keep the input's container; a refusal leaves the user's file in place.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <filesystem>

#include "core/av_ptr.h"
#include "platform/platform.h"
#include "support/media.h"

using namespace mpgtest;

namespace {

const std::string kAvcAac = " -c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac -ac 2 ";
std::string Av(const std::string &name, int seconds, const std::string &args, const std::string &size = "320x240") {
  const std::string d = std::to_string(seconds);
  return MakeFixture(name, "-f lavfi -i testsrc2=rate=25:size=" + size + ":duration=" + d + " -f lavfi -i sine=duration=" +
                               d + " " + args + " -fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1");
}
// MPEG-TS timestamps start at 1.4 s.
std::string Ts() { return Av("avc_aac_4s.ts", 4, kAvcAac); }
std::string BFrames() { return Av("avc_bframes_6s.mp4", 6, "-c:v libx264 -preset veryfast -bf 3 -g 25 -c:a aac"); }
// Opus beside AAC of a higher rate (the audio a copy chooses) and a second, tiny video.
std::string FourStreams() {
  return Av("four_streams_4s.mkv", 4, "-f lavfi -i sine=duration=4 -f lavfi -i color=size=16x16:duration=4 -map 0:v "
                                      "-map 1:a -map 2:a -map 3:v" + kAvcAac + "-c:a:0 libopus -b:a:0 48k -b:a:1 160k");
}
std::string UnknownName() { return MakeFixture("avc_aac.unknownext", "-i " + Quote(fx::H264Aac10s()) + " -c copy -f mp4"); }

enum Job { kCrop, kTrim, kShift };
struct EditCase {
  const char *name;
  Job job;
  std::string (*input)();
  int32_t a = 0, b = 0;         // trim: start and end seconds; shift: milliseconds
  int32_t status = MPG_OK;
  const char *text = "";        // trim: the video codec written; a crop's refusal: what it logs
  const char *inAudio = "a:0";  // the input's audio stream a copy carries
  int32_t scale = 100;          // shift: the progress scale
  int stopAt = 0;               // shift: the progress report answered with a stop
};
const EditCase kEdits[] = {
    {"CropMp4", kCrop, fx::H264Aac10s},
    {"CropAvi", kCrop, fx::Mpeg4Mp3Avi5s},
    {"CropBestOfTwoAudioStreams", kCrop, FourStreams, 0, 0, MPG_OK, "", "a:1"},
    // MP4 counts this AAC in 1/44100 s, Matroska in ms.
    {"ShiftLaterAt44100PerMille", kShift, [] { return Av("avc_aac44k_4s.mp4", 4, kAvcAac); }, 500, 0, MPG_OK, "", "a:0", 1000},
    {"ShiftEarlierAt48000", kShift, fx::H264Aac10s, -1},
    {"ShiftLaterInMsWithoutStreamLength", kShift, [] { return Av("avc_aac_4s.mkv", 4, kAvcAac); }, 500},
    {"ShiftMpegTsStartingLate", kShift, Ts, 200},
    {"ShiftStopped", kShift, fx::H264Aac10s, 100, 0, MPG_OK, "", "a:0", 100, 1},
    {"TrimBFrames", kTrim, BFrames, 2, 5, MPG_OK, "h264"},
    {"TrimBFramesPastTheEnd", kTrim, BFrames, 4, 30, MPG_OK, "h264"},
    {"TrimAvi", kTrim, fx::Mpeg4Mp3Avi5s, 1, 3, MPG_OK, "mpeg4"},
    {"TrimMpegTsFromTheStart", kTrim, Ts, 0, 2, MPG_OK, "h264"},
    {"CropNoAudio", kCrop, fx::H264Video10s, 0, 0, MPG_AUDIO_STREAM_NOT_FOUND, "Cannot find a video stream"},
    {"CropCoverPictureOnly", kCrop, fx::Mp3WithCover5s, 0, 0, MPG_VIDEO_STREAM_NOT_FOUND, "Cannot find a video stream"},
    {"TrimEndBeforeStart", kTrim, fx::H264Aac10s, 5, 2, MPG_BAD_PARAMETER},
    {"TrimEndAtStart", kTrim, fx::H264Aac10s, 3, 3, MPG_BAD_PARAMETER},
    {"TrimNegativeStart", kTrim, fx::H264Aac10s, -1, 3, MPG_BAD_PARAMETER},
    {"TrimNoAudio", kTrim, fx::H264Video10s, 2, 5, MPG_AUDIO_STREAM_NOT_FOUND},
    {"TrimUnknownName", kTrim, UnknownName, 2, 5, AVERROR_EXIT},
    {"TrimRangePastTheEnd", kTrim, fx::H264Aac10s, 12, 15, AVERROR_EOF},
};

std::string logged;  // what a job tells the host through av_log
void CaptureLog(void *, int level, const char *fmt, va_list args) {
  char line[512];
  if (level <= AV_LOG_ERROR && std::vsnprintf(line, sizeof line, fmt, args) > 0) logged += line;
}
// The one stream a selector picks.
Track Stream(const std::string &path, const std::string &selector) {
  const Packets p = ReadPackets(path, selector);
  return p.streams.empty() ? Track{} : p.streams.begin()->second;
}

class EditTable : public ::testing::TestWithParam<EditCase> {};

TEST_P(EditTable, OutputJudgedByFfprobeOrRefusalLeavesTheOutputPath) {
  const EditCase &c = GetParam();
  const std::string in = c.input(), out = Out("edited.out"), older = "the user's file";
  WriteBytes(out, older);
  ProgressLog log{{}, {}, {}, c.stopAt};
  MPG_SetPercent100(c.scale);
  logged.clear();
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
    EXPECT_NE(logged.find(c.text), std::string::npos) << logged;
    return;
  }
  const nlohmann::json info = Probe(out);
  EXPECT_EQ(info["format"]["format_name"], Probe(in)["format"]["format_name"]);
  EXPECT_EQ(info["streams"].size(), 2u);
  EXPECT_TRUE(DecodesCleanly(out));
  const double inStart = std::stod(Probe(in)["format"].value("start_time", "0"));
  const Track video = Stream(out, "v:0"), audio = Stream(out, "a:0");
  ASSERT_TRUE(video.count && audio.count);
  if (c.job == kTrim) {
    // The range's pictures at 25 fps and its sound, from 0 within a frame (AVI keeps no
    // timestamps: both start there) but for a muxer's move of the file (MPEG-TS: 2 frames).
    EXPECT_EQ(info["streams"][1].value("codec_name", ""), c.text);
    const double first = video.starts[0], length = std::min<double>(c.b, Stream(in, "v:0").end - inStart) - c.a;
    EXPECT_NEAR(first, 0, 0.081);
    EXPECT_NEAR(first, std::stod(info["format"].value("start_time", "0")), 0.02);
    EXPECT_NEAR(audio.starts[0], first, 0.027);
    EXPECT_NEAR(video.end - first, length, 0.041);
    EXPECT_NEAR(video.count, length * 25, 1.0);
    EXPECT_NEAR(audio.end - first, std::min<double>(c.b, Stream(in, "a:0").end - inStart) - c.a, 0.027);
    return;
  }
  // Each stream's packets keep their sizes and move by one amount: the video by the
  // input's start (a muxer may add a little), the audio besides by the shift.
  double videoMove = 0;
  for (const Track *to : {&video, &audio}) {
    const Track from = Stream(in, to == &video ? "v:0" : c.inAudio);
    ASSERT_TRUE(c.stopAt ? to->count < from.count : to->count == from.count) << to->type;
    const double move = to->starts[0] - from.starts[0] + inStart;
    videoMove = to == &video ? move : videoMove;
    EXPECT_NEAR(videoMove, 0, 0.01);
    EXPECT_NEAR(move - videoMove, c.job == kShift && to == &audio ? c.a / 1000.0 : 0, 0.0011) << to->type;
    for (int i = 0; i < to->count; ++i) {
      EXPECT_NEAR(to->starts[i] - from.starts[i] + inStart, move, 2e-6) << to->type << " " << i;
      EXPECT_EQ(to->sizes[i], from.sizes[i]) << to->type << " " << i;
    }
  }
  if (c.job == kCrop) return;
  // Values grow from above 0 to the scale, which also follows a stop, once.
  ASSERT_TRUE(c.stopAt ? log.values.size() == size_t(c.stopAt) + 1 : log.values.size() >= 3) << log.values.size();
  EXPECT_GT(log.values[0], 0);
  EXPECT_EQ(log.values.back(), c.scale);
  for (size_t i = 0; i + 1 < log.values.size(); ++i) EXPECT_LT(log.values[i], log.values[i + 1]) << i;
}

INSTANTIATE_TEST_SUITE_P(Edit, EditTable, ::testing::ValuesIn(kEdits),
                         [](const auto &info) { return std::string(info.param.name); });

// FLV_FixDuration: a new head states the media's length and the file's size and keeps
// the streams and metadata; the media tags stay byte for byte; a head of the old one's
// length is written into the file itself, another makes a new file; a failure changes
// nothing, or leaves the whole new head when only its flush failed.

// Where the number after a metadata key lies (AMF0: length, key, type 0, double).
size_t AmfAt(const std::string &bytes, const std::string &key) {
  return bytes.find(std::string(1, '\0') + static_cast<char>(key.size()) + key + std::string(1, '\0')) + key.size() + 3;
}
double AmfNumber(const std::string &bytes, const std::string &key) {
  uint64_t bits = 0;
  for (size_t i = 0, at = AmfAt(bytes, key); i < 8 && at + 8 <= bytes.size(); ++i) bits = bits << 8 | uint8_t(bytes[at + i]);
  return std::bit_cast<double>(bits);
}
std::string PatchDuration(std::string bytes, int from, const std::string &with) {
  return bytes.replace(AmfAt(bytes, "duration") + from, with.size(), with);
}
std::string Flv(const char *name, int seconds, const std::string &args) { return ReadBytes(Av(name, seconds, args, "160x120")); }
// The packets as ffprobe lists them but for their places; start: the first one's.
nlohmann::json TagPackets(const std::string &path, uint64_t &start) {
  nlohmann::json packets = ProbePackets(path);
  start = UINT64_MAX;
  for (auto &p : packets) start = std::min<uint64_t>(start, std::stoull(p.value("pos", "0"))), p.erase("pos");
  return packets;
}

// A joined download: a part of 3 s, cut off, then the tags of one going on from 3 s.
std::string Joined() {
  const std::string two = Av("part2.flv", 4, kAvcAac + "-t 3.5 -output_ts_offset 3", "160x120");
  uint64_t start = 0;
  TagPackets(two, start);
  return Flv("part1_3s.flv", 3, kAvcAac + "-flvflags no_sequence_end") + ReadBytes(two).substr(start);
}
// Sorenson H.263 and MP3 (no codec set-up tags), the audio first, the duration unnamed.
std::string Flv1Mp3() { return PatchDuration(Flv("flv1_mp3.flv", 4, "-map 1:a -map 0:v -c:v flv1 -c:a mp3"), -2, "X"); }
std::string Indexed() { return Flv("indexed_4s.flv", 4, kAvcAac + "-metadata title=Indexed -flvflags add_keyframe_index"); }
std::string AacStating1s() { return PatchDuration(Flv("aac_4s.flv", 4, "-map 1:a -c:a aac"), 0, std::string("\x3F\xF0\0\0\0\0\0\0", 8)); }
std::string AvcOnly() { return Flv("avc_3s.flv", 3, "-map 0:v" + kAvcAac); }
// At 5 pictures a second with B-frames, the picture that ends the video is decoded
// three pictures before the last, and the sound ends before both.
std::string BFramesEndLast() {
  return ReadBytes(MakeFixture("avc_bframes_5fps.flv", "-f lavfi -i testsrc2=rate=5:size=160x120:duration=8.6 -f lavfi "
                   "-i sine=duration=7.9 -c:v libx264 -preset veryfast -bf 3 -g 50 -pix_fmt yuv420p -c:a aac -ac 2 "
                   "-fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1"));
}
std::string RealFlv(const std::string &name) {
  const std::string path = std::string(MPG_SOURCE_DIR) + "/../shared/media/realworld/" + name;
  return FileExists(path) ? ReadBytes(path) : "";
}

struct FlvCase {
  const char *name;
  std::string (*bytes)();
  bool inPlace = false;  // the new head is as long as the old one
  int32_t status = MPG_OK;
};
const FlvCase kRepairs[] = {
    {"Joined", Joined, true},
    {"AudioFirstWithoutDuration", Flv1Mp3},  // the misnamed key stays beside the new one
    {"KeyframeIndexDropped", Indexed},
    {"AudioOnlyStale", AacStating1s, true},
    {"BFramesEndLast", BFramesEndLast, true},
    // Heads another muxer wrote, with keys of its own.
    {"RealH264Aac", [] { return RealFlv("ax_sample.flv"); }},
    {"RealVp6fMp3", [] { return RealFlv("me_grampa_laughing_vp6.flv"); }},
    {"VideoOnly", AvcOnly, false, MPG_AUDIO_STREAM_NOT_FOUND},
    {"NotFlv", [] { return ReadBytes(fx::H264Aac10s()); }, false, AVERROR_INVALIDDATA},
    {"CutInsideHead", [] { return Joined().substr(0, 300); }, false, AVERROR_EOF},
};

class FlvTable : public ::testing::TestWithParam<FlvCase> {};

TEST_P(FlvTable, HeadStatesLengthAndSizeMediaTagsStayFailuresChangeNothing) {
  const FlvCase &c = GetParam();
  const std::string path = Out("file.flv"), link = Out("link.flv"), before = c.bytes();
  if (before.empty()) GTEST_SKIP() << "../shared/media/realworld is absent";
  WriteBytes(path, before);
  std::filesystem::create_hard_link(path, link);
  WriteBytes(path + ".tmp", "the user's notes");
  std::filesystem::create_directory(path + ".part");
  const auto expectNoTemporaryFile = [&] {
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(OutputDir()), {}), 4);
    EXPECT_EQ(ReadBytes(path + ".tmp"), "the user's notes");
  };
  uint64_t oldStart = 0, newStart = 0;
  const nlohmann::json packets = c.status ? nlohmann::json() : TagPackets(path, oldStart);
  const nlohmann::json title = c.status ? nlohmann::json() : Probe(path)["format"]["tags"]["title"];
  ASSERT_EQ(FLV_FixDuration(path.c_str()), c.status);
  const std::string after = ReadBytes(path);
  expectNoTemporaryFile();
  if (c.status != MPG_OK) {
    EXPECT_TRUE(after == before) << "a failed repair changed the file";
    return;
  }
  // In place, the file's other name sees the new head; a new file leaves it the old one.
  EXPECT_TRUE(ReadBytes(link) == (c.inPlace ? after : before));
  ASSERT_EQ(TagPackets(path, newStart), packets);
  EXPECT_TRUE(after.substr(newStart) == before.substr(oldStart)) << "media tags changed";
  EXPECT_NEAR(ProbeDuration(path), std::max(Stream(path, "v").end, Stream(path, "a").end), 0.05);
  EXPECT_EQ(AmfNumber(after, "filesize"), static_cast<double>(after.size()));
  EXPECT_EQ(Probe(path)["format"]["tags"]["title"], title);  // KeyframeIndexDropped has one
  ASSERT_EQ(FLV_FixDuration(path.c_str()), MPG_OK);
  EXPECT_TRUE(ReadBytes(path) == after) << "a second repair changed the head";

  // Cut off inside a tag header, the tail no longer leads back through the tags: every
  // tag is read, and the same tags state the same duration.
  WriteBytes(path, before + std::string("\x09\x00\x01\x00", 4));
  ASSERT_EQ(FLV_FixDuration(path.c_str()), MPG_OK);
  EXPECT_EQ(AmfNumber(ReadBytes(path), "duration"), AmfNumber(after, "duration"));

  // Each platform file step failing in turn, until none is left to fail: the file is as
  // it was, or holds the whole new head when only its flush or close failed.
  for (int n = 1;; ++n) {
    ASSERT_LE(n, 8) << "a repair that never succeeds";
    WriteBytes(path, before);
    mpg::platform::FailNthFileOperation(n);
    const int32_t st = FLV_FixDuration(path.c_str());
    mpg::platform::FailNthFileOperation(0);
    const std::string now = ReadBytes(path);
    EXPECT_TRUE(now == before || now == after) << "step " << n;
    if (st == MPG_OK) break;
    EXPECT_EQ(st, AVERROR(EIO)) << "step " << n;
  }
  expectNoTemporaryFile();
}

INSTANTIATE_TEST_SUITE_P(Flv, FlvTable, ::testing::ValuesIn(kRepairs),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace

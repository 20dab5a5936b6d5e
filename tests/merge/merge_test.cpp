// The merges judged by ffprobe and a full decode: MergeOP/OP2/MergeAV pairs, MPG_Merge lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>

#include "core/input.h"
#include "merge/merge_job.h"
#include "support/media.h"

#include <libavutil/error.h>

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"  // rows leave unused columns at 0

using namespace mpgtest;

namespace {

const std::string kExact = " -fflags +bitexact -flags:a +bitexact -flags:v +bitexact -threads 1 ";
const std::string kPictures = "-f lavfi -i testsrc2=size=176x144:rate=15:duration=2";
const std::string kVideo = "-f lavfi -i testsrc2=size=320x240:rate=25:duration=";
const std::string kSine = "-f lavfi -i sine=frequency=440:sample_rate=";
const std::string kNoise = "-f lavfi -i anoisesrc=r=48000:a=0.3:d=4:seed=2" + kExact + "-ac 2 -c:a ";
const std::string kMp4 = "mov,mp4,m4a,3gp,3g2,mj2";

std::string H263Video2s() { return MakeFixture("h263_2s.3gp", kPictures + kExact + "-c:v h263"); }
std::string TheoraVideo2s() { return MakeFixture("theora_2s.ogv", kPictures + kExact + "-c:v libtheora"); }
std::string AmrNbAudio2s() {
  return MakeFixture("amrnb_2s.3gp", kSine + "8000:duration=2" + kExact + "-ac 1 -c:a libopencore_amrnb");
}
// B-frames: a video longer than the audio is cut in decoding order where the audio ends.
std::string H264BFrames3s() {
  return MakeFixture("h264_bframes_3s.mp4", kVideo + "3" + kExact + "-c:v libx264 -preset veryfast -bf 2 -g 25");
}
// As a broadcast recorder writes it: timestamps start at 1.4 s.
std::string Mpeg2Ts4s() { return MakeFixture("mpeg2_4s.ts", kVideo + "4" + kExact + "-c:v mpeg2video -q:v 4 -g 12"); }
// A first audio stream with no stated rate (FLAC, stereo, 48 kHz) beside a richer
// second one (AC-3, 192k, mono, 44.1 kHz): the richer one is re-encoded.
std::string FlacThenAc3() {
  return MakeFixture("flac_then_ac3.mka", kSine + "48000:duration=4 " + kSine + "44100:duration=4 -map 0 -map 1" +
                                              kExact + "-c:a:0 flac -ac:a:0 2 -c:a:1 ac3 -ac:a:1 1 -b:a:1 192k");
}
// Noise keeps AAC near its target rate. AC-3 states 96k; live Matroska states none.
std::string NoiseAc3At96k() { return MakeFixture("noise_96k.ac3", kNoise + "ac3 -b:a 96k"); }
std::string NoiseFlacNoRate() { return MakeFixture("noise_flac_live.mka", kNoise + "flac -f matroska -live 1"); }
// An MP4 cut right after its head: it lists frames its body no longer holds.
std::string HeadOnlyMp4() {
  const std::string bytes =
      ReadBytes(MakeFixture("h264_faststart.mp4", kPictures + kExact + "-c:v libx264 -movflags +faststart"));
  WriteBytes(Out("head_only.mp4"), bytes.substr(0, bytes.find("mdat") + 4));
  return Out("head_only.mp4");
}

// Statuses of the choice and the merge; MergeOp2Result's mode and kind, MergeOpResult's
// mode; the extension and the output's codecs; for a re-encode the AAC's sample rate,
// channels and bit rate (0 unchecked) and the shorter input's length; whether a failure
// comes after opening the output (which then goes).
struct AvRow {
  const char *name;
  std::string (*video)(), (*audio)();
  int32_t choice, merge;
  uint32_t mode, kind, oldMode;
  const char *ext, *videoCodec, *audioCodec;
  int rate, channels, aacRate;
  double seconds;
  bool opensOutput;
};

const AvRow kAvRows[] = {
    {"H264_Aac", fx::H264Video10s, fx::AacAudio10s, 0, 0, 0, 0, 0, "mp4", "h264", "aac"},
    {"Vp9_Opus", fx::Vp9Video5s, fx::OpusAudio5s, 0, 0, 0, 3, 0, "webm", "vp9", "opus"},
    {"Av1_Opus", fx::Av1Video3s, fx::OpusAudio5s, 0, 0, 0, 3, 0, "webm", "av1", "opus"},
    {"Vp9_Aac", fx::Vp9Video5s, fx::AacAudio10s, 0, 0, 0, 1, 0, "avi", "vp9", "aac"},
    // The older record asks for a re-encode of Opus beside H.264; the merge copies.
    {"H264_Opus", fx::H264Video10s, fx::OpusAudio5s, 0, 0, 0, 0, 1, "mp4", "h264", "opus"},
    // MP4 holds no H.263 or Theora: copied into AVI, or Matroska beside AMR or Opus.
    {"H263_Aac", H263Video2s, fx::AacAudio10s, 0, 0, 0, 1, 0, "avi", "h263", "aac"},
    {"H263_Amr", H263Video2s, AmrNbAudio2s, 0, 0, 0, 4, 0, "mkv", "h263", "amr_nb"},
    {"Theora_Opus", TheoraVideo2s, fx::OpusAudio5s, 0, 0, 0, 4, 0, "mkv", "theora", "opus"},
    {"H264_Flac", fx::H264Video10s, fx::FlacAudio5s, 0, 0, 1, 0, 1, "mp4", "h264", "aac", 48000, 2, 0, 5.0},
    {"Vp9_Ac3", fx::Vp9Video5s, fx::Ac3Audio5s, 0, 0, 1, 0, 1, "mp4", "vp9", "aac", 48000, 2, 0, 5.0},
    {"Mpeg4_Mp3", fx::Mpeg4Video5s, fx::Mp3Audio5s, 0, 0, 1, 0, 1, "mp4", "mpeg4", "aac", 48000, 2, 0, 5.0},
    {"BFrames_Amr", H264BFrames3s, AmrNbAudio2s, 0, 0, 1, 0, 1, "mp4", "h264", "aac", 8000, 1, 0, 2.0},
    {"LateTs_Flac", Mpeg2Ts4s, fx::FlacAudio5s, 0, 0, 1, 0, 1, "mp4", "mpeg2video", "aac", 48000, 2, 0, 4.0},
    {"RicherSecondAudio", H264BFrames3s, FlacThenAc3, 0, 0, 1, 0, 1, "mp4", "h264", "aac", 44100, 1, 0, 3.0},
    {"StatedRate", H264BFrames3s, NoiseAc3At96k, 0, 0, 1, 0, 1, "mp4", "h264", "aac", 48000, 2, 96000, 3.0},
    {"NoRateGives128k", H264BFrames3s, NoiseFlacNoRate, 0, 0, 1, 0, 1, "mp4", "h264", "aac", 48000, 2, 128000, 3.0},
    {"NoAudio", fx::H264Video10s, fx::H264Video10s, MPG_AUDIO_CODEC_NOT_FOUND, MPG_AUDIO_CODEC_NOT_FOUND},
    {"NoVideo", fx::AacAudio10s, fx::AacAudio10s, MPG_VIDEO_CODEC_NOT_FOUND, MPG_VIDEO_CODEC_NOT_FOUND},
    // A song's cover picture counts for the choice but is no video to copy.
    {"CoverBesideAac", fx::Mp3WithCover5s, fx::AacAudio10s, 0, MPG_VIDEO_STREAM_NOT_FOUND, 0, 0, 0, "mp4"},
    {"NoVideoPacket", HeadOnlyMp4, fx::AacAudio10s, 0, MPG_VIDEO_STREAM_NOT_FOUND, 0, 0, 0, "mp4", "", "", 0, 0, 0, 0,
     true},
};

// Every report is scaled: the last is the scale.
class MergeTable : public ::testing::TestWithParam<AvRow> {
  void SetUp() override { MPG_SetPercent100(1000); }
  void TearDown() override { MPG_SetPercent100(100); }
};

TEST_P(MergeTable, ChoosesTheContainerAndMergesIntoIt) {
  const AvRow &r = GetParam();
  const std::string video = r.video(), audio = r.audio(), out = Out("merged.bin"), earlier = "an earlier download";
  MergeOp2Result op2;
  std::memset(&op2, 0x55, sizeof op2);
  const MergeOp2Result untouched = op2;
  MergeOpResult op{9, 9};
  ASSERT_EQ(MPG_MergeOP2(video.c_str(), audio.c_str(), &op2), r.choice);
  ASSERT_EQ(MPG_MergeOP(video.c_str(), audio.c_str(), &op), r.choice);
  EXPECT_TRUE(r.choice == MPG_OK || (std::memcmp(&op2, &untouched, sizeof op2) == 0 && op.mode == 9));
  if (r.choice == MPG_OK) {
    const uint32_t oldKind = r.kind == 3 ? 2 : r.kind;  // the older record numbers WebM 2
    EXPECT_EQ(std::tuple(op2.mode, op2.kind, op.mode, op.kind), std::tuple(r.mode, r.kind, r.oldMode, oldKind));
    EXPECT_EQ(std::string(op2.extension) + "/" + op2.altExtension,
              std::string(r.ext) + "/" + (r.kind == 3 ? "mkv" : r.ext));
  }
  ProgressLog log;
  if (r.merge != MPG_OK) {  // what stood at the output is kept, unless the call opened it: then it goes
    WriteBytes(out, earlier);
    EXPECT_EQ(MPG_MergeAV(video.c_str(), audio.c_str(), out.c_str(), nullptr, 0), r.merge);
    EXPECT_EQ(FileExists(out) ? ReadBytes(out) : "removed", r.opensOutput ? "removed" : earlier);
    return;
  }
  ASSERT_EQ(MPG_MergeAV(video.c_str(), audio.c_str(), out.c_str(), ProgressLog::Callback, log.User()), MPG_OK);
  const nlohmann::json info = Probe(out);
  ASSERT_EQ(info["streams"].size(), 2u) << info.dump();
  EXPECT_EQ(info["format"]["format_name"], r.ext == std::string("mp4") ? kMp4 : r.kind == 1 ? "avi" : "matroska,webm");
  EXPECT_EQ(info["streams"][0]["codec_name"], r.videoCodec);
  EXPECT_EQ(info["streams"][1]["codec_name"], r.audioCodec);
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
  Packets p = ReadPackets(out);
  const Track v = p.streams[0], a = p.streams[1];
  EXPECT_EQ(v.nonRising + a.nonRising, 0);
  EXPECT_LT(p.worstLate, 1.0) << "streams not interleaved by time";
  // Both start at 0 (AAC's priming before it: 1024 samples, 0.13 s at 8 kHz).
  EXPECT_TRUE(std::abs(v.first) < 0.05 && std::abs(a.first) < 0.15) << v.first << " " << a.first;
  if (r.mode == 0) {  // both copied whole
    const Track iv = ReadPackets(video).Of("video"), ia = ReadPackets(audio).Of("audio");
    EXPECT_EQ(std::pair(v.count, a.count), std::pair(iv.count, ia.count));
    EXPECT_NEAR(v.end - v.first, iv.end - iv.first, 0.1);
    EXPECT_NEAR(a.end - a.first, ia.end - ia.first, 0.1);
  } else {  // both end where the shorter input ends
    EXPECT_EQ(info["streams"][1]["sample_rate"], std::to_string(r.rate));
    EXPECT_EQ(info["streams"][1]["channels"], r.channels);
    EXPECT_NEAR(v.end, r.seconds + 0.08, 0.1);  // B-frames: pictures decoded before the end show after it
    EXPECT_TRUE(v.end < a.end || (v.lastDts < a.end && v.lastDts > a.end - 0.041)) << "not cut by dts";
    EXPECT_NEAR(a.end, r.seconds, 0.08);
    EXPECT_TRUE(log.texts.empty());  // the first-dts reports belong to the copy path
    const double rate = std::stod(info["streams"][1]["bit_rate"].get<std::string>());
    EXPECT_NEAR(rate, r.aacRate ? r.aacRate : rate, r.aacRate / 10);
  }
  ASSERT_FALSE(log.values.empty());
  EXPECT_TRUE(std::is_sorted(log.values.begin(), log.values.end()));
  EXPECT_GT(log.values.front(), 0);
  EXPECT_LE(*std::max_element(log.values.begin(), log.values.end()), 1000);
  EXPECT_EQ(log.values.back(), 1000);
  EXPECT_EQ(std::count(log.users.begin(), log.users.end(), log.User()), std::ssize(log.users));
}

INSTANTIATE_TEST_SUITE_P(Merge, MergeTable, ::testing::ValuesIn(kAvRows),
                         [](const auto &info) { return std::string(info.param.name); });

// A stop at the first report ends either path with a finished, playable file; a full disk
// ends it with the write error. The copy path reports AAC's priming.
TEST(MergeEdges, StopAndWriteFailureOnBothPaths) {
  for (const auto &[audio, maxSeconds] : {std::pair{fx::AacAudio10s(), 5.0}, std::pair{fx::FlacAudio5s(), 2.0}}) {
    const std::string video = fx::H264Video10s(), out = Out("stopped.mp4");
    ProgressLog log;
    log.stopAtValue = 1;
    ASSERT_EQ(MPG_MergeAV(video.c_str(), audio.c_str(), out.c_str(), ProgressLog::Callback, log.User()), MPG_OK);
    EXPECT_EQ(log.values.size(), 1u) << audio;
    EXPECT_EQ(log.texts, std::vector<std::string>(maxSeconds > 2, "audio.first_dts=-1024 time=-0.0213333"));
    EXPECT_EQ(Probe(out)["streams"].size(), 2u);
    EXPECT_LT(ProbeDuration(out), maxSeconds);
    EXPECT_TRUE(DecodesCleanly(out));
    EXPECT_EQ(MPG_MergeAV(video.c_str(), audio.c_str(), "/dev/full", nullptr, 0), AVERROR(ENOSPC)) << audio;
  }
}

// Inputs shorter than a second have no length to count by: the final report alone.
TEST(MergeEdges, UnmeasurableLengthSendsTheFinalReportAlone) {
  const std::string video = MakeFixture("h264_0.8s.mp4", kVideo + "0.8" + kExact + "-c:v libx264 -preset ultrafast");
  const std::string audio = MakeFixture("aac_0.8s.m4a", kSine + "48000:duration=0.8" + kExact + "-c:a aac");
  ProgressLog log;
  ASSERT_EQ(MPG_MergeAV(video.c_str(), audio.c_str(), Out("short.mp4").c_str(), ProgressLog::Callback, log.User()), 0);
  EXPECT_EQ(log.values, std::vector<int32_t>{100});
}

// The extension lands in the buffer only when it fits with its NUL.
TEST(MergeEdges, DefExtensionFitsTheBufferOrStaysEmpty) {
  char buf[8] = "xxxxxxx";
  MPG_GetDefExtension(fx::Vp9Opus5s().c_str(), buf, 4);
  EXPECT_EQ(std::string(buf, 5), std::string("\0xxxx", 5));
  MPG_GetDefExtension(fx::Vp9Opus5s().c_str(), buf, 5);
  MPG_GetDefExtension(fx::Vp9Opus5s().c_str(), buf, 0);
  MPG_GetDefExtension(fx::Vp9Opus5s().c_str(), nullptr, 8);
  EXPECT_STREQ(buf, "webm");
}

// 6 s of H.264 + AAC in MPEG-TS starting at 1.4 s, key frames every second.
std::string SourceTs6s() {
  return MakeFixture("h264_aac_6s.ts", kVideo + "6 " + kSine + "48000:duration=6 -ac 2" + kExact +
                                           "-c:v libx264 -preset ultrafast -g 25 -c:a aac -b:a 96k");
}

std::string Ffmpeg(const std::string &args, const std::string &name) {
  std::string log;
  EXPECT_EQ(Run("ffmpeg -nostdin -v error -y " + args + " " + Quote(Out(name)) + " 2>&1", &log), 0) << args << log;
  return Out(name);
}

// The segment a list letter names, made in the test's directory: 0-2 the source's
// three 2 s segments (source timestamps kept, so they continue one another); G
// segment 1 shifted 0.36 s later (a ten-frame gap); C segment 0 with its audio
// stopping at 1.5 s; M missing; J junk; S a SubRip file.
std::string Segment(char code) {
  if (!FileExists(Out("seg0.ts")))
    Ffmpeg("-i " + Quote(SourceTs6s()) + " -map 0 -c copy -f segment -segment_time 2 -reset_timestamps 0", "seg%d.ts");
  const std::string copyts = " -copyts -i " + Quote(Out("seg0.ts"));
  switch (code) {
    case 'G':
      return Ffmpeg("-i " + Quote(Out("seg1.ts")) + " -c copy -copyts -mpegts_copyts 1 -output_ts_offset 0.36", "g.ts");
    case 'C': return Ffmpeg(copyts + " -t 1.5" + copyts + " -map 0:v -map 1:a -c copy -mpegts_copyts 1", "c.ts");
    case 'M': return Out("m.ts");
    case 'J': return WriteBytes(Out("j.ts"), std::string(4096, 'x')), Out("j.ts");
    case 'S': return WriteBytes(Out("s.srt"), "1\n00:00:00,000 --> 00:00:01,000\nHello\n\n"), Out("s.srt");
    default: return Out(std::string("seg") + code + ".ts");
  }
}
bool Media(char code) { return std::string("012GC").find(code) != std::string::npos; }

using Range = std::pair<double, double>;
struct JoinRow {
  const char *name, *list, *output;  // the output's name gives its container: MPEG-TS or MP4
  bool ts;
  bool rebase, deleteSegments;
  int stopAt;  // progress report answered with a stop, 0 none
  int32_t status;
  std::vector<int32_t> progress;
  Range videoStep, audioStep;  // largest dts step of each stream, seconds
};

const Range kFrame{0.039, 0.041}, kAacFrame{0.02, 0.022}, kAny{0, 10};
// A segment moves whole: audio reaching past its video leaves the video a gap, never an overlap.
const Range kJoin{0.039, 0.04 + 2 * 0.0214};
const JoinRow kJoinRows[] = {
    {"InOrderTs", "012", "a.TS", true, false, false, 0, MPG_OK, {33, 66, 100}, kFrame, kAacFrame},
    {"InOrderMp4Deleted", "012", "b.ts.mp4", false, false, true, 0, MPG_OK, {33, 66, 100}, kFrame, kAacFrame},
    {"GapKept", "0G", "seg.ts/c", false, false, false, 0, MPG_OK, {50, 100}, {0.399, 0.401}, kAny},
    {"GapRebased", "0G", "d.m2ts", true, true, false, 0, MPG_OK, {50, 100}, kFrame, kAacFrame},
    {"MissingMiddleRebased", "0M2", "e.MtS", true, true, false, 0, MPG_OK, {33, 66, 100}, kFrame, kAny},
    {"JunkMiddleDeleted", "0J2", "f.M2T", true, false, true, 0, MPG_OK, {33, 66, 100}, {1.95, 2.05}, kAny},
    {"SameSegmentThriceRebasedMp4", "000", "i.", false, true, false, 0, MPG_OK, {33, 66, 100}, kJoin, kAny},
    {"ReversedMp4", "210", "seg.ts\\j", false, false, false, 0, MPG_OK, {33, 66, 100}, kJoin, kAny},
    // The next segment's audio keeps its own timing, in step with its video.
    {"AudioEndsEarly", "C1", "k.ts", true, false, false, 0, MPG_OK, {50, 100}, kFrame, {0.45, 0.55}},
    {"StopAfterFirst", "012", "l.ts", true, false, true, 1, MPG_OK, {33}, kFrame, kAacFrame},
    {"StopAfterPassedOver", "0J2", "m.ts", true, false, true, 2, MPG_OK, {33, 66}, kFrame, kAacFrame},
    {"SubtitlesInTheMiddle", "0S12", "n.ts", true, false, true, 0, MPG_VIDEO_STREAM_NOT_FOUND},
};

int32_t Join(const std::vector<std::string> &segments, const char *out, int32_t del, bool rebase, ProgressLog *log) {
  std::vector<const char *> list;
  for (const auto &s : segments) list.push_back(s.c_str());
  list.push_back(nullptr);
  return MPG_Merge(list.data(), out, del, rebase, log ? ProgressLog::Callback : nullptr, log ? log->User() : 0);
}

class ConcatTable : public ::testing::TestWithParam<JoinRow> {};

TEST_P(ConcatTable, JoinsTheSegmentsIntoOneTimeline) {
  const JoinRow &r = GetParam();
  std::vector<std::string> segments;
  int videoPackets = 0, audioPackets = 0;  // of the segments read before a stop
  for (const char *c = r.list; *c; ++c) {
    segments.push_back(Segment(*c));
    if (!Media(*c) || (r.stopAt && c - r.list >= r.stopAt)) continue;
    Packets in = ReadPackets(segments.back());
    videoPackets += in.streams[0].count, audioPackets += in.streams[1].count;
  }
  const std::string out = Out(r.output);
  mpgtest::Run("mkdir -p " + Quote(out.substr(0, out.rfind('/'))));
  ProgressLog log;
  log.stopAtValue = r.stopAt;
  // Only the low byte of the delete flag counts.
  ASSERT_EQ(Join(segments, out.c_str(), r.deleteSegments ? 0x101 : 0x100, r.rebase, &log), r.status);
  const bool deleted = r.status == MPG_OK && r.deleteSegments && !r.stopAt;
  for (size_t k = 0; k < segments.size(); ++k)
    EXPECT_EQ(FileExists(segments[k]), r.list[k] != 'M' && !(deleted && Media(r.list[k]))) << segments[k];
  if (r.status != MPG_OK) {
    EXPECT_FALSE(FileExists(out));
    return;
  }
  EXPECT_EQ(log.values, r.progress);
  const nlohmann::json info = Probe(out);
  ASSERT_EQ(info["streams"].size(), 2u) << info.dump();
  EXPECT_EQ(info["format"]["format_name"], r.ts ? "mpegts" : kMp4);
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
  Packets p = ReadPackets(out);
  const Track v = p.streams[0], a = p.streams[1];
  EXPECT_EQ(std::pair(v.count, a.count), std::pair(videoPackets, audioPackets));
  EXPECT_NEAR(v.first, 0.0, 0.1);
  EXPECT_EQ(v.nonRising + a.nonRising, 0);
  EXPECT_TRUE(v.maxStep >= r.videoStep.first && v.maxStep <= r.videoStep.second) << v.maxStep;
  EXPECT_TRUE(a.maxStep >= r.audioStep.first && a.maxStep <= r.audioStep.second) << a.maxStep;
}

INSTANTIATE_TEST_SUITE_P(Concat, ConcatTable, ::testing::ValuesIn(kJoinRows),
                         [](const auto &info) { return std::string(info.param.name); });

// Nothing to join or nowhere to write: success and nothing written; a full disk
// ends the join with the write error and keeps every segment.
TEST(MergeEdges, ConcatWithoutWorkOrSpace) {
  const std::string segment = Segment('0'), out = Out("none.ts");
  EXPECT_EQ(Join({}, out.c_str(), 1, false, nullptr) | MPG_Merge(nullptr, out.c_str(), 1, 0, nullptr, 0) |
                Join({segment}, nullptr, 1, false, nullptr),
            MPG_OK);
  EXPECT_FALSE(FileExists(out));
  EXPECT_EQ(Join({segment, Segment('1')}, "/dev/full", 1, false, nullptr), AVERROR(ENOSPC));
  EXPECT_TRUE(FileExists(segment) && FileExists(Segment('1')) && FileExists("/dev/full"));
}

TEST(MergeMeasure, FallsBackToTheSecondInputWhenTheFirstMeasuresZero) {
  mpg::InputFormatPtr video, audio;
  ASSERT_TRUE(mpg::IsOk(mpg::OpenInputFile(fx::H264Video10s().c_str(), video)));
  ASSERT_TRUE(mpg::IsOk(mpg::OpenInputFile(fx::Mp3Audio5s().c_str(), audio)));
  EXPECT_EQ(mpg::MeasureMergeDuration(video.get(), video->streams[0], audio.get(), audio->streams[0]), 10);
  video->streams[0]->time_base.den = 0;
  EXPECT_EQ(mpg::MeasureMergeDuration(video.get(), video->streams[0], audio.get(), audio->streams[0]), 5);
  EXPECT_EQ(mpg::MeasureMergeDuration(nullptr, nullptr, audio.get(), audio->streams[0]), 5);
}

}  // namespace

// MPG_Merge: segments joined with continuous timestamps, the container chosen by
// the output's extension, skipped segments, the rebase of jumps, progress and
// stop, and which files survive success, stop and failure.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "merge/concatenate_segments.h"
#include "realworld/realworld.h"
#include "support/media.h"

using namespace mpgtest;

namespace {

// 6 s of H.264 + AAC in MPEG-TS, key frames every second.
std::string SourceTs6s() {
  return MakeFixture("h264_aac_6s.ts",
                     "-f lavfi -i testsrc2=size=320x240:rate=25:duration=6 "
                     "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=6 -ac 2 "
                     "-fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1 "
                     "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac -b:a 96k");
}

// Three 2 s segments of the source in the test's own directory, keeping the
// source's timestamps, so they continue one another exactly.
std::vector<std::string> ThreeSegments() {
  const std::string pattern = Out("seg%d.ts");
  EXPECT_EQ(Run("ffmpeg -nostdin -v error -y -i " + Quote(SourceTs6s()) +
                " -map 0 -c copy -f segment -segment_time 2 -reset_timestamps 0 " + Quote(pattern) + " 2>&1"),
            0);
  std::vector<std::string> segments;
  for (int i = 0; i < 3; ++i) segments.push_back(Out("seg" + std::to_string(i) + ".ts"));
  for (const auto &s : segments) EXPECT_TRUE(FileExists(s)) << s;
  return segments;
}

// A copy of a segment whose timestamps all lie 0.36 s later: its first video
// packet comes ten frame steps after the previous segment's last one.
std::string ShiftedCopy(const std::string &segment, const std::string &name) {
  const std::string out = Out(name);
  EXPECT_EQ(Run("ffmpeg -nostdin -v error -y -i " + Quote(segment) +
                " -map 0 -c copy -copyts -mpegts_copyts 1 -output_ts_offset 0.36 " + Quote(out) + " 2>&1"),
            0);
  return out;
}

int32_t Concat(const std::vector<std::string> &segments, const std::string &out, bool deleteSegments = false,
               bool rebase = false, ProgressLog *log = nullptr) {
  std::vector<const char *> list;
  for (const auto &s : segments) list.push_back(s.c_str());
  list.push_back(nullptr);
  return MPG_Merge(list.data(), out.c_str(), deleteSegments ? 1 : 0, rebase ? 1 : 0,
                   log ? ProgressLog::Callback : nullptr, log ? log->User() : 0);
}

std::vector<int64_t> Dts(const std::string &path, const std::string &selector) {
  std::vector<int64_t> dts;
  for (const auto &p : ProbePackets(path, selector)) dts.push_back(p["dts"].get<int64_t>());
  return dts;
}

// The largest step between successive dts of a stream, in its time base.
int64_t LargestStep(const std::vector<int64_t> &dts) {
  int64_t largest = 0;
  for (size_t k = 1; k < dts.size(); ++k) largest = std::max(largest, dts[k] - dts[k - 1]);
  return largest;
}

bool StrictlyIncreasing(const std::vector<int64_t> &dts) {
  for (size_t k = 1; k < dts.size(); ++k)
    if (dts[k] <= dts[k - 1]) return false;
  return true;
}

constexpr int64_t kFrameTicks = 3600;  // one 25 fps frame at 90 kHz
constexpr int64_t kAacTicks = 1920;    // one 1024-sample AAC frame at 48 kHz, in 90 kHz ticks

TEST(Concat, ThreeSegmentsJoinWithoutGaps) {
  const auto segments = ThreeSegments();
  const std::string out = Out("joined.ts");
  ProgressLog log;
  ASSERT_EQ(Concat(segments, out, false, false, &log), 0);
  EXPECT_EQ(log.values, (std::vector<int32_t>{33, 66, 100}));
  EXPECT_EQ(Probe(out)["format"]["format_name"], "mpegts");
  const auto video = Dts(out, "v:0");
  const auto audio = Dts(out, "a:0");
  EXPECT_EQ(video.size(), 150u);
  EXPECT_TRUE(StrictlyIncreasing(video));
  EXPECT_TRUE(StrictlyIncreasing(audio));
  EXPECT_LE(LargestStep(video), kFrameTicks);
  EXPECT_LE(LargestStep(audio), kAacTicks);
  EXPECT_EQ(audio.size(), Dts(SourceTs6s(), "a:0").size());
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
}

TEST(Concat, SegmentsJoinIntoMp4ForOtherExtensions) {
  const auto segments = ThreeSegments();
  const std::string out = Out("joined.mp4");
  ASSERT_EQ(Concat(segments, out), 0);
  const nlohmann::json info = Probe(out);
  EXPECT_EQ(info["format"]["format_name"], "mov,mp4,m4a,3gp,3g2,mj2");
  ASSERT_EQ(info["streams"].size(), 2u);
  EXPECT_EQ(info["streams"][0]["codec_type"], "video");
  EXPECT_EQ(info["streams"][1]["codec_type"], "audio");
  EXPECT_NEAR(ProbeDuration(out, 0), 6.0, 0.1);
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
}

TEST(Concat, MissingMiddleSegmentIsSkipped) {
  auto segments = ThreeSegments();
  segments[1] = Out("not-there.ts");
  const std::string out = Out("skipped.ts");
  ProgressLog log;
  ASSERT_EQ(Concat(segments, out, false, true, &log), 0);
  EXPECT_EQ(log.values, (std::vector<int32_t>{33, 66, 100}));
  const auto video = Dts(out, "v:0");
  EXPECT_EQ(video.size(), 100u);
  // The rebase pulls the third segment back onto the first one's end.
  EXPECT_LE(LargestStep(video), kFrameTicks);
}

TEST(Concat, TenFrameGapClosesOnlyWithRebase) {
  auto segments = ThreeSegments();
  segments[1] = ShiftedCopy(segments[1], "gap1.ts");
  segments.pop_back();
  const std::string rebased = Out("rebased.ts");
  const std::string kept = Out("kept.ts");
  ASSERT_EQ(Concat(segments, rebased, false, true), 0);
  ASSERT_EQ(Concat(segments, kept, false, false), 0);
  EXPECT_LE(LargestStep(Dts(rebased, "v:0")), kFrameTicks);
  EXPECT_LE(LargestStep(Dts(rebased, "a:0")), kAacTicks);
  EXPECT_EQ(LargestStep(Dts(kept, "v:0")), 10 * kFrameTicks);
}

struct TimelineCase {
  const char *name;
  std::vector<int> order;  // of the three segments
  const char *extension;
  bool rebase;
};

const TimelineCase kTimelines[] = {
    {"InOrderToMp4", {0, 1, 2}, "mp4", false},
    {"SameSegmentThreeTimesToTs", {0, 0, 0}, "ts", false},
    {"SameSegmentThreeTimesRebasedToMp4", {0, 0, 0}, "mp4", true},
    {"ReversedToMp4", {2, 1, 0}, "mp4", false},
};

class ConcatTimeline : public ::testing::TestWithParam<TimelineCase> {};

// Segments whose timestamps start late (the source starts at 1.4 s) or jump back
// at a join (the same segment again, segments in reverse) give one timeline from
// 0: every packet kept, each segment following the one before, increasing dts.
TEST_P(ConcatTimeline, JumpsBackContinueFromTheEndAndTheOutputStartsAtZero) {
  const TimelineCase &c = GetParam();
  const auto segments = ThreeSegments();
  std::vector<std::string> list;
  for (int k : c.order) list.push_back(segments[static_cast<size_t>(k)]);
  const std::string out = Out(std::string("timeline.") + c.extension);
  ASSERT_EQ(Concat(list, out, false, c.rebase), 0);
  const PacketSpan video = ProbeSpan(out, "v:0");
  EXPECT_EQ(video.count, 150);
  EXPECT_EQ(video.nonIncreasingDts, 0);
  EXPECT_NEAR(video.Span(), 6.0, 0.1);
  EXPECT_NEAR(video.firstPts, 0.0, 0.1);
  EXPECT_EQ(ProbeSpan(out, "a:0").nonIncreasingDts, 0);
  // A segment moves as a whole: where its audio reaches an AAC packet beyond its
  // video at either end, the video gets that much gap at the join, never an overlap.
  EXPECT_LE(LargestStep(Dts(out, "v:0")), kFrameTicks + 2 * kAacTicks);
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
}

INSTANTIATE_TEST_SUITE_P(Concat, ConcatTimeline, ::testing::ValuesIn(kTimelines),
                         [](const auto &info) { return std::string(info.param.name); });

// A copy of a segment whose audio stops `seconds` after its start, the video whole,
// all timestamps kept.
std::string AudioCutCopy(const std::string &segment, const std::string &seconds, const std::string &name) {
  const std::string out = Out(name);
  EXPECT_EQ(Run("ffmpeg -nostdin -v error -y -copyts -i " + Quote(segment) + " -t " + seconds + " -copyts -i " +
                Quote(segment) + " -map 0:v -map 1:a -c copy -mpegts_copyts 1 " + Quote(out) + " 2>&1"),
            0);
  return out;
}

int64_t FirstPts(const std::string &path, const std::string &selector) {
  return ProbePackets(path, selector).front()["pts"].get<int64_t>();
}

// pts + duration of a stream's last packet.
int64_t EndPts(const std::string &path, const std::string &selector) {
  const nlohmann::json last = ProbePackets(path, selector).back();
  return last["pts"].get<int64_t>() + last["duration"].get<int64_t>();
}

struct AlignmentCase {
  const char *name;
  const char *audioSeconds;  // where the first segment's audio stops
};

const AlignmentCase kAlignments[] = {
    {"HalfSecondEarlyAudio", "1.5"},
    {"TinyOffset", "1.97"},
};

class ConcatAlignment : public ::testing::TestWithParam<AlignmentCase> {};

// When the first segment's audio stops before its video, the next segment's audio
// still starts where its own timestamps say, in step with its video: moving it
// to the end of the video would put it out of sync for the whole segment.
TEST_P(ConcatAlignment, NextSegmentsAudioKeepsItsOwnTiming) {
  const AlignmentCase &c = GetParam();
  const auto segments = ThreeSegments();
  const std::string first = AudioCutCopy(segments[0], c.audioSeconds, "cut0.ts");
  const std::string out = Out("aligned.ts");
  ASSERT_EQ(Concat({first, segments[1]}, out), 0);
  // The step the audio takes across the join, unmoved.
  const int64_t ownGap = FirstPts(segments[1], "a:0") - (EndPts(first, "a:0") - kAacTicks);
  EXPECT_NEAR(static_cast<double>(LargestStep(Dts(out, "a:0"))), static_cast<double>(ownGap), 2.0);
  EXPECT_EQ(LargestStep(Dts(out, "v:0")), kFrameTicks);
}

INSTANTIATE_TEST_SUITE_P(Concat, ConcatAlignment, ::testing::ValuesIn(kAlignments),
                         [](const auto &info) { return std::string(info.param.name); });

struct NameCase {
  const char *name;
  const char *relativeOutput;
  const char *formatName;
};

const NameCase kNames[] = {
    {"UpperCaseTs", "out.TS", "mpegts"},
    {"M2ts", "out.m2ts", "mpegts"},
    {"MixedCaseMts", "out.MtS", "mpegts"},
    {"TsThenMp4", "out.ts.mp4", "mov,mp4,m4a,3gp,3g2,mj2"},
    {"DotInFolderName", "seg.ts/out", "mov,mp4,m4a,3gp,3g2,mj2"},
    {"NoExtension", "out", "mov,mp4,m4a,3gp,3g2,mj2"},
};

class ConcatNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(ConcatNames, ContainerFollowsTheFileNamesExtension) {
  const NameCase &c = GetParam();
  const std::string out = Out(c.relativeOutput);
  mpgtest::Run("mkdir -p " + Quote(out.substr(0, out.rfind('/'))));
  ASSERT_EQ(Concat({SourceTs6s()}, out), 0);
  EXPECT_EQ(Probe(out)["format"]["format_name"], c.formatName);
}

INSTANTIATE_TEST_SUITE_P(Concat, ConcatNames, ::testing::ValuesIn(kNames),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Concat, BackslashBeforeTheDotHidesTheExtension) {
  EXPECT_STREQ(mpg::ConcatMuxerName("C:\\dl\\seg.ts\\out"), "mp4");
  EXPECT_STREQ(mpg::ConcatMuxerName("C:\\dl\\out.M2T"), "mpegts");
  EXPECT_STREQ(mpg::ConcatMuxerName("out."), "mp4");
}

TEST(Concat, EmptyListReturnsZeroAndCreatesNothing) {
  const std::string out = Out("empty.ts");
  const char *none[] = {nullptr};
  EXPECT_EQ(MPG_Merge(none, out.c_str(), 1, 0, nullptr, 0), 0);
  EXPECT_EQ(MPG_Merge(nullptr, out.c_str(), 1, 0, nullptr, 0), 0);
  EXPECT_FALSE(FileExists(out));
  const std::string source = SourceTs6s();
  const char *one[] = {source.c_str(), nullptr};
  EXPECT_EQ(MPG_Merge(one, nullptr, 1, 0, nullptr, 0), 0);
  EXPECT_TRUE(FileExists(SourceTs6s()));
}

TEST(Concat, DeleteSegmentsRemovesThemOnceTheOutputIsFinished) {
  const auto segments = ThreeSegments();
  const std::string out = Out("deleted.ts");
  ASSERT_EQ(Concat(segments, out, true), 0);
  for (const auto &s : segments) EXPECT_FALSE(FileExists(s)) << s;
  EXPECT_EQ(Dts(out, "v:0").size(), 150u);
}

TEST(Concat, StopAfterFirstSegmentFinishesTheFileAndKeepsEverySegment) {
  const auto segments = ThreeSegments();
  const std::string out = Out("stopped.ts");
  ProgressLog log;
  log.stopAtValue = 1;
  ASSERT_EQ(Concat(segments, out, true, false, &log), 0);
  EXPECT_EQ(log.values, (std::vector<int32_t>{33}));
  for (const auto &s : segments) EXPECT_TRUE(FileExists(s)) << s;
  EXPECT_EQ(Dts(out, "v:0").size(), 50u);
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
}

// A middle segment with neither video nor audio (a subtitle file) aborts the join:
// the output goes, and every segment stays.
TEST(Concat, FailureDeletesTheOutputAndKeepsEverySegment) {
  auto segments = ThreeSegments();
  const std::string subtitles = Out("cues.srt");
  WriteBytes(subtitles, "1\n00:00:00,000 --> 00:00:01,000\nHello\n\n");
  segments.insert(segments.begin() + 1, subtitles);
  const std::string out = Out("failed.ts");
  EXPECT_EQ(Concat(segments, out, true), MPG_VIDEO_STREAM_NOT_FOUND);
  EXPECT_FALSE(FileExists(out));
  for (const auto &s : segments) EXPECT_TRUE(FileExists(s)) << s;
}

// Data that is no media in the middle is passed over; the segments around it join.
TEST(Concat, UnreadableMiddleSegmentIsPassedOver) {
  auto segments = ThreeSegments();
  const std::string junk = Out("junk.ts");
  WriteBytes(junk, std::string(4096, 'x'));
  segments[1] = junk;
  const std::string out = Out("passed.ts");
  ProgressLog log;
  ASSERT_EQ(Concat(segments, out, true, false, &log), 0);
  EXPECT_EQ(log.values, (std::vector<int32_t>{33, 66, 100}));
  EXPECT_EQ(Dts(out, "v:0").size(), 100u);
  // What could not be read is not thrown away.
  EXPECT_TRUE(FileExists(junk));
  EXPECT_FALSE(FileExists(segments[0]));
}

// A stop answered right after a passed-over segment is still a stop: the file is
// finished with the segments joined so far and the call succeeds.
TEST(Concat, StopAfterAPassedOverSegmentFinishesTheFile) {
  auto segments = ThreeSegments();
  const std::string junk = Out("junk.ts");
  WriteBytes(junk, std::string(4096, 'x'));
  segments[1] = junk;
  const std::string out = Out("stopped_after_junk.ts");
  ProgressLog log;
  log.stopAtValue = 2;
  ASSERT_EQ(Concat(segments, out, true, false, &log), 0);
  EXPECT_EQ(log.values, (std::vector<int32_t>{33, 66}));
  EXPECT_EQ(Dts(out, "v:0").size(), 50u);
  for (const auto &s : segments) EXPECT_TRUE(FileExists(s)) << s;
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
}

TEST(Concat, FirstSegmentWithoutStreamsFailsWithoutOutput) {
  const std::string out = Out("nothing.ts");
  EXPECT_EQ(Concat({fx::TextFile()}, out), MPG_VIDEO_STREAM_NOT_FOUND);
  EXPECT_FALSE(FileExists(out));
  EXPECT_EQ(Concat({Out("missing.ts")}, out), MPG_VIDEO_STREAM_NOT_FOUND);
  EXPECT_FALSE(FileExists(out));
}

TEST(Concat, OutputNamingASegmentIsRefusedAndTheSegmentKept) {
  const auto segments = ThreeSegments();
  const std::string bytes = ReadBytes(segments[2]);
  EXPECT_EQ(Concat(segments, segments[2], true), MPG_SAME_FILE);
  EXPECT_EQ(ReadBytes(segments[2]), bytes);
  for (const auto &s : segments) EXPECT_TRUE(FileExists(s)) << s;
}

// A failure of the last segment leaves what came before as a finished file.
TEST(Concat, FailingLastSegmentStillFinishesTheOutput) {
  auto segments = ThreeSegments();
  segments[2] = fx::TextFile();
  const std::string out = Out("last.ts");
  ASSERT_EQ(Concat(segments, out), 0);
  EXPECT_EQ(Dts(out, "v:0").size(), 100u);
}

}  // namespace

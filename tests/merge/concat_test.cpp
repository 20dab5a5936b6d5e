// MPG_Merge over lists of MPEG-TS segments: one timeline from 0 whatever the
// segments' own timestamps do, every packet of every readable segment kept,
// unreadable ones passed over, progress per segment, stops, and which segments
// survive success, stop and failure.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "merge/packet_stats.h"

using namespace mpgtest;
using mergetest::Packets;
using mergetest::ReadPackets;
using mergetest::Track;

namespace {

// 6 s of H.264 + AAC in MPEG-TS starting at 1.4 s, key frames every second.
std::string SourceTs6s() {
  return MakeFixture("h264_aac_6s.ts",
                     "-f lavfi -i testsrc2=size=320x240:rate=25:duration=6 "
                     "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=6 -ac 2 "
                     "-fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1 "
                     "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac -b:a 96k");
}

std::string Ffmpeg(const std::string &args, const std::string &name) {
  const std::string out = Out(name);
  std::string log;
  EXPECT_EQ(Run("ffmpeg -nostdin -v error -y " + args + " " + Quote(out) + " 2>&1", &log), 0) << args << log;
  return out;
}

// The segment a list letter names, made in the test's directory: 0-2 the source's
// three 2 s segments (source timestamps kept, so they continue one another); G
// segment 1 shifted 0.36 s later (a ten-frame gap); C segment 0 with its audio
// stopping at 1.5 s; M missing; J junk; T a text file; S a SubRip file.
std::string Segment(char code) {
  if (!FileExists(Out("seg0.ts")))
    Ffmpeg("-i " + Quote(SourceTs6s()) + " -map 0 -c copy -f segment -segment_time 2 -reset_timestamps 0",
           "seg%d.ts");
  const std::string copyts = " -copyts -i " + Quote(Out("seg0.ts"));
  switch (code) {
    case 'G': return Ffmpeg("-i " + Quote(Out("seg1.ts")) + " -c copy -copyts -mpegts_copyts 1 -output_ts_offset 0.36", "shifted.ts");
    case 'C': return Ffmpeg(copyts + " -t 1.5" + copyts + " -map 0:v -map 1:a -c copy -mpegts_copyts 1", "cut.ts");
    case 'M': return Out("missing.ts");
    case 'J': return WriteBytes(Out("junk.ts"), std::string(4096, 'x')), Out("junk.ts");
    case 'T': return WriteBytes(Out("text.ts"), "not media\n"), Out("text.ts");
    case 'S': return WriteBytes(Out("cues.srt"), "1\n00:00:00,000 --> 00:00:01,000\nHello\n\n"), Out("cues.srt");
    default: return Out(std::string("seg") + code + ".ts");
  }
}

bool Media(char code) { return std::string("012GC").find(code) != std::string::npos; }

struct Range {
  double lo, hi;
};
struct JoinRow {
  const char *name, *list, *ext;
  bool rebase, deleteSegments;
  int stopAt;  // progress report answered with a stop, 0 none
  int32_t status;
  std::vector<int32_t> progress;
  Range videoStep, audioStep;  // largest dts step of each stream, seconds
};

const Range kFrame{0.039, 0.041}, kAacFrame{0.02, 0.022}, kAny{0, 10};
// A segment moves as a whole: where its audio reaches an AAC frame beyond its video
// at either end, the video gets that much gap at the join, never an overlap.
const Range kJoin{0.039, 0.04 + 2 * 0.0214};

const JoinRow kRows[] = {
    {"InOrderTs", "012", "ts", false, false, 0, MPG_OK, {33, 66, 100}, kFrame, kAacFrame},
    {"InOrderMp4Deleted", "012", "mp4", false, true, 0, MPG_OK, {33, 66, 100}, kFrame, kAacFrame},
    {"GapKept", "0G", "mp4", false, false, 0, MPG_OK, {50, 100}, {0.399, 0.401}, kAny},
    {"GapRebased", "0G", "ts", true, false, 0, MPG_OK, {50, 100}, kFrame, kAacFrame},
    {"MissingMiddleRebased", "0M2", "ts", true, false, 0, MPG_OK, {33, 66, 100}, kFrame, kAny},
    {"JunkMiddleDeleted", "0J2", "ts", false, true, 0, MPG_OK, {33, 66, 100}, {1.99, 2.05}, kAny},
    {"TextLast", "01T", "ts", false, false, 0, MPG_OK, {33, 66, 100}, kFrame, kAacFrame},
    {"SameSegmentThriceTs", "000", "ts", false, false, 0, MPG_OK, {33, 66, 100}, kJoin, kAny},
    {"SameSegmentThriceRebasedMp4", "000", "mp4", true, false, 0, MPG_OK, {33, 66, 100}, kJoin, kAny},
    {"ReversedMp4", "210", "mp4", false, false, 0, MPG_OK, {33, 66, 100}, kJoin, kAny},
    // The next segment's audio keeps its own timing, in step with its video.
    {"AudioEndsEarly", "C1", "ts", false, false, 0, MPG_OK, {50, 100}, kFrame, {0.45, 0.55}},
    {"StopAfterFirst", "012", "ts", false, true, 1, MPG_OK, {33}, kFrame, kAacFrame},
    {"StopAfterPassedOver", "0J2", "ts", false, true, 2, MPG_OK, {33, 66}, kFrame, kAacFrame},
    {"SubtitlesInTheMiddle", "0S12", "ts", false, true, 0, MPG_VIDEO_STREAM_NOT_FOUND, {}, kAny, kAny},
    {"TextFirst", "T", "ts", false, false, 0, MPG_VIDEO_STREAM_NOT_FOUND, {}, kAny, kAny},
    {"MissingFirst", "M", "ts", false, false, 0, MPG_VIDEO_STREAM_NOT_FOUND, {}, kAny, kAny},
};

int32_t Join(const std::vector<std::string> &segments, const char *out, int32_t del, bool rebase, ProgressLog *log) {
  std::vector<const char *> list;
  for (const auto &s : segments) list.push_back(s.c_str());
  list.push_back(nullptr);
  return MPG_Merge(list.data(), out, del, rebase, log ? ProgressLog::Callback : nullptr, log ? log->User() : 0);
}

void PrintTo(const JoinRow &r, std::ostream *os) { *os << r.name; }

class ConcatTable : public ::testing::TestWithParam<JoinRow> {};

TEST_P(ConcatTable, JoinsTheSegmentsIntoOneTimeline) {
  const JoinRow &r = GetParam();
  std::vector<std::string> segments;
  int videoPackets = 0, audioPackets = 0;  // of the segments read before a stop
  for (const char *c = r.list; *c; ++c) {
    segments.push_back(Segment(*c));
    if (!Media(*c) || (r.stopAt && c - r.list >= r.stopAt)) continue;
    Packets in = ReadPackets(segments.back());
    videoPackets += in.tracks[0].count;
    audioPackets += in.tracks[1].count;
  }
  const std::string out = Out(std::string("joined.") + r.ext);
  ProgressLog log;
  log.stopAtValue = r.stopAt;
  // The high byte of the flag does not count.
  ASSERT_EQ(Join(segments, out.c_str(), r.deleteSegments ? 0x101 : 0x100, r.rebase, &log), r.status);
  const bool deleted = r.status == MPG_OK && r.deleteSegments && !r.stopAt;
  for (size_t k = 0; k < segments.size(); ++k)
    EXPECT_EQ(FileExists(segments[k]), (r.list[k] != 'M' && !(deleted && Media(r.list[k])))) << segments[k];
  if (r.status != MPG_OK) {
    EXPECT_FALSE(FileExists(out));
    return;
  }
  EXPECT_EQ(log.values, r.progress);
  const nlohmann::json info = Probe(out);
  ASSERT_EQ(info["streams"].size(), 2u) << info.dump();
  EXPECT_EQ(info["format"]["format_name"], r.ext == std::string("ts") ? "mpegts" : "mov,mp4,m4a,3gp,3g2,mj2");
  EXPECT_EQ(info["streams"][0]["codec_type"], "video");
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
  Packets p = ReadPackets(out);
  const Track v = p.tracks[0], a = p.tracks[1];
  EXPECT_EQ(v.count, videoPackets);
  EXPECT_EQ(a.count, audioPackets);
  EXPECT_NEAR(v.first, 0.0, 0.1);
  EXPECT_EQ(v.nonIncreasing, 0);
  EXPECT_EQ(a.nonIncreasing, 0);
  EXPECT_GE(v.maxStep, r.videoStep.lo);
  EXPECT_LE(v.maxStep, r.videoStep.hi);
  EXPECT_GE(a.maxStep, r.audioStep.lo);
  EXPECT_LE(a.maxStep, r.audioStep.hi);
}

INSTANTIATE_TEST_SUITE_P(Concat, ConcatTable, ::testing::ValuesIn(kRows),
                         [](const auto &info) { return std::string(info.param.name); });

// The container follows the output name's extension, in any case, and nothing else.
TEST(MergeEdges, ConcatContainerFollowsTheExtension) {
  const std::string segment = Segment('0');
  mpgtest::Run("mkdir -p " + Quote(Out("seg.ts")));
  const std::pair<const char *, bool> names[] = {{"a.TS", true},      {"b.m2ts", true},   {"c.MtS", true},
                                                 {"d.M2T", true},     {"e.m4t", true},    {"f.ts.mp4", false},
                                                 {"seg.ts/g", false}, {"seg.ts\\h", false}, {"h.", false}};
  for (const auto &[name, ts] : names) {
    ASSERT_EQ(Join({segment}, Out(name).c_str(), 0, false, nullptr), MPG_OK) << name;
    EXPECT_EQ(Probe(Out(name))["format"]["format_name"], ts ? "mpegts" : "mov,mp4,m4a,3gp,3g2,mj2") << name;
  }
}

// Nothing to join or nowhere to write: success and nothing written; a full disk
// ends the join with the write error and keeps every segment.
TEST(MergeEdges, ConcatWithoutWorkOrSpace) {
  const std::string segment = Segment('0'), out = Out("none.ts");
  EXPECT_EQ(Join({}, out.c_str(), 1, false, nullptr), MPG_OK);
  EXPECT_EQ(MPG_Merge(nullptr, out.c_str(), 1, 0, nullptr, 0), MPG_OK);
  EXPECT_FALSE(FileExists(out));
  EXPECT_EQ(Join({segment}, nullptr, 1, false, nullptr), MPG_OK);
  EXPECT_EQ(Join({segment, Segment('1')}, "/dev/full", 1, false, nullptr), AVERROR(ENOSPC));
  EXPECT_TRUE(FileExists(segment) && FileExists(Segment('1')) && FileExists("/dev/full"));
}

}  // namespace

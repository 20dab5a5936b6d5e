// MPG_Merge over real HLS segment sequences and the timeline faults they carry:
// streams that start at 10 s (an empty lead-in in MP4), a discontinuity where the
// timestamps jump back, a 33-bit timestamp wrap between segments, and one segment
// with B-frames joined three times. Each output is judged against what the ffmpeg
// tool's concat demuxer makes of the same list: every packet of every stream, the
// same spans and A/V offset, increasing dts, a start at 0 and a clean decode.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "realworld/realworld.h"

using namespace mpgtest;

namespace {

// A 6 s H.264 (with B-frames) + AAC source cut into six 1 s MPEG-TS segments, each
// encoded on its own and stamped 95440 + k s: the 90 kHz clock (2^33 ticks,
// 95443.7 s) wraps inside the third segment, so the demuxer reads the first
// segments with negative timestamps and the last ones from 0 up.
std::vector<std::string> WrapSequence() {
  std::vector<std::string> segments;
  for (int k = 0; k < 6; ++k) {
    const std::string n = std::to_string(k);
    segments.push_back(MakeFixture(
        "wrap33_" + n + ".ts",
        "-f lavfi -i testsrc2=size=160x120:rate=25:duration=6 "
        "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=6 "
        "-filter_complex \"[0:v]trim=start=" + n + ":duration=1,setpts=PTS-STARTPTS[v];"
        "[1:a]atrim=start=" + n + ":duration=1,asetpts=PTS-STARTPTS[a]\" -map '[v]' -map '[a]' -ac 2 "
        "-fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1 "
        "-c:v libx264 -preset ultrafast -g 25 -bf 2 -pix_fmt yuv420p -c:a aac -b:a 64k "
        "-output_ts_offset " + std::to_string(95440 + k) + " -f mpegts"));
  }
  return segments;
}

// One real segment with B-frames (two in a row) listed three times: every copy
// starts where the one before started.
std::vector<std::string> BFrameTriple() {
  const std::string segment = Real("hls/sp_hls_text_offset/video-069.ts");
  return {segment, segment, segment};
}

std::vector<std::string> Sequence(const std::string &name) {
  if (name == "wrap33") return WrapSequence();
  if (name == "bframe_triple") return BFrameTriple();
  return RealHlsSegments(name);
}

// What the ffmpeg tool's concat demuxer makes of a list, per stream.
struct Reference {
  PacketSpan video;
  PacketSpan audio;
};

const Reference &FfmpegConcat(const std::string &sequence) {
  static std::map<std::string, Reference> cache;
  auto it = cache.find(sequence);
  if (it != cache.end()) return it->second;
  std::string list;
  for (const auto &s : Sequence(sequence)) list += "file " + Quote(s) + "\n";
  const std::string listPath = Out("ref_list.txt");
  const std::string ref = Out("ref.mp4");
  WriteBytes(listPath, list);
  EXPECT_EQ(Run("ffmpeg -nostdin -v error -y -f concat -safe 0 -i " + Quote(listPath) + " -c copy " + Quote(ref) +
                " 2>&1"),
            0);
  return cache[sequence] = Reference{ProbeSpan(ref, "v:0"), ProbeSpan(ref, "a:0")};
}

struct ConcatCase {
  const char *name;
  const char *sequence;   // an HLS folder, or a made-up sequence above
  const char *extension;  // of the output: "ts" or "mp4"
  bool rebase;
};

const ConcatCase kCases[] = {
    // Video starting at 10 s: MP4 used to open with a 10 s empty lead-in.
    {"H264StartingAt10sToMp4", "sp_hls_ts_h264", "mp4", false},
    {"H264StartingAt10sToMp4Rebased", "sp_hls_ts_h264", "mp4", true},
    {"H264StartingAt10sToTs", "sp_hls_ts_h264", "ts", false},
    // Jumps back from 145 s to 3 s between the third and the fourth segment.
    {"DiscontinuityToMp4", "sp_hls_text_offset", "mp4", false},
    {"DiscontinuityToTs", "sp_hls_text_offset", "ts", false},
    {"MuxedAacH264ToMp4", "sp_hls_ts_muxed_aac_h264", "mp4", false},
    {"MuxedAacH264ToTs", "sp_hls_ts_muxed_aac_h264", "ts", false},
    {"AacAudioOnlyToMp4", "sp_hls_ts_aac_audio", "mp4", false},
    {"AacAudioOnlyToTs", "sp_hls_ts_aac_audio", "ts", false},
    // MP4 used to lose every segment before the wrap.
    {"WrapOf33BitClockToMp4", "wrap33", "mp4", false},
    {"WrapOf33BitClockToTs", "wrap33", "ts", false},
    // Rebased copies of a B-frame segment used to give decreasing dts.
    {"BFrameSegmentThreeTimesRebasedToMp4", "bframe_triple", "mp4", true},
    {"BFrameSegmentThreeTimesRebasedToTs", "bframe_triple", "ts", true},
};

class RealWorldConcat : public ::testing::TestWithParam<ConcatCase> {};

// Packets, span and start of one output stream against the ffmpeg tool's.
void ExpectSameStream(const PacketSpan &ours, const PacketSpan &ref, const char *kind) {
  SCOPED_TRACE(kind);
  EXPECT_EQ(ours.count, ref.count);
  EXPECT_EQ(ours.nonIncreasingDts, 0);
  // The ffmpeg tool places each file after the previous file's whole length, so
  // its joins may hold a few packets' more gap than ours.
  EXPECT_NEAR(ours.Span(), ref.Span(), 0.15);
}

TEST_P(RealWorldConcat, JoinsEveryPacketOnOneTimelineFromZero) {
  REQUIRE_REALWORLD();
  const ConcatCase &c = GetParam();
  const std::vector<std::string> segments = Sequence(c.sequence);
  ASSERT_FALSE(segments.empty());
  const Reference &ref = FfmpegConcat(c.sequence);
  std::vector<const char *> list;
  for (const auto &s : segments) list.push_back(s.c_str());
  list.push_back(nullptr);
  const std::string out = Out(std::string("joined.") + c.extension);
  ASSERT_EQ(MPG_Merge(list.data(), out.c_str(), 0, c.rebase ? 1 : 0, nullptr, 0), 0);

  const PacketSpan video = ProbeSpan(out, "v:0");
  const PacketSpan audio = ProbeSpan(out, "a:0");
  ExpectSameStream(video, ref.video, "video");
  ExpectSameStream(audio, ref.audio, "audio");
  if (video.count > 0 && audio.count > 0) {
    // The A/V offset of the first segment is kept.
    EXPECT_NEAR(audio.firstPts - video.firstPts, ref.audio.firstPts - ref.video.firstPts, 0.03);
  }
  if (std::string(c.extension) == "mp4") {
    EXPECT_NEAR(ProbeStartTime(out), 0.0, 0.001);
  } else {
    // The TS muxer may move the start a few frames on, so B-frames' dts are not negative.
    EXPECT_LT(ProbeStartTime(out), 0.2);
  }
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
}

INSTANTIATE_TEST_SUITE_P(RealWorldConcat, RealWorldConcat, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace

// Single-file edits (crop, audio shift, FLV repair) on real downloads, each judged
// against the ffmpeg tool's own stream copy of the same file: codecs this build
// cannot encode (VP6F, WMV3) are copied all the same; a DASH, fMP4 or TS segment's
// start (10 s, 140 s, near the 33-bit wrap) is not carried into the output, which
// starts at 0 with the streams' offset to each other kept; every packet of the kept
// streams stays, over the same span; a song's cover picture is no video, so the
// edits that need video refuse it with their code and leave no file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>

#include "realworld/realworld.h"

using namespace mpgtest;

namespace {

enum class Edit { Crop, Shift, FixFlv };

// MPEG-TS counts 90 kHz ticks modulo 2^33 (about 95443.7 s): with the muxer's own
// 1.4 s delay this file starts at 95442.4 s and wraps 1.3 s in.
std::string TsAcrossTheWrap() {
  return MakeFixture("h264_aac_across_33bit_wrap.ts",
                     "-f lavfi -i testsrc2=size=160x120:rate=25:duration=3 "
                     "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=3 -fflags +bitexact -threads 1 "
                     "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac -b:a 64k -ac 2 "
                     "-output_ts_offset 95441");
}

struct EditCase {
  const char *name;
  const char *file;             // in the real-file folder; null: generated
  std::string (*generated)();  // the input when file is null
  Edit edit;
  int32_t shiftMs;
  int32_t status;  // what the export answers; on 0 the output is judged
};

const EditCase kCases[] = {
    // A DASH/fMP4 stream joined from segments: its timeline starts at 29.9 s.
    {"FragmentedMp4CropStartsAtZero", "sp_muxed_fmp4_joined.mp4", nullptr, Edit::Crop, 0, 0},
    {"FragmentedMp4ShiftDelays", "sp_muxed_fmp4_joined.mp4", nullptr, Edit::Shift, 500, 0},
    {"FragmentedMp4ShiftAdvances", "sp_muxed_fmp4_joined.mp4", nullptr, Edit::Shift, -500, 0},
    // HLS TS segments from the middle of their streams (140 s, 18 s).
    {"TsSegmentAt140sCrop", "hls/sp_hls_text_offset/video-069.ts", nullptr, Edit::Crop, 0, 0},
    {"TsSegmentAt18sShift", "hls/sp_hls_ts_muxed_aac_h264/n_3_0_0.ts", nullptr, Edit::Shift, 500, 0},
    {"TsAcrossTheWrapCrop", nullptr, TsAcrossTheWrap, Edit::Crop, 0, 0},
    {"TsAcrossTheWrapShift", nullptr, TsAcrossTheWrap, Edit::Shift, -500, 0},
    // VP6F and WMV3 have decoders but no encoders in FFmpeg.
    {"Vp6fFlvCrop", "me_grampa_laughing_vp6.flv", nullptr, Edit::Crop, 0, 0},
    {"Vp6fFlvShift", "me_grampa_laughing_vp6.flv", nullptr, Edit::Shift, -500, 0},
    {"Vp6fFlvRepair", "me_grampa_laughing_vp6.flv", nullptr, Edit::FixFlv, 0, 0},
    {"H264AacFlvRepair", "ax_sample.flv", nullptr, Edit::FixFlv, 0, 0},
    {"WmvAsfCrop", "mm_elephant.asf", nullptr, Edit::Crop, 0, 0},
    {"WmvAsfShift", "mm_elephant.asf", nullptr, Edit::Shift, 500, 0},
    // Songs with cover pictures: nothing to crop or shift the sound against.
    {"CoverM4aCrop", "mm_trumpsta.m4a", nullptr, Edit::Crop, 0, MPG_VIDEO_STREAM_NOT_FOUND},
    {"CoverM4aShift", "mm_trumpsta.m4a", nullptr, Edit::Shift, 500, MPG_VIDEO_STREAM_NOT_FOUND},
    {"CoverMp3Crop", "mm_id3v24.mp3", nullptr, Edit::Crop, 0, MPG_VIDEO_STREAM_NOT_FOUND},
    {"CoverMp3Shift", "ax_bear_id3.mp3", nullptr, Edit::Shift, -500, MPG_VIDEO_STREAM_NOT_FOUND},
    // The edits keep refusing files without sound.
    {"VideoOnlyTsCrop", "sp_h265.ts", nullptr, Edit::Crop, 0, MPG_AUDIO_STREAM_NOT_FOUND},
    {"VideoOnlyMp4Shift", "ax_firstpts_10s_videoonly.mp4", nullptr, Edit::Shift, 500, MPG_AUDIO_STREAM_NOT_FOUND},
};

std::string Extension(const std::string &path) { return path.substr(path.rfind('.')); }

// The ffmpeg tool's result of the same job: a copy of the moving video and the
// first audio stream, the audio read a second time with the shift as input offset.
std::string ToolResult(const EditCase &c, const std::string &in) {
  std::ostringstream args;
  if (c.edit == Edit::Shift) {
    args << "-i " << Quote(in) << " -itsoffset " << c.shiftMs / 1000.0 << " -i " << Quote(in)
         << " -map 0:V:0 -map 1:a:0 -c copy";
  } else {
    args << "-i " << Quote(in) << " -map 0:V:0 -map 0:a:0 -c copy";
  }
  return MakeFixture(std::string("tool_") + c.name + Extension(in), args.str());
}

// Lines a full decode reports at error level.
int DecodeErrorLines(const std::string &path) {
  std::string errors;
  DecodesCleanly(path, &errors);
  int lines = 0;
  for (char ch : errors) lines += ch == '\n';
  return lines;
}

// A clean decode, or no more complaints than the judge's: a copy keeps the
// input's own faults (the VP6F file repeats timestamps).
void ExpectDecodesAsCleanlyAs(const std::string &path, const std::string &judge) {
  if (DecodesCleanly(path)) return;
  EXPECT_LE(DecodeErrorLines(path), DecodeErrorLines(judge));
}

// One frame at 25 fps: how far two measurements of one timeline may differ.
constexpr double kFrameSeconds = 0.04;

void ExpectLikeTheTool(const std::string &out, const std::string &tool) {
  ASSERT_EQ(CountStreams(out, "video"), 1);
  ASSERT_EQ(CountStreams(out, "audio"), 1);
  const PacketSpan video = ProbeSpan(out, "v:0"), audio = ProbeSpan(out, "a:0");
  const PacketSpan toolVideo = ProbeSpan(tool, "V:0"), toolAudio = ProbeSpan(tool, "a:0");
  EXPECT_EQ(video.count, toolVideo.count);
  EXPECT_EQ(audio.count, toolAudio.count);
  EXPECT_NEAR(video.Span(), toolVideo.Span(), kFrameSeconds);
  EXPECT_NEAR(audio.Span(), toolAudio.Span(), kFrameSeconds);
  // The streams' distance to each other, and a start no later than the tool's: 0,
  // or where the muxer moves a first dts below 0 (B-frames); the tool's MPEG-TS
  // start adds its own 1.4 s mux delay. A start carried over from the input is
  // seconds to hours late.
  EXPECT_NEAR(audio.firstPts - video.firstPts, toolAudio.firstPts - toolVideo.firstPts, kFrameSeconds);
  const double start = ProbeStartTime(out);
  EXPECT_GE(start, -kFrameSeconds);
  EXPECT_LE(start, ProbeStartTime(tool) + kFrameSeconds);
  EXPECT_EQ(video.nonIncreasingDts, toolVideo.nonIncreasingDts);
  ExpectDecodesAsCleanlyAs(out, tool);
}

// The repaired file keeps every packet; its head states the whole length.
void ExpectRepaired(const std::string &repaired, const std::string &original) {
  for (const char *selector : {"v:0", "a:0"}) {
    EXPECT_EQ(ProbeSpan(repaired, selector).count, ProbeSpan(original, selector).count) << selector;
  }
  const PacketSpan video = ProbeSpan(repaired, "v:0"), audio = ProbeSpan(repaired, "a:0");
  const double end = std::max(video.end, audio.end);
  const double start = std::min(video.firstPts, audio.firstPts);
  // The head states the span of the tags, each stream's last frame counted.
  EXPECT_NEAR(ProbeDuration(repaired), end - start, 0.1);
  ExpectDecodesAsCleanlyAs(repaired, original);
}

class RealWorldEditCopy : public ::testing::TestWithParam<EditCase> {};

TEST_P(RealWorldEditCopy, GivesTheToolsCopyOrTheRefusalsCode) {
  REQUIRE_REALWORLD();
  const EditCase &c = GetParam();
  const std::string in = c.file ? Real(c.file) : c.generated();
  const std::string out = Out(std::string("edited") + Extension(in));
  int32_t st = 0;
  switch (c.edit) {
    case Edit::Crop:
      st = MPG_Crop(in.c_str(), out.c_str());
      break;
    case Edit::Shift:
      st = MPG_ShiftAudio(in.c_str(), out.c_str(), c.shiftMs, nullptr, 0);
      break;
    case Edit::FixFlv:
      WriteBytes(out, ReadBytes(in));
      st = FLV_FixDuration(out.c_str());
      break;
  }
  ASSERT_EQ(st, c.status);
  if (c.status != 0) {
    EXPECT_FALSE(FileExists(out));
    return;
  }
  if (c.edit == Edit::FixFlv) {
    ExpectRepaired(out, in);
  } else {
    ExpectLikeTheTool(out, ToolResult(c, in));
  }
}

INSTANTIATE_TEST_SUITE_P(RealWorldEdit, RealWorldEditCopy, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace

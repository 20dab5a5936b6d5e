// The stream-copy merge of separately downloaded video and audio files from real
// encoders and streams: DASH and CMAF segments that start late, MP4 edit lists,
// codecs this build cannot encode (VP6F), and cover pictures. Each output is judged
// against its inputs and against what `ffmpeg -c copy` makes of the same pair.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <string>

#include "core/input.h"
#include "merge/merge_by_stream_copy.h"
#include "merge/merge_job.h"
#include "realworld/realworld.h"

using namespace mpgtest;

namespace {

struct MergeCopyCase {
  const char *name;
  const char *video;      // file in the real-file folder
  const char *audio;
  const char *muxer;      // nullptr: MPG_MergeAV chooses; else the merge job runs with this muxer
  const char *extension;  // of the output, as the container choice names it
  int32_t expected;       // the export's result
};

// AVI stores no times, only chunks counted at a stream's rate: its spans are the
// ffmpeg tool's, not the input's.
bool StoresPacketTimes(const MergeCopyCase &c) { return std::string(c.extension) != "avi"; }

const MergeCopyCase kCases[] = {
    // A DASH video segment starting at 29.9 s with audio downloaded apart: the
    // output claimed 60 s with its video starting at 29.9 s.
    {"DashVideoStartingLateWithDashAudio", "sp_muxed_fmp4_joined.mp4", "sp_dash_audio_en_aac.mp4", nullptr, "mp4",
     0},
    // Video whose first packet sits at 10 s.
    {"VideoStartingAtTenSeconds", "ax_firstpts_10s_videoonly.mp4", "ax_long_edit_list_audioonly.mp4", nullptr, "mp4",
     0},
    // CMAF video whose dts start below 0 (B-frames).
    {"CmafVideo", "ax_cmaf_video.mp4", "ax_long_edit_list_audioonly.mp4", nullptr, "mp4", 0},
    // An edit list starting on a key frame hidden before 0: the copy lost it and its
    // B-frames, putting the video 2 s after the audio.
    {"EditListVideoWithEditListAudio", "ax_iibbibb_editlist_videoonly.mp4", "ax_long_edit_list_audioonly.mp4",
     nullptr, "mp4", 0},
    // HEVC whose edit list hides a lead-in of frames, beside its own audio.
    {"HevcEditListVideoWithEditListAudio", "ax_edit_list_hevc.mp4", "ax_long_edit_list_audioonly.mp4", nullptr, "mp4",
     0},
    // VP6F has no encoder in FFmpeg: a copy needs none.
    {"Vp6fFlvIntoMatroska", "me_grampa_laughing_vp6.flv", "ax_cbr_trailing_id3v1.mp3", "matroska", "mkv", 0},
    {"Vp6fFlvIntoAvi", "me_grampa_laughing_vp6.flv", "ax_cbr_trailing_id3v1.mp3", "avi", "avi", 0},
    // MS-MPEG4v3 from ASF, whose own audio starts 0.39 s late, into AVI.
    {"AsfVideoIntoAvi", "mm_elephant.asf", "ax_cbr_trailing_id3v1.mp3", "avi", "avi", 0},
    // VP9 of a variable frame rate into AVI: one tick per frame put frames onto one
    // another and lost them.
    {"VariableRateVp9IntoAvi", "ax_vp9_10bit.webm", "ax_long_edit_list_audioonly.mp4", nullptr, "avi", 0},
    // Matroska H.264 whose first frames state no dts: the muxer's guess put the
    // next frame behind and lost it.
    {"MatroskaVideoWithoutLeadingDts", "ax_vorbis_audio.mkv", "ax_long_edit_list_audioonly.mp4", nullptr, "mp4", 0},
    // A song's cover art is no video to merge.
    {"CoverPictureAsVideo", "mm_trumpsta.m4a", "ax_long_edit_list_audioonly.mp4", "mp4", "mp4",
     MPG_VIDEO_STREAM_NOT_FOUND},
};

// What the ffmpeg tool writes for the same pair: first video stream, first audio stream.
std::string FfmpegReference(const MergeCopyCase &c) {
  const std::string ref = Out(std::string("reference.") + c.extension);
  const std::string cmd = "ffmpeg -v error -y -i " + Quote(Real(c.video)) + " -i " + Quote(Real(c.audio)) +
                          " -map 0:v:0 -map 1:a:0 -c copy " + Quote(ref);
  EXPECT_EQ(Run(cmd), 0) << cmd;
  return ref;
}

int32_t RunMerge(const MergeCopyCase &c, const std::string &out) {
  const std::string video = Real(c.video);
  const std::string audio = Real(c.audio);
  if (!c.muxer) return MPG_MergeAV(video.c_str(), audio.c_str(), out.c_str(), nullptr, 0);
  mpg::MergeJob job(c.muxer);
  EXPECT_EQ(mpg::OpenInputFile(video.c_str(), job.videoIn), mpg::Status::Ok);
  EXPECT_EQ(mpg::OpenInputFile(audio.c_str(), job.audioIn), mpg::Status::Ok);
  return mpg::Code(mpg::MergeByStreamCopy(job, out.c_str(), nullptr, 0));
}

// The ffmpeg tool's decode report without the addresses of its contexts.
std::string DecodeReport(const std::string &path) {
  std::string errors;
  DecodesCleanly(path, &errors);
  return std::regex_replace(errors, std::regex("0x[0-9a-f]+"), "");
}

// The input's span to within 50 ms, or the span of the ffmpeg tool's copy.
bool SpanMatches(const PacketSpan &out, const PacketSpan &in, const PacketSpan &ref) {
  return std::abs(out.Span() - in.Span()) <= 0.05 || std::abs(out.Span() - ref.Span()) <= 0.002;
}

class RealWorldMergeCopy : public ::testing::TestWithParam<MergeCopyCase> {};

TEST_P(RealWorldMergeCopy, KeepsEveryPacketAndStartsWhereFfmpegDoes) {
  REQUIRE_REALWORLD();
  const MergeCopyCase &c = GetParam();
  const std::string out = Out(std::string("merged.") + c.extension);
  ASSERT_EQ(RunMerge(c, out), c.expected);
  if (c.expected != 0) return;

  const std::string ref = FfmpegReference(c);
  const PacketSpan video = ProbeSpan(out, "v:0");
  const PacketSpan audio = ProbeSpan(out, "a:0");
  const PacketSpan refVideo = ProbeSpan(ref, "v:0");
  const PacketSpan refAudio = ProbeSpan(ref, "a:0");
  const PacketSpan inVideo = ProbeSpan(Real(c.video), "v:0");
  const PacketSpan inAudio = ProbeSpan(Real(c.audio), "a:0");

  // Every packet of both inputs, over the inputs' spans to within the last frame's
  // duration, which containers restate from dts steps or the frame rate (Matroska
  // gives FLV's last frame the 95 ms of its 10.5 fps, as the ffmpeg tool's copy
  // does); AVI keeps no times, only the ffmpeg tool's count of chunks.
  EXPECT_EQ(video.count, inVideo.count);
  EXPECT_EQ(audio.count, inAudio.count);
  if (StoresPacketTimes(c)) {
    EXPECT_TRUE(SpanMatches(video, inVideo, refVideo)) << video.Span() << " s of video";
    EXPECT_TRUE(SpanMatches(audio, inAudio, refAudio)) << audio.Span() << " s of audio";
  } else {
    EXPECT_NEAR(video.Span(), refVideo.Span(), 0.002);
    EXPECT_NEAR(audio.Span(), refAudio.Span(), 0.002);
  }
  // Both streams where the ffmpeg tool puts them (each input's own start taken
  // off), hence the same A/V offset, in the millisecond steps of the containers.
  EXPECT_NEAR(video.firstPts, refVideo.firstPts, 0.002);
  EXPECT_NEAR(audio.firstPts, refAudio.firstPts, 0.002);
  EXPECT_NEAR(video.firstPts - audio.firstPts, refVideo.firstPts - refAudio.firstPts, 0.002);
  EXPECT_NEAR(ProbeStartTime(out), ProbeStartTime(ref), 0.002);
  EXPECT_EQ(video.nonIncreasingDts, 0);
  EXPECT_EQ(audio.nonIncreasingDts, 0);
  // A clean decode, or the very report the ffmpeg tool's own copy gets (a 10.5 fps
  // FLV's frames meet at the null muxer's rate whichever file holds them).
  std::string errors;
  const bool clean = DecodesCleanly(out, &errors);
  EXPECT_TRUE(clean || DecodeReport(out) == DecodeReport(ref)) << errors;
}

INSTANTIATE_TEST_SUITE_P(RealWorld, RealWorldMergeCopy, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace

// Trim and frame grab on real downloads: a song's cover picture is no video to cut
// but is the picture to grab; MPEG-2 in TS, AV1, fragmented MP4 and VP6F trim;
// grabs by position on clips and segments with one key frame; a black clip gives
// its black picture. Outputs are judged by ffprobe and full decodes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "mpg.h"
#include "realworld/realworld.h"

using namespace mpgtest;

namespace {

enum class Job { Trim, Grab };

struct ImageTrimCase {
  const char *name;
  Job job;
  std::string (*input)();
  int32_t from;  // Trim: start second; Grab: position (percent of the duration)
  int32_t to;    // Trim: end second
  int32_t status;              // Trim: the status code; Grab: 0 for a picture, else no picture
  const char *videoCodec;      // Trim: the output's video codec
  int width;                   // Grab: the picture's size
  int height;
};

std::string CoverMp3() { return Real("mm_id3v24.mp3"); }
std::string Mpeg2Ts() { return Real("ax_h262_mpeg_audio.ts"); }
std::string Av1Mp4() { return Real("ax_av1.mp4"); }
std::string ShortH264() { return Real("ax_sample_h264_aac.mp4"); }
std::string SmallDash() { return Real("sp_small.mp4"); }
std::string JoinedFmp4() { return Real("sp_muxed_fmp4_joined.mp4"); }
std::string PartlyFragmented() { return Real("ax_partially_fragmented.mp4"); }
std::string BlackClip() { return Real("ax_silent_black_25s.mp4"); }
std::string Vp6Flv() { return Real("me_grampa_laughing_vp6.flv"); }
// A fragmented MP4 as DASH packagers and live recorders write it: an empty moov,
// then a fragment per key frame.
std::string FragmentedMp4() {
  return MakeFixture("real_fragmented.mp4",
                     "-i " + Quote(ShortH264()) + " -c copy -movflags frag_keyframe+empty_moov");
}

const ImageTrimCase kCases[] = {
    // The cover is one still packet: there is no moving video to cut.
    {"CoverMp3TrimIsRefused", Job::Trim, CoverMp3, 0, 1, MPG_VIDEO_STREAM_NOT_FOUND, "", 0, 0},
    // ... but it is the thumbnail a user expects of a song, wherever asked.
    {"CoverMp3GrabGivesTheCover", Job::Grab, CoverMp3, 0, 0, 0, "", 500, 500},
    {"CoverMp3GrabAtHalfGivesTheCover", Job::Grab, CoverMp3, 50, 0, 0, "", 500, 500},
    // The MPEG-2 encoder takes only its listed frame rates, never the 1/90000 clock.
    {"Mpeg2TsTrim", Job::Trim, Mpeg2Ts, 0, 1, 0, "mpeg2video", 0, 0},
    {"Mpeg2TsGrabAtHalf", Job::Grab, Mpeg2Ts, 50, 0, 0, "", 640, 426},
    // libaom's defaults take minutes for this second; the timing is checked below.
    {"Av1Trim", Job::Trim, Av1Mp4, 0, 1, 0, "av1", 0, 0},
    {"FragmentedMp4Trim", Job::Trim, FragmentedMp4, 0, 1, 0, "h264", 0, 0},
    // A DASH segment starting at 29.9 s, joined to its init segment.
    {"JoinedFmp4SegmentTrim", Job::Trim, JoinedFmp4, 0, 1, 0, "h264", 0, 0},
    {"PartlyFragmentedMp4Trim", Job::Trim, PartlyFragmented, 0, 1, 0, "h264", 0, 0},
    // One key frame at the start: the picture half way decodes from it.
    {"SmallDashGrabAtHalf", Job::Grab, SmallDash, 50, 0, 0, "", 256, 110},
    {"ShortH264GrabAtHalf", Job::Grab, ShortH264, 50, 0, 0, "", 1080, 720},
    {"SmallDashTrimMiddle", Job::Trim, SmallDash, 4, 6, 0, "h264", 0, 0},
    // Every picture is black: a black frame is still the frame.
    {"BlackClipGrabAtStart", Job::Grab, BlackClip, 0, 0, 0, "", 320, 240},
    // VP6F has a decoder but no encoder: it grabs, and trims into Sorenson H.263.
    {"Vp6fGrab", Job::Grab, Vp6Flv, 0, 0, 0, "", 352, 288},
    {"Vp6fTrimMiddle", Job::Trim, Vp6Flv, 3, 5, 0, "flv1", 0, 0},
};

class RealWorldImageTrim : public ::testing::TestWithParam<ImageTrimCase> {};

void ExpectTrim(const ImageTrimCase &c) {
  const std::string in = c.input();
  const std::string ext = in.substr(in.find_last_of('.'));
  const std::string out = Out(std::string("real_trim_") + c.name + ext);
  const auto began = std::chrono::steady_clock::now();
  ASSERT_EQ(MPG_SaveTrimmedVideo(in.c_str(), out.c_str(), c.from, c.to), c.status);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  if (c.status != 0) {
    EXPECT_FALSE(FileExists(out));
    return;
  }
  // Seconds, not the minutes of libaom's defaults, even on a busy machine.
  EXPECT_LT(seconds, 60.0);
  EXPECT_EQ(CountStreams(out, "video"), 1);
  EXPECT_EQ(CountStreams(out, "audio"), 1);
  EXPECT_EQ(ProbeCodec(out, "video"), c.videoCodec);

  const PacketSpan input = ProbeSpan(in, "v:0");
  const PacketSpan video = ProbeSpan(out, "v:0");
  ASSERT_GT(input.count, 0);
  ASSERT_GT(video.count, 0);
  const double frame = input.Span() / input.count;
  const double want = std::min<double>(c.to, input.Span()) - c.from;
  EXPECT_NEAR(video.Span(), want, 1.5 * frame) << video.count << " pictures";
  EXPECT_GT(ProbeSpan(out, "a:0").count, 0);
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
}

void ExpectGrab(const ImageTrimCase &c) {
  const std::string out = Out(std::string("real_grab_") + c.name + ".jpg");
  const bool ok = c.from == 0 ? MPG_GetImage(MPG_IMAGE_JPEG, c.input().c_str(), out.c_str(), 0, 90) != 0
                              : MPG_GetImageP(MPG_IMAGE_JPEG, c.input().c_str(), out.c_str(), c.from, 0, 90) != 0;
  ASSERT_EQ(ok, c.status == 0);
  if (!ok) return;
  const nlohmann::json info = Probe(out);
  ASSERT_TRUE(info.contains("streams"));
  EXPECT_EQ(info["streams"][0].value("width", 0), c.width);
  EXPECT_EQ(info["streams"][0].value("height", 0), c.height);
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
}

TEST_P(RealWorldImageTrim, GivesTheFfmpegToolsResult) {
  REQUIRE_REALWORLD();
  const ImageTrimCase &c = GetParam();
  if (c.job == Job::Trim) {
    ExpectTrim(c);
  } else {
    ExpectGrab(c);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, RealWorldImageTrim, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace

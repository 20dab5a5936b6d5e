// MPG_Transcode and MP3_Convert on files from real encoders and streams, judged by
// ffprobe and a full decode. Faults guarded: codecs copied into a container that
// refuses them (FLAC, PCM, AMR in MP4), the video dropped while the call returns 0
// (an odd scaled width, MPEG-2's refusal of a 90 kHz clock, VP6F without encoder,
// fragmented MP4, H.264 in AVI), an input's start kept in the output, and an MP3
// "conversion" of a truncated file that decodes no audio, left behind as a
// tag-only file with success, and audio whose decoder refuses some packets
// failing the whole job.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ostream>
#include <sstream>
#include <string>

extern "C" {
#include <libavutil/error.h>
}

#include "mpg.h"
#include "mpg_string.hpp"
#include "realworld/realworld.h"

namespace {

using mpgtest::Real;

// Inputs made from real files where the folder has none of the kind.
std::string FragmentedMp4() {
  return mpgtest::MakeFixture("rw_small_fragmented.mp4",
                              "-i " + mpgtest::Quote(Real("sp_small.mp4")) +
                                  " -map 0:v -map 0:a -c copy -t 3 -movflags frag_keyframe+empty_moov");
}
// The first two seconds of a VP6F Flash video, copied.
std::string ShortVp6Flv() {
  return mpgtest::MakeFixture("rw_vp6_2s.flv",
                              "-i " + mpgtest::Quote(Real("me_grampa_laughing_vp6.flv")) + " -c copy -t 2");
}
// AVI keeps no pts; without B-frames every picture's time survives a copy.
std::string H264InAvi() {
  return mpgtest::MakeFixture("rw_small_h264.avi", "-i " + mpgtest::Quote(Real("sp_small.mp4")) +
                                                       " -map 0:v -map 0:a -c:v libx264 -bf 0 -preset ultrafast"
                                                       " -c:a copy -t 3");
}

enum class Job { Transcode, Mp3 };

struct RealCase {
  const char *name;
  const char *input;            // a file of the real folder, or
  std::string (*make)();        // an input made from one
  Job job;
  TranscodeParams params;       // for Job::Transcode
  const char *extension;
  int32_t status;               // expected result; a failure leaves no file
  const char *videoCodec;       // "" when the output has no video
  int width, height;            // 0: not checked
  const char *audioCodec;
  double audioSpan = 0;         // seconds of output audio; 0: the input's
};

// gtest names a failing row by this rather than by its bytes.
void PrintTo(const RealCase &c, std::ostream *os) { *os << c.name; }

std::string InputOf(const RealCase &c) { return c.make ? c.make() : Real(c.input); }

int32_t RunJob(const RealCase &c, const std::string &in, const std::string &out) {
  if (c.job == Job::Mp3) return MP3_Convert(in.c_str(), out.c_str(), 0, nullptr, 0);
  const Str::string inPath(in.c_str()), outPath(out.c_str());
  return MPG_Transcode(&inPath, &outPath, &c.params, nullptr, 0);
}

const nlohmann::json *FirstVideo(const nlohmann::json &probe) {
  for (const nlohmann::json &st : probe["streams"]) {
    if (st["codec_type"] == "video") return &st;
  }
  return nullptr;
}

// Seconds from the output's start (0, or the first packet when later: an MPEG-TS
// muxer's offset) to the end of its last packet. An encoder's priming samples
// before 0 (AAC's 1024) are no part of what plays.
double PlayedSpan(const std::string &path, const std::string &selector) {
  const mpgtest::PacketSpan span = mpgtest::ProbeSpan(path, selector);
  // AVI video packets carry no pts: the file's stated duration.
  if (span.end <= 0) return mpgtest::ProbeDuration(path);
  return span.end - std::max(0.0, span.firstPts);
}

// The input stream's span; AVI video packets carry no pts, so there the file's
// stated duration.
double InputSpan(const std::string &path, const std::string &selector) {
  const double span = mpgtest::ProbeSpan(path, selector).Span();
  return span > 0 ? span : mpgtest::ProbeDuration(path);
}

// What a full decode reports, leaving out the null muxer's complaints about the
// frame times of variable-rate video (VP6 in FLV), which it makes of such inputs
// themselves: they are no decoding errors.
std::string DecodeErrors(const std::string &path) {
  std::string errors, kept;
  if (mpgtest::DecodesCleanly(path, &errors)) return "";
  std::istringstream lines(errors);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("non monotonically increasing dts to muxer") == std::string::npos) kept += line + "\n";
  }
  return kept;
}

class RealWorldTranscode : public ::testing::TestWithParam<RealCase> {};

TEST_P(RealWorldTranscode, WritesWhatFfmpegWritesOrFailsWithoutAFile) {
  REQUIRE_REALWORLD();
  const RealCase &c = GetParam();
  const std::string in = InputOf(c), out = mpgtest::Out(std::string("out.") + c.extension);
  ASSERT_EQ(RunJob(c, in, out), c.status);
  if (c.status != 0) {
    EXPECT_FALSE(mpgtest::FileExists(out)) << "a failed call leaves no file";
    return;
  }

  const bool video = *c.videoCodec != '\0';
  ASSERT_EQ(mpgtest::CountStreams(out, "video"), video ? 1 : 0);
  if (video) {
    EXPECT_EQ(mpgtest::ProbeCodec(out, "video"), c.videoCodec);
    const nlohmann::json probe = mpgtest::Probe(out);
    const nlohmann::json *st = FirstVideo(probe);
    ASSERT_NE(st, nullptr);
    if (c.width) {
      EXPECT_EQ((*st)["width"], c.width);
    }
    if (c.height) {
      EXPECT_EQ((*st)["height"], c.height);
    }
    // Every picture's time reaches the output (a frame's length of slack).
    EXPECT_NEAR(PlayedSpan(out, "v:0"), InputSpan(in, "v:0"), 0.1);
  }
  ASSERT_EQ(mpgtest::CountStreams(out, "audio"), 1);
  EXPECT_EQ(mpgtest::ProbeCodec(out, "audio"), c.audioCodec);
  EXPECT_NEAR(PlayedSpan(out, "a:0"), c.audioSpan > 0 ? c.audioSpan : InputSpan(in, "a:0"), 0.1);
  // MPEG-TS muxers start their clock 1.4 s in by design. An MP3 starts at the
  // encoder delay its LAME header states, 1105 samples (0.14 s at 8 kHz), as the
  // ffmpeg tool's do.
  if (std::strcmp(c.extension, "ts") != 0) {
    double allowed = 0.05;
    if (c.job == Job::Mp3) {
      const nlohmann::json probe = mpgtest::Probe(out);
      allowed = 1105.0 / std::stod(probe["streams"][0]["sample_rate"].get<std::string>()) + 0.001;
    }
    EXPECT_LE(std::fabs(mpgtest::ProbeStartTime(out)), allowed) << "the output starts at 0";
  }
  EXPECT_EQ(DecodeErrors(out), "");
}

TranscodeParams To(int32_t outputFormat, int32_t height = 0) {
  TranscodeParams p{};
  p.outputFormat = outputFormat;
  p.height = height;
  return p;
}
constexpr int32_t k3gp = 0, kAvi = 2, kMp4 = 4, kTs = 6;

INSTANTIATE_TEST_SUITE_P(
    Cases, RealWorldTranscode,
    ::testing::Values(
        // Audio MP4 cannot carry is re-encoded to AAC instead of failing the header.
        RealCase{"FlacIntoMp4BecomesAac", "ax_bear.flac", nullptr, Job::Transcode, To(kMp4), "mp4", 0, "", 0, 0,
                 "aac"},
        RealCase{"PcmWavIntoMp4BecomesAac", "ax_sample.wav", nullptr, Job::Transcode, To(kMp4), "mp4", 0, "", 0, 0,
                 "aac"},
        RealCase{"AmrIntoMp4BecomesAac", "ax_amrnb.3gp", nullptr, Job::Transcode, To(kMp4), "mp4", 0, "", 0, 0,
                 "aac"},
        // 256x110 at a height of 120 is 279 wide; H.264 4:2:0 needs an even width.
        RealCase{"OddScaledWidthRoundedToEven", "sp_small.mp4", nullptr, Job::Transcode, To(kMp4, 120), "mp4", 0,
                 "h264", 280, 120, "aac"},
        // The MPEG-2 encoder counts in its frame rates, not the 90 kHz TS clock.
        RealCase{"Mpeg2ReencodeInTsGetsAFrameRateClock", "ax_h262_mpeg_audio.ts", nullptr, Job::Transcode,
                 To(kTs, 144), "ts", 0, "mpeg2video", 0, 144, "mp2"},
        // No VP6 encoder exists and MP4 cannot hold VP6F: H.264 instead.
        RealCase{"Vp6fIntoMp4BecomesH264", nullptr, ShortVp6Flv, Job::Transcode, To(kMp4), "mp4", 0, "h264", 352,
                 288, "mp3"},
        RealCase{"Vp6fIntoAviIsCopied", nullptr, ShortVp6Flv, Job::Transcode, To(kAvi), "avi", 0, "vp6f", 352, 288,
                 "mp3"},
        RealCase{"FragmentedMp4Scaled", nullptr, FragmentedMp4, Job::Transcode, To(kMp4, 144), "mp4", 0, "h264", 0,
                 144, "aac"},
        RealCase{"PartlyFragmentedMp4Scaled", "ax_partially_fragmented.mp4", nullptr, Job::Transcode, To(kMp4, 144),
                 "mp4", 0, "h264", 0, 144, "aac"},
        RealCase{"H264InAviIntoMp4", nullptr, H264InAvi, Job::Transcode, To(kMp4), "mp4", 0, "h264", 256, 110,
                 "aac"},
        RealCase{"H264InAviInto3gpScaled", nullptr, H264InAvi, Job::Transcode, To(k3gp, 144), "3gp", 0, "h264", 0,
                 144, "aac"},
        // Another container's usual codec: MP2 in MPEG-TS.
        RealCase{"FlacIntoTsBecomesMp2", "ax_bear.flac", nullptr, Job::Transcode, To(kTs), "ts", 0, "", 0, 0, "mp2"},
        // MP4's H.264 copied into AVI keeps its video.
        RealCase{"H264FromMp4IntoAviCopied", "sp_small.mp4", nullptr, Job::Transcode, To(kAvi), "avi", 0, "h264", 256,
                 110, "aac"},
        // A cover picture is no video: the song's audio alone.
        RealCase{"CoverPictureIsNotVideo", "mm_trumpsta.m4a", nullptr, Job::Transcode, To(kMp4), "mp4", 0, "", 0, 0,
                 "aac"},
        // Truncated downloads whose audio never decodes (ffmpeg gets none either).
        RealCase{"Mp3OfTruncatedAudiobookFailsWithoutFile", "mm_issue_127.m4b", nullptr, Job::Mp3, {}, "mp3",
                 AVERROR_INVALIDDATA, "", 0, 0, ""},
        RealCase{"Mp3OfTruncatedVideoFailsWithoutFile", "mm_mr_pickles.mp4", nullptr, Job::Mp3, {}, "mp3",
                 AVERROR_INVALIDDATA, "", 0, 0, ""},
        RealCase{"Mp3OfFlac", "ax_bear.flac", nullptr, Job::Mp3, {}, "mp3", 0, "", 0, 0, "mp3"},
        // 100 kB of junk before an MP3: FFmpeg reads the whole file as raw AMR-NB,
        // whose decoder refuses runs of up to 21 packets (bad data, comfort noise
        // frames it lacks) and takes the rest, as the ffmpeg tool does. The
        // transcode keeps the refused packets' time as silence (ffmpeg: 79.94 s);
        // the MP3 holds the decoded audio alone (ffmpeg: 70.70 s).
        RealCase{"JunkReadAsAmrIntoMp4", "ax_100kB_garbage_prefix.mp3", nullptr, Job::Transcode, To(kMp4), "mp4", 0,
                 "", 0, 0, "aac"},
        RealCase{"Mp3OfJunkReadAsAmr", "ax_100kB_garbage_prefix.mp3", nullptr, Job::Mp3, {}, "mp3", 0, "", 0, 0,
                 "mp3", 70.70}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace

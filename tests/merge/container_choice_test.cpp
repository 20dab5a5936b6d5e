// The container choice for a merge, decided on real files of each codec pair.
#include <gtest/gtest.h>

#include "support/media.h"

using namespace mpgtest;

namespace {

struct PairCase {
  const char *name;
  std::string (*video)();
  std::string (*audio)();
  int32_t status;
  uint32_t mode, kind;
  const char *ext, *altExt;
  uint32_t oldMode, oldKind;
};

class MergeChoice : public ::testing::TestWithParam<PairCase> {};

TEST_P(MergeChoice, ChoosesModeKindAndExtensionsFromTheCodecs) {
  const PairCase &c = GetParam();
  MergeOp2Result r2{};
  std::memset(&r2, 0x55, sizeof r2);
  const MergeOp2Result untouched = r2;
  ASSERT_EQ(MPG_MergeOP2(c.video().c_str(), c.audio().c_str(), &r2), c.status);
  MergeOpResult r1{9, 9};
  ASSERT_EQ(MPG_MergeOP(c.video().c_str(), c.audio().c_str(), &r1), c.status);
  if (c.status != 0) {
    EXPECT_EQ(std::memcmp(&r2, &untouched, sizeof r2), 0) << "a failed choice must not write the record";
    EXPECT_EQ(r1.mode, 9u);
    return;
  }
  EXPECT_EQ(r2.mode, c.mode);
  EXPECT_EQ(r2.kind, c.kind);
  EXPECT_STREQ(r2.extension, c.ext);
  EXPECT_STREQ(r2.altExtension, c.altExt);
  EXPECT_EQ(r1.mode, c.oldMode);
  EXPECT_EQ(r1.kind, c.oldKind);
}

std::string Missing() { return "/nonexistent/file.mp4"; }

// Codecs MP4 cannot carry, as phones, old Flash and Windows encoders wrote them.
const std::string kExact = " -fflags +bitexact -flags:a +bitexact -flags:v +bitexact -threads 1 ";
const std::string kPictures = "-f lavfi -i testsrc2=size=176x144:rate=15:duration=2";
std::string H263Video2s() { return MakeFixture("h263_2s.3gp", kPictures + kExact + "-c:v h263"); }
std::string TheoraVideo2s() { return MakeFixture("theora_2s.ogv", kPictures + kExact + "-c:v libtheora"); }
std::string Wmv2Wma2s() {
  return MakeFixture("wmv2_wma_2s.wmv", kPictures + " -f lavfi -i sine=sample_rate=44100:duration=2" + kExact +
                                            "-c:v wmv2 -c:a wmav2");
}
std::string AmrNbAudio2s() {
  return MakeFixture("amrnb_2s.3gp",
                     "-f lavfi -i sine=sample_rate=8000:duration=2" + kExact + "-ac 1 -c:a libopencore_amrnb");
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, MergeChoice,
    ::testing::Values(
        PairCase{"H264_Aac", fx::H264Video10s, fx::AacAudio10s, 0, 0, 0, "mp4", "mp4", 0, 0},
        PairCase{"Vp9_Opus", fx::Vp9Video5s, fx::OpusAudio5s, 0, 0, 3, "webm", "mkv", 0, 2},
        PairCase{"Vp9_Aac", fx::Vp9Video5s, fx::AacAudio10s, 0, 0, 1, "avi", "avi", 0, 1},
        PairCase{"Av1_Aac", fx::Av1Video3s, fx::AacAudio10s, 0, 0, 0, "mp4", "mp4", 0, 0},
        // The older record names the WebM the merge writes, in its own numbering.
        PairCase{"Av1_Opus", fx::Av1Video3s, fx::OpusAudio5s, 0, 0, 3, "webm", "mkv", 0, 2},
        PairCase{"H264_Vorbis", fx::H264Video10s, fx::VorbisAudio5s, 0, 0, 0, "mp4", "mp4", 0, 0},
        PairCase{"H264_Opus", fx::H264Video10s, fx::OpusAudio5s, 0, 0, 0, "mp4", "mp4", 1, 0},
        PairCase{"H264_Mp3", fx::H264Video10s, fx::Mp3Audio5s, 0, 0, 0, "mp4", "mp4", 1, 0},
        PairCase{"Mpeg4_Mp3", fx::Mpeg4Video5s, fx::Mp3Audio5s, 0, 1, 0, "mp4", "mp4", 1, 0},
        PairCase{"Mpeg4_Aac", fx::Mpeg4Video5s, fx::AacAudio10s, 0, 0, 0, "mp4", "mp4", 0, 0},
        PairCase{"H264_Flac", fx::H264Video10s, fx::FlacAudio5s, 0, 1, 0, "mp4", "mp4", 1, 0},
        PairCase{"Vp9_Ac3", fx::Vp9Video5s, fx::Ac3Audio5s, 0, 1, 0, "mp4", "mp4", 1, 0},
        // AMR is re-encoded beside video MP4 carries ...
        PairCase{"H264_Amr", fx::H264Video10s, AmrNbAudio2s, 0, 1, 0, "mp4", "mp4", 1, 0},
        // ... and copied, with the video, where MP4 cannot carry the video: AVI for
        // audio of fixed-length frames ...
        PairCase{"H263_Aac", H263Video2s, fx::AacAudio10s, 0, 0, 1, "avi", "avi", 0, 1},
        PairCase{"H263_Mp3", H263Video2s, fx::Mp3Audio5s, 0, 0, 1, "avi", "avi", 0, 1},
        // AVI holds no Opus and cannot keep the length of AMR, WMA or Vorbis, and WebM
        // holds no H.263, WMV or Theora: only Matroska holds these pairs.
        PairCase{"H263_Amr", H263Video2s, AmrNbAudio2s, 0, 0, MPG_KIND_MATROSKA, "mkv", "mkv", 0,
                 MPG_KIND_MATROSKA},
        PairCase{"Wmv2_Wma", Wmv2Wma2s, Wmv2Wma2s, 0, 0, MPG_KIND_MATROSKA, "mkv", "mkv", 0, MPG_KIND_MATROSKA},
        PairCase{"Theora_Vorbis", TheoraVideo2s, fx::VorbisAudio5s, 0, 0, MPG_KIND_MATROSKA, "mkv", "mkv", 0,
                 MPG_KIND_MATROSKA},
        PairCase{"Theora_Opus", TheoraVideo2s, fx::OpusAudio5s, 0, 0, MPG_KIND_MATROSKA, "mkv", "mkv", 0,
                 MPG_KIND_MATROSKA},
        PairCase{"H263_Opus", H263Video2s, fx::OpusAudio5s, 0, 0, MPG_KIND_MATROSKA, "mkv", "mkv", 0,
                 MPG_KIND_MATROSKA},
        // A cover picture counts as video.
        PairCase{"Cover_Mp3", fx::Mp3WithCover5s, fx::Mp3WithCover5s, 0, 1, 0, "mp4", "mp4", 1, 0},
        PairCase{"AudioWithoutAudio", fx::H264Video10s, fx::H264Video10s, MPG_AUDIO_CODEC_NOT_FOUND, 0, 0, "", "", 0, 0},
        PairCase{"VideoWithoutVideo", fx::AacAudio10s, fx::AacAudio10s, MPG_VIDEO_CODEC_NOT_FOUND, 0, 0, "", "", 0, 0},
        PairCase{"BothMissing", Missing, Missing, MPG_AUDIO_CODEC_NOT_FOUND, 0, 0, "", "", 0, 0},
        PairCase{"TextAsAudio", fx::H264Video10s, fx::TextFile, MPG_AUDIO_CODEC_NOT_FOUND, 0, 0, "", "", 0, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(GetDefExtension, WritesTheExtensionOfAFileHoldingBothStreams) {
  char buf[32];
  std::memset(buf, 'x', sizeof buf);
  MPG_GetDefExtension(fx::Vp9Opus5s().c_str(), buf, sizeof buf);
  EXPECT_STREQ(buf, "webm");
  MPG_GetDefExtension(fx::H264Aac10s().c_str(), buf, sizeof buf);
  EXPECT_STREQ(buf, "mp4");
}

TEST(GetDefExtension, LeavesBufferEmptyForAFileWithoutVideo) {
  char buf[16] = "junk";
  MPG_GetDefExtension(fx::AacAudio10s().c_str(), buf, sizeof buf);
  EXPECT_STREQ(buf, "");
  std::strcpy(buf, "junk");
  MPG_GetDefExtension("/nonexistent.webm", buf, sizeof buf);
  EXPECT_STREQ(buf, "");
}

TEST(GetDefExtension, ZeroSizedBufferIsNotTouched) {
  char buf[8] = "keep";
  MPG_GetDefExtension(fx::Vp9Opus5s().c_str(), buf, 0);
  MPG_GetDefExtension(fx::Vp9Opus5s().c_str(), buf, -3);
  EXPECT_STREQ(buf, "keep");
  MPG_GetDefExtension(fx::Vp9Opus5s().c_str(), nullptr, 8);
}

TEST(GetDefExtension, BufferTooSmallForTheExtensionStaysEmpty) {
  for (int size = 1; size <= 4; ++size) {
    char buf[8] = "xxxxxxx";
    MPG_GetDefExtension(fx::Vp9Opus5s().c_str(), buf, size);
    EXPECT_STREQ(buf, "") << "size " << size;
    EXPECT_EQ(buf[size], 'x') << "wrote past the buffer of size " << size;
  }
  char buf[5];
  MPG_GetDefExtension(fx::Vp9Opus5s().c_str(), buf, 5);
  EXPECT_STREQ(buf, "webm");
}

}  // namespace

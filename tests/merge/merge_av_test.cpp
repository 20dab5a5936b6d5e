// MPG_MergeOP / MPG_MergeOP2 / MPG_MergeAV over codec pairs: the container chosen,
// then the merge into it judged by ffprobe and a full decode. Copied pairs keep
// every packet of both inputs; re-encoded pairs get AAC at the decoder's rate and
// channels and end where the shorter input ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <tuple>

#include "merge/packet_stats.h"

using namespace mpgtest;
using mergetest::Packets;
using mergetest::ReadPackets;
using mergetest::ReadTrack;
using mergetest::Track;

// Rows leave the columns of the other path at 0.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

const std::string kExact = " -fflags +bitexact -flags:a +bitexact -flags:v +bitexact -threads 1 ";
const std::string kPictures = "-f lavfi -i testsrc2=size=176x144:rate=15:duration=2";
const std::string kSine = "-f lavfi -i sine=frequency=440:sample_rate=";
const std::string kNoise = "-f lavfi -i anoisesrc=r=48000:a=0.3:d=4:seed=2" + kExact + "-ac 2 -c:a ";

std::string H263Video2s() { return MakeFixture("h263_2s.3gp", kPictures + kExact + "-c:v h263"); }
std::string TheoraVideo2s() { return MakeFixture("theora_2s.ogv", kPictures + kExact + "-c:v libtheora"); }
std::string AmrNbAudio2s() {
  return MakeFixture("amrnb_2s.3gp", kSine + "8000:duration=2" + kExact + "-ac 1 -c:a libopencore_amrnb");
}
// B-frames: the video is cut in decoding order where the audio ends.
std::string H264BFrames3s() {
  return MakeFixture("h264_bframes_3s.mp4", "-f lavfi -i testsrc2=size=320x240:rate=25:duration=3" + kExact +
                                                "-c:v libx264 -preset veryfast -bf 2 -g 25 -pix_fmt yuv420p");
}
// As a broadcast recorder writes it: timestamps start at 1.4 s.
std::string Mpeg2Ts4s() {
  return MakeFixture("mpeg2_4s.ts", "-f lavfi -i testsrc2=size=320x240:rate=25:duration=4" + kExact +
                                        "-c:v mpeg2video -q:v 4 -g 12");
}
std::string FlacMono44k4s() {
  return MakeFixture("flac_mono_44k_4s.flac", kSine + "44100:duration=4" + kExact + "-ac 1 -c:a flac");
}
// A weak first audio stream (FLAC, mono, 22050 Hz, no stated rate) beside a richer
// second one (AC-3, stereo, 48000 Hz, 192k): the richer one is re-encoded.
std::string FlacThenAc3() {
  return MakeFixture("flac_then_ac3.mka", kSine + "22050:duration=4 " + kSine + "48000:duration=4 -map 0 -map 1" +
                                              kExact + "-c:a:0 flac -ac:a:0 1 -c:a:1 ac3 -ac:a:1 2 -b:a:1 192k");
}
// Noise keeps AAC near its target rate. AC-3 states 96k; live Matroska states none.
std::string NoiseAc3At96k() { return MakeFixture("noise_96k.ac3", kNoise + "ac3 -b:a 96k"); }
std::string NoiseFlacNoRate() { return MakeFixture("noise_flac_live.mka", kNoise + "flac -f matroska -live 1"); }
// An MP4 cut right after its head: it lists frames its body no longer holds.
std::string HeadOnlyMp4() {
  const std::string bytes = ReadBytes(MakeFixture(
      "h264_2s_faststart.mp4", "-f lavfi -i testsrc2=size=320x240:rate=25:duration=2" + kExact +
                                   "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -movflags +faststart"));
  const std::string path = Out("head_only.mp4");
  WriteBytes(path, bytes.substr(0, bytes.find("mdat") + 4));
  return path;
}

using Source = std::string (*)();
struct AvRow {
  const char *name;
  Source video, audio;
  int32_t choice, merge;  // statuses of the choice and of the merge
  uint32_t mode, kind;    // as MergeOp2Result
  const char *ext;
  uint32_t oldMode;  // MergeOpResult.mode
  const char *videoCodec, *audioCodec;
  int rate, channels;  // re-encoded audio
  double seconds;      // re-encode: the shorter input
  int aacRate;         // re-encode: expected AAC bit rate, 0 unchecked
  bool opensOutput;    // fails after opening the output, which goes
};

const AvRow kRows[] = {
    {"H264_Aac", fx::H264Video10s, fx::AacAudio10s, 0, 0, 0, 0, "mp4", 0, "h264", "aac"},
    {"Vp9_Opus", fx::Vp9Video5s, fx::OpusAudio5s, 0, 0, 0, 3, "webm", 0, "vp9", "opus"},
    {"Av1_Opus", fx::Av1Video3s, fx::OpusAudio5s, 0, 0, 0, 3, "webm", 0, "av1", "opus"},
    {"Vp9_Aac", fx::Vp9Video5s, fx::AacAudio10s, 0, 0, 0, 1, "avi", 0, "vp9", "aac"},
    // The older record asks for a re-encode of Opus beside H.264; the merge copies.
    {"H264_Opus", fx::H264Video10s, fx::OpusAudio5s, 0, 0, 0, 0, "mp4", 1, "h264", "opus"},
    // MP4 holds no H.263 or Theora: copied into AVI, or Matroska beside AMR or Opus.
    {"H263_Aac", H263Video2s, fx::AacAudio10s, 0, 0, 0, 1, "avi", 0, "h263", "aac"},
    {"H263_Amr", H263Video2s, AmrNbAudio2s, 0, 0, 0, 4, "mkv", 0, "h263", "amr_nb"},
    {"Theora_Opus", TheoraVideo2s, fx::OpusAudio5s, 0, 0, 0, 4, "mkv", 0, "theora", "opus"},
    {"H264_Flac", fx::H264Video10s, fx::FlacAudio5s, 0, 0, 1, 0, "mp4", 1, "h264", "aac", 48000, 2, 5.0},
    {"Vp9_Ac3", fx::Vp9Video5s, fx::Ac3Audio5s, 0, 0, 1, 0, "mp4", 1, "vp9", "aac", 48000, 2, 5.0},
    {"Mpeg4_Mp3", fx::Mpeg4Video5s, fx::Mp3Audio5s, 0, 0, 1, 0, "mp4", 1, "mpeg4", "aac", 48000, 2, 5.0},
    {"BFrames_MonoFlac", H264BFrames3s, FlacMono44k4s, 0, 0, 1, 0, "mp4", 1, "h264", "aac", 44100, 1, 3.0},
    {"LateTs_Flac", Mpeg2Ts4s, fx::FlacAudio5s, 0, 0, 1, 0, "mp4", 1, "mpeg2video", "aac", 48000, 2, 4.0},
    {"RicherSecondAudio", H264BFrames3s, FlacThenAc3, 0, 0, 1, 0, "mp4", 1, "h264", "aac", 48000, 2, 3.0},
    {"StatedRate", H264BFrames3s, NoiseAc3At96k, 0, 0, 1, 0, "mp4", 1, "h264", "aac", 48000, 2, 3.0, 96000},
    {"NoRateGives128k", H264BFrames3s, NoiseFlacNoRate, 0, 0, 1, 0, "mp4", 1, "h264", "aac", 48000, 2, 3.0, 128000},
    {"NoAudio", fx::H264Video10s, fx::H264Video10s, MPG_AUDIO_CODEC_NOT_FOUND, MPG_AUDIO_CODEC_NOT_FOUND},
    {"NoVideo", fx::AacAudio10s, fx::AacAudio10s, MPG_VIDEO_CODEC_NOT_FOUND, MPG_VIDEO_CODEC_NOT_FOUND},
    // A song's cover picture counts for the choice but is no video to copy.
    {"CoverBesideAac", fx::Mp3WithCover5s, fx::AacAudio10s, 0, MPG_VIDEO_STREAM_NOT_FOUND, 0, 0, "mp4", 0},
    {"NoVideoPacket", HeadOnlyMp4, fx::AacAudio10s, 0, MPG_VIDEO_STREAM_NOT_FOUND, 0, 0, "mp4", 0, "", "", 0, 0, 0, 0, true},
};

const char *FormatName(const std::string &ext) {
  return ext == "mp4" ? "mov,mp4,m4a,3gp,3g2,mj2" : ext == "avi" ? "avi" : "matroska,webm";
}

// The copy path's text reports: each input's first dts when not 0, audio first.
std::vector<std::string> FirstDtsTexts(const std::string &video, const std::string &audio) {
  std::vector<std::string> texts;
  for (const auto &[kind, path, selector] : {std::tuple{"audio", audio, "a:0"}, std::tuple{"video", video, "v:0"}}) {
    const nlohmann::json first = ProbePackets(path, selector).at(0);
    const int64_t dts = first["dts"].get<int64_t>();
    const std::string tb = Probe(path)["streams"][first["stream_index"].get<int>()]["time_base"];
    char text[96];
    std::snprintf(text, sizeof text, "%s.first_dts=%" PRId64 " time=%g", kind, dts, dts / std::stod(tb.substr(tb.find('/') + 1)));
    if (dts != 0) texts.emplace_back(text);
  }
  return texts;
}

void PrintTo(const AvRow &r, std::ostream *os) { *os << r.name; }

class MergeTable : public ::testing::TestWithParam<AvRow> {};

TEST_P(MergeTable, ChoosesTheContainerAndMergesIntoIt) {
  const AvRow &r = GetParam();
  const std::string video = r.video(), audio = r.audio(), out = Out("merged.bin");
  MergeOp2Result op2;
  std::memset(&op2, 0x55, sizeof op2);
  const MergeOp2Result untouched = op2;
  MergeOpResult op{9, 9};
  ASSERT_EQ(MPG_MergeOP2(video.c_str(), audio.c_str(), &op2), r.choice);
  ASSERT_EQ(MPG_MergeOP(video.c_str(), audio.c_str(), &op), r.choice);
  if (r.choice != MPG_OK) {
    EXPECT_EQ(std::memcmp(&op2, &untouched, sizeof op2), 0);
    EXPECT_EQ(op.mode, 9u);
  } else {
    EXPECT_EQ(op2.mode, r.mode);
    EXPECT_EQ(op2.kind, r.kind);
    EXPECT_STREQ(op2.extension, r.ext);
    EXPECT_STREQ(op2.altExtension, r.kind == 3 ? "mkv" : r.ext);
    EXPECT_EQ(op.mode, r.oldMode);
    EXPECT_EQ(op.kind, r.kind == 3 ? 2 : r.kind);
  }
  ProgressLog log;
  if (r.merge != MPG_OK) {  // refused before the output is opened: nothing made, nothing touched
    EXPECT_EQ(MPG_MergeAV(video.c_str(), audio.c_str(), out.c_str(), nullptr, 0), r.merge);
    EXPECT_FALSE(FileExists(out));
    WriteBytes(out, "an earlier download");
    EXPECT_EQ(MPG_MergeAV(video.c_str(), audio.c_str(), out.c_str(), ProgressLog::Callback, log.User()), r.merge);
    EXPECT_EQ(FileExists(out) ? ReadBytes(out) : "removed", r.opensOutput ? "removed" : "an earlier download");
    return;
  }
  ASSERT_EQ(MPG_MergeAV(video.c_str(), audio.c_str(), out.c_str(), ProgressLog::Callback, log.User()), MPG_OK);
  const nlohmann::json info = Probe(out);
  ASSERT_EQ(info["streams"].size(), 2u) << info.dump();
  EXPECT_EQ(info["format"]["format_name"], FormatName(r.ext));
  EXPECT_EQ(info["streams"][0]["codec_name"], r.videoCodec);
  EXPECT_EQ(info["streams"][1]["codec_name"], r.audioCodec);
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
  Packets p = ReadPackets(out);
  const Track v = p.tracks[0], a = p.tracks[1];
  EXPECT_EQ(v.nonIncreasing, 0);
  EXPECT_EQ(a.nonIncreasing, 0);
  EXPECT_LT(p.worstLate, 1.0) << "streams not interleaved by time";
  EXPECT_NEAR(v.first, 0.0, 0.05);
  EXPECT_NEAR(a.first, 0.0, 0.05);
  if (r.mode == 0) {  // both copied whole
    const Track iv = ReadTrack(video, "v:0"), ia = ReadTrack(audio, "a:0");
    EXPECT_EQ(v.count, iv.count);
    EXPECT_EQ(a.count, ia.count);
    EXPECT_NEAR(v.end - v.first, iv.end - iv.first, 0.1);
    EXPECT_NEAR(a.end - a.first, ia.end - ia.first, 0.1);
    EXPECT_EQ(log.texts, FirstDtsTexts(video, audio));
  } else {
    EXPECT_EQ(info["streams"][1]["sample_rate"], std::to_string(r.rate));
    EXPECT_EQ(info["streams"][1]["channels"], r.channels);
    EXPECT_NEAR(v.end, r.seconds, 0.1);
    EXPECT_NEAR(a.end, r.seconds, 0.08);
    EXPECT_TRUE(log.texts.empty());
    const double rate = std::stod(info["streams"][1]["bit_rate"].get<std::string>());
    EXPECT_NEAR(rate, r.aacRate ? r.aacRate : rate, r.aacRate / 10);
  }
  ASSERT_FALSE(log.values.empty());
  EXPECT_TRUE(std::is_sorted(log.values.begin(), log.values.end()));
  EXPECT_GT(log.values.front(), 0);
  EXPECT_LE(*std::max_element(log.values.begin(), log.values.end()), 100);
  EXPECT_EQ(log.values.back(), 100);
  EXPECT_EQ(std::count(log.users.begin(), log.users.end(), log.User()), std::ssize(log.users));
}

INSTANTIATE_TEST_SUITE_P(Merge, MergeTable, ::testing::ValuesIn(kRows),
                         [](const auto &info) { return std::string(info.param.name); });

// A stop at the first report ends either path with a finished, playable file; a
// full disk ends it with the write error.
TEST(MergeEdges, StopAndWriteFailureOnBothPaths) {
  for (const auto &[audio, maxSeconds] : {std::pair{fx::AacAudio10s(), 5.0}, std::pair{fx::FlacAudio5s(), 2.0}}) {
    const std::string video = fx::H264Video10s(), out = Out("stopped.mp4");
    ProgressLog log;
    log.stopAtValue = 1;
    ASSERT_EQ(MPG_MergeAV(video.c_str(), audio.c_str(), out.c_str(), ProgressLog::Callback, log.User()), MPG_OK);
    EXPECT_EQ(log.values.size(), 1u) << audio;
    EXPECT_EQ(Probe(out)["streams"].size(), 2u);
    EXPECT_LT(ProbeDuration(out), maxSeconds);
    std::string errors;
    EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
    EXPECT_EQ(MPG_MergeAV(video.c_str(), audio.c_str(), "/dev/full", nullptr, 0), AVERROR(ENOSPC)) << audio;
  }
  EXPECT_TRUE(FileExists("/dev/full"));
  EXPECT_EQ(MPG_MergeAV(fx::H264Video10s().c_str(), fx::AacAudio10s().c_str(), nullptr, nullptr, 0),
            MPG_BAD_PARAMETER);
}

// Progress follows the scale; inputs shorter than a second have no length to count
// by and send the final report alone.
TEST(MergeEdges, ProgressFollowsTheScale) {
  const std::string shortVideo = MakeFixture(
      "h264_0.8s.mp4", "-f lavfi -i testsrc2=size=320x240:rate=25:duration=0.8" + kExact +
                           "-c:v libx264 -preset ultrafast -pix_fmt yuv420p");
  const std::string shortAudio = MakeFixture("aac_0.8s.m4a", kSine + "48000:duration=0.8 -ac 2" + kExact + "-c:a aac -b:a 96k");
  MPG_SetPercent100(1000);
  ProgressLog full, brief;
  const int32_t rcFull = MPG_MergeAV(fx::H264Video10s().c_str(), fx::AacAudio10s().c_str(), Out("a.mp4").c_str(),
                                     ProgressLog::Callback, full.User());
  const int32_t rcBrief = MPG_MergeAV(shortVideo.c_str(), shortAudio.c_str(), Out("b.mp4").c_str(),
                                      ProgressLog::Callback, brief.User());
  MPG_SetPercent100(100);
  ASSERT_EQ(rcFull, MPG_OK);
  ASSERT_EQ(rcBrief, MPG_OK);
  EXPECT_GT(full.values.size(), 5u);
  EXPECT_LE(*std::max_element(full.values.begin(), full.values.end()), 1000);
  EXPECT_EQ(full.values.back(), 1000);
  EXPECT_EQ(brief.values, std::vector<int32_t>{1000});
}

// The extension lands in the buffer only when it fits with its NUL.
TEST(MergeEdges, DefExtensionFitsTheBufferOrStaysEmpty) {
  const std::string webm = fx::Vp9Opus5s();
  char buf[8] = "xxxxxxx";
  MPG_GetDefExtension(webm.c_str(), buf, 5);
  EXPECT_STREQ(buf, "webm");
  MPG_GetDefExtension(fx::H264Aac10s().c_str(), buf, sizeof buf);
  EXPECT_STREQ(buf, "mp4");
  std::strcpy(buf, "xxxxxxx");
  MPG_GetDefExtension(webm.c_str(), buf, 4);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(buf[4], 'x');
  std::strcpy(buf, "keep");
  MPG_GetDefExtension(webm.c_str(), buf, 0);
  MPG_GetDefExtension(webm.c_str(), nullptr, 8);
  EXPECT_STREQ(buf, "keep");
  MPG_GetDefExtension(fx::AacAudio10s().c_str(), buf, sizeof buf);
  EXPECT_STREQ(buf, "");
}

}  // namespace

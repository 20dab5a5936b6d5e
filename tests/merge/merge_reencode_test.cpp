// The merge with audio re-encode, judged by ffprobe and a full decode of the MP4
// it writes. Faults guarded: an MP4 header without the AAC configuration, encoders
// refusing the decoder's sample format, packets of one audio stream fed
// to another stream's decoder, the wrong ending when either input ends first,
// progress sent when it should not be, and an input overwritten by the output.
#include <gtest/gtest.h>

#include <string>

#include "merge/merge_job.h"
#include "merge/merge_reencode.h"
#include "realworld/realworld.h"
#include "support/media.h"

namespace mpg {
namespace {

using mpgtest::MakeFixture;

const std::string kExact = " -fflags +bitexact -flags:a +bitexact -flags:v +bitexact -threads 1 ";

std::string H264Video3s() {
  return MakeFixture("h264_3s.mp4", "-f lavfi -i testsrc2=size=320x240:rate=25:duration=3" + kExact +
                                        "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p");
}
std::string FlacMono44k4s() {
  return MakeFixture("flac_mono_44k_4s.flac",
                     "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=4" + kExact + "-ac 1 -c:a flac");
}
std::string DtsAudio4s() {
  return MakeFixture("dts_4s.dts", "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=4" + kExact +
                                       "-ac 2 -c:a dca -strict -2");
}
// Noise keeps the AAC encoder near its target rate. AC-3 states its rate in the
// container; Matroska written to a pipe states neither a duration nor a rate.
std::string NoiseAc3At96k() {
  return MakeFixture("noise_96k.ac3", "-f lavfi -i anoisesrc=r=48000:a=0.3:d=4:seed=2" + kExact +
                                          "-ac 2 -c:a ac3 -b:a 96k");
}
std::string NoiseFlacWithoutBitRate() {
  return MakeFixture("noise_flac_live.mka", "-f lavfi -i anoisesrc=r=48000:a=0.3:d=4:seed=2" + kExact +
                                                "-ac 2 -c:a flac -f matroska -live 1");
}
// A weak first audio stream (MP3, mono, 22050 Hz, 32k) and a richer second one
// (AC-3, stereo, 48000 Hz, 192k).
std::string Mp3ThenAc3() {
  return MakeFixture("mp3_then_ac3.mka",
                     "-f lavfi -i sine=frequency=440:sample_rate=22050:duration=4 "
                     "-f lavfi -i sine=frequency=660:sample_rate=48000:duration=4 -map 0 -map 1" +
                         kExact + "-c:a:0 libmp3lame -ac:a:0 1 -b:a:0 32k -c:a:1 ac3 -ac:a:1 2 -b:a:1 192k");
}

// An MPEG-2 TS as a broadcast recorder writes it: timestamps start at 1.4 s.
std::string Mpeg2Ts4s() {
  return MakeFixture("mpeg2_4s.ts", "-f lavfi -i testsrc2=size=320x240:rate=25:duration=4" + kExact +
                                        "-c:v mpeg2video -q:v 4 -g 12");
}
// Garbage over 600 bytes in the middle of an MP3: a frame or two no decoder reads.
std::string DamagedMp3() {
  const std::string path = mpgtest::Out("damaged.mp3");
  std::string bytes = mpgtest::ReadBytes(mpgtest::fx::Mp3Audio5s());
  for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 600; ++i) bytes[i] = static_cast<char>(i * 37);
  mpgtest::WriteBytes(path, bytes);
  return path;
}

struct MergeCase {
  const char *name;
  std::string (*video)();
  std::string (*audio)();
  const char *videoCodec;
  int sampleRate;
  int channels;
  double seconds;  // the shorter input
};

class ReencodeMerge : public ::testing::TestWithParam<MergeCase> {};

void ExpectMergedFile(const std::string &out, const MergeCase &c) {
  const auto probe = mpgtest::Probe(out);
  ASSERT_NE(probe["format"]["format_name"].get<std::string>().find("mp4"), std::string::npos) << probe.dump();
  ASSERT_EQ(probe["streams"].size(), 2u);
  const auto &video = probe["streams"][0];
  const auto &audio = probe["streams"][1];
  EXPECT_EQ(video["codec_name"], c.videoCodec);
  EXPECT_EQ(audio["codec_name"], "aac");
  EXPECT_EQ(std::stoi(audio["sample_rate"].get<std::string>()), c.sampleRate);
  EXPECT_EQ(audio["channels"], c.channels);
  std::string errors;
  EXPECT_TRUE(mpgtest::DecodesCleanly(out, &errors)) << errors;
  EXPECT_NEAR(mpgtest::ProbeDuration(out), c.seconds, 0.2);
  // Both streams start at 0 and reach the shorter input's end: the video with the
  // pictures decoded before it (two frames more with B-frames).
  const mpgtest::PacketSpan v = mpgtest::ProbeSpan(out, "v:0"), a = mpgtest::ProbeSpan(out, "a:0");
  EXPECT_NEAR(v.firstPts, 0.0, 0.05);
  EXPECT_NEAR(a.firstPts, 0.0, 0.05);
  EXPECT_NEAR(v.end, c.seconds, 0.1);
  EXPECT_NEAR(a.end, c.seconds, c.seconds * 0.01 + 0.03);
}

TEST_P(ReencodeMerge, WritesCopiedVideoAndAacAtTheDecodersRateAndChannels) {
  const MergeCase &c = GetParam();
  const std::string video = c.video(), audio = c.audio(), out = mpgtest::Out("merged.mp4");
  MergeJob job("mp4");
  ASSERT_EQ(Code(MergeWithAudioReencode(job, video.c_str(), audio.c_str(), out.c_str(), nullptr, 0)), 0)
      << AvErrorText(Code(job.status));
  ExpectMergedFile(out, c);
}

TEST_P(ReencodeMerge, ExportChoosesTheReencodeAndWritesTheSameFile) {
  const MergeCase &c = GetParam();
  const std::string video = c.video(), audio = c.audio(), out = mpgtest::Out("exported.mp4");
  ASSERT_EQ(MPG_MergeAV(video.c_str(), audio.c_str(), out.c_str(), nullptr, 0), 0);
  ExpectMergedFile(out, c);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, ReencodeMerge,
    ::testing::Values(
        MergeCase{"FlacBesideLongerH264", mpgtest::fx::H264Video10s, mpgtest::fx::FlacAudio5s, "h264", 48000, 2, 5.0},
        MergeCase{"Ac3BesideLongerH264", mpgtest::fx::H264Video10s, mpgtest::fx::Ac3Audio5s, "h264", 48000, 2, 5.0},
        MergeCase{"Mp3BesideMpeg4", mpgtest::fx::Mpeg4Video5s, mpgtest::fx::Mp3Audio5s, "mpeg4", 48000, 2, 5.0},
        MergeCase{"MonoFlacBesideShorterH264", H264Video3s, FlacMono44k4s, "h264", 44100, 1, 3.0},
        MergeCase{"DtsBesideShorterH264", H264Video3s, DtsAudio4s, "h264", 48000, 2, 3.0},
        MergeCase{"FlacBesideTsStartingLate", Mpeg2Ts4s, mpgtest::fx::FlacAudio5s, "mpeg2video", 48000, 2, 4.0}),
    [](const auto &info) { return std::string(info.param.name); });

// The container choice looks at the first audio stream (MP3: a stream copy), so
// only the pipeline's own entry meets this file in a re-encode.
TEST(ReencodeMerge, RicherSecondAudioStreamIsTheOneDecodedAndRead) {
  const MergeCase c{"", H264Video3s, Mp3ThenAc3, "h264", 48000, 2, 3.0};
  const std::string video = c.video(), audio = c.audio(), out = mpgtest::Out("second.mp4");
  MergeJob job("mp4");
  ASSERT_TRUE(IsOk(MergeWithAudioReencode(job, video.c_str(), audio.c_str(), out.c_str(), nullptr, 0)))
      << AvErrorText(Code(job.status));
  ExpectMergedFile(out, c);
}

// One bad frame in an MP3 is skipped, as the ffmpeg tool skips it, and the rest of
// the audio still reaches the video's end.
TEST(ReencodeMerge, UndecodableAudioFrameIsSkipped) {
  // The frames the garbage hides are missing from the 5 s.
  const MergeCase c{"", mpgtest::fx::H264Video10s, DamagedMp3, "h264", 48000, 2, 4.95};
  const std::string video = c.video(), audio = c.audio(), out = mpgtest::Out("damaged_merged.mp4");
  MergeJob job("mp4");
  ASSERT_EQ(MergeWithAudioReencode(job, video.c_str(), audio.c_str(), out.c_str(), nullptr, 0), Status::Ok)
      << AvErrorText(Code(job.status));
  ExpectMergedFile(out, c);
}

struct BitRateCase {
  const char *name;
  std::string (*audio)();
  double bitRate;
};
class ReencodeMergeBitRate : public ::testing::TestWithParam<BitRateCase> {};
TEST_P(ReencodeMergeBitRate, AacTakesTheAudioFilesOverallRate) {
  const std::string video = H264Video3s(), audio = GetParam().audio(), out = mpgtest::Out("rate.mp4");
  MergeJob job("mp4");
  ASSERT_TRUE(IsOk(MergeWithAudioReencode(job, video.c_str(), audio.c_str(), out.c_str(), nullptr, 0)));
  const auto probe = mpgtest::Probe(out);
  ASSERT_EQ(probe["streams"].size(), 2u);
  // The MP4 states the rate measured over what was written.
  const double measured = std::stod(probe["streams"][1]["bit_rate"].get<std::string>());
  EXPECT_NEAR(measured, GetParam().bitRate, GetParam().bitRate * 0.1);
}
INSTANTIATE_TEST_SUITE_P(Files, ReencodeMergeBitRate,
                         ::testing::Values(BitRateCase{"StatedByTheContainer", NoiseAc3At96k, 96000},
                                           BitRateCase{"NoneStatedGives128k", NoiseFlacWithoutBitRate, 128000}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ReencodeMerge, VideoEndingFirstSendsTheFinalReport) {
  const std::string video = H264Video3s(), audio = FlacMono44k4s(), out = mpgtest::Out("video_first.mp4");
  mpgtest::ProgressLog log;
  MergeJob job("mp4");
  ASSERT_TRUE(IsOk(MergeWithAudioReencode(job, video.c_str(), audio.c_str(), out.c_str(),
                                          &mpgtest::ProgressLog::Callback, log.User())));
  ASSERT_FALSE(log.values.empty());
  for (size_t i = 1; i < log.values.size(); ++i) EXPECT_GE(log.values[i], log.values[i - 1]) << i;
  EXPECT_EQ(log.values.back(), 100);
  EXPECT_GT(log.values.front(), 0);
}

// The measured length is the video's (9 whole seconds to its last pts); the audio
// ends at 5 s and the video is copied up to there: the values stay within the
// scale and the merge that ran to its end still sends the whole.
TEST(ReencodeMerge, AudioEndingFirstStillSendsTheFinalReport) {
  const std::string video = mpgtest::fx::H264Video10s(), audio = mpgtest::fx::FlacAudio5s();
  const std::string out = mpgtest::Out("audio_first.mp4");
  mpgtest::ProgressLog log;
  MergeJob job("mp4");
  ASSERT_TRUE(IsOk(MergeWithAudioReencode(job, video.c_str(), audio.c_str(), out.c_str(),
                                          &mpgtest::ProgressLog::Callback, log.User())));
  ASSERT_GE(log.values.size(), 2u);
  for (int32_t v : log.values) EXPECT_LE(v, 100);
  EXPECT_LE(log.values[log.values.size() - 2], 60);
  EXPECT_GE(log.values[log.values.size() - 2], 40);
  EXPECT_EQ(log.values.back(), 100);
}

TEST(ReencodeMerge, StopAtFirstReportLeavesFinishedFile) {
  const std::string video = mpgtest::fx::H264Video10s(), audio = mpgtest::fx::FlacAudio5s();
  const std::string out = mpgtest::Out("stopped.mp4");
  mpgtest::ProgressLog log;
  log.stopAtValue = 1;
  ASSERT_EQ(MPG_MergeAV(video.c_str(), audio.c_str(), out.c_str(), &mpgtest::ProgressLog::Callback, log.User()), 0);
  EXPECT_EQ(log.values.size(), 1u);  // no report after a stop
  EXPECT_EQ(mpgtest::Probe(out)["streams"].size(), 2u);
  std::string errors;
  EXPECT_TRUE(mpgtest::DecodesCleanly(out, &errors)) << errors;
  EXPECT_LT(mpgtest::ProbeDuration(out), 2.0);
}

struct RefusalCase {
  const char *name;
  std::string (*video)();
  std::string (*audio)();
  Status expected;
};
class ReencodeMergeRefusal : public ::testing::TestWithParam<RefusalCase> {};
TEST_P(ReencodeMergeRefusal, FailsWithItsCodeAndWritesNoFile) {
  const std::string video = GetParam().video(), audio = GetParam().audio(), out = mpgtest::Out("refused.mp4");
  MergeJob job("mp4");
  EXPECT_EQ(MergeWithAudioReencode(job, video.c_str(), audio.c_str(), out.c_str(), nullptr, 0), GetParam().expected);
  EXPECT_EQ(job.status, GetParam().expected);
  EXPECT_FALSE(mpgtest::FileExists(out));
}
std::string Missing() { return mpgtest::Out("missing.mp4"); }
INSTANTIATE_TEST_SUITE_P(
    Inputs, ReencodeMergeRefusal,
    ::testing::Values(
        RefusalCase{"AudioFileWithoutAudio", H264Video3s, mpgtest::fx::H264Video10s, Status::AudioStreamNotFound},
        RefusalCase{"VideoFileWithoutVideo", mpgtest::fx::FlacAudio5s, mpgtest::fx::FlacAudio5s,
                    Status::VideoStreamNotFound},
        RefusalCase{"MissingAudioFile", H264Video3s, Missing, StatusFromAv(AVERROR(ENOENT))},
        RefusalCase{"TextAsAudioFile", H264Video3s, mpgtest::fx::TextFile, StatusFromAv(AVERROR_INVALIDDATA)}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ReencodeMerge, OutputNamingAnInputIsRefusedAndTheInputKept) {
  const std::string audio = mpgtest::Out("audio.flac");
  const std::string bytes = mpgtest::ReadBytes(mpgtest::fx::FlacAudio5s());
  mpgtest::WriteBytes(audio, bytes);
  const std::string video = H264Video3s();
  MergeJob job("mp4");
  EXPECT_EQ(MergeWithAudioReencode(job, video.c_str(), audio.c_str(), audio.c_str(), nullptr, 0), Status::SameFile);
  EXPECT_EQ(mpgtest::ReadBytes(audio), bytes);
}

}  // namespace
}  // namespace mpg

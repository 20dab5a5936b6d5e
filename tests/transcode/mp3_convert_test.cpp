// MP3_Convert judged from outside: ffprobe reads the rate, channels and bit rate
// of what was written, a full decode finds no error, and the progress log shows
// what the host saw. Faults guarded: a wrong bit-rate or rate choice, lost samples
// at a rate change or at the end, encoders refusing 16-bit sources, a stop leaving
// a broken file, progress beyond the whole or missing while the value stalls, and
// an input overwritten by its own output.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "support/media.h"

namespace {

using mpgtest::MakeFixture;

const std::string kExact = " -fflags +bitexact -flags:a +bitexact ";

// Length of the decoded audio in seconds. MP3 headers state the encoder's padding
// in their length; the decoder removes it, so this counts what a listener hears.
double DecodedSeconds(const std::string &path) {
  std::string bytes;
  mpgtest::Run("ffmpeg -nostdin -v error -i " + mpgtest::Quote(path) + " -ac 1 -ar 8000 -f s16le - 2>/dev/null", &bytes);
  return static_cast<double>(bytes.size()) / (2 * 8000);
}

// Noise keeps the AAC encoder near its target rate (a pure tone undershoots it).
std::string Aac48k128k() {
  return MakeFixture("noise_48k_128k.m4a", "-f lavfi -i anoisesrc=r=48000:a=0.3:d=5:seed=1 -ac 2" + kExact +
                                               "-c:a aac -b:a 128k");
}
// Unsigned 8-bit mono PCM declares rate × 8 bit/s: 88200 and 176400.
std::string Wav11025() {
  return MakeFixture("sine_11025_u8.wav", "-f lavfi -i sine=f=440:sample_rate=11025:duration=3" + kExact +
                                              "-c:a pcm_u8 -ac 1");
}
std::string Wav22050() {
  return MakeFixture("sine_22050_u8.wav", "-f lavfi -i sine=f=440:sample_rate=22050:duration=3" + kExact +
                                              "-c:a pcm_u8 -ac 1");
}
// 16-bit PCM at 7000 Hz: 112000 bit/s, a rate MP3 lacks.
std::string Wav7000() {
  return MakeFixture("sine_7000_s16.wav", "-f lavfi -i sine=f=440:sample_rate=7000:duration=3" + kExact +
                                             "-c:a pcm_s16le -ac 1");
}
// 16-bit stereo PCM at 44100 Hz: 1411200 bit/s, too high to take over.
std::string Wav44100Stereo() {
  return MakeFixture("sine_44100_s16.wav", "-f lavfi -i sine=f=440:sample_rate=44100:duration=3" + kExact +
                                               "-c:a pcm_s16le -ac 2");
}
std::string Ac3SixChannels() {
  return MakeFixture("sine_51.ac3", "-f lavfi -i sine=f=440:sample_rate=48000:duration=3" + kExact +
                                        "-ac 6 -c:a ac3 -b:a 384k");
}
std::string AacMono() {
  return MakeFixture("sine_mono.m4a", "-f lavfi -i sine=f=440:sample_rate=44100:duration=3" + kExact +
                                          "-ac 1 -c:a aac -b:a 64k");
}
std::string AacHalfSecond() {
  return MakeFixture("sine_0.5s.m4a", "-f lavfi -i sine=f=440:sample_rate=48000:duration=0.5" + kExact +
                                          "-ac 2 -c:a aac -b:a 96k");
}

struct ConvertCase {
  const char *name;
  std::string (*input)();
  int32_t requestedBitRate;
  int sampleRate;
  int channels;
  int64_t bitRate;
};

class Mp3ConvertFiles : public ::testing::TestWithParam<ConvertCase> {};

TEST_P(Mp3ConvertFiles, WritesTheChosenRateChannelsAndBitRate) {
  const ConvertCase &c = GetParam();
  const std::string in = c.input(), out = mpgtest::Out("out.mp3");
  ASSERT_EQ(MP3_Convert(in.c_str(), out.c_str(), c.requestedBitRate, nullptr, 0), 0);

  const auto probe = mpgtest::Probe(out);
  ASSERT_EQ(probe["streams"].size(), 1u);
  const auto &st = probe["streams"][0];
  EXPECT_EQ(st["codec_name"], "mp3");
  EXPECT_EQ(std::stoi(st["sample_rate"].get<std::string>()), c.sampleRate);
  EXPECT_EQ(st["channels"], c.channels);
  EXPECT_EQ(std::stoll(st["bit_rate"].get<std::string>()), c.bitRate);
  std::string errors;
  EXPECT_TRUE(mpgtest::DecodesCleanly(out, &errors)) << errors;
  // Every input sample arrives: nothing stays in the resampler or the encoder.
  EXPECT_NEAR(DecodedSeconds(out), DecodedSeconds(in), 0.03);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, Mp3ConvertFiles,
    ::testing::Values(
        ConvertCase{"Aac128kUncapped", Aac48k128k, 0, 48000, 2, 128000},
        ConvertCase{"Aac128kCappedAt100k", Aac48k128k, 100000, 48000, 2, 112000},
        ConvertCase{"Aac128kCapAboveInput", Aac48k128k, 200000, 48000, 2, 128000},
        ConvertCase{"Rate11025LimitedTo64k", Wav11025, 0, 11025, 1, 64000},
        ConvertCase{"Rate22050LimitedTo160k", Wav22050, 0, 22050, 1, 160000},
        ConvertCase{"Rate7000RaisedTo8000", Wav7000, 0, 8000, 1, 64000},
        ConvertCase{"PcmWav16BitWithoutUsableRateGets128k", Wav44100Stereo, 0, 44100, 2, 128000},
        ConvertCase{"SixChannelsMixedToStereoAtDefaultRate", Ac3SixChannels, 0, 48000, 2, 128000},
        ConvertCase{"MonoStaysMono", AacMono, 0, 44100, 1, 64000}),
    [](const auto &info) { return std::string(info.param.name); });

// FLAC declares no bit rate per stream and decodes to 16-bit samples.
TEST(Mp3Convert, FlacInputConverts) {
  const std::string in = mpgtest::fx::FlacAudio5s(), out = mpgtest::Out("flac.mp3");
  ASSERT_EQ(MP3_Convert(in.c_str(), out.c_str(), 0, nullptr, 0), 0);
  const auto probe = mpgtest::Probe(out);
  EXPECT_EQ(probe["streams"][0]["codec_name"], "mp3");
  EXPECT_EQ(probe["streams"][0]["sample_rate"], "48000");
  EXPECT_TRUE(mpgtest::DecodesCleanly(out));
  EXPECT_NEAR(DecodedSeconds(out), 5.0, 0.03);
}

// The audio of a file that also holds video.
TEST(Mp3Convert, AudioOfAVideoFileConverts) {
  const std::string in = mpgtest::fx::H264Aac10s(), out = mpgtest::Out("av.mp3");
  ASSERT_EQ(MP3_Convert(in.c_str(), out.c_str(), 0, nullptr, 0), 0);
  EXPECT_TRUE(mpgtest::DecodesCleanly(out));
  EXPECT_NEAR(DecodedSeconds(out), 10.0, 0.05);
}

TEST(Mp3Convert, ProgressRisesToTheScaleAndNeverBeyond) {
  const std::string out = mpgtest::Out("progress.mp3");
  mpgtest::ProgressLog log;
  ASSERT_EQ(MP3_Convert(Aac48k128k().c_str(), out.c_str(), 0, &mpgtest::ProgressLog::Callback, log.User()), 0);
  ASSERT_GE(log.values.size(), 50u);
  for (size_t i = 1; i < log.values.size(); ++i) EXPECT_GE(log.values[i], log.values[i - 1]) << i;
  for (int32_t v : log.values) EXPECT_LE(v, 100);
  EXPECT_EQ(log.values.back(), 100);
  for (uintptr_t u : log.users) EXPECT_EQ(u, log.User());
}

// With a scale of 1 the value stays 0 until the end: the host still hears from the
// job every 20 frames, so it can stop it.
TEST(Mp3Convert, ProgressRepeatsEvery20FramesWhileTheValueStalls) {
  const std::string out = mpgtest::Out("stall.mp3");
  mpgtest::ProgressLog log;
  MPG_SetPercent100(1);
  const int32_t st = MP3_Convert(Aac48k128k().c_str(), out.c_str(), 0, &mpgtest::ProgressLog::Callback, log.User());
  MPG_SetPercent100(100);
  ASSERT_EQ(st, 0);
  // 5 s at 48 kHz is about 208 frames of 1152 samples: 10 repeats, then the end.
  ASSERT_GE(log.values.size(), 9u);
  EXPECT_EQ(log.values.back(), 1);
  for (size_t i = 0; i + 2 < log.values.size(); ++i) EXPECT_EQ(log.values[i], 0) << i;
}

TEST(Mp3Convert, InputUnderOneSecondReportsOnlyTheEnd) {
  const std::string out = mpgtest::Out("short.mp3");
  mpgtest::ProgressLog log;
  ASSERT_EQ(MP3_Convert(AacHalfSecond().c_str(), out.c_str(), 0, &mpgtest::ProgressLog::Callback, log.User()), 0);
  EXPECT_EQ(log.values, std::vector<int32_t>{100});
  EXPECT_TRUE(mpgtest::DecodesCleanly(out));
}

TEST(Mp3Convert, StopAtFirstReportLeavesPlayableShorterFile) {
  const std::string out = mpgtest::Out("stopped.mp3");
  mpgtest::ProgressLog log;
  log.stopAtValue = 1;
  ASSERT_EQ(MP3_Convert(Aac48k128k().c_str(), out.c_str(), 0, &mpgtest::ProgressLog::Callback, log.User()), 0);
  EXPECT_EQ(log.values.size(), 1u) << "a stop sends no further report";
  std::string errors;
  EXPECT_TRUE(mpgtest::DecodesCleanly(out, &errors)) << errors;
  const double seconds = mpgtest::ProbeDuration(out, 0);
  EXPECT_GT(seconds, 0.0);
  EXPECT_LT(seconds, 1.0);
}

// A download cut off at 60 %, with junk where its tail should be: what was read
// before the cut is converted and the file finished.
TEST(Mp3Convert, CutOffInputFinishesWithWhatWasRead) {
  // An ADTS stream, since an MP4 cut before its index reads as nothing at all.
  const std::string adts = mpgtest::Out("cut_off.aac"), out = mpgtest::Out("cut_off.mp3");
  const std::string whole = MakeFixture("noise_48k_128k.aac", "-i " + mpgtest::Quote(Aac48k128k()) + " -c copy");
  std::string bytes = mpgtest::ReadBytes(whole);
  bytes.resize(bytes.size() * 6 / 10);
  bytes += std::string(2000, 'x');
  mpgtest::WriteBytes(adts, bytes);
  ASSERT_EQ(MP3_Convert(adts.c_str(), out.c_str(), 0, nullptr, 0), 0);
  EXPECT_TRUE(mpgtest::DecodesCleanly(out));
  EXPECT_NEAR(DecodedSeconds(out), 3.0, 0.3);
}

TEST(Mp3Convert, OutputNamingTheInputIsRefusedAndTheInputKept) {
  const std::string path = mpgtest::Out("self.m4a");
  const std::string bytes = mpgtest::ReadBytes(Aac48k128k());
  mpgtest::WriteBytes(path, bytes);
  const std::string otherSpelling = mpgtest::OutputDir() + "/./self.m4a";
  EXPECT_EQ(MP3_Convert(path.c_str(), otherSpelling.c_str(), 0, nullptr, 0), MPG_SAME_FILE);
  EXPECT_EQ(mpgtest::ReadBytes(path), bytes);
}

TEST(Mp3Convert, InputWithoutAudioGivesAudioStreamNotFoundAndNoFile) {
  const std::string out = mpgtest::Out("none.mp3");
  EXPECT_EQ(MP3_Convert(mpgtest::fx::H264Video10s().c_str(), out.c_str(), 0, nullptr, 0), MPG_AUDIO_STREAM_NOT_FOUND);
  EXPECT_FALSE(mpgtest::FileExists(out));
}

struct BadInputCase {
  const char *name;
  std::string (*input)();
};
std::string MissingFile() { return mpgtest::Out("missing.m4a"); }
std::string Directory() { return mpgtest::OutputDir(); }
std::string EmptyFile() {
  const std::string path = mpgtest::Out("empty.mp3");
  mpgtest::WriteBytes(path, "");
  return path;
}
std::string Truncated() {
  const std::string path = mpgtest::Out("truncated.m4a");
  mpgtest::WriteBytes(path, mpgtest::ReadBytes(Aac48k128k()).substr(0, 2000));
  return path;
}
class Mp3ConvertBadInput : public ::testing::TestWithParam<BadInputCase> {};
TEST_P(Mp3ConvertBadInput, FailsWithAnErrorAndCreatesNoFile) {
  const std::string in = GetParam().input(), out = mpgtest::Out("bad.mp3");
  EXPECT_LT(MP3_Convert(in.c_str(), out.c_str(), 0, nullptr, 0), 0);
  EXPECT_FALSE(mpgtest::FileExists(out));
}
INSTANTIATE_TEST_SUITE_P(Inputs, Mp3ConvertBadInput,
                         ::testing::Values(BadInputCase{"Missing", MissingFile}, BadInputCase{"Directory", Directory},
                                           BadInputCase{"Empty", EmptyFile},
                                           BadInputCase{"TextFile", mpgtest::fx::TextFile},
                                           BadInputCase{"TruncatedHead", Truncated}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Mp3Convert, NullOrEmptyPathsAreBadParameters) {
  const std::string in = Aac48k128k();
  EXPECT_EQ(MP3_Convert(nullptr, "x.mp3", 0, nullptr, 0), MPG_BAD_PARAMETER);
  EXPECT_EQ(MP3_Convert(in.c_str(), nullptr, 0, nullptr, 0), MPG_BAD_PARAMETER);
  EXPECT_EQ(MP3_Convert(in.c_str(), "", 0, nullptr, 0), MPG_BAD_PARAMETER);
}

// Garbage in the middle of an MP3: the decoder skips what it cannot read and the
// rest of the file still converts.
TEST(Mp3Convert, DamagedMiddleIsSkipped) {
  std::string bytes = mpgtest::ReadBytes(mpgtest::fx::Mp3Audio5s());
  for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 600; ++i) bytes[i] = static_cast<char>(i * 37);
  const std::string in = mpgtest::Out("damaged.mp3"), out = mpgtest::Out("repaired.mp3");
  mpgtest::WriteBytes(in, bytes);
  ASSERT_EQ(MP3_Convert(in.c_str(), out.c_str(), 0, nullptr, 0), 0);
  EXPECT_TRUE(mpgtest::DecodesCleanly(out));
  EXPECT_GT(mpgtest::ProbeDuration(out, 0), 4.5);
}

}  // namespace

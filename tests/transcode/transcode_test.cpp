// MPG_Transcode judged from outside: ffprobe reads the container, codecs, sizes and
// packet timestamps of what was written, a full decode finds no error, and the
// progress log shows what the host saw. Faults guarded: audio left out of the
// output, pictures lost in the decoder or encoder at the end, encoders refusing
// 4:4:4 pictures, bit budgets planned for the clock instead of the frame rate,
// audio timestamps in the wrong clock for Matroska and MPEG-TS, frame-rate
// reduction corrupting inter-coded pictures, muxers FFmpeg names differently
// from the extension table, audio a container refuses copied into it instead of
// re-encoded to its usual codec, an unknown video codec dropping the video, one
// damaged audio frame failing the whole job or shortening the audio, a stop
// leaving a broken file, failures leaving partial files, and an input destroyed
// by its own output.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

extern "C" {
#include <libavutil/error.h>
}

#include "mpg.h"
#include "mpg_string.hpp"
#include "support/media.h"

namespace {

using mpgtest::MakeFixture;
using nlohmann::json;

const std::string kExact = " -fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1 ";
const std::string kTone = " -f lavfi -i sine=frequency=440:sample_rate=48000:duration=";

// H.264 and AAC in MP4 (video clock 1/12800) at a given size and rate.
std::string H264Aac(const std::string &name, const std::string &size, int rate, const std::string &seconds,
                    const std::string &pixFmt = "yuv420p") {
  return MakeFixture(name, "-f lavfi -i testsrc2=size=" + size + ":rate=" + std::to_string(rate) + ":duration=" +
                               seconds + kTone + seconds + " -ac 2" + kExact +
                               "-c:v libx264 -preset ultrafast -g 25 -pix_fmt " + pixFmt +
                               " -c:a aac -b:a 96k -shortest");
}
std::string Small3s() { return H264Aac("small_3s.mp4", "320x240", 25, "3"); }
std::string Wide640x360() { return H264Aac("wide_640x360.mp4", "640x360", 10, "1"); }
std::string Tiny176x120() { return H264Aac("tiny_176x120.mp4", "176x120", 10, "1"); }
std::string Full1920x1080() { return H264Aac("full_1920x1080.mp4", "1920x1080", 5, "1"); }
// 4:4:4 pictures, which MPEG-4 Part 2 cannot take as they are.
std::string Yuv444() { return H264Aac("yuv444_2s.mp4", "320x240", 25, "2", "yuv444p"); }
std::string Fps50() { return H264Aac("fps50_2s.mp4", "320x240", 50, "2"); }
TranscodeParams Params(int32_t outputFormat) {
  TranscodeParams p{};
  p.outputFormat = outputFormat;
  return p;
}

int32_t RunTranscode(const std::string &in, const std::string &out, const TranscodeParams &p,
                     mpgtest::ProgressLog *log = nullptr) {
  const Str::string inPath(in.c_str()), outPath(out.c_str());
  return log ? MPG_Transcode(&inPath, &outPath, &p, &mpgtest::ProgressLog::Callback, log->User())
             : MPG_Transcode(&inPath, &outPath, &p, nullptr, 0);
}

const json *FirstStream(const json &probe, const std::string &type) {
  if (!probe.contains("streams")) return nullptr;
  for (const json &st : probe["streams"]) {
    if (st["codec_type"] == type) return &st;
  }
  return nullptr;
}

// Seconds from the first packet's pts to the end of the last packet of a stream
// ("v:0", "a:0"), read from the packets themselves, which every container has.
double PacketSpan(const std::string &path, const std::string &selector) {
  double first = 1e300, end = -1e300;
  for (const json &pkt : mpgtest::ProbePackets(path, selector)) {
    // AVI stores no pts: its packets are in presentation order by dts.
    const char *key = pkt.contains("pts_time") ? "pts_time" : "dts_time";
    if (!pkt.contains(key)) continue;
    const double pts = std::stod(pkt[key].get<std::string>());
    const double dur = pkt.contains("duration_time") ? std::stod(pkt["duration_time"].get<std::string>()) : 0.0;
    first = std::min(first, pts);
    end = std::max(end, pts + dur);
  }
  return end > first ? end - first : 0.0;
}

size_t PacketCount(const std::string &path, const std::string &selector) {
  return mpgtest::ProbePackets(path, selector).size();
}

struct OutputCase {
  const char *name;
  std::string (*input)();
  TranscodeParams params;
  const char *formatName;  // ffprobe's format_name
  const char *videoCodec;  // "" when the output has no video
  int width, height;
  const char *audioCodec;
  int sampleRate, channels;  // 0: not checked
  bool sameFrameCount;       // every input picture reaches the output
};

TranscodeParams With(TranscodeParams p, int32_t TranscodeParams::*field, int32_t value) {
  p.*field = value;
  return p;
}
TranscodeParams With(TranscodeParams p, int32_t TranscodeParams::*f1, int32_t v1, int32_t TranscodeParams::*f2,
                     int32_t v2) {
  return With(With(p, f1, v1), f2, v2);
}

class TranscodeOutputs : public ::testing::TestWithParam<OutputCase> {};

TEST_P(TranscodeOutputs, WritesTheAskedCodecsSizesAndFullDurations) {
  const OutputCase &c = GetParam();
  const std::string in = c.input(), out = mpgtest::Out("out.bin");
  ASSERT_EQ(RunTranscode(in, out, c.params), 0);

  const json probe = mpgtest::Probe(out);
  ASSERT_TRUE(probe.contains("format")) << "ffprobe cannot read the output";
  EXPECT_EQ(probe["format"]["format_name"], c.formatName);
  const json *video = FirstStream(probe, "video");
  if (*c.videoCodec) {
    ASSERT_NE(video, nullptr);
    EXPECT_EQ((*video)["codec_name"], c.videoCodec);
    EXPECT_EQ((*video)["width"], c.width);
    EXPECT_EQ((*video)["height"], c.height);
    EXPECT_NEAR(PacketSpan(out, "v:0"), PacketSpan(in, "v:0"), 0.2);
    if (c.sameFrameCount) {
      EXPECT_EQ(PacketCount(out, "v:0"), PacketCount(in, "v:0"));
    }
  } else {
    EXPECT_EQ(video, nullptr);
  }
  const json *audio = FirstStream(probe, "audio");
  ASSERT_NE(audio, nullptr) << "the audio did not reach the output";
  EXPECT_EQ((*audio)["codec_name"], c.audioCodec);
  if (c.sampleRate) {
    EXPECT_EQ((*audio)["sample_rate"], std::to_string(c.sampleRate));
  }
  if (c.channels) {
    EXPECT_EQ((*audio)["channels"], c.channels);
  }
  EXPECT_NEAR(PacketSpan(out, "a:0"), PacketSpan(in, "a:0"), 0.2);
  std::string errors;
  EXPECT_TRUE(mpgtest::DecodesCleanly(out, &errors)) << errors;
}

using P = TranscodeParams;
INSTANTIATE_TEST_SUITE_P(
    Cases, TranscodeOutputs,
    ::testing::Values(
        OutputCase{"AllZeroCopiesBothStreamsIntoMp4", mpgtest::fx::Mpeg4Mp3Avi5s, Params(4), "mov,mp4,m4a,3gp,3g2,mj2",
                   "mpeg4", 320, 240, "mp3", 0, 0, true},
        OutputCase{"ChoiceFiveGivesH264FromMpeg4", mpgtest::fx::Mpeg4Mp3Avi5s,
                   With(Params(4), &P::videoCodecChoice, 5), "mov,mp4,m4a,3gp,3g2,mj2", "h264", 320, 240, "mp3", 0,
                   0, true},
        OutputCase{"H263Forces640x360To352x288", Wide640x360, With(Params(0), &P::videoCodecChoice, 4),
                   "mov,mp4,m4a,3gp,3g2,mj2", "h263", 352, 288, "aac", 0, 0, true},
        OutputCase{"H263Forces176x120To128x96", Tiny176x120, With(Params(0), &P::videoCodecChoice, 4),
                   "mov,mp4,m4a,3gp,3g2,mj2", "h263", 128, 96, "aac", 0, 0, true},
        OutputCase{"H263Forces1920x1080To1408x1152", Full1920x1080, With(Params(0), &P::videoCodecChoice, 4),
                   "mov,mp4,m4a,3gp,3g2,mj2", "h263", 1408, 1152, "aac", 0, 0, true},
        OutputCase{"ScalePercentTakesAShareOfTheInputSize", Small3s,
                   With(Params(4), &P::scalePercent, 50, &P::width, 1), "mov,mp4,m4a,3gp,3g2,mj2", "h264", 160, 120,
                   "aac", 0, 0, true},
        OutputCase{"HeightAloneKeepsTheAspectRatio", Small3s, With(Params(4), &P::height, 120),
                   "mov,mp4,m4a,3gp,3g2,mj2", "h264", 160, 120, "aac", 0, 0, true},
        OutputCase{"ScalePercentOfTheWholeIsNoShare", Small3s,
                   With(Params(4), &P::scalePercent, 100, &P::width, 160), "mov,mp4,m4a,3gp,3g2,mj2", "h264", 160,
                   120, "aac", 0, 0, true},
        OutputCase{"Yuv444ConvertedForTheMpeg4Encoder", Yuv444, With(Params(2), &P::videoCodecChoice, 1), "avi",
                   "mpeg4", 320, 240, "aac", 0, 0, true},
        OutputCase{"AmrNbIn3gpIsMonoAt8000", Small3s, With(Params(0), &P::audioCodecChoice, 3),
                   "mov,mp4,m4a,3gp,3g2,mj2", "h264", 320, 240, "amr_nb", 8000, 1, true},
        OutputCase{"AacMonoAtTheSnappedRate", mpgtest::fx::Mpeg4Mp3Avi5s,
                   With(Params(4), &P::audioCodecChoice, 2, &P::audioSampleRate, 22000), "mov,mp4,m4a,3gp,3g2,mj2",
                   "mpeg4", 320, 240, "aac", 22050, 2, true},
        OutputCase{"StereoToMonoOnRequest", Small3s, With(Params(4), &P::audioChannels, 1),
                   "mov,mp4,m4a,3gp,3g2,mj2", "h264", 320, 240, "aac", 48000, 1, true},
        OutputCase{"Format1WritesAdts", mpgtest::fx::AacAudio10s, Params(1), "aac", "", 0, 0, "aac", 0, 0, false},
        OutputCase{"Format1DropsTheVideoOfAnAudioOnlyMuxer", Small3s, Params(1), "aac", "", 0, 0, "aac", 0, 0,
                   false},
        OutputCase{"Format3WritesTheAudioOfAVideoFileAsMp3", Small3s, With(Params(3), &P::audioCodecChoice, 1),
                   "mp3", "", 0, 0, "mp3", 48000, 2, false},
        OutputCase{"Format8WritesAsf", mpgtest::fx::Mpeg4Mp3Avi5s, Params(8), "asf", "mpeg4", 320, 240, "mp3", 0, 0,
                   true},
        OutputCase{"Format6CopiesIntoMpegTs", Small3s, Params(6), "mpegts", "h264", 320, 240, "aac", 0, 0, true},
        OutputCase{"Format7CopiesIntoWebm", mpgtest::fx::Vp9Opus5s, Params(7), "matroska,webm", "vp9", 320, 240,
                   "opus", 0, 0, true},
        // The encoders count in samples; Matroska keeps milliseconds, MPEG-TS 90 kHz.
        OutputCase{"OpusReencodedIntoWebmKeepsItsClock", mpgtest::fx::Vp9Opus5s,
                   With(Params(7), &P::audioBitRateRequest, 64000), "matroska,webm", "vp9", 320, 240, "opus", 48000,
                   2, true},
        OutputCase{"Mp3ReencodedIntoMpegTsKeepsItsClock", Small3s, With(Params(6), &P::audioCodecChoice, 1),
                   "mpegts", "h264", 320, 240, "mp3", 48000, 2, true}),
    [](const auto &info) { return std::string(info.param.name); });

// Without any field set the video is a remux: the same packets, byte for byte in
// size, in the same order.
TEST(Transcode, AllZeroCopiesTheVideoPacketForPacket) {
  const std::string in = mpgtest::fx::Mpeg4Mp3Avi5s(), out = mpgtest::Out("copy.mp4");
  ASSERT_EQ(RunTranscode(in, out, Params(4)), 0);
  const json inPackets = mpgtest::ProbePackets(in, "v:0"), outPackets = mpgtest::ProbePackets(out, "v:0");
  ASSERT_EQ(outPackets.size(), inPackets.size());
  for (size_t i = 0; i < inPackets.size(); ++i) EXPECT_EQ(outPackets[i]["size"], inPackets[i]["size"]) << i;
}

// 50 fps H.264 to MPEG-4 at a 1/25 frame time: every second picture is left out
// after decoding, so the rest still decode cleanly, and the output keeps the
// whole length.
TEST(Transcode, FrameTimeHalvesTheFrameRateWithoutBreakingPictures) {
  const std::string in = Fps50(), out = mpgtest::Out("25fps.avi");
  TranscodeParams p = With(Params(2), &P::frameTimeNum, 1, &P::frameTimeDen, 25);
  p.videoCodecChoice = 6;
  ASSERT_EQ(RunTranscode(in, out, p), 0);
  const json probe = mpgtest::Probe(out);
  const json *video = FirstStream(probe, "video");
  ASSERT_NE(video, nullptr);
  EXPECT_EQ((*video)["time_base"], "1/25");
  const auto inFrames = static_cast<double>(PacketCount(in, "v:0"));
  EXPECT_NEAR(static_cast<double>(PacketCount(out, "v:0")), inFrames / 2, 2);
  EXPECT_NEAR(PacketSpan(out, "v:0"), PacketSpan(in, "v:0"), 0.2);
  std::string errors;
  EXPECT_TRUE(mpgtest::DecodesCleanly(out, &errors)) << errors;
}

// The MP4 input's clock is 1/12800: an MPEG-4 encoder planning for 12800 frames a
// second would spend a fraction of the asked rate.
TEST(Transcode, RequestedVideoBitRateIsSpentAtTheInputFrameRate) {
  const std::string out = mpgtest::Out("rate.mp4");
  constexpr int32_t kRate = 1500000;
  ASSERT_EQ(RunTranscode(Small3s(), out, With(Params(4), &P::videoCodecChoice, 6, &P::videoBitRateRequest, kRate)), 0);
  const json probe = mpgtest::Probe(out);
  const json *video = FirstStream(probe, "video");
  ASSERT_NE(video, nullptr);
  const double bitRate = std::stod((*video)["bit_rate"].get<std::string>());
  EXPECT_GT(bitRate, kRate * 0.7);
  EXPECT_LT(bitRate, kRate * 1.3);
}

TEST(Transcode, InputWithoutAudioGivesAudioStreamNotFoundAndNoFile) {
  const std::string out = mpgtest::Out("none.mp4");
  EXPECT_EQ(RunTranscode(mpgtest::fx::H264Video10s(), out, Params(4)), MPG_AUDIO_STREAM_NOT_FOUND);
  EXPECT_FALSE(mpgtest::FileExists(out));
}

// Garbage over a few frames in the middle of an MP3: the decoder refuses them, the
// transcode skips them as the ffmpeg tool does, and keeps their time as silence, so
// the audio lasts as long as the undamaged file's.
TEST(Transcode, UndecodableAudioFramesAreSkippedKeepingTheirTime) {
  const std::string whole = mpgtest::fx::Mp3Audio5s();
  std::string bytes = mpgtest::ReadBytes(whole);
  for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 600; ++i) bytes[i] = static_cast<char>(i * 37);
  const std::string damaged = mpgtest::Out("damaged_audio.mp3");
  mpgtest::WriteBytes(damaged, bytes);
  const std::string out = mpgtest::Out("damaged_audio.mp4"), reference = mpgtest::Out("whole_audio.mp4");
  // AAC: a copy of the MP3 would decode nothing.
  const TranscodeParams toAac = With(Params(4), &TranscodeParams::audioCodecChoice, 2);
  ASSERT_EQ(RunTranscode(damaged, out, toAac), 0);
  ASSERT_EQ(RunTranscode(whole, reference, toAac), 0);
  EXPECT_TRUE(mpgtest::DecodesCleanly(out));
  // The garbage hides up to a frame that no packet carries; the two refused
  // frames dropped would cost 0.05 s more.
  EXPECT_NEAR(PacketSpan(out, "a:0"), PacketSpan(reference, "a:0"), 0.05);
}

TEST(Transcode, StopAtFirstReportLeavesAFinishedShorterFile) {
  const std::string in = mpgtest::fx::H264Aac10s(), out = mpgtest::Out("stopped.mp4");
  mpgtest::ProgressLog log;
  log.stopAtValue = 1;
  ASSERT_EQ(RunTranscode(in, out, With(Params(4), &P::videoCodecChoice, 5), &log), 0);
  EXPECT_EQ(log.values.size(), 1u) << "a stop sends no further report";
  const json probe = mpgtest::Probe(out);
  EXPECT_NE(FirstStream(probe, "video"), nullptr);
  EXPECT_NE(FirstStream(probe, "audio"), nullptr);
  EXPECT_LT(PacketSpan(out, "v:0"), 2.0);
  std::string errors;
  EXPECT_TRUE(mpgtest::DecodesCleanly(out, &errors)) << errors;
}

struct ProgressCase {
  const char *name;
  std::string (*input)();
};
class TranscodeProgress : public ::testing::TestWithParam<ProgressCase> {};
TEST_P(TranscodeProgress, RisesToTheScaleAndNeverBeyond) {
  const std::string out = mpgtest::Out("progress.mp4");
  mpgtest::ProgressLog log;
  ASSERT_EQ(RunTranscode(GetParam().input(), out, Params(4), &log), 0);
  ASSERT_GE(log.values.size(), 10u);
  for (size_t i = 1; i < log.values.size(); ++i) EXPECT_GE(log.values[i], log.values[i - 1]) << i;
  for (size_t i = 1; i + 1 < log.values.size(); ++i) EXPECT_GT(log.values[i], log.values[i - 1]) << i;
  for (int32_t v : log.values) EXPECT_LE(v, 100);
  EXPECT_EQ(log.values.back(), 100);
  for (uintptr_t u : log.users) EXPECT_EQ(u, log.User());
}
INSTANTIATE_TEST_SUITE_P(Inputs, TranscodeProgress,
                         ::testing::Values(ProgressCase{"FromTheVideo", mpgtest::fx::H264Aac10s},
                                           ProgressCase{"FromTheAudioWithoutVideo", mpgtest::fx::AacAudio10s}),
                         [](const auto &info) { return std::string(info.param.name); });

// A download cut off at 60 %, with junk where its tail should be.
std::string CutOffDownload() {
  const std::string whole = MakeFixture("h264_aac_6s.mkv",
                                        "-f lavfi -i testsrc2=size=320x240:rate=25:duration=6 -f lavfi -i sine=duration=6"
                                        " -fflags +bitexact -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac"
                                        " -shortest");
  std::string bytes = mpgtest::ReadBytes(whole);
  bytes.resize(bytes.size() * 6 / 10);
  bytes += std::string(2000, 'x');
  const std::string path = mpgtest::Out("cut_off.mkv");
  mpgtest::WriteBytes(path, bytes);
  return path;
}

// What was read before the cut is kept and the file finished, as the ffmpeg tool does.
TEST(Transcode, CutOffInputFinishesWithWhatWasRead) {
  const std::string out = mpgtest::Out("cut_off.mp4");
  ASSERT_EQ(RunTranscode(CutOffDownload(), out, With(Params(4), &P::videoCodecChoice, 5)), 0);
  EXPECT_GT(PacketSpan(out, "v:0"), 3.0);
  EXPECT_LT(PacketSpan(out, "v:0"), 4.5);
  EXPECT_GT(PacketSpan(out, "a:0"), 3.0);
  std::string errors;
  EXPECT_TRUE(mpgtest::DecodesCleanly(out, &errors)) << errors;
}

TEST(Transcode, OutputNamingTheInputIsRefusedAndTheInputKept) {
  const std::string path = mpgtest::Out("self.avi");
  const std::string bytes = mpgtest::ReadBytes(mpgtest::fx::Mpeg4Mp3Avi5s());
  mpgtest::WriteBytes(path, bytes);
  const std::string otherSpelling = mpgtest::OutputDir() + "/./self.avi";
  EXPECT_EQ(RunTranscode(path, otherSpelling, Params(2)), MPG_SAME_FILE);
  EXPECT_EQ(mpgtest::ReadBytes(path), bytes);
}

// The MP3 muxer refuses the AMR-NB asked for: the header fails after the file was
// created, and the partial file goes.
TEST(Transcode, FailureAfterTheOutputExistsDeletesIt) {
  const std::string out = mpgtest::Out("amr-in-mp3.mp3");
  EXPECT_LT(RunTranscode(mpgtest::fx::AacAudio10s(), out, With(Params(3), &P::audioCodecChoice, 3)), 0);
  EXPECT_FALSE(mpgtest::FileExists(out));
}

// With no field set, audio the container cannot hold is re-encoded to its usual
// codec rather than refused: AAC into an MP3 file becomes MP3, FLAC into MP4 AAC.
struct FallbackCase {
  const char *name;
  std::string (*input)();
  int32_t outputFormat;
  const char *audioCodec;
};
class TranscodeAudioFallback : public ::testing::TestWithParam<FallbackCase> {};
TEST_P(TranscodeAudioFallback, ReencodesToTheContainersCodec) {
  const FallbackCase &c = GetParam();
  const std::string in = c.input(), out = mpgtest::Out("fallback.bin");
  ASSERT_EQ(RunTranscode(in, out, Params(c.outputFormat)), 0);
  const json probe = mpgtest::Probe(out);
  const json *audio = FirstStream(probe, "audio");
  ASSERT_NE(audio, nullptr);
  EXPECT_EQ((*audio)["codec_name"], c.audioCodec);
  EXPECT_NEAR(PacketSpan(out, "a:0"), PacketSpan(in, "a:0"), 0.2);
  std::string errors;
  EXPECT_TRUE(mpgtest::DecodesCleanly(out, &errors)) << errors;
}
INSTANTIATE_TEST_SUITE_P(Inputs, TranscodeAudioFallback,
                         ::testing::Values(FallbackCase{"AacIntoMp3File", mpgtest::fx::AacAudio10s, 3, "mp3"},
                                           FallbackCase{"FlacIntoMp4", mpgtest::fx::FlacAudio5s, 4, "aac"},
                                           FallbackCase{"VorbisIntoAdts", mpgtest::fx::VorbisAudio5s, 1, "aac"}),
                         [](const auto &info) { return std::string(info.param.name); });

struct RefusedCase {
  const char *name;
  TranscodeParams params;
  int32_t status;
};
class TranscodeRefused : public ::testing::TestWithParam<RefusedCase> {};
TEST_P(TranscodeRefused, ReturnsTheStatusAndWritesNothing) {
  const std::string out = mpgtest::Out("refused.mp4");
  EXPECT_EQ(RunTranscode(mpgtest::fx::Mpeg4Mp3Avi5s(), out, GetParam().params), GetParam().status);
  EXPECT_FALSE(mpgtest::FileExists(out));
}
INSTANTIATE_TEST_SUITE_P(
    Params, TranscodeRefused,
    ::testing::Values(RefusedCase{"AudioChoiceFive", With(Params(4), &P::audioCodecChoice, 5), MPG_BAD_PARAMETER},
                      RefusedCase{"AudioChoiceNegative", With(Params(4), &P::audioCodecChoice, -1), MPG_BAD_PARAMETER},
                      // An unknown video codec would leave the video out.
                      RefusedCase{"VideoChoiceNine", With(Params(4), &P::videoCodecChoice, 9), MPG_BAD_PARAMETER},
                      RefusedCase{"VideoChoiceNegative", With(Params(4), &P::videoCodecChoice, -1), MPG_BAD_PARAMETER},
                      RefusedCase{"FormatNine", Params(9), AVERROR_MUXER_NOT_FOUND},
                      RefusedCase{"FormatNegative", Params(-1), AVERROR_MUXER_NOT_FOUND}),
    [](const auto &info) { return std::string(info.param.name); });

struct BadInputCase {
  const char *name;
  std::string (*input)();
};
std::string MissingFile() { return mpgtest::Out("missing.avi"); }
std::string Directory() { return mpgtest::OutputDir(); }
std::string EmptyFile() {
  const std::string path = mpgtest::Out("empty.avi");
  mpgtest::WriteBytes(path, "");
  return path;
}
std::string TruncatedHead() {
  const std::string path = mpgtest::Out("truncated.mp4");
  mpgtest::WriteBytes(path, mpgtest::ReadBytes(Small3s()).substr(0, 3000));
  return path;
}
class TranscodeBadInput : public ::testing::TestWithParam<BadInputCase> {};
TEST_P(TranscodeBadInput, FailsWithAnErrorAndLeavesNoFile) {
  const std::string in = GetParam().input(), out = mpgtest::Out("bad.mp4");
  EXPECT_NE(RunTranscode(in, out, With(Params(4), &P::videoCodecChoice, 5)), 0);
  EXPECT_FALSE(mpgtest::FileExists(out));
}
INSTANTIATE_TEST_SUITE_P(Inputs, TranscodeBadInput,
                         ::testing::Values(BadInputCase{"Missing", MissingFile}, BadInputCase{"Directory", Directory},
                                           BadInputCase{"Empty", EmptyFile},
                                           BadInputCase{"TextFile", mpgtest::fx::TextFile},
                                           BadInputCase{"TruncatedHead", TruncatedHead}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Transcode, OutputInAMissingDirectoryFailsWithoutTouchingTheInput) {
  const std::string in = mpgtest::fx::Mpeg4Mp3Avi5s(), bytes = mpgtest::ReadBytes(in);
  EXPECT_LT(RunTranscode(in, mpgtest::Out("no/such/dir/out.mp4"), Params(4)), 0);
  EXPECT_EQ(mpgtest::ReadBytes(in), bytes);
}

TEST(Transcode, NullAndEmptyArgumentsAreBadParameters) {
  const std::string in = mpgtest::fx::Mpeg4Mp3Avi5s();
  const Str::string inPath(in.c_str()), outPath(mpgtest::Out("x.mp4").c_str()), empty;
  const TranscodeParams p = Params(4);
  EXPECT_EQ(MPG_Transcode(&inPath, &outPath, nullptr, nullptr, 0), MPG_BAD_PARAMETER);
  EXPECT_EQ(MPG_Transcode(static_cast<const Str::string *>(nullptr), &outPath, &p, nullptr, 0), MPG_BAD_PARAMETER);
  EXPECT_EQ(MPG_Transcode(&inPath, static_cast<const Str::string *>(nullptr), &p, nullptr, 0), MPG_BAD_PARAMETER);
  EXPECT_EQ(MPG_Transcode(&empty, &outPath, &p, nullptr, 0), MPG_BAD_PARAMETER);
  EXPECT_EQ(MPG_Transcode(&inPath, &empty, &p, nullptr, 0), MPG_BAD_PARAMETER);
  EXPECT_FALSE(mpgtest::FileExists(mpgtest::Out("x.mp4")));
}

// Paths under 16 characters live inside the string object; longer ones behind its
// pointer. A record whose size exceeds its capacity is not read at all.
TEST(Transcode, ReadsInlineAndAllocatedPathTextAndRefusesBrokenRecords) {
  const std::string shortOut = "/tmp/t" + std::to_string(getpid() % 100000) + ".mp4";
  ASSERT_LT(shortOut.size(), 16u);
  const Str::string inPath(mpgtest::fx::Mpeg4Mp3Avi5s().c_str()), outPath(shortOut.c_str());
  ASSERT_LT(outPath.capacity(), 16u);
  const TranscodeParams p = Params(4);
  ASSERT_EQ(MPG_Transcode(&inPath, &outPath, &p, nullptr, 0), 0);
  EXPECT_NE(FirstStream(mpgtest::Probe(shortOut), "video"), nullptr);
  unlink(shortOut.c_str());

  MpgString broken{};
  std::memcpy(&broken, &outPath, sizeof broken);
  broken.size = 40;  // beyond the inline capacity
  EXPECT_EQ(MPG_Transcode(reinterpret_cast<const MpgString *>(&inPath), &broken, &p, nullptr, 0), MPG_BAD_PARAMETER);
  EXPECT_FALSE(mpgtest::FileExists(shortOut));
}

}  // namespace

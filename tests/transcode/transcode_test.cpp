// MPG_Transcode and MP3_Convert judged from outside: per row, ffprobe reads the output's streams and packets (each
// stream's length against the input's, rising timestamps), a full decode, the status and the progress reports.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/error.h>
}

#include "mpg.h"
#include "mpg_string.hpp"
#include "support/media.h"

// Requests name the fields they set; designated initializers leave the others 0.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace mpgtest;
using nlohmann::json;
using P = TranscodeParams;

const std::string kExact = " -fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1 ";
const std::string kTone = " -f lavfi -i sine=frequency=440:sample_rate=48000:duration=";
const std::string kUsersFile = "the user's own file";
constexpr int32_t kAnyError = INT32_MIN;  // a failure once the output is open: any FFmpeg code, no file left

// H.264 and AAC in MP4 (video clock 1/12800).
std::string H264Aac(const std::string &size, int rate, const std::string &secs, const char *pixFmt = "yuv420p") {
  const std::string video = "-f lavfi -i testsrc2=size=" + size + ":rate=" + std::to_string(rate) + ":duration=" + secs;
  return MakeFixture("h264_aac.mp4", video + kTone + secs + " -ac 2" + kExact + "-c:v libx264 -preset ultrafast -g 25" +
                                         " -pix_fmt " + pixFmt + " -c:a aac -shortest");
}
std::string Small() { return H264Aac("320x240", 25, "3"); }
std::string Wide() { return H264Aac("640x360", 10, "1"); }
std::string Yuv444() { return H264Aac("320x240", 25, "2", "yuv444p"); }
std::string Avi() { return fx::Mpeg4Mp3Avi5s(); }
std::string Tiny() { return H264Aac("176x120", 10, "1"); }
std::string Hd() { return H264Aac("1280x720", 10, "1"); }
std::string Full() { return H264Aac("1920x1080", 5, "1"); }
// MP3 in NUT, which keeps every packet as written; runs of `bad` in every 60 are garbled: the decoder rejects them.
std::string Garbled(const char *bad) {
  return MakeFixture("garbled_mp3.nut", kTone + "5 -ac 2" + kExact + "-c:a libmp3lame -bsf:a " +
                                            "'noise=amount=if(lt(mod(n\\,60)\\," + bad + ")\\,1\\,0)'");
}
std::string Tone(const std::string &rate, const std::string &codec, const char *secs = "3") {
  return MakeFixture("tone.bin", "-f lavfi -i sine=f=440:sample_rate=" + rate + ":duration=" + secs + kExact + codec);
}
std::string Aac128k() {  // noise keeps the AAC encoder near its target rate (a pure tone undershoots it)
  return MakeFixture("aac.m4a", "-f lavfi -i anoisesrc=r=48000:a=0.3:d=5:seed=1 -ac 2" + kExact + "-c:a aac -b:a 128k");
}

double DecodedSeconds(const std::string &path) {  // what a listener hears: the decoder drops the stated padding
  std::string bytes;
  Run("ffmpeg -nostdin -v error -i " + Quote(path) + " -ac 1 -ar 8000 -f s16le - 2>/dev/null", &bytes);
  return static_cast<double>(bytes.size()) / (2 * 8000);
}

// Each "kind.key=value" of checks (kind f: the format, v or a: the first video or audio stream) must be ffprobe's
// field; "~" in place of "=" allows 40 % either way.
void ExpectFields(const json &probe, const std::string &checks) {
  std::istringstream items(checks);
  for (std::string item; items >> item;) {
    const size_t dot = item.find('.'), op = item.find_first_of("=~");
    const std::string kind = item.substr(0, dot), key = item.substr(dot + 1, op - dot - 1), want = item.substr(op + 1);
    const json *from = kind == "f" ? &probe["format"] : nullptr;
    const std::string type = kind == "v" ? "video" : "audio";
    for (const json &st : probe["streams"]) from = from || st["codec_type"] != type ? from : &st;
    const json field = from && from->contains(key) ? (*from)[key] : json("(none)");
    const std::string got = field.is_string() ? field.get<std::string>() : field.dump();
    const bool near = item[op] == '~' && got != "(none)" && std::abs(std::stod(got) / std::stod(want) - 1) <= 0.4;
    EXPECT_TRUE(got == want || near) << item << ": " << got;
  }
}

enum class Frames { Any, Same, Half, Copied };  // what becomes of the input's pictures
using enum Frames;

struct Row {
  const char *name;
  std::string (*input)();
  P params;  // for MP3_Convert: audioBitRateRequest is its bitRate
  int32_t status;
  const char *checks;  // see ExpectFields
  Frames frames = Any;
  double tolerance = 0.05;  // seconds each stream's length may differ from the input's
  int stopAt = 0;           // the host answers stop to this report
  int32_t scale = 100;      // MPG_SetPercent100
};
void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

void RunRow(const Row &c, bool mp3) {
  // An MP3 is named as one: a stream of a few frames is found by its name alone.
  const std::string in = c.input(), out = Out(mp3 ? "out.mp3" : "out.bin");
  if (c.status != 0) WriteBytes(out, kUsersFile);
  ProgressLog log{.stopAtValue = c.stopAt};
  const Str::string inPath(in.c_str()), outPath(out.c_str());
  MPG_SetPercent100(c.scale);
  const int32_t status =
      mp3 ? MP3_Convert(in.c_str(), out.c_str(), c.params.audioBitRateRequest, &ProgressLog::Callback, log.User())
          : MPG_Transcode(&inPath, &outPath, &c.params, &ProgressLog::Callback, log.User());
  MPG_SetPercent100(100);
  if (c.status != 0) {
    EXPECT_TRUE(c.status == kAnyError ? status < 0 : status == c.status) << status;
    // A failure once the output is open removes it; one before leaves the user's file.
    EXPECT_TRUE(c.status == kAnyError ? !FileExists(out) : ReadBytes(out) == kUsersFile);
    return;
  }
  ASSERT_EQ(status, 0);
  const json probe = Probe(out);
  ASSERT_TRUE(probe.contains("format")) << "ffprobe cannot read the output";
  ExpectFields(probe, (mp3 ? "f.format_name=mp3 f.nb_streams=1 a.codec_name=mp3 " : "") + std::string(c.checks));
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
  EXPECT_EQ(std::count(log.users.begin(), log.users.end(), log.User()), std::ssize(log.users));
  // After a stop the MP3 conversion sends the scale once more; the transcode nothing.
  if (c.stopAt) {
    EXPECT_EQ(std::ssize(log.values), c.stopAt + mp3) << "reports after the stop";
    EXPECT_TRUE(!mp3 || log.values.back() == c.scale) << "the last report is the scale";
  }
  for (size_t i = 1; c.stopAt == 0 && i < log.values.size(); ++i) {
    // Transcode values rise; an MP3 job repeats a stalled value every 20 frames.
    EXPECT_LE(log.values[i - 1] + (!mp3 && i + 1 < log.values.size()), log.values[i]) << i;
  }
  EXPECT_TRUE(c.stopAt != 0 || (!log.values.empty() && log.values.back() == c.scale)) << "the last report is the scale";
  if (mp3) {
    // Every input sample arrives: nothing stays in the resampler or the encoder.
    const double had = DecodedSeconds(in), got = DecodedSeconds(out);
    EXPECT_NEAR(got, c.stopAt ? 0.5 : had, c.stopAt ? 0.49 : 0.03);
    // Under a second only the last report; a scale of 1 stalls at 0 until the end.
    EXPECT_TRUE(c.stopAt != 0 || (had < 1 ? log.values.size() == 1 : log.values.size() >= 8)) << log.values.size();
    for (size_t i = 0; c.scale == 1 && i + 2 < log.values.size(); ++i) EXPECT_EQ(log.values[i], 0) << i;
    return;
  }
  EXPECT_TRUE(c.stopAt != 0 || log.values.size() >= 5) << log.values.size();
  static std::map<std::string, Packets> inputs;  // rows share inputs
  if (!inputs.count(in)) inputs[in] = ReadPackets(in);
  const Packets written = ReadPackets(out), &source = inputs[in];
  EXPECT_TRUE(written.Of("audio").count) << "the audio did not reach the output";
  for (const auto &[index, t] : written.streams) {
    EXPECT_EQ(t.nonRising, 0) << t.type;
    EXPECT_NEAR(t.Span(), c.stopAt ? 0.5 : source.Of(t.type).Span(), c.stopAt ? 0.5 : c.tolerance) << t.type;
  }
  const auto got = written.Of("video").sizes, had = source.Of("video").sizes;
  EXPECT_TRUE(c.frames != Copied || got == had) << "not copied packet for packet";
  const double want = c.frames == Half ? had.size() / 2.0 : c.frames == Same ? had.size() : got.size();
  EXPECT_NEAR(got.size(), want, c.frames == Half ? 2 : 0) << "pictures";
}

class TranscodeTable : public ::testing::TestWithParam<Row> {};
TEST_P(TranscodeTable, WritesWhatTheRowAsks) { RunRow(GetParam(), false); }
class Mp3Table : public ::testing::TestWithParam<Row> {};
TEST_P(Mp3Table, WritesTheChosenRateChannelsAndBitRate) { RunRow(GetParam(), true); }
auto RowName = [](const auto &info) { return std::string(info.param.name); };

INSTANTIATE_TEST_SUITE_P(Transcode, TranscodeTable, ::testing::ValuesIn(std::vector<Row>{
    // All fields 0: streams the container holds are copied packet for packet; audio it
    // cannot hold is re-encoded to its usual codec.
    {"CopyIntoMp4", Avi, {.outputFormat = 4}, 0, "v.codec_name=mpeg4 a.codec_name=mp3", Copied},
    {"CopyIntoAsf", Avi, {.outputFormat = 8}, 0, "f.format_name=asf v.codec_name=mpeg4", Copied},
    {"AdtsTakesNoVideo", Small, {.outputFormat = 1}, 0, "f.format_name=aac f.nb_streams=1"},
    {"FlacIntoMp4BecomesAac", fx::FlacAudio5s, {.outputFormat = 4}, 0, "a.codec_name=aac"},
    {"AacIntoMp3FileBecomesMp3", fx::AacAudio10s, {.outputFormat = 3}, 0, "f.format_name=mp3 a.codec_name=mp3"},
    // Video requests. An MP4 needs the MPEG-4 encoder's configuration, not the H.264 input's.
    {"H264FromMpeg4", Avi, {.outputFormat = 4, .videoCodecChoice = 5}, 0, "v.codec_name=h264 v.width=320", Same},
    {"Mpeg4AtTheAskedKbitRate", Small, {.outputFormat = 4, .videoCodecChoice = 6, .videoBitRateRequest = 800}, 0,
     "v.codec_name=mpeg4 v.bit_rate~1024000", Same},
    {"H263Takes640x360As352x288", Wide, {.videoCodecChoice = 4}, 0, "v.codec_name=h263 v.width=352 v.height=288", Same},
    {"H263Takes176x120As128x96", Tiny, {.videoCodecChoice = 4}, 0, "v.width=128 v.height=96", Same},
    {"H263Takes1280x720As704x576", Hd, {.videoCodecChoice = 4}, 0, "v.width=704 v.height=576", Same},
    {"H263Takes1920x1080As1408x1152", Full, {.videoCodecChoice = 4}, 0, "v.width=1408 v.height=1152", Same},
    {"ScaleShare", Small, {.outputFormat = 4, .width = 1, .scalePercent = 50}, 0, "v.width=160 v.height=120", Same},
    {"ScaleAloneIsNoChange", Small, {.outputFormat = 4, .scalePercent = 50}, 0, "v.width=320 v.height=240", Same},
    {"ScaleOfTheWhole", Small, {.outputFormat = 4, .width = 160, .scalePercent = 100}, 0, "v.height=120", Same},
    {"HeightAloneKeepsTheAspect", Small, {.outputFormat = 4, .height = 120}, 0, "v.codec_name=h264 v.width=160", Same},
    {"OddSizeToEven", Wide, {.outputFormat = 4, .height = 101}, 0, "v.codec_name=h264 v.width=180 v.height=102", Same},
    {"Yuv444ToXvidInAvi", Yuv444, {.outputFormat = 2, .videoCodecChoice = 1}, 0,
     "f.format_name=avi v.codec_name=mpeg4 v.codec_tag_string=XVID v.pix_fmt=yuv420p", Same},
    {"Yuv444KeptByH264", Yuv444, {.outputFormat = 4, .videoCodecChoice = 5}, 0, "v.pix_fmt=yuv444p", Same},
    // Pictures are dropped after decoding, so the rest decode; as with ffmpeg's -r, the video may end a tick late.
    {"FrameTimeHalves50Fps", [] { return H264Aac("320x240", 50, "2"); }, {.outputFormat = 2, .videoCodecChoice = 6,
     .frameTimeNum = 1, .frameTimeDen = 25}, 0, "v.codec_tag_string=FMP4 v.time_base=1/25", Half, 0.1},
    {"FrameTime24SnapsToNtsc", Small, {.outputFormat = 2, .videoCodecChoice = 6, .frameTimeNum = 1, .frameTimeDen = 24},
     0, "v.time_base=1001/24000"},
    // Audio requests: the encoders count in samples, Matroska and MPEG-TS in their own clocks.
    {"AmrNb", Small, {.audioCodecChoice = 3}, 0, "a.codec_name=amr_nb a.sample_rate=8000 a.channels=1", Copied},
    {"AmrWb", Small, {.audioCodecChoice = 4}, 0, "a.codec_name=amr_wb a.sample_rate=16000 a.channels=1"},
    {"AacAtARaisedRate", Avi, {.outputFormat = 4, .audioCodecChoice = 2, .audioSampleRate = 22000}, 0,
     "a.codec_name=aac a.sample_rate=22050 a.channels=2", Copied},
    {"StereoToMono", Small, {.outputFormat = 4, .audioChannels = 1}, 0, "a.codec_name=aac a.channels=1"},
    {"Mp3FileOfAVideo", Small, {.outputFormat = 3, .audioCodecChoice = 1}, 0, "f.format_name=mp3 f.nb_streams=1"},
    {"OpusReencodedInWebm", fx::Vp9Opus5s, {.outputFormat = 7, .audioBitRateRequest = 64000}, 0,
     "f.format_name=matroska,webm v.codec_name=vp9 a.codec_name=opus", Copied},
    {"Mp3ReencodedInMpegTs", Small, {.outputFormat = 6, .audioCodecChoice = 1}, 0,
     "f.format_name=mpegts v.codec_name=h264 a.codec_name=mp3", Same},
    // Rejected audio packets keep their time as silence; 50 in a row fail the job.
    {"GarbledRunsKeepTheirTime", [] { return Garbled("40"); }, {.outputFormat = 4, .audioCodecChoice = 2}, 0, ""},
    {"GarbledThroughoutFails", [] { return Garbled("60"); }, {.outputFormat = 4, .audioCodecChoice = 2}, kAnyError, ""},
    {"StopAtTheFirstReport", fx::H264Aac10s, {.outputFormat = 4, .videoCodecChoice = 5}, 0, "v.codec_name=h264", Any,
     0, 1},
    // Refused before the output is opened; the MP3 muxer refuses AMR once the file is made.
    {"NoAudio", fx::H264Video10s, {.outputFormat = 4}, MPG_AUDIO_STREAM_NOT_FOUND, ""},
    {"AudioChoice5", Avi, {.outputFormat = 4, .audioCodecChoice = 5}, MPG_BAD_PARAMETER, ""},
    {"VideoChoice7", Avi, {.outputFormat = 4, .videoCodecChoice = 7}, MPG_BAD_PARAMETER, ""},
    {"VideoChoiceNegative", Avi, {.outputFormat = 4, .videoCodecChoice = -1}, MPG_BAD_PARAMETER, ""},
    {"Format9", Avi, {.outputFormat = 9}, AVERROR_EXIT, ""},
    {"AmrIntoMp3File", fx::AacAudio10s, {.outputFormat = 3, .audioCodecChoice = 3}, kAnyError, ""}}), RowName);

INSTANTIATE_TEST_SUITE_P(Mp3, Mp3Table, ::testing::ValuesIn(std::vector<Row>{
    {"Aac128k", Aac128k, {}, 0, "a.sample_rate=48000 a.channels=2 a.bit_rate=128000"},
    {"CapOf100kGives112k", Aac128k, {.audioBitRateRequest = 100000}, 0, "a.bit_rate=112000"},
    {"CapAboveTheInputRaisesNothing", Aac128k, {.audioBitRateRequest = 200000}, 0, "a.bit_rate=128000"},
    // Unsigned 8-bit mono PCM states rate x 8 bit/s; low rates carry less.
    {"Rate11025Gets64k", [] { return Tone("11025", "-c:a pcm_u8 -ac 1 -f wav"); }, {}, 0,
     "a.sample_rate=11025 a.channels=1 a.bit_rate=64000"},
    {"Rate22050Gets160k", [] { return Tone("22050", "-c:a pcm_u8 -ac 1 -f wav"); }, {}, 0, "a.bit_rate=160000"},
    {"Rate96000Gives48000", [] { return Tone("96000", "-c:a pcm_s16le -ac 1 -f wav"); }, {}, 0, "a.sample_rate=48000"},
    {"Rate7000RaisedTo8000", [] { return Tone("7000", "-c:a pcm_s16le -ac 1 -f wav"); }, {}, 0, "a.sample_rate=8000"},
    {"UnusableRateGives128k", [] { return Tone("44100", "-c:a pcm_s16le -ac 2 -f wav"); }, {}, 0,
     "a.sample_rate=44100 a.channels=2 a.bit_rate=128000"},
    {"SixChannelsToStereo", [] { return Tone("48000", "-ac 6 -c:a ac3 -b:a 384k -f ac3"); }, {}, 0, "a.channels=2"},
    {"MonoStaysMono", [] { return Tone("44100", "-ac 1 -c:a aac -b:a 64k -f mp4"); }, {}, 0, "a.channels=1"},
    // Two MP3 streams of 64 and 128 kbit/s: the richer one is taken.
    {"HighestBitRateStream", [] { return Tone("44100", "-ac 2 -c:a libmp3lame -b:a:0 64k -b:a:1 128k -f matroska",
                                              "1 -f lavfi -i sine=f=660:duration=1 -map 0 -map 1"); },
     {}, 0, "a.bit_rate=128000"},
    {"AudioOfAVideo", fx::H264Aac10s, {}, 0, "a.sample_rate=48000"},
    {"CoverLeftOut", fx::Mp3WithCover5s, {}, 0, "a.bit_rate=128000"},
    {"UnderASecond", [] { return Tone("48000", "-ac 2 -c:a aac -f mp4", "0.5"); }, {}, 0, ""},
    {"ScaleOfOne", Aac128k, {}, 0, "", Any, 0, 0, 1},
    {"StopAtTheFirstReport", Aac128k, {}, 0, "", Any, 0, 1},
    // On a fine scale the first report comes before the encoder has given a frame.
    {"StopBeforeTheFirstFrame", Aac128k, {}, 0, "", Any, 0, 1, 1000},
    {"NoAudio", fx::H264Video10s, {}, MPG_AUDIO_STREAM_NOT_FOUND, ""}}), RowName);

// String text is inline below a capacity of 16, else behind the pointer; a size past the capacity or NULL is refused.
TEST(TranscodeCalls, ReadInlineAndAllocatedPathsAndRefuseBrokenOnes) {
  const std::string shortOut = "/tmp/t" + std::to_string(getpid() % 100000) + ".mp4";
  const Str::string in(Avi().c_str()), out(shortOut.c_str());
  const P p{.outputFormat = 4};
  ASSERT_EQ(MPG_Transcode(&in, &out, &p, nullptr, 0), 0);
  EXPECT_TRUE(DecodesCleanly(shortOut) && unlink(shortOut.c_str()) == 0);
  MpgString broken = *reinterpret_cast<const MpgString *>(&out);
  broken.size = 40;
  EXPECT_EQ(MPG_Transcode(reinterpret_cast<const MpgString *>(&in), &broken, &p, nullptr, 0), MPG_BAD_PARAMETER);
  EXPECT_EQ(MPG_Transcode(&in, &out, nullptr, nullptr, 0), MPG_BAD_PARAMETER);
  EXPECT_EQ(MPG_Transcode(static_cast<const Str::string *>(nullptr), &out, &p, nullptr, 0), MPG_BAD_PARAMETER);
  EXPECT_EQ(MP3_Convert(nullptr, shortOut.c_str(), 0, nullptr, 0), MPG_BAD_PARAMETER);
  EXPECT_FALSE(FileExists(shortOut));
}

}  // namespace

// MPG_GetMediaInfo and MPG_GetAudioDuration against ffprobe's view of the same
// files: every field of the record, the order in which the probes overwrite the
// duration, and the answers for files the probes cannot read.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "mpg.h"
#include "probe/media_info.h"
#include "support/media.h"

namespace {

using nlohmann::json;
using namespace mpgtest;

const std::string kVideo2s = "-f lavfi -i testsrc2=size=320x240:rate=25:duration=2 ";
const std::string kAudio3s = "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=3 ";
const std::string kExact = " -fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1 ";

// SubRip: the last cue ends at 2 min 5.25 s, so the file lasts 125 whole seconds.
const char kSubRip[] =
    "1\n00:00:01,000 --> 00:00:02,500\nHello\n\n"
    "2\n00:00:03,000 --> 00:02:05,250\nGood night: see you\n";
// WebVTT with a cue setting after the end time and an hours-less start time.
const char kWebVtt[] =
    "WEBVTT\n\n00:01.000 --> 00:02.000\nHi\n\n"
    "00:00:03.000 --> 00:01:10.000 align:start\nBye\n";

std::string WriteTextFixture(const std::string &name, const std::string &text) {
  std::filesystem::create_directories(MPG_FIXTURE_DIR);
  const std::string path = std::string(MPG_FIXTURE_DIR) + "/" + name;
  WriteBytes(path, text);
  return path;
}

std::string SubRipFile() { return WriteTextFixture("last_cue_125s.srt", kSubRip); }
std::string WebVttFile() { return WriteTextFixture("last_cue_70s.vtt", kWebVtt); }

// Matroska holds the cue texts without their times, so the file's own bytes give no
// end time: the duration must stay the one the container states.
std::string H264WithSubRipMkv() {
  return MakeFixture("h264_subrip_2s.mkv", kVideo2s + "-i " + Quote(SubRipFile()) + kExact +
                                               "-map 0:v -map 1:s -c:v libx264 -preset ultrafast -g 25 "
                                               "-pix_fmt yuv420p -c:s srt -t 2");
}
// WMA states each stream's duration in milliseconds (ASF's 1/1000 time base).
std::string WmaAudio3s() { return MakeFixture("wma_3s.wma", kAudio3s + "-ac 2" + kExact + "-c:a wmav2 -b:a 64k"); }
std::string H264Ts2s() {
  return MakeFixture("h264_2s.ts", kVideo2s + kExact + "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p");
}

uint32_t Be32(const std::string &b, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(b[at])) << 24 |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3]));
}

// An MP4 whose cover art (the covr item in moov's udta) comes before the video's
// trak, as some taggers write it: the demuxer then lists the cover as the first video
// stream. ffmpeg's muxer writes udta last and mdat before moov, so moving udta up
// changes no offset.
std::string CoverBeforeVideoMp4() {
  const std::string made = MakeFixture(
      "h264_cover_2s.mp4", kVideo2s + "-f lavfi -i color=c=red:size=64x64:duration=0.04 -map 0 -map 1" + kExact +
                               "-c:v:0 libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:v:1 mjpeg -frames:v:1 1 "
                               "-disposition:v:1 attached_pic");
  std::string bytes = ReadBytes(made);
  for (size_t box = 0; box + 8 <= bytes.size(); box += Be32(bytes, box)) {
    if (bytes.compare(box + 4, 4, "moov") != 0) continue;
    const size_t end = box + Be32(bytes, box);
    std::string others, udta;
    for (size_t child = box + 8; child + 8 <= end; child += Be32(bytes, child)) {
      (bytes.compare(child + 4, 4, "udta") == 0 ? udta : others) += bytes.substr(child, Be32(bytes, child));
    }
    const size_t mvhdSize = Be32(others, 0);  // mvhd comes first and stays first
    bytes.replace(box + 8, end - box - 8, others.substr(0, mvhdSize) + udta + others.substr(mvhdSize));
    break;
  }
  const std::string path = Out("cover_before_video.mp4");
  WriteBytes(path, bytes);
  return path;
}

// CRC-32 of MPEG-2 systems sections (polynomial 0x04C11DB7, no reflection).
uint32_t SectionCrc(const unsigned char *p, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    crc ^= static_cast<uint32_t>(p[i]) << 24;
    for (int b = 0; b < 8; ++b) crc = crc & 0x80000000u ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

// The H.264 transport stream with its program map saying AVS2 (stream type 0xD2),
// a codec FFmpeg 5.1 knows by name but has no decoder for.
std::string VideoWithoutDecoderTs() {
  std::string bytes = ReadBytes(H264Ts2s());
  auto *d = reinterpret_cast<unsigned char *>(bytes.data());
  constexpr int kPmtPid = 0x1000;  // ffmpeg's mpegts muxer's first program map
  for (size_t i = 0; i + 188 <= bytes.size(); i += 188) {
    const unsigned char *pkt = d + i;
    const int pid = ((pkt[1] & 0x1F) << 8) | pkt[2];
    if (pid != kPmtPid || !(pkt[1] & 0x40)) continue;
    unsigned char *s = d + i + 5 + pkt[4];
    const int sectionLength = ((s[1] & 0x0F) << 8) | s[2];
    const int programInfoLength = ((s[10] & 0x0F) << 8) | s[11];
    unsigned char *end = s + 3 + sectionLength - 4;
    for (unsigned char *es = s + 12 + programInfoLength; es < end; es += 5 + (((es[3] & 0x0F) << 8) | es[4])) {
      if (es[0] == 0x1B) es[0] = 0xD2;
    }
    const uint32_t crc = SectionCrc(s, static_cast<size_t>(end - s));
    for (int k = 0; k < 4; ++k) end[k] = static_cast<unsigned char>(crc >> (24 - 8 * k));
  }
  const std::string path = Out("avs2_no_decoder.ts");
  WriteBytes(path, bytes);
  return path;
}

// ffprobe writes some numbers as JSON numbers and some as strings; absent or
// "N/A" reads as 0, which is what the record holds for an unknown value.
int64_t JsonInt(const json &node, const char *key) {
  if (!node.contains(key)) return 0;
  const json &v = node[key];
  if (v.is_number()) return v.get<int64_t>();
  if (v.is_string()) {
    const std::string s = v.get<std::string>();
    return s.empty() || s == "N/A" ? 0 : std::stoll(s);
  }
  return 0;
}

std::string Upper(std::string s) {
  for (char &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string JsonUpper(const json &node, const char *key) {
  return node.contains(key) ? Upper(node[key].get<std::string>()) : std::string();
}

bool IsCover(const json &st) {
  return st.contains("disposition") && st["disposition"].value("attached_pic", 0) != 0;
}

// The stream the record describes: for video the first that is not a cover picture,
// else the first cover; for audio the first with channels and a sample rate.
const json *FirstStream(const json &probe, const std::string &type, bool usableAudio = false) {
  const json *cover = nullptr;
  for (const json &st : probe["streams"]) {
    if (st.value("codec_type", "") != type) continue;
    if (usableAudio && (JsonInt(st, "channels") == 0 || JsonInt(st, "sample_rate") == 0)) continue;
    if (type == "video" && IsCover(st)) {
      if (!cover) cover = &st;
      continue;
    }
    return &st;
  }
  return cover;
}

int32_t CountStreams(const json &probe, const std::string &type) {
  int32_t n = 0;
  for (const json &st : probe["streams"]) n += st.value("codec_type", "") == type ? 1 : 0;
  return n;
}

// The stream's length as ffprobe's packets show it: from its first timestamp to
// the end of its last packet, in whole seconds of its time base.
int64_t StreamSpanSeconds(const std::string &path, const json &stream) {
  const json packets = ProbePackets(path, std::to_string(stream["index"].get<int>()));
  int64_t end = 0;
  for (const json &p : packets) {
    if (p.contains("pts")) end = std::max<int64_t>(end, p["pts"].get<int64_t>() + JsonInt(p, "duration"));
  }
  const int64_t start = JsonInt(stream, "start_pts");
  const std::string tb = stream["time_base"].get<std::string>();
  const int64_t num = std::stoll(tb.substr(0, tb.find('/')));
  const int64_t den = std::stoll(tb.substr(tb.find('/') + 1));
  return (end - start) * num / den;
}

// What the record's duration is judged against: the longest stream's span from its
// first timestamp to the end of its last packet, or a subtitle file's last cue.
enum class DurationFrom {
  ContainerHeader,  // the container's stated length, which the span equals here (MP4, Matroska)
  AudioSpan,        // measured on the audio stream, the longer one
  VideoSpan,        // measured on the video stream, the longer one
  LastCue,          // a text subtitle file: the end of its last cue
  NotJudged,        // no independent measure exists for the file
};

struct InfoCase {
  const char *name;
  std::function<std::string()> fixture;
  DurationFrom durationFrom;
  int64_t lastCueSeconds;  // subtitle files only
  // FFmpeg 5.1's Opus decoder lists no sample formats, though it decodes to fltp.
  bool decoderListsSampleFormats = true;
};

std::ostream &operator<<(std::ostream &os, const InfoCase &c) { return os << c.name; }

class MediaInfo : public ::testing::TestWithParam<InfoCase> {};

TEST_P(MediaInfo, EveryFieldMatchesFfprobe) {
  const InfoCase &c = GetParam();
  const std::string path = c.fixture();
  const json probe = Probe(path);
  ASSERT_TRUE(probe.contains("streams")) << path;
  const json *video = FirstStream(probe, "video");
  const json *audio = FirstStream(probe, "audio", true);
  const json *subtitle = FirstStream(probe, "subtitle");

  MpgMediaInfo info;
  std::memset(&info, 0xAB, sizeof info);  // every byte the call leaves unset shows
  ASSERT_EQ(MPG_GetMediaInfo(path.c_str(), &info), 1);

  EXPECT_EQ(info.videoStreamCount, CountStreams(probe, "video"));
  EXPECT_EQ(info.audioStreamCount, CountStreams(probe, "audio"));
  EXPECT_EQ(info.subtitleStreamCount, CountStreams(probe, "subtitle"));
  if (video || audio) EXPECT_EQ(info.containerBitRate, JsonInt(probe["format"], "bit_rate"));
  else EXPECT_EQ(info.containerBitRate, 0);

  if (video) {
    EXPECT_EQ(info.width, JsonInt(*video, "width"));
    EXPECT_EQ(info.height, JsonInt(*video, "height"));
    EXPECT_EQ(info.videoBitRate, JsonInt(*video, "bit_rate"));
    const std::string rate = (*video)["r_frame_rate"].get<std::string>();
    const double num = std::stod(rate.substr(0, rate.find('/')));
    const double den = std::stod(rate.substr(rate.find('/') + 1));
    EXPECT_DOUBLE_EQ(info.frameRate, den == 0 ? 0.0 : num / den);
    EXPECT_EQ(info.videoStreamDuration, JsonInt(*video, "duration_ts"));
    EXPECT_STREQ(info.videoCodec, JsonUpper(*video, "codec_name").c_str());
  } else {
    EXPECT_EQ(info.width, 0);
    EXPECT_EQ(info.height, 0);
    EXPECT_EQ(info.frameRate, 0.0);
    EXPECT_STREQ(info.videoCodec, "");
  }
  // Video decoders list no sample formats.
  EXPECT_STREQ(info.videoSampleFormat, "");

  if (audio) {
    EXPECT_EQ(info.channels, JsonInt(*audio, "channels"));
    EXPECT_EQ(info.sampleRate, JsonInt(*audio, "sample_rate"));
    EXPECT_EQ(info.audioBitRate, JsonInt(*audio, "bit_rate"));
    EXPECT_EQ(info.audioStreamDuration, JsonInt(*audio, "duration_ts"));
    EXPECT_STREQ(info.audioCodec, JsonUpper(*audio, "codec_name").c_str());
    EXPECT_STREQ(info.audioSampleFormat,
                 c.decoderListsSampleFormats ? JsonUpper(*audio, "sample_fmt").c_str() : "");
  } else {
    EXPECT_EQ(info.channels, 0);
    EXPECT_EQ(info.sampleRate, 0);
    EXPECT_EQ(info.audioBitRate, 0);
    EXPECT_EQ(info.audioStreamDuration, 0);
    EXPECT_STREQ(info.audioCodec, "");
    EXPECT_STREQ(info.audioSampleFormat, "");
  }

  if (subtitle) {
    EXPECT_STREQ(info.subtitleCodec, JsonUpper(*subtitle, "codec_name").c_str());
  } else {
    EXPECT_STREQ(info.subtitleCodec, "");
  }
  EXPECT_EQ(info.subtitleDuration, c.lastCueSeconds);

  int64_t expectedDuration = 0;
  switch (c.durationFrom) {
    case DurationFrom::ContainerHeader:
      expectedDuration = static_cast<int64_t>(std::stod(probe["format"]["duration"].get<std::string>()));
      break;
    case DurationFrom::AudioSpan: expectedDuration = StreamSpanSeconds(path, *audio); break;
    case DurationFrom::VideoSpan: expectedDuration = StreamSpanSeconds(path, *video); break;
    case DurationFrom::LastCue: expectedDuration = c.lastCueSeconds; break;
    case DurationFrom::NotJudged: expectedDuration = info.duration; break;
  }
  EXPECT_GT(expectedDuration, 0);
  EXPECT_EQ(info.duration, expectedDuration);

  EXPECT_EQ(info.reserved1, 0);
  EXPECT_EQ(info.reserved2, 0);
  EXPECT_EQ(info.reserved3, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Files, MediaInfo,
    ::testing::Values(
        InfoCase{"H264AacMp4", fx::H264Aac10s, DurationFrom::ContainerHeader, 0},
        InfoCase{"VideoOnlyMp4", fx::H264Video10s, DurationFrom::ContainerHeader, 0},
        InfoCase{"VideoOnlyTsStartingLate", H264Ts2s, DurationFrom::VideoSpan, 0},
        InfoCase{"AudioOnlyMp3", fx::Mp3Audio5s, DurationFrom::AudioSpan, 0},
        InfoCase{"Mp3CoverCountsAsVideoStream", fx::Mp3WithCover5s, DurationFrom::AudioSpan, 0},
        InfoCase{"CoverBeforeVideoDescribesTheVideo", CoverBeforeVideoMp4, DurationFrom::VideoSpan, 0},
        InfoCase{"OpusWebm", fx::OpusAudio5s, DurationFrom::ContainerHeader, 0, false},
        InfoCase{"Vp9OpusWebm", fx::Vp9Opus5s, DurationFrom::ContainerHeader, 0, false},
        InfoCase{"AviAudioTimeBaseNotOverOne", fx::Mpeg4Mp3Avi5s, DurationFrom::AudioSpan, 0},
        InfoCase{"WmaMillisecondStreams", WmaAudio3s, DurationFrom::AudioSpan, 0},
        // The AVS2 parser glues the H.264 payload into packets of its own choosing,
        // so no packet list measures this file independently.
        InfoCase{"VideoCodecWithoutDecoder", VideoWithoutDecoderTs, DurationFrom::NotJudged, 0},
        InfoCase{"SubRip", SubRipFile, DurationFrom::LastCue, 125},
        InfoCase{"WebVttCueSettings", WebVttFile, DurationFrom::LastCue, 70},
        InfoCase{"MatroskaSubtitlesKeepContainerDuration", H264WithSubRipMkv, DurationFrom::ContainerHeader, 0}),
    [](const ::testing::TestParamInfo<InfoCase> &p) { return std::string(p.param.name); });

// The decoder is missing, not the codec: its name still shows.
TEST(VideoWithoutDecoder, KeepsCodecNameAndLeavesSampleFormatEmpty) {
  const std::string path = VideoWithoutDecoderTs();
  MpgMediaInfo info;
  ASSERT_EQ(MPG_GetMediaInfo(path.c_str(), &info), 1);
  EXPECT_EQ(info.videoStreamCount, 1);
  EXPECT_STREQ(info.videoCodec, "AVS2");
  EXPECT_STREQ(info.videoSampleFormat, "");
}

// The record the host passes must not be touched when there is nothing to probe, and
// must read all zeros after a file no probe can open.
TEST(MediaInfoRefusals, NullRecordOrPathWritesNothing) {
  EXPECT_EQ(MPG_GetMediaInfo(fx::H264Aac10s().c_str(), nullptr), 0);
  MpgMediaInfo info;
  std::memset(&info, 0xAB, sizeof info);
  EXPECT_EQ(MPG_GetMediaInfo(nullptr, &info), 0);
  const auto *bytes = reinterpret_cast<const unsigned char *>(&info);
  for (size_t i = 0; i < sizeof info; ++i) ASSERT_EQ(bytes[i], 0xAB) << "byte " << i;
}

class UnreadableFile : public ::testing::TestWithParam<std::pair<const char *, std::function<std::string()>>> {};

TEST_P(UnreadableFile, ReportsFalseAndZeroedRecord) {
  const std::string path = GetParam().second();
  MpgMediaInfo info;
  std::memset(&info, 0xAB, sizeof info);
  EXPECT_EQ(MPG_GetMediaInfo(path.c_str(), &info), 0);
  const auto *bytes = reinterpret_cast<const unsigned char *>(&info);
  for (size_t i = 0; i < sizeof info; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
  EXPECT_EQ(MPG_GetAudioDuration(path.c_str()), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Files, UnreadableFile,
    ::testing::Values(std::make_pair("MissingFile", std::function<std::string()>([] { return Out("missing.mp4"); })),
                      std::make_pair("Directory", std::function<std::string()>([] { return OutputDir(); })),
                      std::make_pair("EmptyPath", std::function<std::string()>([] { return std::string(); })),
                      std::make_pair("PlainText", std::function<std::string()>(fx::TextFile)),
                      std::make_pair("TruncatedMp4Header", std::function<std::string()>([] {
                                       const std::string path = Out("truncated.mp4");
                                       WriteBytes(path, ReadBytes(fx::H264Aac10s()).substr(0, 64));
                                       return path;
                                     }))),
    [](const auto &p) { return std::string(p.param.first); });

// MPG_GetAudioDuration answers in the audio stream's own time base when the stream
// states a duration, else in measured whole seconds.
struct AudioDurationCase {
  const char *name;
  std::function<std::string()> fixture;
  bool streamStatesDuration;
};

class AudioDuration : public ::testing::TestWithParam<AudioDurationCase> {};

TEST_P(AudioDuration, UsesStreamTimeBaseOnlyWhenStreamStatesDuration) {
  const std::string path = GetParam().fixture();
  const json probe = Probe(path);
  const json *audio = FirstStream(probe, "audio", true);
  ASSERT_NE(audio, nullptr);
  const uint32_t expected = GetParam().streamStatesDuration
                                ? static_cast<uint32_t>(JsonInt(*audio, "duration_ts"))
                                : static_cast<uint32_t>(StreamSpanSeconds(path, *audio));
  EXPECT_GT(expected, 0u);
  EXPECT_EQ(MPG_GetAudioDuration(path.c_str()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Files, AudioDuration,
    ::testing::Values(
        // ASF states 3.03 s as 3030 in its 1/1000 time base: milliseconds.
        AudioDurationCase{"WmaInMilliseconds", WmaAudio3s, true},
        // FFmpeg's Matroska demuxer states no stream duration: measured seconds.
        AudioDurationCase{"WebmInMeasuredSeconds", fx::OpusAudio5s, false},
        AudioDurationCase{"Mp4InSampleTicks", fx::H264Aac10s, true},
        AudioDurationCase{"Mp3InStreamTicks", fx::Mp3Audio5s, true}),
    [](const auto &p) { return std::string(p.param.name); });

TEST(AudioDurationRefusals, NoUsableAudioGivesZero) {
  EXPECT_EQ(MPG_GetAudioDuration(nullptr), 0u);
  EXPECT_EQ(MPG_GetAudioDuration(fx::H264Video10s().c_str()), 0u);
  EXPECT_EQ(MPG_GetAudioDuration(SubRipFile().c_str()), 0u);
}

TEST(WmaAudioDuration, MillisecondsAgreeWithContainerLength) {
  const std::string path = WmaAudio3s();
  const uint32_t ms = MPG_GetAudioDuration(path.c_str());
  const double seconds = ProbeDuration(path, 0);
  EXPECT_NEAR(ms / 1000.0, seconds, 0.001);
}

// Text fields hold at most 63 characters and the NUL, upper-cased in ASCII only.
struct NameCase {
  const char *name;
  std::string input;
  std::string stored;
};

class CopyUpperNameCut : public ::testing::TestWithParam<NameCase> {};

TEST_P(CopyUpperNameCut, StoresAtMost63UpperCaseCharacters) {
  char field[64];
  std::memset(field, 'Z', sizeof field);
  mpg::CopyUpperName(field, GetParam().input.c_str());
  EXPECT_EQ(std::string(field), GetParam().stored);
}

INSTANTIATE_TEST_SUITE_P(
    Names, CopyUpperNameCut,
    ::testing::Values(NameCase{"Short", "h264", "H264"},
                      NameCase{"Exactly63", std::string(63, 'a'), std::string(63, 'A')},
                      NameCase{"Exactly64IsCut", std::string(64, 'b'), std::string(63, 'B')},
                      NameCase{"LongIsCut", "x" + std::string(100, 'q'), "X" + std::string(62, 'Q')},
                      NameCase{"OnlyAsciiLettersChange", "pcm_s16le-\xc3\xa9z", "PCM_S16LE-\xc3\xa9Z"},
                      NameCase{"Empty", "", ""}),
    [](const auto &p) { return std::string(p.param.name); });

}  // namespace

// MPG_GetMediaInfo's record against ffprobe's view of the same files, and the end time of
// SubRip and WebVTT files.
#include <gtest/gtest.h>

#include <cstring>

#include "probe/subtitle_end_time.h"
#include "support/media.h"

namespace {

using nlohmann::json;
using namespace mpgtest;

const std::string kVideo2s = "-f lavfi -i testsrc2=size=320x240:rate=25:duration=2 ";
const std::string kExact = " -fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1 ";

std::string TextFixture(const std::string &name, const std::string &text) {
  const std::string path = Out(name);
  WriteBytes(path, text);
  return path;
}
// The last cue ends at 2 min 5.25 s.
std::string SubRip() {
  return TextFixture("cues.srt", "1\n00:00:01,000 --> 00:00:02,500\nHi\n\n2\n00:00:03,000 --> 00:02:05,250\nBye: now\n");
}
// Matroska keeps cue texts without their times: the container's length stands.
std::string H264SubRipMkv() {
  return MakeFixture("h264_subrip_2s.mkv", kVideo2s + "-i " + Quote(SubRip()) + kExact +
                                               "-map 0:v -map 1:s -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:s srt -t 2");
}
std::string WmaAudio3s() {  // ASF states stream durations in milliseconds
  return MakeFixture("wma_3s.wma", "-f lavfi -i sine=sample_rate=48000:duration=3 -ac 2" + kExact + "-c:a wmav2 -b:a 64k");
}
std::string H264Ts2s() {
  return MakeFixture("h264_2s.ts", kVideo2s + kExact + "-c:v libx264 -preset ultrafast -pix_fmt yuv420p");
}

uint32_t Be32(const std::string &b, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
  return v;
}
// Cover art (moov's udta) before the video's trak, as some taggers write it: the
// demuxer then lists the cover first. ffmpeg writes udta last, so moving it up
// within moov changes no offset.
std::string CoverBeforeVideoMp4() {
  std::string bytes = ReadBytes(MakeFixture(
      "h264_cover_2s.mp4", kVideo2s + "-f lavfi -i color=c=red:size=64x64:duration=0.04 -map 0 -map 1" + kExact +
                               "-c:v:0 libx264 -preset ultrafast -pix_fmt yuv420p -c:v:1 mjpeg -frames:v:1 1 "
                               "-disposition:v:1 attached_pic"));
  for (size_t box = 0; box + 8 <= bytes.size(); box += Be32(bytes, box)) {
    if (bytes.compare(box + 4, 4, "moov") != 0) continue;
    const size_t end = box + Be32(bytes, box);
    std::string others, udta;
    for (size_t child = box + 8; child + 8 <= end; child += Be32(bytes, child))
      (bytes.compare(child + 4, 4, "udta") == 0 ? udta : others) += bytes.substr(child, Be32(bytes, child));
    const size_t mvhd = Be32(others, 0);
    bytes.replace(box + 8, end - box - 8, others.substr(0, mvhd) + udta + others.substr(mvhd));
    break;
  }
  return TextFixture("cover_before_video.mp4", bytes);
}

// ffprobe writes some numbers as strings; absent or "N/A" reads as 0, as in the record.
int64_t Int(const json &node, const char *key) {
  if (!node.contains(key)) return 0;
  if (node[key].is_number()) return node[key].get<int64_t>();
  const std::string s = node[key].get<std::string>();
  return s.empty() || s == "N/A" ? 0 : std::stoll(s);
}
std::string Upper(const json &node, const char *key) {
  std::string s = node.value(key, "");
  for (char &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}
// The stream the record describes: the first moving video (else the first cover);
// the first audio with channels and a rate.
const json *First(const json &probe, const std::string &type) {
  const json *cover = nullptr;
  for (const json &st : probe["streams"]) {
    if (st.value("codec_type", "") != type) continue;
    if (type == "audio" && (!Int(st, "channels") || !Int(st, "sample_rate"))) continue;
    if (type != "video" || !st["disposition"].value("attached_pic", 0)) return &st;
    if (!cover) cover = &st;
  }
  return cover;
}
int32_t Count(const json &probe, const std::string &type) {
  int32_t n = 0;
  for (const json &st : probe["streams"]) n += st.value("codec_type", "") == type;
  return n;
}
// The lengths (duration and MPG_GetAudioDuration) are judged on every real file by the
// real-file table; these rows judge the other fields.
struct InfoCase {
  std::string (*fixture)();
  int64_t lastCue = 0;            // subtitle files: the whole seconds of the last cue's end
  bool listsSampleFormat = true;  // FFmpeg 5.1's Opus decoder lists none
};

class ProbeMediaInfo : public ::testing::TestWithParam<InfoCase> {};

TEST_P(ProbeMediaInfo, EveryFieldMatchesFfprobe) {
  const InfoCase &c = GetParam();
  const std::string path = c.fixture();
  const json probe = Probe(path);
  const json none = json::object();
  const json *video = First(probe, "video"), *audio = First(probe, "audio"), *subtitle = First(probe, "subtitle");
  const json &v = video ? *video : none, &a = audio ? *audio : none;
  MpgMediaInfo info;
  std::memset(&info, 0xAB, sizeof info);  // a field the call leaves unset shows
  ASSERT_EQ(MPG_GetMediaInfo(path.c_str(), &info), 1);
  EXPECT_EQ(info.videoStreamCount, Count(probe, "video"));
  EXPECT_EQ(info.audioStreamCount, Count(probe, "audio"));
  EXPECT_EQ(info.subtitleStreamCount, Count(probe, "subtitle"));
  EXPECT_EQ(info.containerBitRate, video || audio ? Int(probe["format"], "bit_rate") : 0);
  EXPECT_EQ(info.width, Int(v, "width"));
  EXPECT_EQ(info.height, Int(v, "height"));
  EXPECT_EQ(info.videoBitRate, Int(v, "bit_rate"));
  const std::string rate = v.value("r_frame_rate", "0/1");
  EXPECT_DOUBLE_EQ(info.frameRate, std::stod(rate) / std::max(1.0, std::stod(rate.substr(rate.find('/') + 1))));
  EXPECT_EQ(info.videoStreamDuration, Int(v, "duration_ts"));
  EXPECT_EQ(info.videoCodec, Upper(v, "codec_name"));
  EXPECT_STREQ(info.videoSampleFormat, "");
  EXPECT_EQ(info.channels, Int(a, "channels"));
  EXPECT_EQ(info.sampleRate, Int(a, "sample_rate"));
  EXPECT_EQ(info.audioBitRate, Int(a, "bit_rate"));
  EXPECT_EQ(info.audioStreamDuration, Int(a, "duration_ts"));
  EXPECT_EQ(info.audioCodec, Upper(a, "codec_name"));
  EXPECT_EQ(info.audioSampleFormat, c.listsSampleFormat ? Upper(a, "sample_fmt") : "");
  EXPECT_EQ(info.subtitleCodec, subtitle ? Upper(*subtitle, "codec_name") : "");
  EXPECT_EQ(info.subtitleDuration, c.lastCue);
  EXPECT_EQ(info.reserved1 | info.reserved2 | info.reserved3, 0);
}

std::string WebVtt() {
  return TextFixture("cues.vtt", "WEBVTT\n\n00:01.000 --> 00:02.000\nHi\n\n00:00:03.000 --> 00:01:10.000 align:start\nBye\n");
}

INSTANTIATE_TEST_SUITE_P(
    Probe, ProbeMediaInfo,
    ::testing::Values(InfoCase{fx::H264Aac10s}, InfoCase{fx::H264Video10s}, InfoCase{H264Ts2s}, InfoCase{fx::Mp3Audio5s},
                      InfoCase{fx::Mp3WithCover5s}, InfoCase{CoverBeforeVideoMp4},
                      InfoCase{fx::OpusAudio5s, 0, false}, InfoCase{fx::Vp9Opus5s, 0, false},
                      InfoCase{fx::Mpeg4Mp3Avi5s}, InfoCase{WmaAudio3s}, InfoCase{SubRip, 125}, InfoCase{WebVtt, 70},
                      InfoCase{H264SubRipMkv}));

// Each row: a subtitle file's text and the whole seconds its last cue ends at (0: none).
TEST(ProbeSubtitleEndTime, ReadsTheLastCueEndAndRefusesWhatIsNoCue) {
  const std::pair<std::string, int64_t> rows[] = {
      {"1\r\n00:00:01,000 --> 00:00:02,500\r\nA\r\n\r\n2\r\n00:00:03,000 --> 00:02:05,250\r\nNote: 10:30 sharp\r\n", 125},
      {"1\n00:00:01,000 --> 00:02:05,250 X1:40 X2:600 Y1:20 Y2:50\nBoxed\n", 125},
      {"WEBVTT\n\n00:01.000 --> 01:10.000 align:start position:10%\nBye\n", 70},
      {"1\n00:00:01,000 --> 25:00:01,000\nLate\n", 90001},
      {"1\n00:00:01,000 --> 00:00:42,000", 42},
      {std::string("1\n00:00:01,000 --> 00:00:02,000\nA\n\n", 33) + '\0' + "2\n00:00:03,000 --> 00:05:00,000\nB\n", 2},
      // Any number of digits: the sum must not overflow.
      {"1\n0 --> 99999999999999999999:99999999999999999999:9\n", 999999999LL * 3600 + 999999999LL * 60 + 9},
      {"WEBVTT\n\nNOTE nothing timed here 00:01:00.000\n", 0},
      {"1\n00:00:01,000-->00:00:05,000\nA\n", 0},
      {"1\n00:00:01,000 --> ", 0},
      {"1\n00:00:01,000 --> 75\nA\n", 0},
      {"1\n00:00:01,000 --> 1:2:3:4\nA\n", 0},
      {"", 0}};
  for (const auto &[text, seconds] : rows)
    EXPECT_EQ(mpg::ReadSubtitleEndTime(TextFixture("cues.txt", text).c_str()), seconds) << text;
  // A file of exactly the size limit is read; one byte more is refused unread.
  const std::string cue = "\n1\n00:00:01,000 --> 00:02:05,250\nEnd\n";
  const std::string full = std::string(mpg::kMaxSubtitleFileBytes - cue.size(), '\n') + cue;
  EXPECT_EQ(mpg::ReadSubtitleEndTime(TextFixture("at_limit.srt", full).c_str()), 125);
  EXPECT_EQ(mpg::ReadSubtitleEndTime(TextFixture("over_limit.srt", "\n" + full).c_str()), 0);
}

}  // namespace

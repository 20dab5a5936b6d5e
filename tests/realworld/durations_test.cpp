// MPG_GetMediaInfo's duration and MPG_GetAudioDuration on every real file of the
// folder (and every HLS segment), judged at test time against ffprobe's packets:
// a stream lasts from its first timestamp to the end of its last shown packet, and
// a file as long as its longest stream, in whole seconds, truncating. Generated
// rows add what the folder lacks: an MP3 whose ticks overflow 32 bits, a TS that
// starts at 10 s and one whose timestamps wrap at 2^33 inside the file.
//
// ffprobe's format duration is not the judge: it counts an MP4 edit list's empty
// lead-in (ax_firstpts_10s_videoonly.mp4: 14 s for 4 s of video), a fragmented
// MP4's start (sp_muxed_fmp4_joined.mp4: 30 s for 1 s), the missing part of a
// cut-off download whose index is whole (mm_mr_pickles.mp4), or a bit-rate guess
// (ax_100kB_garbage_prefix.mp3: 70 s for 79 s of frames). It stands in only when
// ffprobe reads no packet at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "mpg.h"
#include "realworld/realworld.h"

namespace {

using nlohmann::json;
using namespace mpgtest;

struct Rational {
  int64_t num = 0, den = 1;
};

Rational ParseTimeBase(const json &stream) {
  const std::string tb = stream.value("time_base", "0/1");
  return {std::stoll(tb.substr(0, tb.find('/'))), std::stoll(tb.substr(tb.find('/') + 1))};
}

int64_t JsonInt(const json &j, const char *key, int64_t fallback) {
  if (!j.contains(key)) return fallback;
  if (j[key].is_number()) return j[key].get<int64_t>();
  if (j[key].is_string()) {
    const std::string s = j[key].get<std::string>();
    if (!s.empty() && (std::isdigit(static_cast<unsigned char>(s[0])) || s[0] == '-')) return std::stoll(s);
  }
  return fallback;
}

// One stream as ffprobe sees it when it reads that stream alone (so that a cut-off
// file yields the stream's packets up to where its own data ends), with the
// format's stated duration.
struct StreamView {
  json stream;  // null when the file has no stream of the selector
  json packets = json::array();
  std::optional<double> formatSeconds;
};

// selector as for -select_streams: "V:0" is the first video stream that is not a
// cover picture.
StreamView ProbeStream(const std::string &path, const std::string &selector) {
  std::string out;
  Run("ffprobe -v error -of json -select_streams " + selector +
          " -show_entries packet=pts,dts,duration,flags:stream=index,codec_type,start_pts,time_base,duration_ts,"
          "channels:format=duration " +
          Quote(path) + " 2>/dev/null",
      &out);
  StreamView view;
  const json j = json::parse(out, nullptr, false);
  if (j.is_discarded()) return view;
  if (j.contains("streams") && !j["streams"].empty()) view.stream = j["streams"][0];
  if (j.contains("packets")) view.packets = j["packets"];
  if (j.contains("format") && j["format"].contains("duration"))
    view.formatSeconds = std::stod(j["format"]["duration"].get<std::string>());
  return view;
}

// The stream's length in whole seconds: from its first timestamp to the end of its
// last packet. Packets an edit list discards do not count. fromZero measures to
// the end of the last packet from 0 (subtitle cues). Nothing without packets.
std::optional<int64_t> PacketSeconds(const StreamView &view, bool fromZero = false) {
  std::optional<int64_t> first, end;
  for (const json &p : view.packets) {
    if (p.value("flags", "").find('D') != std::string::npos) continue;
    const int64_t ts = JsonInt(p, "pts", JsonInt(p, "dts", INT64_MIN));
    if (ts == INT64_MIN) continue;
    const int64_t packetEnd = ts + std::max<int64_t>(0, JsonInt(p, "duration", 0));
    if (!first || ts < *first) first = ts;
    if (!end || packetEnd > *end) end = packetEnd;
  }
  if (!end || view.stream.is_null()) return std::nullopt;
  const int64_t start = fromZero ? 0 : JsonInt(view.stream, "start_pts", *first);
  const Rational tb = ParseTimeBase(view.stream);
  if (tb.den == 0) return std::nullopt;
  const __int128 ticks = std::max<int64_t>(0, *end - start);
  return static_cast<int64_t>(ticks * tb.num / tb.den);
}

struct Expected {
  std::optional<int64_t> duration;  // the record's duration
  std::optional<uint32_t> audio;    // MPG_GetAudioDuration
};

// What ffprobe says each export should answer; nothing where it cannot tell.
Expected Judge(const std::string &path) {
  Expected e;
  const StreamView video = ProbeStream(path, "V:0");
  StreamView audio = ProbeStream(path, "a:0");
  // The library takes only audio with channels; no real file has another first.
  if (!audio.stream.is_null() && audio.stream.value("channels", 0) <= 0) audio = StreamView{};

  // -1: the stream is absent or ffprobe lists none of its packets.
  const int64_t videoSeconds = PacketSeconds(video).value_or(-1);
  const int64_t audioSeconds = PacketSeconds(audio).value_or(-1);
  if (videoSeconds >= 0 || audioSeconds >= 0) {
    e.duration = std::max(videoSeconds, audioSeconds);
  } else if (video.stream.is_null() && audio.stream.is_null()) {
    e.duration = PacketSeconds(ProbeStream(path, "s:0"), true);  // the end of the last cue
  }
  if (!e.duration) {
    const std::optional<double> stated = audio.formatSeconds ? audio.formatSeconds : video.formatSeconds;
    if (stated) e.duration = static_cast<int64_t>(*stated);
  }

  if (audio.stream.is_null()) {
    e.audio = 0;
  } else {
    // Ticks of the stream's own time base when it states a length that fits the
    // 32-bit result, else whole seconds.
    const int64_t ticks = JsonInt(audio.stream, "duration_ts", 0);
    if (ticks > 0 && ticks <= int64_t{UINT32_MAX}) e.audio = static_cast<uint32_t>(ticks);
    else if (audioSeconds >= 0) e.audio = static_cast<uint32_t>(audioSeconds);
    else if (e.duration) e.audio = static_cast<uint32_t>(*e.duration);
  }
  return e;
}

struct DurationRow {
  std::string name;
  std::function<std::string()> path;
  bool real = true;
};

std::ostream &operator<<(std::ostream &os, const DurationRow &r) { return os << r.name; }

std::string TestName(const std::string &file) {
  std::string name;
  for (char c : file) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

// Every file of the folder and of its HLS folders, by name; one row that skips when
// the folder is absent.
std::vector<DurationRow> RealRows() {
  namespace fs = std::filesystem;
  std::vector<DurationRow> rows;
  if (RealWorldDir().empty()) return {{"RealFilesAbsent", [] { return std::string(); }}};
  for (const auto &e : fs::recursive_directory_iterator(RealWorldDir())) {
    if (!e.is_regular_file() || e.path().filename() == "SOURCES.tsv") continue;
    const std::string rel = fs::relative(e.path(), RealWorldDir()).string();
    rows.push_back({TestName(rel), [rel] { return Real(rel); }});
  }
  std::sort(rows.begin(), rows.end(), [](const auto &a, const auto &b) { return a.name < b.name; });
  return rows;
}

const std::string kVideo6s = "-f lavfi -i testsrc2=size=160x120:rate=25:duration=6 ";
const std::string kAudio6s = "-f lavfi -i sine=frequency=440:sample_rate=8000:duration=6 ";
const std::string kH264Aac = "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac -b:a 32k ";

// 400 s of MP3: its 1/14112000 time base counts 5.6e9 ticks, past 32 bits.
std::string LongMp3() {
  return MakeFixture("sine_400s_8k.mp3", "-f lavfi -i sine=frequency=440:sample_rate=8000:duration=400 "
                                         "-ac 1 -c:a libmp3lame -b:a 8k");
}
// A transport stream whose timeline starts at 10 s, as later HLS segments do.
std::string TsStartingAt10s() {
  return MakeFixture("h264_aac_6s_from_10s.ts", kVideo6s + kAudio6s + kH264Aac + "-output_ts_offset 10");
}
// 90 kHz timestamps that pass 2^33 ticks (95443.7 s) 2.7 s into the file.
std::string TsWrappingInside() {
  return MakeFixture("h264_aac_6s_wrapping.ts", kVideo6s + kAudio6s + kH264Aac + "-output_ts_offset 95441");
}
// Containers whose seek by time lands past the last packet.
std::string Pcm16Wav() { return MakeFixture("pcm16_6s.wav", kAudio6s + "-c:a pcm_s16le"); }
std::string AviWithoutAudio() { return MakeFixture("mpeg4_6s.avi", kVideo6s + "-c:v mpeg4 -q:v 8"); }
std::string FlvWithoutAudio() { return MakeFixture("flv1_6s.flv", kVideo6s + "-c:v flv1 -q:v 8"); }

std::vector<DurationRow> GeneratedRows() {
  return {{"LongMp3TicksOverflow32Bits", LongMp3, false},
          {"TsStartingAt10s", TsStartingAt10s, false},
          {"TsTimestampsWrapInside", TsWrappingInside, false},
          {"Pcm16Wav", Pcm16Wav, false},
          {"AviWithoutAudio", AviWithoutAudio, false},
          {"FlvWithoutAudio", FlvWithoutAudio, false}};
}

class RealWorldDurations : public ::testing::TestWithParam<DurationRow> {};

TEST_P(RealWorldDurations, MatchFfprobesPacketSpan) {
  if (GetParam().real) {
    REQUIRE_REALWORLD();
  }
  const std::string path = GetParam().path();
  const Expected expected = Judge(path);
  if (!expected.duration) GTEST_SKIP() << "ffprobe cannot measure " << path;

  MpgMediaInfo info;
  std::memset(&info, 0, sizeof info);
  ASSERT_EQ(MPG_GetMediaInfo(path.c_str(), &info), 1) << path;
  EXPECT_EQ(info.duration, *expected.duration) << path;
  if (expected.audio) {
    EXPECT_EQ(MPG_GetAudioDuration(path.c_str()), *expected.audio) << path;
  }
}

INSTANTIATE_TEST_SUITE_P(Folder, RealWorldDurations, ::testing::ValuesIn(RealRows()),
                         [](const auto &p) { return p.param.name; });
INSTANTIATE_TEST_SUITE_P(Generated, RealWorldDurations, ::testing::ValuesIn(GeneratedRows()),
                         [](const auto &p) { return p.param.name; });

// The generated rows only mean something if they are what they claim to be.
TEST(RealWorldDurationsFixtures, AreWhatTheRowsNeed) {
  const json mp3 = Probe(LongMp3());
  ASSERT_TRUE(mp3.contains("streams"));
  EXPECT_GT(JsonInt(mp3["streams"][0], "duration_ts", 0), int64_t{UINT32_MAX});
  EXPECT_EQ(MPG_GetAudioDuration(LongMp3().c_str()), 400u);
  EXPECT_NEAR(ProbeStartTime(TsStartingAt10s()), 11.4, 0.2);  // the offset and the muxer's delay
  // ffprobe reads the wrapped timestamps as starting before 0.
  EXPECT_LT(ProbeStartTime(TsWrappingInside()), 0);
}

}  // namespace

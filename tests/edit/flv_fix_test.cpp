// FLV_FixDuration: a file whose head lacks or misstates its length gets a new head
// that states the length of its media and the file's exact size, keeps the streams
// in their order and the other metadata, and is followed by the old media tags
// byte for byte; a second repair changes nothing. A failure leaves the file as it
// was and nothing new beside it; files of the user's named like a temporary file
// are never touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <filesystem>
#include <set>
#include <string>

#include "core/av_ptr.h"
#include "platform/platform.h"
#include "support/media.h"

using namespace mpgtest;

namespace {

const std::string kExact = " -fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1 ";
const std::string kAvcAac = " -c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac -ar 44100 -ac 2 ";
std::string Sources(int seconds) {
  const std::string d = std::to_string(seconds);
  return "-f lavfi -i testsrc2=size=160x120:rate=25:duration=" + d + " -f lavfi -i sine=duration=" + d + kExact;
}

// Where the number after a metadata key of the head lies (AMF0: a 16-bit length,
// the key, the type byte 0, then a big-endian double); npos when it is absent.
size_t AmfAt(const std::string &bytes, const std::string &key) {
  const size_t at = bytes.find(std::string(1, '\0') + static_cast<char>(key.size()) + key + std::string(1, '\0'));
  return at == std::string::npos || at + key.size() + 11 > bytes.size() ? std::string::npos : at + key.size() + 3;
}
double AmfNumber(const std::string &bytes, const std::string &key) {
  const size_t at = AmfAt(bytes, key);
  uint64_t bits = 0;
  for (int i = 0; at != std::string::npos && i < 8; ++i) bits = bits << 8 | static_cast<uint8_t>(bytes[at + i]);
  return at == std::string::npos ? NAN : std::bit_cast<double>(bits);
}

// The media as ffprobe sees it: where its first tag starts, its packets, the end of
// the last one and the streams in their order.
struct Media {
  uint64_t start = UINT64_MAX;
  size_t packets = 0;
  double end = 0;
  std::string streams;
};
Media Look(const std::string &path) {
  Media m;
  for (const auto &p : ProbePackets(path)) {
    m.start = std::min<uint64_t>(m.start, std::stoull(p.value("pos", "0")));
    m.end = std::max(m.end, std::stod(p.value("pts_time", "0")) + std::stod(p.value("duration_time", "0")));
    ++m.packets;
  }
  for (const auto &s : Probe(path)["streams"]) m.streams += s.value("codec_type", "") + " ";
  return m;
}

// A joined download: a part of 3 s without an end-of-sequence tag, then the tags of
// a part of 4 s going on from 3 s; the head still states the first part's length.
std::string Joined() {
  const std::string one = MakeFixture("part1_3s.flv", Sources(3) + kAvcAac + "-flvflags no_sequence_end");
  const std::string two = MakeFixture("part2_4s.flv", Sources(4) + kAvcAac + "-output_ts_offset 3");
  return ReadBytes(one) + ReadBytes(two).substr(Look(two).start);
}
// Sorenson H.263 and MP3 (no codec set-up tags), the audio first, no duration key.
std::string WithoutDuration() {
  std::string bytes = ReadBytes(MakeFixture("flv1_mp3_4s.flv", Sources(4) + "-map 1:a -map 0:v -c:v flv1 -c:a libmp3lame -ar 22050"));
  const size_t at = AmfAt(bytes, "duration");
  if (at != std::string::npos) bytes[at - 2] = 'X';
  return bytes;
}
// A head grown by a keyframe index: the new head is shorter.
std::string Indexed() {
  return ReadBytes(MakeFixture("indexed_4s.flv", Sources(4) + kAvcAac + "-metadata title=Indexed -flvflags add_keyframe_index"));
}
// A stale length of 1 s.
std::string AudioOnly() {
  std::string bytes = ReadBytes(MakeFixture("aac_4s.flv", "-f lavfi -i sine=duration=4" + kExact + "-c:a aac -ar 44100"));
  const size_t at = AmfAt(bytes, "duration");
  if (at != std::string::npos) bytes.replace(at, 8, std::string("\x3F\xF0\0\0\0\0\0\0", 8));
  return bytes;
}
std::string VideoOnly() { return ReadBytes(MakeFixture("avc_3s.flv", Sources(3) + "-map 0:v" + kAvcAac)); }

struct FlvCase {
  const char *name;
  std::string (*bytes)();
  int32_t status = MPG_OK;
  bool sameHeadSize = false;  // the new head fills the old one's bytes exactly
  const char *title = "null";  // metadata the new head keeps, as JSON
  int failOperation = 0;      // the platform file operation made to fail (1 create, 2 rename)
  int nameLength = 0;         // of the file's name, when not the usual one
};

const FlvCase kCases[] = {
    {"Joined", Joined, MPG_OK, true},
    {"AudioFirstWithoutDuration", WithoutDuration},
    {"KeyframeIndexDropped", Indexed, MPG_OK, false, "\"Indexed\""},
    {"AudioOnlyStale", AudioOnly, MPG_OK, true},
    {"VideoOnly", VideoOnly, MPG_AUDIO_STREAM_NOT_FOUND},
    {"ReplaceFails", Joined, AVERROR(EIO), false, "null", 2},
    // The longest name the user's ".tmp" and ".part" fit, but no temporary name.
    {"NameTooLongForTemporaryFile", Joined, AVERROR(EIO), false, "null", 0, 250},
};

// Everything beside path named after it and a dot: where a temporary file would be.
std::set<std::string> Beside(const std::string &path) {
  const std::filesystem::path p(path);
  std::set<std::string> names;
  for (const auto &e : std::filesystem::directory_iterator(p.parent_path())) {
    const std::string name = e.path().filename().string();
    if (name.rfind(p.filename().string() + ".", 0) == 0) names.insert(name);
  }
  return names;
}

class FlvTable : public ::testing::TestWithParam<FlvCase> {};

TEST_P(FlvTable, HeadStatesLengthAndSizeMediaTagsStayFailuresChangeNothing) {
  const FlvCase &c = GetParam();
  const std::string path = OutputDir() + "/" + (c.nameLength ? std::string(c.nameLength - 4, 'n') : "file") + ".flv";
  WriteBytes(path, c.bytes());
  WriteBytes(path + ".tmp", "the user's notes");
  std::filesystem::create_directory(path + ".part");
  const std::set<std::string> beside = Beside(path);
  ASSERT_EQ(beside.size(), 2u);
  const std::string before = ReadBytes(path);
  const Media old = Look(path);
  mpg::platform::FailNthFileOperation(c.failOperation);
  const int32_t st = FLV_FixDuration(path.c_str());
  mpg::platform::FailNthFileOperation(0);
  EXPECT_EQ(st, c.status);
  EXPECT_EQ(Beside(path), beside);
  EXPECT_EQ(ReadBytes(path + ".tmp"), "the user's notes");
  const std::string after = ReadBytes(path);
  if (c.status != MPG_OK) {
    EXPECT_EQ(after, before);
    return;
  }
  const Media now = Look(path);
  ASSERT_EQ(now.packets, old.packets);
  EXPECT_EQ(after.substr(now.start), before.substr(old.start));
  EXPECT_EQ(now.streams, old.streams);
  EXPECT_NEAR(AmfNumber(after, "duration"), old.end, 0.05);
  EXPECT_NEAR(ProbeDuration(path), old.end, 0.05);
  EXPECT_EQ(AmfNumber(after, "filesize"), static_cast<double>(after.size()));
  EXPECT_TRUE(!c.sameHeadSize || after.size() == before.size());
  EXPECT_EQ(Probe(path)["format"]["tags"]["title"].dump(), c.title);
  ASSERT_EQ(FLV_FixDuration(path.c_str()), MPG_OK);
  EXPECT_EQ(ReadBytes(path), after);
}

INSTANTIATE_TEST_SUITE_P(Flv, FlvTable, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace

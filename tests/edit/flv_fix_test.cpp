// FLV_FixDuration: a joined FLV whose metadata states its first part's length gets
// a head that states the whole length, in place or through a new file, with every
// media tag kept; every failure leaves the file byte for byte as it was, no ".tmp"
// file behind, and a non-zero code.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/av_ptr.h"
#include "support/media.h"

using namespace mpgtest;

namespace {

const std::string kExact = " -fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1 ";
const std::string kH264 = " -c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p ";
const std::string kAac = " -c:a aac -b:a 96k -ar 44100 -ac 2 ";

std::string Sources(int seconds) {
  const std::string d = std::to_string(seconds);
  return "-f lavfi -i testsrc2=size=320x240:rate=25:duration=" + d +
         " -f lavfi -i sine=sample_rate=44100:duration=" + d + " ";
}

// The first part ends without an end-of-sequence tag, as a segment of a stream
// does; the second part's timestamps go on from 3 s.
std::string PartOne() { return MakeFixture("part1_3s.flv", Sources(3) + kExact + kH264 + kAac + "-flvflags no_sequence_end"); }
std::string PartTwo() { return MakeFixture("part2_4s.flv", Sources(4) + kExact + kH264 + kAac + "-output_ts_offset 3"); }

// Where the first media tag of an FFmpeg FLV starts, as ffprobe places its packets.
uint64_t FirstPacketPos(const std::string &path) {
  uint64_t pos = UINT64_MAX;
  for (const auto &p : ProbePackets(path)) pos = std::min<uint64_t>(pos, std::stoull(p.value("pos", "0")));
  return pos;
}

// Part one whole, then part two's tags: the head still states part one's length.
std::string Joined(const std::string &name) {
  const std::string two = ReadBytes(PartTwo());
  const std::string path = Out(name);
  WriteBytes(path, ReadBytes(PartOne()) + two.substr(FirstPacketPos(PartTwo())));
  return path;
}

std::vector<std::string> PacketList(const std::string &path, const std::string &selector) {
  std::vector<std::string> list;
  for (const auto &p : ProbePackets(path, selector)) list.push_back(p.value("pts_time", "?") + "/" + p.value("size", "?"));
  return list;
}

// The end of the last packet, as ffprobe times the packets.
double MediaEnd(const std::string &path) {
  double end = 0;
  for (const auto &p : ProbePackets(path)) {
    end = std::max(end, std::stod(p.value("pts_time", "0")) + std::stod(p.value("duration_time", "0")));
  }
  return end;
}

// Renames a metadata key in place (same length), so the demuxer no longer sees it.
std::string RenameKey(const std::string &bytes, const std::string &key, const std::string &other) {
  std::string out = bytes;
  const size_t at = out.find(key);
  if (at != std::string::npos) out.replace(at, key.size(), other);
  return out;
}

// Whether anything stands at path; a name too long to exist is not there.
bool Exists(const std::string &path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}
bool TmpLeft(const std::string &path) { return Exists(path + ".tmp"); }

struct RepairCase {
  const char *name;
  std::string (*make)();  // the damaged file, in the test's output directory
  bool inPlace;           // the new head fills the old one exactly
  const char *title;      // metadata the repair keeps; null: none
};

std::string JoinedFile() { return Joined("joined.flv"); }
std::string WithoutDurationKey() {
  const std::string path = Out("no_duration.flv");
  const std::string src = MakeFixture("plain_4s.flv", Sources(4) + kExact + kH264 + kAac);
  WriteBytes(path, RenameKey(ReadBytes(src), "duration", "duratioX"));
  return path;
}
std::string WithKeyframeIndex() {
  // A head grown by a keyframe index: the new head is shorter, so the file is
  // written anew.
  const std::string src = MakeFixture("indexed_4s.flv", Sources(4) + kExact + kH264 + kAac +
                                                            "-metadata title=Indexed -flvflags add_keyframe_index");
  const std::string path = Out("indexed.flv");
  WriteBytes(path, src.empty() ? "" : ReadBytes(src));
  return path;
}
std::string AudioOnly() {
  const std::string src = MakeFixture("audio_only_4s.flv", "-f lavfi -i sine=sample_rate=44100:duration=4" + kExact + kAac);
  const std::string path = Out("audio_only.flv");
  // A stale length, as a joined file would state.
  std::string bytes = ReadBytes(src);
  const size_t at = bytes.find(std::string("\x00\x08" "duration\x00", 11));
  if (at != std::string::npos) {
    const std::string oneSecond("\x3F\xF0\x00\x00\x00\x00\x00\x00", 8);
    bytes.replace(at + 11, 8, oneSecond);
  }
  WriteBytes(path, bytes);
  return path;
}

const RepairCase kRepairs[] = {
    {"JoinedInPlace", JoinedFile, true, nullptr},
    {"WithoutDurationMetadata", WithoutDurationKey, false, nullptr},
    {"KeyframeIndexRewritten", WithKeyframeIndex, false, "Indexed"},
    {"AudioOnly", AudioOnly, true, nullptr},
};

class FlvRepairs : public ::testing::TestWithParam<RepairCase> {};

TEST_P(FlvRepairs, HeadStatesTheWholeDurationAndEveryPacketStays) {
  const RepairCase &c = GetParam();
  const std::string path = c.make();
  const std::string before = ReadBytes(path);
  const auto audioBefore = PacketList(path, "a:0");
  const auto videoBefore = PacketList(path, "v:0");
  const double realEnd = MediaEnd(path);
  ASSERT_GT(realEnd, 3.5);

  ASSERT_EQ(FLV_FixDuration(path.c_str()), 0);
  EXPECT_FALSE(TmpLeft(path));
  // The duration comes from the new head's metadata, which now names it.
  const std::string after = ReadBytes(path);
  EXPECT_NE(after.find(std::string("\x00\x08" "duration\x00", 11)), std::string::npos);
  EXPECT_NEAR(ProbeDuration(path), realEnd, 0.05);
  EXPECT_EQ(PacketList(path, "a:0"), audioBefore);
  EXPECT_EQ(PacketList(path, "v:0"), videoBefore);
  if (c.inPlace) {
    ASSERT_EQ(after.size(), before.size());
    const uint64_t mediaStart = FirstPacketPos(path);
    EXPECT_EQ(after.substr(mediaStart - 4), before.substr(mediaStart - 4));
  }
  if (c.title) {
    EXPECT_EQ(Probe(path)["format"]["tags"].value("title", ""), c.title);
  }
  const nlohmann::json info = Probe(path);
  EXPECT_EQ(info["streams"].size(), videoBefore.empty() ? 1u : 2u);
}

INSTANTIATE_TEST_SUITE_P(Flv, FlvRepairs, ::testing::ValuesIn(kRepairs),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Flv, RepairingTwiceChangesNothingMore) {
  const std::string path = Joined("twice.flv");
  ASSERT_EQ(FLV_FixDuration(path.c_str()), 0);
  const std::string once = ReadBytes(path);
  ASSERT_EQ(FLV_FixDuration(path.c_str()), 0);
  EXPECT_EQ(ReadBytes(path), once);
}

struct FailureCase {
  const char *name;
  std::string (*make)();
  int32_t status;  // 0: any non-zero code
};

std::string VideoOnly() {
  const std::string src = MakeFixture("video_only_3s.flv", "-f lavfi -i testsrc2=size=320x240:rate=25:duration=3" +
                                                               kExact + kH264);
  const std::string path = Out("video_only.flv");
  WriteBytes(path, ReadBytes(src));
  return path;
}
std::string Missing() { return Out("missing.flv"); }
std::string DirectoryAtTmp() {
  const std::string path = Joined("blocked.flv");
  std::filesystem::create_directory(path + ".tmp");
  return path;
}
std::string NameTooLongForTmp() {
  // 255 bytes is the longest file name; with ".tmp" the temporary name is longer.
  const std::string path = OutputDir() + "/" + std::string(251, 'n') + ".flv";
  WriteBytes(path, ReadBytes(Joined("long_source.flv")));
  return path;
}
std::string NotFlv() {
  const std::string path = Out("text.flv");
  WriteBytes(path, ReadBytes(fx::TextFile()));
  return path;
}

const FailureCase kFailures[] = {
    {"VideoOnly", VideoOnly, MPG_AUDIO_STREAM_NOT_FOUND},
    {"MissingFile", Missing, AVERROR(ENOENT)},
    {"DirectoryAtTmpPath", DirectoryAtTmp, 0},
    {"NameTooLongForTmp", NameTooLongForTmp, 0},
    {"NotMedia", NotFlv, 0},
};

class FlvFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FlvFailures, FailWithNonZeroCodeAndLeaveTheFileUnchanged) {
  const FailureCase &c = GetParam();
  const std::string path = c.make();
  const bool existed = FileExists(path);
  const std::string before = existed ? ReadBytes(path) : "";
  const bool tmpExisted = Exists(path + ".tmp");
  const int32_t st = FLV_FixDuration(path.c_str());
  if (c.status != 0) {
    EXPECT_EQ(st, c.status);
  } else {
    EXPECT_NE(st, 0);
  }
  EXPECT_EQ(FileExists(path), existed);
  if (existed) {
    EXPECT_EQ(ReadBytes(path), before);
  }
  // Only what stood there before may remain at the temporary path.
  EXPECT_EQ(Exists(path + ".tmp"), tmpExisted);
}

INSTANTIATE_TEST_SUITE_P(Flv, FlvFailures, ::testing::ValuesIn(kFailures),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace

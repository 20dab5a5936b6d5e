// FLV_FixDuration: a joined FLV whose metadata states its first part's length gets
// a head that states the whole length, through a temporary file of its own beside
// it, with every media tag kept; every failure leaves the file byte for byte as it
// was, no temporary file behind, and a non-zero code; a file of the user's whose
// name looks like a temporary file is never touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "core/av_ptr.h"
#include "platform/platform.h"
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

// Everything in path's folder whose name starts with path's own name and a dot:
// where a temporary file beside it would be.
std::set<std::string> Beside(const std::string &path) {
  const std::filesystem::path p(path);
  const std::string prefix = p.filename().string() + ".";
  std::set<std::string> names;
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator(p.parent_path(), ec)) {
    const std::string name = e.path().filename().string();
    if (name.compare(0, prefix.size(), prefix) == 0) names.insert(name);
  }
  return names;
}

struct RepairCase {
  const char *name;
  std::string (*make)();  // the damaged file, in the test's output directory
  bool sameHeadSize;      // the new head fills the old one's bytes exactly
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
  EXPECT_TRUE(Beside(path).empty());
  // The duration comes from the new head's metadata, which now names it.
  const std::string after = ReadBytes(path);
  EXPECT_NE(after.find(std::string("\x00\x08" "duration\x00", 11)), std::string::npos);
  EXPECT_NEAR(ProbeDuration(path), realEnd, 0.05);
  EXPECT_EQ(PacketList(path, "a:0"), audioBefore);
  EXPECT_EQ(PacketList(path, "v:0"), videoBefore);
  if (c.sameHeadSize) {
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
    {"NameTooLongForTmp", NameTooLongForTmp, 0},
    {"NotMedia", NotFlv, 0},
};

class FlvFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FlvFailures, FailWithNonZeroCodeAndLeaveTheFileUnchanged) {
  const FailureCase &c = GetParam();
  const std::string path = c.make();
  const bool existed = FileExists(path);
  const std::string before = existed ? ReadBytes(path) : "";
  const std::set<std::string> besideBefore = Beside(path);
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
  // Only what stood beside the file before remains.
  EXPECT_EQ(Beside(path), besideBefore);
}

INSTANTIATE_TEST_SUITE_P(Flv, FlvFailures, ::testing::ValuesIn(kFailures),
                         [](const auto &info) { return std::string(info.param.name); });

// The temporary file is the repair's own: files of the user's at the names a
// temporary file might take, a file or a folder, stay as they were.
TEST(Flv, FilesNamedLikeATemporaryFileAreLeftAlone) {
  const std::string path = Joined("neighbours.flv");
  const std::string userFile = path + ".tmp", userFolder = path + ".part";
  WriteBytes(userFile, "the user's own notes");
  std::filesystem::create_directory(userFolder);
  ASSERT_EQ(FLV_FixDuration(path.c_str()), 0);
  EXPECT_NEAR(ProbeDuration(path), MediaEnd(path), 0.05);
  EXPECT_EQ(ReadBytes(userFile), "the user's own notes");
  EXPECT_TRUE(std::filesystem::is_directory(userFolder));
  EXPECT_EQ(Beside(path), (std::set<std::string>{"neighbours.flv.part", "neighbours.flv.tmp"}));
}

// A rename that fails at the last step leaves the file as it was and takes the
// finished temporary file away.
TEST(Flv, FailedReplaceLeavesTheFileAndNoTemporaryFile) {
  const std::string path = Joined("unreplaced.flv");
  const std::string before = ReadBytes(path);
  // The repair's platform file operations: create the temporary file, rename it.
  mpg::platform::FailNthFileOperation(2);
  const int32_t st = FLV_FixDuration(path.c_str());
  mpg::platform::FailNthFileOperation(0);
  EXPECT_EQ(st, AVERROR(EIO));
  EXPECT_EQ(ReadBytes(path), before);
  EXPECT_TRUE(Beside(path).empty());
}

}  // namespace

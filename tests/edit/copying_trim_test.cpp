// The trim that copies the groups of pictures inside its range: on H.264 with
// B-frames in MP4, Matroska and MPEG-TS, and on VP9 in WebM, the clip shows exactly the
// range's pictures, the copied packets are the input's bytes, the re-encoded edges
// stay within 40 dB of the input's pictures, and the whole decodes cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "mpg.h"
#include "support/media.h"

using namespace mpgtest;

namespace {

// The video codec of the fixtures in a container: H.264 with B-frames, and VP9 in
// WebM.
std::string VideoCodec(const std::string &ext) {
  return ext == "webm" ? "-c:v libvpx-vp9 -deadline realtime -cpu-used 8 -b:v 500k -c:a libopus"
                       : "-c:v libx264 -preset veryfast -profile:v high -bf 2 -sc_threshold 0 -c:a aac";
}

std::string GroupsOfOneSecond(const std::string &ext) {
  return MakeFixture("gop1s_8s." + ext,
                     "-f lavfi -i testsrc2=size=320x240:rate=25:duration=8 -f lavfi -i "
                     "sine=sample_rate=48000:duration=8 " + VideoCodec(ext) +
                     " -g 25 -keyint_min 25 -pix_fmt yuv420p -shortest");
}

// Per-picture PSNR of the clip against the input's pictures from second `from` to
// `to`, for an input of `rate` pictures a second from its first. Both sides are
// counted by picture, not by time: the ffmpeg tool shifts an MPEG-TS input's clock
// when it reads two inputs at once.
std::vector<double> Psnr(const std::string &clip, const std::string &in, int from, int to, int rate = 25) {
  const std::string log = Out("psnr.log");
  Run("ffmpeg -v error -i " + Quote(clip) + " -i " + Quote(in) + " -lavfi \"[1:v]trim=start_frame=" +
      std::to_string(from * rate) + ":end_frame=" + std::to_string(to * rate) +
      ",setpts=N/TB[r];[0:v]setpts=N/TB[c];[c][r]psnr=stats_file=" + log + "\" -f null -");
  std::vector<double> values;
  std::istringstream lines(ReadBytes(log));
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find("psnr_avg:");
    if (at == std::string::npos) continue;
    const std::string v = line.substr(at + 9, line.find(' ', at) - at - 9);
    values.push_back(v == "inf" ? 1000.0 : std::stod(v));
  }
  return values;
}

class CopyingTrim : public ::testing::TestWithParam<std::string> {};

TEST_P(CopyingTrim, ShowsTheRangeAndCopiesItsWholeGroups) {
  const std::string in = GroupsOfOneSecond(GetParam());
  const std::string clip = Out("clip." + GetParam());
  ASSERT_EQ(MPG_SaveTrimmedVideo(in.c_str(), clip.c_str(), 1, 6), MPG_OK);
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(clip, &errors)) << errors;
  const std::vector<double> psnr = Psnr(clip, in, 1, 6);
  ASSERT_EQ(psnr.size(), 125u) << "the pictures of seconds 1 to 6";
  // The input's groups start on whole seconds: from second 1 to 6 every group is
  // whole, so every picture is the input's own.
  EXPECT_EQ(std::count(psnr.begin(), psnr.end(), 1000.0), 125);
  const std::vector<std::string> inHashes = PacketHashes(in, "v:0"), outHashes = PacketHashes(clip, "v:0");
  const std::set<std::string> input(inHashes.begin(), inHashes.end());
  EXPECT_TRUE(std::all_of(outHashes.begin(), outHashes.end(), [&](const std::string &h) { return input.count(h); }));
}

TEST_P(CopyingTrim, ReencodesOnlyTheEdgesBetweenKeyFrames) {
  const std::string in = MakeFixture("gop2s_9s." + GetParam(),
                                     "-f lavfi -i testsrc2=size=320x240:rate=25:duration=9 -f lavfi -i "
                                     "sine=sample_rate=48000:duration=9 " + VideoCodec(GetParam()) +
                                     " -g 50 -keyint_min 50 -force_key_frames 'expr:eq(n,0)+eq(n,35)' "
                                     "-pix_fmt yuv420p -shortest");
  const std::string clip = Out("edges." + GetParam());
  // Key frames at 0, 1.4, 3.4, 5.4 and 7.4 s: from 1 to 7 s the head (1-1.4 s) and,
  // for H.264, whose last group shows pictures past the end, the tail (5.4-7 s) are
  // re-encoded; 1.4-5.4 s copied.
  ASSERT_EQ(MPG_SaveTrimmedVideo(in.c_str(), clip.c_str(), 1, 7), MPG_OK);
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(clip, &errors)) << errors;
  const std::vector<double> psnr = Psnr(clip, in, 1, 7);
  ASSERT_EQ(psnr.size(), 150u);
  const long copied = std::count(psnr.begin(), psnr.end(), 1000.0);
  EXPECT_GE(copied, 100) << "1.4-5.4 s are the input's pictures";
  EXPECT_LT(copied, 150) << "the edges are re-encoded";
  EXPECT_GE(*std::min_element(psnr.begin(), psnr.end()), 40.0);
}

INSTANTIATE_TEST_SUITE_P(Edit, CopyingTrim, ::testing::Values("mp4", "mkv", "ts", "webm"));

// Downloads from real encoders, as they came and copied into Matroska and MPEG-TS.
struct RealRow {
  const char *name;
  const char *file;
  const char *ext;
  int from, to, rate;
  long copied;  // pictures between the range's first and last whole group's key frames
};

class CopyingTrimRealFiles : public ::testing::TestWithParam<RealRow> {};

TEST_P(CopyingTrimRealFiles, CopiesTheWholeGroupsAndKeepsTheEdgesClose) {
  const RealRow &r = GetParam();
  const std::string real = std::string(MPG_SOURCE_DIR) + "/../shared/media/realworld/" + r.file;
  if (!std::ifstream(real)) GTEST_SKIP() << real << " is absent";
  const std::string in = MakeFixture(std::string(r.name) + "." + r.ext, "-i " + Quote(real) + " -map 0 -c copy");
  const std::string clip = Out(std::string("clip.") + r.ext);
  ASSERT_EQ(MPG_SaveTrimmedVideo(in.c_str(), clip.c_str(), r.from, r.to), MPG_OK);
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(clip, &errors)) << errors;
  const std::vector<double> psnr = Psnr(clip, in, r.from, r.to, r.rate);
  ASSERT_EQ(psnr.size(), static_cast<size_t>((r.to - r.from) * r.rate));
  EXPECT_GE(std::count(psnr.begin(), psnr.end(), 1000.0), r.copied);
  EXPECT_GE(*std::min_element(psnr.begin(), psnr.end()), 40.0);
  const std::vector<std::string> inHashes = PacketHashes(in, "v:0"), outHashes = PacketHashes(clip, "v:0");
  const std::set<std::string> input(inHashes.begin(), inHashes.end());
  EXPECT_GE(std::count_if(outHashes.begin(), outHashes.end(), [&](const std::string &h) { return input.count(h); }),
            r.copied);
}

// Key frames every 4.17 s at 60 pictures a second, without B-frames: 4.17-12.5 s
// copied. Every 8.33 s at 30, with B-frames: 8.33-16.67 s copied.
INSTANTIATE_TEST_SUITE_P(Edit, CopyingTrimRealFiles, ::testing::Values(
    RealRow{"increasing_ts", "ax_increasing_ts_320x240.mp4", "mp4", 1, 13, 60, 500},
    RealRow{"increasing_ts", "ax_increasing_ts_320x240.mp4", "ts", 1, 13, 60, 500},
    RealRow{"silent_black", "ax_silent_black_25s.mp4", "mkv", 2, 20, 30, 250},
    RealRow{"silent_black", "ax_silent_black_25s.mp4", "ts", 2, 20, 30, 250}),
    [](const ::testing::TestParamInfo<RealRow> &i) { return std::string(i.param.name) + "_" + i.param.ext; });

}  // namespace

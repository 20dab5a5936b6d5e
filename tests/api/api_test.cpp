// The exports' surface: the names the shared library exports, the housekeeping
// exports, the file check on good media, the path encoding, and the string class C++
// hosts pass paths in.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>

#include "mpg.h"
#include "mpg_string.hpp"
#include "platform/platform.h"
#include "support/media.h"

using namespace mpgtest;

namespace {

TEST(ApiSurface, ExportsTheTwentySixNamesAndNothingElse) {
  const std::string lib = std::string(MPG_TEST_BIN_DIR) + "/../libmpg.so";
  std::string out;
  ASSERT_EQ(mpgtest::Run("nm -D --defined-only " + Quote(lib), &out), 0) << lib;
  std::set<std::string> names;
  std::istringstream lines(out);
  for (std::string addr, type, name; lines >> addr >> type >> name;) names.insert(name);
  const std::set<std::string> expected = {
      "MPG_SetPercent100", "MPG_TestParams",      "MPG_GetErrorText", "MPG_GetDefExt",        "MPG_IsThisGoodFile",
      "MPG_GetMediaInfo",  "MPG_GetAudioDuration", "MPG_MergeOP",     "MPG_MergeOP2",         "MPG_GetDefExtension",
      "MPG_MergeAV",       "MPG_Merge",           "MPG_Transcode",    "MP3_Convert",          "MPG_ShiftAudio",
      "MPG_Crop",          "MPG_SaveTrimmedVideo", "FLV_FixDuration", "MPG_GetImage",         "MPG_GetImageP",
      "MPG_GetImageBMP",   "MPG_GetImageJPG",     "MPG_SetPathEncoding", "MPG_ExtractAudio",     "MPG_Free",
      "MPG_Finish"};
  EXPECT_EQ(names, expected);
}

// Any code has a text: FFmpeg's for a code of no meaning, in a buffer the next formatted code
// reuses. Ids outside the table give mp4. A scale below 1 is ignored and any positive one,
// INT32_MAX too, is where a job's reports end; MPG_TestParams changes nothing.
TEST(ApiHousekeeping, TextsExtensionsScaleAndTheFileCheck) {
  EXPECT_STREQ(MPG_GetErrorText(-2), "No such file or directory");
  const char *unknown = MPG_GetErrorText(12345);
  EXPECT_NE(std::string(unknown).find("Error number"), std::string::npos) << unknown;
  EXPECT_EQ(MPG_GetErrorText(-2), unknown);
  for (int32_t code : {INT32_MIN, INT32_MIN + 1, -99999, 1, INT32_MAX, int32_t(0xC0000000)})
    EXPECT_LT(std::strlen(MPG_GetErrorText(code)), 4096u) << code;
  EXPECT_STREQ(MPG_GetDefExt(0), "3gp");
  EXPECT_STREQ(MPG_GetDefExt(8), "wmv");
  for (int32_t outside : {INT32_MIN, -1, 9, 1000, INT32_MAX}) EXPECT_STREQ(MPG_GetDefExt(outside), "mp4") << outside;
  for (const std::string &good : {fx::H264Aac10s(), fx::Vp9Opus5s(), fx::Mp3Audio5s(), fx::FlacAudio5s()})
    EXPECT_NE(MPG_IsThisGoodFile(good.c_str()), 0) << good;
  for (int32_t scale : {1000, INT32_MAX}) {
    MPG_SetPercent100(scale);
    for (int32_t ignored : {0, -1, INT32_MIN}) MPG_SetPercent100(ignored);
    MPG_TestParams();
    ProgressLog log;
    ASSERT_EQ(MP3_Convert(fx::Mp3Audio5s().c_str(), Out("scale.mp3").c_str(), 0, ProgressLog::Callback, log.User()), MPG_OK);
    const std::vector<int32_t> &v = log.values;
    EXPECT_TRUE(v.size() >= 2 && v[0] >= 0 && std::is_sorted(v.begin(), v.end()) && v.back() == scale) << scale;
  }
  MPG_SetPercent100(100);
}

// The encoding is process-wide and set once: a value it does not know is refused and
// leaves the one in force. On Linux both read a path's bytes as they are, so names
// in any script reach their files either way.
TEST(ApiPathEncoding, RefusesUnknownValuesAndNamesInEveryScriptWorkEitherWay) {
  using mpg::platform::HostPathEncoding;
  using mpg::platform::PathEncoding;
  const std::string input = fx::H264Aac10s();
  const std::string names[] = {"Загрузка", "Λήψη", "ダウンロード", "تنزيل", "🎬", "Mix_Ωμέγα_дом_日本_عربي_🎵"};
  for (int32_t encoding : {MPG_PATH_UTF8, MPG_PATH_ANSI}) {
    ASSERT_EQ(MPG_SetPathEncoding(encoding), MPG_OK);
    const PathEncoding inForce = encoding == MPG_PATH_UTF8 ? PathEncoding::Utf8 : PathEncoding::Ansi;
    for (int32_t bad : {-1, 2, 65001}) {
      EXPECT_EQ(MPG_SetPathEncoding(bad), MPG_BAD_PARAMETER) << bad;
      EXPECT_EQ(HostPathEncoding(), inForce) << bad;
    }
    for (const std::string &name : names) {
      const std::string copy = Out(name + ".mp4"), cropped = Out(name + " " + std::to_string(encoding) + ".mp4");
      WriteBytes(copy, ReadBytes(input));
      MpgMediaInfo info{};
      EXPECT_EQ(MPG_GetMediaInfo(copy.c_str(), &info), 1) << name;
      EXPECT_EQ(info.width, 320) << name;
      EXPECT_EQ(MPG_Crop(copy.c_str(), cropped.c_str()), MPG_OK) << name;
      EXPECT_TRUE(DecodesCleanly(cropped)) << cropped;
    }
  }
}

// Appending a string's own text to itself, across the growth from the inline buffer
// to the heap and from one heap buffer to a larger one.
TEST(ApiString, SelfAppendKeepsTheTextItAppends) {
  for (size_t length : {6, 7, 10, 15, 33, 40, 100}) {
    std::string start;
    for (size_t i = 0; i < length; ++i) start += static_cast<char>('a' + i % 26);
    Str::string a(start.c_str()), b(start.c_str()), c(start.c_str());
    a.append(a.c_str());
    b += b;
    c.append(c.view().substr(1, length - 2));
    EXPECT_EQ(std::string(a.c_str()), start + start) << length;
    EXPECT_EQ(std::string(b.view()), start + start) << length;
    EXPECT_EQ(b.size(), 2 * length);
    EXPECT_EQ(std::string(c.c_str()), start + start.substr(1, length - 2)) << length;
  }
}

}  // namespace

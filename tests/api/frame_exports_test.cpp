// Housekeeping exports, the file check, and the shared library's exported surface.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "mpg.h"
#include "support/media.h"

using namespace mpgtest;

namespace {

struct TextCase {
  int32_t code;
  const char *text;
};

class ErrorText : public ::testing::TestWithParam<TextCase> {};

TEST_P(ErrorText, GivesTheTextOfEachCode) { EXPECT_STREQ(MPG_GetErrorText(GetParam().code), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Codes, ErrorText,
    ::testing::Values(TextCase{MPG_AUDIO_CODEC_NOT_FOUND, "Audio codec not found"},
                      TextCase{MPG_VIDEO_CODEC_NOT_FOUND, "Video codec not found"},
                      TextCase{MPG_AUDIO_STREAM_NOT_FOUND, "Audio stream not found"},
                      TextCase{MPG_VIDEO_STREAM_NOT_FOUND, "Video stream not found"},
                      TextCase{MPG_SAME_FILE, "Output file is the same as an input file"},
                      TextCase{-2, "No such file or directory"},
                      TextCase{static_cast<int32_t>(0xABB6A7BB), "Immediate exit requested"},
                      TextCase{static_cast<int32_t>(0xBEBBB1B7), "Invalid data found when processing input"}));

TEST(ErrorText, UnknownPositiveCodeGetsFfmpegFallbackInSharedBuffer) {
  const char *a = MPG_GetErrorText(12345);
  ASSERT_NE(a, nullptr);
  EXPECT_NE(std::string(a).find("Error number"), std::string::npos) << a;
  // The buffer is shared: a later formatted code overwrites it in place.
  const char *b = MPG_GetErrorText(-2);
  EXPECT_EQ(a, b);
  // The fixed texts are not copied into that buffer.
  EXPECT_NE(MPG_GetErrorText(MPG_AUDIO_STREAM_NOT_FOUND), b);
}

TEST(DefExt, AnswersFromTheTableAndFallsBackToMp4) {
  const std::pair<int32_t, const char *> cases[] = {{0, "3gp"}, {1, "aac"}, {2, "avi"},  {3, "mp3"},
                                                    {4, "mp4"}, {5, "mpg"}, {6, "ts"},   {7, "webm"},
                                                    {8, "wmv"}, {9, "mp4"}, {-1, "mp4"}, {1000, "mp4"}};
  for (auto [id, ext] : cases) EXPECT_STREQ(MPG_GetDefExt(id), ext) << "id " << id;
}

TEST(TestParams, ReturnsAndChangesNothing) {
  MPG_TestParams();
  EXPECT_STREQ(MPG_GetDefExt(5), "mpg");
}

struct GoodFileCase {
  const char *name;
  std::string (*path)();
  bool good;
};

class IsThisGoodFile : public ::testing::TestWithParam<GoodFileCase> {};

TEST_P(IsThisGoodFile, AcceptsMediaAndRefusesTheRest) {
  EXPECT_EQ(MPG_IsThisGoodFile(GetParam().path().c_str()) != 0, GetParam().good);
}

std::string EmptyFile() {
  std::string p = Out("empty.mp4");
  WriteBytes(p, "");
  return p;
}
std::string Directory() { return OutputDir(); }
std::string Missing() { return Out("missing.mp4"); }
std::string EmptyPath() { return ""; }
std::string TruncatedMp4() {
  std::string bytes = ReadBytes(fx::H264Aac10s());
  std::string p = Out("truncated.mp4");
  WriteBytes(p, bytes.substr(0, 200));
  return p;
}

INSTANTIATE_TEST_SUITE_P(
    Files, IsThisGoodFile,
    ::testing::Values(GoodFileCase{"mp4", fx::H264Aac10s, true}, GoodFileCase{"webm", fx::Vp9Opus5s, true},
                      GoodFileCase{"mp3", fx::Mp3Audio5s, true}, GoodFileCase{"flac", fx::FlacAudio5s, true},
                      GoodFileCase{"text", fx::TextFile, false}, GoodFileCase{"empty", EmptyFile, false},
                      GoodFileCase{"directory", Directory, false}, GoodFileCase{"missing", Missing, false},
                      GoodFileCase{"emptypath", EmptyPath, false},
                      GoodFileCase{"truncated", TruncatedMp4, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(IsThisGoodFile, NullPathIsNotGood) { EXPECT_EQ(MPG_IsThisGoodFile(nullptr), 0); }

TEST(SharedLibrary, ExportsTheTwentyTwoNamesAndNothingElse) {
  const std::string lib = std::string(MPG_TEST_BIN_DIR) + "/../libmpg.so";
  ASSERT_TRUE(std::filesystem::exists(lib)) << lib;
  std::string out;
  ASSERT_EQ(mpgtest::Run("nm -D --defined-only " + Quote(lib), &out), 0);
  std::set<std::string> names;
  std::istringstream lines(out);
  std::string addr, type, name;
  while (lines >> addr >> type >> name) names.insert(name);
  const std::set<std::string> expected = {
      "MPG_SetPercent100",  "MPG_TestParams",  "MPG_GetErrorText",     "MPG_GetDefExt",
      "MPG_IsThisGoodFile", "MPG_GetMediaInfo", "MPG_GetAudioDuration", "MPG_MergeOP",
      "MPG_MergeOP2",       "MPG_GetDefExtension", "MPG_MergeAV",       "MPG_Merge",
      "MPG_Transcode",      "MP3_Convert",     "MPG_ShiftAudio",       "MPG_Crop",
      "MPG_SaveTrimmedVideo", "FLV_FixDuration", "MPG_GetImage",      "MPG_GetImageP",
      "MPG_GetImageBMP",    "MPG_GetImageJPG"};
  EXPECT_EQ(names, expected);
}

}  // namespace

// The exported surface: the shared library's names, the file check, and the picture
// exports' answers to NULL arguments.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "mpg.h"
#include "support/media.h"

using namespace mpgtest;

namespace {

TEST(FrameExports, SharedLibraryExportsTheTwentyTwoNamesAndNothingElse) {
  const std::string lib = std::string(MPG_TEST_BIN_DIR) + "/../libmpg.so";
  std::string out;
  ASSERT_EQ(mpgtest::Run("nm -D --defined-only " + Quote(lib), &out), 0) << lib;
  std::set<std::string> names;
  std::istringstream lines(out);
  std::string addr, type, name;
  while (lines >> addr >> type >> name) names.insert(name);
  EXPECT_EQ(names, (std::set<std::string>{
      "MPG_SetPercent100", "MPG_TestParams", "MPG_GetErrorText", "MPG_GetDefExt", "MPG_IsThisGoodFile", "MPG_GetMediaInfo",
      "MPG_GetAudioDuration", "MPG_MergeOP", "MPG_MergeOP2", "MPG_GetDefExtension", "MPG_MergeAV", "MPG_Merge",
      "MPG_Transcode", "MP3_Convert", "MPG_ShiftAudio", "MPG_Crop", "MPG_SaveTrimmedVideo", "FLV_FixDuration",
      "MPG_GetImage", "MPG_GetImageP", "MPG_GetImageBMP", "MPG_GetImageJPG"}));
}

TEST(FrameExports, FileCheckAcceptsMediaOfEveryKind) {
  for (auto media : {fx::H264Aac10s, fx::Vp9Opus5s, fx::Mp3Audio5s, fx::FlacAudio5s})
    EXPECT_EQ(MPG_IsThisGoodFile(media().c_str()), 1) << media();
  EXPECT_EQ(MPG_IsThisGoodFile(nullptr), 0);
}

TEST(FrameExports, PictureExportsRefuseNullArguments) {
  const std::string video = fx::H264Video10s();
  uint32_t size = 7;
  EXPECT_EQ(MPG_GetImageBMP(nullptr, 0, &size, 0), nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(MPG_GetImageBMP(video.c_str(), 0, nullptr, 0), nullptr);
  EXPECT_FALSE(MPG_GetImage(MPG_IMAGE_PPM, video.c_str(), nullptr, 0, 0));
  EXPECT_FALSE(MPG_GetImageP(MPG_IMAGE_PPM, nullptr, Out("x.ppm").c_str(), 0, 0, 0));
  EXPECT_FALSE(MPG_GetImageJPG(video.c_str(), nullptr, 0, 0));
  EXPECT_FALSE(FileExists(Out("x.ppm")));
}

}  // namespace

// Status texts: what a host shows its user for each code an export returns.
#include "core/status.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace mpg;

namespace {

struct PublicCode {
  const char *name;
  int32_t code;
};

constexpr PublicCode kPublicCodes[] = {
    {"MPG_OK", MPG_OK},
    {"MPG_AUDIO_CODEC_NOT_FOUND", MPG_AUDIO_CODEC_NOT_FOUND},
    {"MPG_VIDEO_CODEC_NOT_FOUND", MPG_VIDEO_CODEC_NOT_FOUND},
    {"MPG_AUDIO_STREAM_NOT_FOUND", MPG_AUDIO_STREAM_NOT_FOUND},
    {"MPG_VIDEO_STREAM_NOT_FOUND", MPG_VIDEO_STREAM_NOT_FOUND},
    {"MPG_SAME_FILE", MPG_SAME_FILE},
    {"MPG_BAD_PARAMETER", MPG_BAD_PARAMETER},
};

// FFmpeg's fallback for a code it does not know is "Error number N occurred": a
// host showing that has nothing to tell its user.
TEST(StatusText, EveryPublicCodeHasItsOwnText) {
  std::set<std::string> seen;
  for (const PublicCode &c : kPublicCodes) {
    const char *text = MPG_GetErrorText(c.code);
    ASSERT_NE(text, nullptr) << c.name;
    EXPECT_NE(std::string(text), "") << c.name;
    EXPECT_EQ(std::string(text).find("Error number"), std::string::npos) << c.name << ": " << text;
    EXPECT_TRUE(seen.insert(text).second) << c.name << " shares its text: " << text;
  }
}

TEST(StatusText, BadParameterSaysSo) { EXPECT_STREQ(MPG_GetErrorText(MPG_BAD_PARAMETER), "Bad parameter"); }

TEST(StatusText, FfmpegCodesKeepFfmpegsText) {
  for (int averr : {AVERROR_EOF, AVERROR_INVALIDDATA, AVERROR_EXIT, AVERROR(ENOMEM), AVERROR(EIO)}) {
    EXPECT_EQ(StatusText(averr), nullptr) << averr;
    EXPECT_EQ(std::string(MPG_GetErrorText(averr)), AvErrorText(averr)) << averr;
  }
}

}  // namespace

// The subtitle end-time reader on the texts SubRip and WebVTT files really hold, and
// on files it must refuse: each row is one file and the whole seconds it yields.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "probe/subtitle_end_time.h"
#include "support/media.h"

namespace {

using mpgtest::Out;
using mpgtest::WriteBytes;

// A SubRip file ending at 00:02:05,250 with the given text in its last cue.
std::string SubRipEndingAt125(const std::string &lastText) {
  return "1\r\n00:00:01,000 --> 00:00:02,500\r\nHello\r\n\r\n"
         "2\r\n00:00:03,000 --> 00:02:05,250\r\n" + lastText + "\r\n";
}

struct EndTimeCase {
  const char *name;
  std::string text;
  int64_t seconds;
};

std::ostream &operator<<(std::ostream &os, const EndTimeCase &c) { return os << c.name; }

class SubtitleEndTime : public ::testing::TestWithParam<EndTimeCase> {};

TEST_P(SubtitleEndTime, ReadsLastCueEnd) {
  const std::string path = Out("cues.txt");
  WriteBytes(path, GetParam().text);
  EXPECT_EQ(mpg::ReadSubtitleEndTime(path.c_str()), GetParam().seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SubtitleEndTime,
    ::testing::Values(
        EndTimeCase{"SubRipMillisecondsDropped", SubRipEndingAt125("Good night"), 125},
        EndTimeCase{"SubRipColonInLastCueText", SubRipEndingAt125("Note: 10:30 sharp"), 125},
        EndTimeCase{"SubRipBoxCoordinatesAfterEndTime",
                    "1\n00:00:01,000 --> 00:02:05,250 X1:40 X2:600 Y1:20 Y2:50\nBoxed\n", 125},
        EndTimeCase{"SubRipUtf8TextWithColon", SubRipEndingAt125("\xc3\x9c" "ber: gr\xc3\xbc\xc3\x9f" "e"), 125},
        EndTimeCase{"WebVttWithHours", "WEBVTT\n\n00:00:01.000 --> 00:01:10.000\nBye\n", 70},
        EndTimeCase{"WebVttCueSettingWithColon",
                    "WEBVTT\n\n00:00:01.000 --> 00:01:10.000 align:start position:10%\nBye\n", 70},
        EndTimeCase{"WebVttHoursLessEndTime", "WEBVTT\n\n00:01.000 --> 01:10.000\nBye\n", 70},
        EndTimeCase{"HoursAboveOneDay", "1\n00:00:01,000 --> 25:00:01,000\nLate\n", 90001},
        EndTimeCase{"EndTimeAtEndOfFileWithoutNewline", "1\n00:00:01,000 --> 00:00:42,000", 42},
        EndTimeCase{"NulByteBeforeLastCue",
                    std::string("1\n00:00:01,000 --> 00:00:02,000\nA\n\n", 33) + std::string(1, '\0') +
                        "2\n00:00:03,000 --> 00:05:00,000\nB\n",
                    2},
        // A hostile file may write any number of digits; the sum must not overflow.
        EndTimeCase{"HugeFieldsHeldAtCap", "1\n0 --> 99999999999999999999:99999999999999999999:9\n",
                    999999999LL * 3600 + 999999999LL * 60 + 9},
        EndTimeCase{"NoArrow", "WEBVTT\n\nNOTE nothing timed here 00:01:00.000\n", 0},
        EndTimeCase{"ArrowWithoutSpaces", "1\n00:00:01,000-->00:00:05,000\nA\n", 0},
        EndTimeCase{"ArrowAtEndOfFile", "1\n00:00:01,000 --> ", 0},
        EndTimeCase{"EndTimeOfOneField", "1\n00:00:01,000 --> 75\nA\n", 0},
        EndTimeCase{"EndTimeOfFourFields", "1\n00:00:01,000 --> 1:2:3:4\nA\n", 0},
        EndTimeCase{"EmptyFile", "", 0}),
    [](const ::testing::TestParamInfo<EndTimeCase> &p) { return std::string(p.param.name); });

// The cap is inclusive: a file of exactly kMaxSubtitleFileBytes is read, one byte
// more is refused before any of it is read.
TEST(SubtitleEndTimeLimit, FileOneByteOverLimitGivesZero) {
  const std::string cue = "\n1\n00:00:01,000 --> 00:02:05,250\nEnd\n";
  std::string text(mpg::kMaxSubtitleFileBytes - cue.size(), '\n');
  text += cue;
  ASSERT_EQ(text.size(), mpg::kMaxSubtitleFileBytes);
  const std::string atLimit = Out("at_limit.srt");
  WriteBytes(atLimit, text);
  EXPECT_EQ(mpg::ReadSubtitleEndTime(atLimit.c_str()), 125);

  const std::string overLimit = Out("over_limit.srt");
  WriteBytes(overLimit, "\n" + text);
  EXPECT_EQ(mpg::ReadSubtitleEndTime(overLimit.c_str()), 0);
}

TEST(SubtitleEndTimePaths, NullMissingOrDirectoryGivesZero) {
  EXPECT_EQ(mpg::ReadSubtitleEndTime(nullptr), 0);
  EXPECT_EQ(mpg::ReadSubtitleEndTime(""), 0);
  EXPECT_EQ(mpg::ReadSubtitleEndTime(Out("missing.srt").c_str()), 0);
  EXPECT_EQ(mpg::ReadSubtitleEndTime(mpgtest::OutputDir().c_str()), 0);
}

struct SplitCase {
  const char *name;
  std::string text;
  std::string separators;
  std::vector<std::string> pieces;
};

class SplitTokens : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTokens, NeverYieldsEmptyPieces) {
  std::vector<std::string> pieces = {"left over from before"};
  const bool found = mpg::SplitTokens(GetParam().text, GetParam().separators, pieces);
  EXPECT_EQ(pieces, GetParam().pieces);
  EXPECT_EQ(found, !GetParam().pieces.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SplitTokens,
    ::testing::Values(SplitCase{"Plain", "00:02:05", ":", {"00", "02", "05"}},
                      SplitCase{"RunsCountAsOne", "a::b:::c", ":", {"a", "b", "c"}},
                      SplitCase{"EdgesProduceNothing", "::a:b::", ":", {"a", "b"}},
                      SplitCase{"SeveralSeparators", "a.b,c d", ".,", {"a", "b", "c d"}},
                      SplitCase{"OnlySeparators", ":::", ":", {}},
                      SplitCase{"Empty", "", ":", {}},
                      SplitCase{"NoSeparatorInText", "abc", ":", {"abc"}}),
    [](const ::testing::TestParamInfo<SplitCase> &p) { return std::string(p.param.name); });

}  // namespace

// The progress convention every pipeline shares: what the host sees and when a
// stop is taken.
#include "core/progress.h"

#include <gtest/gtest.h>

#include "support/media.h"

using namespace mpg;
using mpgtest::ProgressLog;

namespace {

// Restores the process-wide scale after each test.
class Progress : public ::testing::Test {
 protected:
  void TearDown() override { MPG_SetPercent100(100); }
};

TEST_F(Progress, OnlyValuesAboveTheLastAreSentAndZeroNeverIs) {
  ProgressLog log;
  ProgressReporter reporter(ProgressLog::Callback, log.User());
  for (int32_t v : {0, 10, 10, 5, 20, 20, 100}) reporter.ReportIfAdvanced(v);
  EXPECT_EQ(log.values, (std::vector<int32_t>{10, 20, 100}));
  for (uintptr_t user : log.users) EXPECT_EQ(user, log.User());
}

TEST_F(Progress, ZeroAnswerIsAStopRequest) {
  ProgressLog log;
  log.stopAtValue = 2;
  ProgressReporter reporter(ProgressLog::Callback, log.User());
  EXPECT_FALSE(reporter.ReportIfAdvanced(1));
  EXPECT_TRUE(reporter.ReportIfAdvanced(2));
  EXPECT_TRUE(reporter.StopRequested());
}

TEST_F(Progress, NullCallbackNeverStops) {
  ProgressReporter reporter(nullptr, 0);
  EXPECT_FALSE(reporter.Report(50));
  reporter.ReportText("ignored");
  reporter.ReportFinal();
  EXPECT_FALSE(reporter.StopRequested());
}

TEST_F(Progress, FinalReportCarriesTheScaleSetByTheHost) {
  MPG_SetPercent100(1000);
  ProgressLog log;
  ProgressReporter(ProgressLog::Callback, log.User()).ReportFinal();
  EXPECT_EQ(log.values, (std::vector<int32_t>{1000}));
}

TEST_F(Progress, ScaleOfZeroOrBelowIsIgnored) {
  MPG_SetPercent100(250);
  MPG_SetPercent100(0);
  MPG_SetPercent100(-7);
  EXPECT_EQ(ProgressScale(), 250);
}

const char *seenText = nullptr;
int32_t seenValue = 0;
std::string seenCopy;
uint8_t KeepTextPointer(const ProgressReport *report) {
  seenText = report->text;
  seenValue = report->value;
  seenCopy = report->text ? report->text : "";
  return 0;  // a text report's answer is not looked at
}

TEST_F(Progress, TextReportHasValueMinusOneAndANulTerminatedCopy) {
  ProgressReporter reporter(KeepTextPointer, 7);
  std::string message = "audio.first_dts=1024 time=0.0213333";
  reporter.ReportText(std::string_view(message).substr(0, 20));
  EXPECT_EQ(seenValue, -1);
  EXPECT_EQ(seenCopy, "audio.first_dts=1024");
  EXPECT_NE(seenText, message.c_str()) << "the host must get the library's own copy";
  EXPECT_FALSE(reporter.StopRequested());
}

}  // namespace

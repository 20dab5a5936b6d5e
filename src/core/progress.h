// Progress reports to the host's callback. The host may stop a job by answering
// zero; a stop is not an error: the job finishes its file and returns success.
#pragma once

#include <cstdint>
#include <string_view>

#include "mpg.h"

namespace mpg {

// The number that stands for a hundred percent, process-wide because the host sets
// it once for every later call (100 at load). Read afresh at every computation.
int32_t ProgressScale() noexcept;
// Values of 0 or below are ignored: every percentage would divide by them.
void SetProgressScale(int32_t value) noexcept;

// One job's reports: the last value sent and whether the host asked to stop.
class ProgressReporter {
 public:
  ProgressReporter(ProgressCallback callback, uintptr_t user) noexcept
      : callback_(callback), user_(user) {}

  bool HasCallback() const noexcept { return callback_ != nullptr; }
  // Sends value and returns true when the host asked to stop.
  bool Report(int32_t value) noexcept;
  // Sends value only when it is above the last value sent; true on a stop.
  bool ReportIfAdvanced(int32_t value) noexcept;
  // Reports position out of total (any one unit) as a value of the scale, clamped
  // to 0..scale and sent only when it is above the last value sent; a job of
  // unknown length (total 0) sends nothing. True on a stop.
  bool ReportPosition(int64_t position, int64_t total) noexcept;
  // The last report of a job that ran to its end; the answer is not looked at.
  void ReportFinal() noexcept;
  // A text report (value -1); the text is valid during the call only and the
  // answer is not looked at.
  void ReportText(std::string_view text) noexcept;

  bool StopRequested() const noexcept { return stopped_; }
  int32_t LastValue() const noexcept { return lastValue_; }

 private:
  bool Call(int32_t value, const char *text) noexcept;

  ProgressCallback callback_;
  uintptr_t user_;
  int32_t lastValue_ = 0;
  bool stopped_ = false;
};

}  // namespace mpg

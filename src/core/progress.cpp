#include "core/progress.h"

#include <atomic>
#include <string>

namespace mpg {

namespace {
// Atomic because a host may set the scale while jobs on other threads read it; each
// computation reads it once, so no ordering beyond the value itself is needed.
std::atomic<int32_t> progressScale{100};
}

int32_t ProgressScale() noexcept { return progressScale.load(std::memory_order_relaxed); }

void SetProgressScale(int32_t value) noexcept {
  if (value > 0) progressScale.store(value, std::memory_order_relaxed);
}

bool ProgressReporter::Call(int32_t value, const char *text) noexcept {
  if (!callback_) return false;
  const ProgressReport report{value, user_, text};
  // Only the low byte of the answer counts; zero asks the job to stop.
  return callback_(&report) == 0;
}

bool ProgressReporter::Report(int32_t value) noexcept {
  if (!callback_) return false;
  if (value > lastValue_) lastValue_ = value;
  if (Call(value, nullptr)) stopped_ = true;
  return stopped_;
}

bool ProgressReporter::ReportIfAdvanced(int32_t value) noexcept {
  if (!callback_ || value <= lastValue_) return stopped_;
  return Report(value);
}

void ProgressReporter::ReportFinal() noexcept { Call(ProgressScale(), nullptr); }

void ProgressReporter::ReportText(std::string_view text) noexcept {
  if (!callback_) return;
  try {
    // The host sees a NUL-terminated copy that lives for the call only.
    const std::string copy(text);
    Call(-1, copy.c_str());
  } catch (...) {
    // Out of memory for a message the job does not need: skip the report.
  }
}

}  // namespace mpg

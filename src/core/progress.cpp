#include "core/progress.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>

#include "core/timebase.h"

namespace mpg {

namespace {
// Set by the host once for every later call, and read by jobs on any thread.
std::atomic<int32_t> progressScale{100};
}  // namespace

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

bool ProgressReporter::ReportPosition(int64_t position, int64_t total) noexcept {
  if (!callback_) return false;
  const int32_t scale = ProgressScale();
  const std::optional<int64_t> value = ProgressValue(position, total, scale);
  if (!value) return stopped_;
  return ReportIfAdvanced(static_cast<int32_t>(std::clamp<int64_t>(*value, 0, scale)));
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

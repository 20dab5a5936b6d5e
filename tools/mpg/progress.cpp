#include "progress.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace mpgcli {

namespace {

// Written by the signal handler, read by the progress callback on the same thread.
volatile sig_atomic_t interruptCount = 0;
struct sigaction previousAction;

void WriteRaw(const char *text) noexcept {
  // Only async-signal-safe calls here; a short write of a notice is harmless.
  ssize_t ignored = write(STDERR_FILENO, text, std::strlen(text));
  (void)ignored;
}

extern "C" void OnInterrupt(int) {
  if (interruptCount > 0) {
    WriteRaw("\nmpg: interrupted again, quitting without finishing the output\n");
    _exit(130);
  }
  interruptCount = 1;
  WriteRaw("\nmpg: stopping; the output will hold what was done so far (Ctrl-C again to quit at once)\n");
}

constexpr int kBarWidth = 40;

}  // namespace

StopOnInterrupt::StopOnInterrupt() {
  interruptCount = 0;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // Restart interrupted reads and writes: the job must go on to its next report.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &previousAction);
}

StopOnInterrupt::~StopOnInterrupt() { sigaction(SIGINT, &previousAction, nullptr); }

bool StopOnInterrupt::Requested() noexcept { return interruptCount > 0; }

ProgressDisplay::ProgressDisplay(int32_t scale, bool quiet)
    : scale_(scale > 0 ? scale : 100), quiet_(quiet), terminal_(isatty(STDERR_FILENO) == 1) {}

uint8_t ProgressDisplay::Callback(const ProgressReport *report) noexcept {
  if (!report) return StopOnInterrupt::Requested() ? 0 : 1;
  auto *self = reinterpret_cast<ProgressDisplay *>(report->user);
  if (self && !self->quiet_) {
    if (report->value == -1) {
      self->ShowText(report->text);
    } else {
      self->ShowValue(report->value);
    }
  }
  return StopOnInterrupt::Requested() ? 0 : 1;
}

void ProgressDisplay::ShowValue(int32_t value) noexcept {
  // The re-encoding merge may report past the scale; the display stops at 100 %.
  const int64_t clamped = std::clamp<int64_t>(value, 0, scale_);
  const int permille = static_cast<int>(clamped * 1000 / scale_);
  if (terminal_) {
    if (permille == lastPermille_) return;
    lastPermille_ = permille;
    const int filled = permille * kBarWidth / 1000;
    char bar[kBarWidth + 1];
    for (int i = 0; i < kBarWidth; ++i) bar[i] = i < filled ? '#' : '-';
    bar[kBarWidth] = '\0';
    std::fprintf(stderr, "\r[%s] %3d.%d%%", bar, permille / 10, permille % 10);
    std::fflush(stderr);
    barOpen_ = true;
  } else {
    // One line per whole percent keeps logs short.
    const int percent = permille / 10;
    if (percent * 10 <= lastPermille_) return;
    lastPermille_ = percent * 10;
    std::fprintf(stderr, "%d%%\n", percent);
    std::fflush(stderr);
  }
}

void ProgressDisplay::ShowText(const char *text) noexcept {
  EndBarLine();
  std::fprintf(stderr, "mpg: %s\n", text ? text : "");
  std::fflush(stderr);
  // Redraw the bar under the message at the next report.
  lastPermille_ = terminal_ ? -1 : lastPermille_;
}

void ProgressDisplay::EndBarLine() noexcept {
  if (!barOpen_) return;
  std::fputc('\n', stderr);
  barOpen_ = false;
}

void ProgressDisplay::Finish() noexcept { EndBarLine(); }

}  // namespace mpgcli

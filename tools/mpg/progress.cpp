#include "progress.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <cstring>

namespace mpgcli {

namespace {

// Written by the interrupt handler (a signal handler on POSIX, a thread of its own
// on Windows), read by the progress callback. A lock-free atomic suits both.
std::atomic<int> interruptCount{0};
static_assert(std::atomic<int>::is_always_lock_free);

void WriteRaw(const char *text) noexcept {
  // Only async-signal-safe calls here; a short write of a notice is harmless.
#ifdef _WIN32
  int ignored = _write(2, text, static_cast<unsigned>(std::strlen(text)));
#else
  ssize_t ignored = write(STDERR_FILENO, text, std::strlen(text));
#endif
  (void)ignored;
}

void OnInterrupt() {
  if (interruptCount > 0) {
    WriteRaw("\nmpg: interrupted again, quitting without finishing the output\n");
    _exit(130);
  }
  interruptCount = 1;
  WriteRaw("\nmpg: stopping; the output will hold what was done so far (Ctrl-C again to quit at once)\n");
}

#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  OnInterrupt();
  return TRUE;
}
#else
struct sigaction previousAction;

extern "C" void OnSignal(int) { OnInterrupt(); }
#endif

constexpr int kBarWidth = 40;

bool IsTerminal() noexcept {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) == 1;
#endif
}

}  // namespace

StopOnInterrupt::StopOnInterrupt() {
  interruptCount = 0;
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // Restart interrupted reads and writes: the job must go on to its next report.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &previousAction);
#endif
}

StopOnInterrupt::~StopOnInterrupt() {
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
#else
  sigaction(SIGINT, &previousAction, nullptr);
#endif
}

bool StopOnInterrupt::Requested() noexcept { return interruptCount > 0; }

ProgressDisplay::ProgressDisplay(int32_t scale, bool quiet)
    : scale_(scale > 0 ? scale : 100), quiet_(quiet), terminal_(IsTerminal()) {}

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

// Progress display and Ctrl-C handling for the long jobs of the mpg tool.
//
// The library reports progress through a callback and stops a job when the callback
// answers 0; a stopped job still finishes its output file. Ctrl-C therefore only
// raises a flag that the next report answers with 0. A second Ctrl-C ends the tool
// at once.
#pragma once

#include <cstdint>
#include <string>

#include "mpg.h"

namespace mpgcli {

// Installs the Ctrl-C handler for its lifetime and restores the previous one after.
class StopOnInterrupt {
 public:
  StopOnInterrupt();
  ~StopOnInterrupt();
  StopOnInterrupt(const StopOnInterrupt &) = delete;
  StopOnInterrupt &operator=(const StopOnInterrupt &) = delete;

  // True once Ctrl-C has been pressed while the handler was installed.
  static bool Requested() noexcept;
};

// Shows the reports of one job on stderr: a bar redrawn in place on a terminal, or
// one "N%" line per whole percent otherwise. Text reports become "mpg: <text>" lines.
class ProgressDisplay {
 public:
  // scale: the number that stands for 100 % (as given to MPG_SetPercent100).
  ProgressDisplay(int32_t scale, bool quiet);

  static uint8_t Callback(const ProgressReport *report) noexcept;
  uintptr_t User() noexcept { return reinterpret_cast<uintptr_t>(this); }

  // Ends the bar's line on a terminal; call once the export has returned.
  void Finish() noexcept;

 private:
  void ShowValue(int32_t value) noexcept;
  void ShowText(const char *text) noexcept;
  void EndBarLine() noexcept;

  int32_t scale_;
  bool quiet_;
  bool terminal_;
  int lastPermille_ = -1;
  bool barOpen_ = false;
};

}  // namespace mpgcli

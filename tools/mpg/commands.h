// The subcommands of the mpg tool. Each Add* function registers its subcommands on
// the application; the tool runs the one the user chose after parsing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "mpg.h"

namespace mpgcli {

// Exit statuses of the tool.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;     // the library reported a failure
constexpr int kExitUsage = 2;      // bad command line
constexpr int kExitStopped = 130;  // Ctrl-C stopped a job; its output is finished

// Options every subcommand shares, filled by the parser before a command runs.
struct GlobalOptions {
  int32_t scale = 100;  // the number standing for 100 % (MPG_SetPercent100)
  bool quiet = false;   // no progress display
};

// A usage mistake found after parsing (a combination of options that cannot work).
struct UsageError {
  std::string message;
};

struct Command {
  CLI::App *app;
  std::function<int()> run;
};

using Commands = std::vector<Command>;

void AddJobCommands(CLI::App &app, const GlobalOptions &global, Commands &commands);      // merge, concat, transcode, mp3, shift-audio, extract-audio
void AddInspectCommands(CLI::App &app, const GlobalOptions &global, Commands &commands);  // info, container
void AddImageCommand(CLI::App &app, const GlobalOptions &global, Commands &commands);     // image
void AddEditCommands(CLI::App &app, const GlobalOptions &global, Commands &commands);     // crop, trim, fix-flv
void AddFinishCommand(CLI::App &app, const GlobalOptions &global, Commands &commands);    // finish

// Prints "mpg <command>: <status text>" on stderr and returns the exit status for a
// library status code (0 stays 0).
int ExitForStatus(const std::string &command, int32_t status);

// Prints "mpg <command>: <message>" on stderr and returns kExitFailed.
int Fail(const std::string &command, const std::string &message);

// Why a path cannot be read as media, in words ("no such file", "is a directory"),
// or empty when it is a readable regular file.
std::string WhyUnreadable(const std::string &path);

// Runs a job that reports progress: shows it, lets Ctrl-C stop it, and turns the
// outcome into the tool's exit status.
int RunWithProgress(const std::string &command, const std::string &outputPath, const GlobalOptions &global,
                    const std::function<int32_t(ProgressCallback, uintptr_t)> &job);

}  // namespace mpgcli

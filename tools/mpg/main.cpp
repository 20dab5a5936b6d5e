// mpg: the library's jobs from the command line, one subcommand per job. Built on
// the public C API only (mpg.h and libmpg.so).
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "commands.h"
#include "console.h"

namespace {

int RunTool(const std::vector<std::string> &args) {
  using namespace mpgcli;
  CLI::App app{"mpg: merge, join, convert, inspect and edit media files with libmpg", "mpg"};
  app.set_version_flag("--version", "mpg " MPG_TOOL_VERSION);
  app.require_subcommand(1);
  app.fallthrough();

  GlobalOptions global;
  app.add_option("--scale", global.scale,
                 "The number that stands for 100 % in progress and in percent-valued options (default 100)")
      ->check(CLI::PositiveNumber);
  app.add_flag("-q,--quiet", global.quiet, "Show no progress");

  Commands commands;
  AddJobCommands(app, global, commands);
  AddInspectCommands(app, global, commands);
  AddImageCommand(app, global, commands);
  AddEditCommands(app, global, commands);
  AddFinishCommand(app, global, commands);

  try {
    std::vector<const char *> argv;
    for (const std::string &arg : args) argv.push_back(arg.c_str());
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError &e) {
    // A mistyped subcommand is left over as an extra argument.
    if (app.get_subcommands().empty() && !app.remaining().empty() && app.remaining().front()[0] != '-') {
      Print(stderr, "mpg: unknown subcommand '%s'\nRun with --help for the list.\n", app.remaining().front().c_str());
      return kExitUsage;
    }
    // Help and --version exit 0; every other parse error is a usage error.
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }

  MPG_SetPercent100(global.scale);
  // The arguments are UTF-8 on every system, and every name reaches the library so.
  MPG_SetPathEncoding(MPG_PATH_UTF8);
  for (const Command &command : commands) {
    if (!command.app->parsed()) continue;
    try {
      return command.run();
    } catch (const UsageError &e) {
      Print(stderr, "mpg %s: %s\nRun with --help for more information.\n", command.app->get_name().c_str(),
            e.message.c_str());
      return kExitUsage;
    }
  }
  return kExitUsage;
}

}  // namespace

int main(int argc, char **argv) {
  try {
    std::vector<std::string> args;
    size_t bad = 0;
    if (!mpgcli::ReadArguments(argc, argv, args, bad)) {
      // Such an argument names no file exactly; a look-alike would name another.
      mpgcli::Print(stderr, "mpg: argument %d is not valid Unicode text (an unpaired surrogate)\n",
                    static_cast<int>(bad));
      return mpgcli::kExitUsage;
    }
    return RunTool(args);
  } catch (const std::exception &e) {
    mpgcli::Print(stderr, "mpg: %s\n", e.what());
    return mpgcli::kExitFailed;
  }
}

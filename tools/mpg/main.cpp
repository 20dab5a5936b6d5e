// mpg: the library's jobs from the command line, one subcommand per job. Built on
// the public C API only (mpg.h and libmpg.so).
#include <cstdio>
#include <exception>

#include "commands.h"

namespace {

int RunTool(int argc, char **argv) {
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

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    // A mistyped subcommand is left over as an extra argument.
    if (app.get_subcommands().empty() && !app.remaining().empty() && app.remaining().front()[0] != '-') {
      std::fprintf(stderr, "mpg: unknown subcommand '%s'\nRun with --help for the list.\n",
                   app.remaining().front().c_str());
      return kExitUsage;
    }
    // Help and --version exit 0; every other parse error is a usage error.
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }

  MPG_SetPercent100(global.scale);
  for (const Command &command : commands) {
    if (!command.app->parsed()) continue;
    try {
      return command.run();
    } catch (const UsageError &e) {
      std::fprintf(stderr, "mpg %s: %s\nRun with --help for more information.\n", command.app->get_name().c_str(),
                   e.message.c_str());
      return kExitUsage;
    }
  }
  return kExitUsage;
}

}  // namespace

int main(int argc, char **argv) {
  try {
    return RunTool(argc, argv);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "mpg: %s\n", e.what());
    return mpgcli::kExitFailed;
  }
}

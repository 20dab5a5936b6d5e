// Single-file edits without progress: crop, trim and fix-flv.
#include <string>

#include "commands.h"

namespace mpgcli {

namespace {

void AddCrop(CLI::App &app, Commands &commands) {
  struct Args {
    std::string input, output;
  };
  auto args = std::make_shared<Args>();
  CLI::App *sub = app.add_subcommand(
      "crop", "Rewrite a file into the same container type, keeping its best audio stream and first video stream");
  sub->add_option("input", args->input, "File to read")->required();
  sub->add_option("output", args->output, "File to write")->required();
  commands.push_back(
      {sub, [args] { return ExitForStatus("crop", MPG_Crop(args->input.c_str(), args->output.c_str())); }});
}

void AddTrim(CLI::App &app, Commands &commands) {
  struct Args {
    std::string input, output;
    int32_t start = 0;
    int32_t end = 0;
  };
  auto args = std::make_shared<Args>();
  CLI::App *sub = app.add_subcommand("trim", "Save the part of a file between two times");
  sub->add_option("input", args->input, "File to read")->required();
  sub->add_option("output", args->output, "File to write (same container type)")->required();
  sub->add_option("--start", args->start, "Start in whole seconds (default 0)")->check(CLI::NonNegativeNumber);
  sub->add_option("--end", args->end, "End in whole seconds")->required()->check(CLI::NonNegativeNumber);
  commands.push_back({sub, [args]() -> int {
                        if (args->end <= args->start) throw UsageError{"--end must come after --start"};
                        return ExitForStatus("trim", MPG_SaveTrimmedVideo(args->input.c_str(), args->output.c_str(),
                                                                          args->start, args->end));
                      }});
}

void AddFixFlv(CLI::App &app, Commands &commands) {
  auto path = std::make_shared<std::string>();
  CLI::App *sub = app.add_subcommand("fix-flv", "Repair the duration in an FLV file's head, in place");
  sub->add_option("file", *path, "FLV file to repair")->required();
  commands.push_back({sub, [path] { return ExitForStatus("fix-flv", FLV_FixDuration(path->c_str())); }});
}

}  // namespace

void AddEditCommands(CLI::App &app, const GlobalOptions &, Commands &commands) {
  AddCrop(app, commands);
  AddTrim(app, commands);
  AddFixFlv(app, commands);
}

}  // namespace mpgcli

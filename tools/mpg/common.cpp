#include <cstdio>
#include <filesystem>
#include <system_error>

#include "commands.h"
#include "console.h"
#include "progress.h"

namespace mpgcli {

int ExitForStatus(const std::string &command, int32_t status) {
  if (status == MPG_OK) return kExitOk;
  // The library gives this code no text of its own (FFmpeg's for the number says nothing).
  const char *text = status == MPG_BAD_PARAMETER ? "bad parameter" : MPG_GetErrorText(status);
  Print(stderr, "mpg %s: %s (status %d)\n", command.c_str(), text && *text ? text : "unknown error",
        static_cast<int>(status));
  return kExitFailed;
}

int Fail(const std::string &command, const std::string &message) {
  Print(stderr, "mpg %s: %s\n", command.c_str(), message.c_str());
  return kExitFailed;
}

std::string WhyUnreadable(const std::string &path) {
  std::error_code ec;
  const auto status = std::filesystem::status(FsPath(path), ec);
  if (ec || !std::filesystem::exists(status)) return "'" + path + "': no such file";
  if (std::filesystem::is_directory(status)) return "'" + path + "' is a directory";
  return {};
}

int RunWithProgress(const std::string &command, const std::string &outputPath, const GlobalOptions &global,
                    const std::function<int32_t(ProgressCallback, uintptr_t)> &job) {
  StopOnInterrupt stop;
  ProgressDisplay display(global.scale, global.quiet);
  const int32_t status = job(&ProgressDisplay::Callback, display.User());
  display.Finish();
  if (status == MPG_OK && StopOnInterrupt::Requested()) {
    Print(stderr, "mpg %s: stopped; '%s' is finished with what was done so far\n", command.c_str(),
          outputPath.c_str());
    return kExitStopped;
  }
  return ExitForStatus(command, status);
}

}  // namespace mpgcli

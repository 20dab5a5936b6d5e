// A C++ host: mpg.h brings in Str::string, the path type MPG_Transcode takes.
#include <mpg.h>

#include <cstdio>

int main() {
  const Str::string empty;
  const Str::string output("/nonexistent/out.mp4");
  const TranscodeParams params{};
  // The Str::string overload links and an empty input path cannot succeed.
  const int32_t status = MPG_Transcode(&empty, &output, &params, nullptr, 0);
  std::printf("consumer++: status %d (%s)\n", static_cast<int>(status), MPG_GetErrorText(status));
  return status != MPG_OK ? 0 : 1;
}

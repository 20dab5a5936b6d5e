// Inspection exports: the file check, the media information record and the audio
// duration.
#include "api/guard.h"
#include "core/input.h"
#include "platform/platform.h"
#include "probe/media_info.h"

using namespace mpg;
using mpg::platform::HostPath;

extern "C" MPG_API uint8_t MPG_CALL MPG_GetMediaInfo(const char *path, MpgMediaInfo *info) noexcept {
  // A null record is left alone: nothing is zeroed when there is nothing to probe.
  if (!path || !info) return 0;
  return GuardOr<uint8_t>(0, [&] {
    // A path that cannot be named is a bad parameter: the record stays untouched.
    const HostPath file(path);
    if (file.Refused()) return uint8_t{0};
    return ReadMediaInfo(file.c_str(), *info) ? uint8_t{1} : uint8_t{0};
  });
}

extern "C" MPG_API uint32_t MPG_CALL MPG_GetAudioDuration(const char *path) noexcept {
  if (!path) return 0;
  return GuardOr<uint32_t>(0, [&] {
    const HostPath file(path);
    return file.Refused() ? 0 : ReadAudioDuration(file.c_str());
  });
}

extern "C" MPG_API uint8_t MPG_CALL MPG_IsThisGoodFile(const char *path) noexcept {
  return GuardOr<uint8_t>(0, [&]() -> uint8_t {
    if (!path) return 0;
    const HostPath file(path);
    if (file.Refused()) return 0;
    InputFormatPtr ctx;
    return IsOk(OpenInputFile(file.c_str(), ctx)) ? 1 : 0;
  });
}

// Single-file edit exports: crop, trim, audio shift, audio extraction and FLV duration repair.
#include <algorithm>
#include <string>

#include "api/guard.h"
#include "edit/crop.h"
#include "edit/extract_audio.h"
#include "edit/flv_fix.h"
#include "edit/shift_audio.h"
#include "edit/trim.h"
#include "platform/platform.h"

using namespace mpg;
using mpg::platform::AllNamed;
using mpg::platform::HostPath;

namespace {

bool IsPath(const char *path) noexcept { return path && *path; }

}  // namespace

extern "C" MPG_API int32_t MPG_CALL MPG_ShiftAudio(const char *inputPath, const char *outputPath, int32_t shiftMs,
                                                   ProgressCallback callback, uintptr_t user) noexcept {
  if (!IsPath(inputPath) || !IsPath(outputPath)) return Code(Status::BadParameter);
  return Guard([&] {
    const HostPath in(inputPath), out(outputPath);
    if (!AllNamed(in, out)) return Status::BadParameter;
    return ShiftAudioFile(in.c_str(), out.c_str(), shiftMs, callback, user);
  });
}

extern "C" MPG_API int32_t MPG_CALL MPG_Crop(const char *inputPath, const char *outputPath) noexcept {
  if (!IsPath(inputPath) || !IsPath(outputPath)) return Code(Status::BadParameter);
  return Guard([&] {
    const HostPath in(inputPath), out(outputPath);
    if (!AllNamed(in, out)) return Status::BadParameter;
    return CropFile(in.c_str(), out.c_str());
  });
}

extern "C" MPG_API int32_t MPG_CALL MPG_SaveTrimmedVideo(const char *inputPath, const char *outputPath,
                                                         int32_t startSeconds, int32_t endSeconds) noexcept {
  if (!IsPath(inputPath) || !IsPath(outputPath)) return Code(Status::BadParameter);
  // An empty or reversed range would make a file without a picture.
  if (startSeconds < 0 || endSeconds <= startSeconds) return Code(Status::BadParameter);
  return Guard([&] {
    const HostPath in(inputPath), out(outputPath);
    if (!AllNamed(in, out)) return Status::BadParameter;
    return TrimVideo(in.c_str(), out.c_str(), startSeconds, endSeconds);
  });
}

extern "C" MPG_API int32_t MPG_CALL MPG_ExtractAudio(const char *inputPath, const char *outputStem,
                                                     char *extension, int32_t extensionSize,
                                                     ProgressCallback callback, uintptr_t user) noexcept {
  if (!IsPath(inputPath) || !IsPath(outputStem) || !extension || extensionSize < MPG_EXTENSION_SIZE) {
    return Code(Status::BadParameter);
  }
  extension[0] = '\0';
  return Guard([&] {
    const HostPath in(inputPath), stem(outputStem);
    if (!AllNamed(in, stem)) return Status::BadParameter;
    std::string chosen;
    const Status st = ExtractAudio(in.c_str(), stem.c_str(), chosen, callback, user);
    // The extension is the container's, also after a failure that got as far as choosing it.
    chosen.copy(extension, MPG_EXTENSION_SIZE - 1);
    extension[std::min<size_t>(chosen.size(), MPG_EXTENSION_SIZE - 1)] = '\0';
    return st;
  });
}

extern "C" MPG_API int32_t MPG_CALL FLV_FixDuration(const char *path) noexcept {
  if (!IsPath(path)) return Code(Status::BadParameter);
  return Guard([&] {
    const HostPath file(path);
    if (file.Refused()) return Status::BadParameter;
    return RepairFlvDuration(file.c_str());
  });
}

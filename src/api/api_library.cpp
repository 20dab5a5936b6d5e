// Housekeeping exports, the file check and the container choice for a merge.
#include <cstring>

#include "transcode/extension_table.h"
#include "api/guard.h"
#include "merge/container_choice.h"
#include "core/progress.h"
#include "core/streams.h"

using namespace mpg;

namespace {

// Per thread: the text of the last FFmpeg code MPG_GetErrorText formatted on this
// thread. The pointer handed out stays valid until the same thread's next call, and
// calls on other threads never overwrite it.
thread_local char errorTextBuffer[260];

}  // namespace

extern "C" MPG_API void MPG_SetPercent100(int32_t value) noexcept { SetProgressScale(value); }

extern "C" MPG_API void MPG_TestParams(void) noexcept {}

extern "C" MPG_API const char *MPG_GetErrorText(int32_t code) noexcept {
  if (const char *text = StatusText(code)) return text;
  av_strerror(code, errorTextBuffer, sizeof errorTextBuffer);
  return errorTextBuffer;
}

extern "C" MPG_API const char *MPG_GetDefExt(int32_t outputFormatId) noexcept {
  const ExtensionTableRow *row = FindOutputFormat(outputFormatId);
  return row ? row->extension : "mp4";
}

extern "C" MPG_API uint8_t MPG_IsThisGoodFile(const char *path) noexcept {
  return GuardOr<uint8_t>(0, [&]() -> uint8_t {
    if (!path) return 0;
    InputFormatPtr ctx;
    return IsOk(OpenInputFile(path, ctx)) ? 1 : 0;
  });
}

extern "C" MPG_API int32_t MPG_MergeOP2(const char *videoPath, const char *audioPath,
                                        MergeOp2Result *result) noexcept {
  return Guard([&] {
    AVCodecID audio, video;
    Status st = ProbeMergePair(videoPath, audioPath, audio, video);
    if (IsOk(st) && result) *result = ChooseMergeContainer(audio, video);
    return st;
  });
}

extern "C" MPG_API int32_t MPG_MergeOP(const char *videoPath, const char *audioPath,
                                       MergeOpResult *result) noexcept {
  return Guard([&] {
    AVCodecID audio, video;
    Status st = ProbeMergePair(videoPath, audioPath, audio, video);
    if (IsOk(st) && result) *result = ChooseMergeContainerOld(audio, video);
    return st;
  });
}

extern "C" MPG_API void MPG_GetDefExtension(const char *path, char *buffer, int32_t bufferSize) noexcept {
  if (!buffer || bufferSize < 1) return;
  buffer[0] = '\0';
  GuardOr<int>(0, [&] {
    // The same file is probed for its audio and for its video.
    AVCodecID audio, video;
    if (!IsOk(ProbeMergePair(path, path, audio, video))) return 0;
    const MergeOp2Result choice = ChooseMergeContainer(audio, video);
    // A buffer too small for the whole extension stays empty rather than cut.
    const size_t length = std::strlen(choice.extension);
    if (length < static_cast<size_t>(bufferSize)) std::memcpy(buffer, choice.extension, length + 1);
    return 0;
  });
}

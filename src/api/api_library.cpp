// Housekeeping exports: the progress scale, the hosts' path encoding and the text of
// a status code.
#include <cstdlib>

#include "api/guard.h"
#include "core/progress.h"
#include "platform/platform.h"

using namespace mpg;

// The core names the library's own codes without the public header.
static_assert(Code(Status::Ok) == MPG_OK);
static_assert(Code(Status::AudioCodecNotFound) == MPG_AUDIO_CODEC_NOT_FOUND);
static_assert(Code(Status::VideoCodecNotFound) == MPG_VIDEO_CODEC_NOT_FOUND);
static_assert(Code(Status::AudioStreamNotFound) == MPG_AUDIO_STREAM_NOT_FOUND);
static_assert(Code(Status::VideoStreamNotFound) == MPG_VIDEO_STREAM_NOT_FOUND);
static_assert(Code(Status::SameFile) == MPG_SAME_FILE);
static_assert(Code(Status::BadParameter) == MPG_BAD_PARAMETER);

namespace {

// Per thread: the text of the last FFmpeg code MPG_GetErrorText formatted on this
// thread. The pointer handed out stays valid until the same thread's next call, and
// calls on other threads never overwrite it.
thread_local char errorTextBuffer[260];

}  // namespace

extern "C" MPG_API void MPG_CALL MPG_SetPercent100(int32_t value) noexcept { SetProgressScale(value); }

extern "C" MPG_API int32_t MPG_CALL MPG_SetPathEncoding(int32_t encoding) noexcept {
  if (encoding != MPG_PATH_ANSI && encoding != MPG_PATH_UTF8) return Code(Status::BadParameter);
  platform::SetHostPathEncoding(encoding == MPG_PATH_UTF8 ? platform::PathEncoding::Utf8
                                                         : platform::PathEncoding::Ansi);
  return MPG_OK;
}

extern "C" MPG_API void MPG_CALL MPG_TestParams(void) noexcept {}

extern "C" MPG_API void MPG_CALL MPG_Free(void *buffer) noexcept { std::free(buffer); }

extern "C" MPG_API const char *MPG_CALL MPG_GetErrorText(int32_t code) noexcept {
  if (const char *text = StatusText(code)) return text;
  av_strerror(code, errorTextBuffer, sizeof errorTextBuffer);
  return errorTextBuffer;
}

// Conversion exports: a file into another container, codec, size or rate; the audio
// of a file as an MP3 file; and the extension of an output format id. MPG_Transcode's
// paths arrive as the library's string objects; only their text and size are read.
#include <cstring>
#include <string>

#include "api/guard.h"
#include "platform/platform.h"
#include "transcode/extension_table.h"
#include "transcode/mp3_convert.h"
#include "transcode/transcode.h"

using namespace mpg;
using mpg::platform::AllNamed;
using mpg::platform::HostPath;

namespace {

// Copies the text of a caller's string object into path. The text lives inline
// while the capacity is below 16, else behind the pointer; the object's virtual
// functions belong to the caller's build and are never called. False for a
// string that is empty, inconsistent, or holds a NUL inside its length.
bool ReadPathString(const MpgString *s, std::string &path) {
  constexpr size_t kInlineCapacity = sizeof s->text.buf;
  if (!s || s->size == 0 || s->size > s->capacity) return false;
  const bool isInline = s->capacity < kInlineCapacity;
  const char *text = isInline ? s->text.buf : s->text.ptr;
  if (!text) return false;
  path.resize(s->size);
  std::memcpy(path.data(), text, s->size);
  return path.find('\0') == std::string::npos;
}

}  // namespace

extern "C" MPG_API int32_t MPG_CALL MPG_Transcode(const MpgString *inputPath, const MpgString *outputPath,
                                                  const TranscodeParams *params, ProgressCallback callback,
                                                  uintptr_t user) noexcept {
  if (!inputPath || !outputPath || !params) return Code(Status::BadParameter);
  return Guard([&] {
    std::string in, out;
    if (!ReadPathString(inputPath, in) || !ReadPathString(outputPath, out)) return Status::BadParameter;
    const HostPath in8(in.c_str()), out8(out.c_str());
    if (!AllNamed(in8, out8)) return Status::BadParameter;
    return Transcode(in8.c_str(), out8.c_str(), *params, callback, user);
  });
}

extern "C" MPG_API int32_t MPG_CALL MP3_Convert(const char *inputPath, const char *outputPath, int32_t bitRate,
                                                ProgressCallback callback, uintptr_t user) noexcept {
  if (!inputPath || !*inputPath || !outputPath || !*outputPath) return Code(Status::BadParameter);
  return Guard([&] {
    const HostPath in(inputPath), out(outputPath);
    if (!AllNamed(in, out)) return Status::BadParameter;
    return ConvertToMp3(in.c_str(), out.c_str(), bitRate, callback, user);
  });
}

extern "C" MPG_API const char *MPG_CALL MPG_GetDefExt(int32_t outputFormatId) noexcept {
  const ExtensionTableRow *row = FindOutputFormat(outputFormatId);
  return row ? row->extension : "mp4";
}

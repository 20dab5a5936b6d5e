// Fuzzes the edits that copy what they can and re-encode the rest: the trim (whose
// copy plan reads key frames, groups and parameter sets from the file) and the
// audio shift. The input is named as MP4, Matroska, MPEG-TS or WebM by its
// first byte, since an edit writes the container its input's name suggests; the
// second byte picks the trimmed range.
#include "fuzz_support.h"
#include "mpg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const char *const kNames[] = {"edit.mp4", "edit.mkv", "edit.ts", "edit.webm"};
  const std::string name = kNames[size ? data[0] % 4 : 0];
  const std::string in = fuzz::WriteInput(name, data, size);
  const std::string out = fuzz::WorkPath("out_" + name);
  const int32_t start = size > 1 ? data[1] % 3 : 0;
  MPG_SaveTrimmedVideo(in.c_str(), out.c_str(), start, start + 1 + (size > 1 ? data[1] / 3 % 3 : 0));
  fuzz::Remove(out);
  MPG_ShiftAudio(in.c_str(), out.c_str(), -500, nullptr, 0);
  fuzz::Remove(out);
  fuzz::Remove(in);
  return 0;
}

// Fuzzes the exports that read a whole file and write a new one: MP3 conversion,
// the merge of the mutated file with itself as video and audio, and the segment
// concatenation of the mutated file twice over (so the second opening meets what
// the first one left in the output's stream).
#include "fuzz_support.h"
#include "mpg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string in = fuzz::WriteInput("convert.bin", data, size);
  const std::string out = fuzz::WorkPath("convert.out");
  MP3_Convert(in.c_str(), (out + ".mp3").c_str(), 64000, nullptr, 0);
  MPG_MergeAV(in.c_str(), in.c_str(), (out + ".mp4").c_str(), nullptr, 0);
  const char *segments[] = {in.c_str(), in.c_str(), nullptr};
  MPG_Merge(segments, (out + ".ts").c_str(), 0, 1, nullptr, 0);
  fuzz::Remove(out + ".mp3");
  fuzz::Remove(out + ".mp4");
  fuzz::Remove(out + ".ts");
  return 0;
}

// Fuzzes the exports that inspect a file: the file check, the media information
// record, the audio duration and the container choice, on arbitrary bytes.
#include "fuzz_support.h"
#include "mpg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string in = fuzz::WriteInput("probe.bin", data, size);
  MPG_IsThisGoodFile(in.c_str());
  MpgMediaInfo info;
  MPG_GetMediaInfo(in.c_str(), &info);
  MPG_GetAudioDuration(in.c_str());
  MergeOp2Result choice;
  MPG_MergeOP2(in.c_str(), in.c_str(), &choice);
  char ext[8];
  MPG_GetDefExtension(in.c_str(), ext, sizeof ext);
  return 0;
}

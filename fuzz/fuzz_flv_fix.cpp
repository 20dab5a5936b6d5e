// Fuzzes the FLV head repair on a copy of arbitrary bytes. A repair rewrites the
// file in place, so each run starts from a fresh copy.
#include "fuzz_support.h"
#include "mpg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string path = fuzz::WriteInput("repair.flv", data, size);
  FLV_FixDuration(path.c_str());
  fuzz::Remove(path);
  fuzz::Remove(path + ".tmp");
  return 0;
}

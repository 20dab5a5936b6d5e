#include "core/packet_write.h"

#include <atomic>
#include <mutex>

#include "platform/platform.h"

namespace mpg {

namespace {

using WriteFrameFn = int (*)(AVFormatContext *, AVPacket *);

constexpr const char *kOverrideLibrary = "av_interleaved41.dll";
constexpr const char *kOverrideSymbol = "av_interleaved_write_frame_4_1_1";

// Process-wide: once found, the side library stays loaded and its write function
// serves every later packet of every job on every thread. It is stored once, under
// lookupMutex, and read for each packet without taking the lock.
std::atomic<WriteFrameFn> packetWriteOverride{nullptr};
// Two calls that start at once look the library up one after the other, so the
// second finds what the first loaded instead of loading it again.
std::mutex lookupMutex;
int lookupCount = 0;  // guarded by lookupMutex

// An export call runs on its caller's thread from start to end, so "this call" is
// "this thread since its last BeginExportCall". A failed lookup costs a dlopen of a
// missing name (tens of microseconds), so it is tried at most once per export call.
thread_local bool lookedUpThisCall = false;

WriteFrameFn LookUpOverride() noexcept {
  std::lock_guard<std::mutex> lock(lookupMutex);
  if (WriteFrameFn found = packetWriteOverride.load(std::memory_order_acquire)) return found;
  ++lookupCount;
  platform::Library lib = platform::Library::Open(kOverrideLibrary);
  if (!lib) return nullptr;
  auto fn = reinterpret_cast<WriteFrameFn>(lib.Symbol(kOverrideSymbol));
  if (!fn) return nullptr;
  lib.Keep();  // the module must outlive every call through fn
  packetWriteOverride.store(fn, std::memory_order_release);
  return fn;
}

}  // namespace

int WritePacket(AVFormatContext *out, AVPacket *pkt) noexcept {
  WriteFrameFn write = packetWriteOverride.load(std::memory_order_acquire);
  if (!write && !lookedUpThisCall) {
    lookedUpThisCall = true;
    write = LookUpOverride();
  }
  if (write) return write(out, pkt);
  return av_interleaved_write_frame(out, pkt);
}

void BeginExportCall() noexcept { lookedUpThisCall = false; }

#ifdef MPG_TEST_SEAMS
int PacketWriteOverrideLookups() noexcept {
  std::lock_guard<std::mutex> lock(lookupMutex);
  return lookupCount;
}

bool PacketWriteOverrideActive() noexcept {
  return packetWriteOverride.load(std::memory_order_acquire) != nullptr;
}
#endif

}  // namespace mpg

#include "core/packet_write.h"

#include "platform/platform.h"

namespace mpg {

namespace {

using WriteFrameFn = int (*)(AVFormatContext *, AVPacket *);

constexpr const char *kOverrideLibrary = "av_interleaved41.dll";
constexpr const char *kOverrideSymbol = "av_interleaved_write_frame_4_1_1";

// Process-wide: once found, the side library stays loaded and its write function
// serves every later packet of every job.
WriteFrameFn packetWriteOverride = nullptr;
// A failed lookup costs a dlopen of a missing name (tens of microseconds), so it
// is tried at most once per export call.
bool lookedUpThisCall = false;
int lookupCount = 0;

WriteFrameFn LookUpOverride() noexcept {
  ++lookupCount;
  platform::Library lib = platform::Library::Open(kOverrideLibrary);
  if (!lib) return nullptr;
  auto fn = reinterpret_cast<WriteFrameFn>(lib.Symbol(kOverrideSymbol));
  if (fn) lib.Keep();  // the module must outlive every call through fn
  return fn;
}

}  // namespace

int WritePacket(AVFormatContext *out, AVPacket *pkt) noexcept {
  if (!packetWriteOverride && !lookedUpThisCall) {
    lookedUpThisCall = true;
    packetWriteOverride = LookUpOverride();
  }
  if (packetWriteOverride) return packetWriteOverride(out, pkt);
  return av_interleaved_write_frame(out, pkt);
}

void BeginExportCall() noexcept { lookedUpThisCall = false; }

int PacketWriteOverrideLookups() noexcept { return lookupCount; }
bool PacketWriteOverrideActive() noexcept { return packetWriteOverride != nullptr; }

}  // namespace mpg

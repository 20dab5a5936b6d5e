// FLV duration repair: a fresh file head (FLV header, metadata tag and codec
// configuration tags) that states the file's real duration, written over the old
// head. No media tag is copied through FFmpeg.
#pragma once

#include <cstdint>

#include "core/status.h"

namespace mpg {

// The status of the last repair, process-wide because FLV_FixDuration's callers
// read it after a failed call (0 at load and after a success).
int32_t LastFlvStatus() noexcept;

// Repairs the FLV file at path. The new head states the duration measured from the
// file's last tags. When it is as long as the old head, it is written over it in
// place; otherwise a complete new file (the new head, then the file's tags after
// the old head, byte for byte) is written to path + ".tmp" and renamed over path.
// True on success, also when there was nothing to repair. On failure the file is
// unchanged, no ".tmp" file the repair made is left, and LastFlvStatus() holds a
// non-zero code: FFmpeg's open or probe error; AudioStreamNotFound; Exit when no
// audio decoder exists, the output cannot be made or the temporary file cannot be
// opened; Unknown; the header's error; AVERROR(EIO) when the file cannot be
// rewritten; InvalidData when it is no FLV file.
bool RepairFlvDuration(const char *path) noexcept;

}  // namespace mpg

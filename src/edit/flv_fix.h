// FLV duration repair: a fresh file head (FLV header, metadata tag and codec
// configuration tags) that states the file's real duration, in place of the old
// head. No media tag is copied through FFmpeg.
#pragma once

#include "core/status.h"

namespace mpg {

// Repairs the FLV file at path. The new head states the duration measured from the
// file's last tags (from its tail when that holds together, else from every tag).
// A new head as long as the old one is written over it in place, in one write,
// and flushed; else the new head, then the file's tags after the old head, byte
// for byte, are written to a temporary file made beside path (a name no file had),
// which is renamed over path once complete. Ok on success, also when there was
// nothing to repair (no media tag). On failure the file is unchanged (or holds the
// whole new head when only flushing it failed), the temporary file is removed, and
// the status says why: FFmpeg's open or probe error; AudioStreamNotFound; Exit
// without an audio decoder, or the decoder's error when the audio cannot be
// decoded; InvalidData when it is no FLV file; the muxer's error for the head;
// AVERROR(EIO) when the file cannot be rewritten (also when it changed size
// meanwhile); NoMemory.
Status RepairFlvDuration(const char *path) noexcept;

}  // namespace mpg

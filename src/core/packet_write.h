// The one path by which pipelines write packets into an output container. An
// optional side library, found by name at run time, may take the place of
// av_interleaved_write_frame; without it FFmpeg's own function writes.
#pragma once

#include "core/av_ptr.h"

namespace mpg {

// Writes pkt to out in interleaved order. The write function takes the packet's
// reference (pkt is blank afterwards); returns 0 or a negative AVERROR.
int WritePacket(AVFormatContext *out, AVPacket *pkt) noexcept;

// Marks the start of an export call on the calling thread. While the side library
// has not been found, it is looked up again at the first packet write of each call,
// never per packet. Calls on several threads at once may write packets and look the
// library up concurrently.
void BeginExportCall() noexcept;

#ifdef MPG_TEST_SEAMS
// For tests: how many lookups of the side library have been made in this process,
// and whether its write function is in use.
int PacketWriteOverrideLookups() noexcept;
bool PacketWriteOverrideActive() noexcept;
#endif

}  // namespace mpg

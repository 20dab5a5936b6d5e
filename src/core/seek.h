// Seeking a demuxer to a whole second of one stream, shared by the frame grab and the
// trim. The seek lands on the key frame at or before the second, so decoding can
// start cleanly from there.
#pragma once

#include <cstdint>

#include "core/av_ptr.h"
#include "core/status.h"

namespace mpg {

// What SeekToSecond reports when not even second 0 can be reached: -1, as hosts
// have always been told it (FFmpeg's text: "Operation not permitted").
inline constexpr Status kSeekFailed = static_cast<Status>(-1);
// Attempts SeekToSecond makes, one second earlier each time, before it gives up.
inline constexpr int kSeekAttempts = 60;

// The timestamp, in st's time base, of the whole second seconds counted from where
// the stream starts (StreamStartTimestamp). 64-bit throughout: a 1/90000 time base
// passes 32 bits after 6.6 hours.
int64_t SecondToStreamTimestamp(const AVFormatContext *ctx, const AVStream *st, int64_t seconds) noexcept;

// Seeks fmtCtx (borrowed) so that reading goes on from the key frame at or before
// the second seconds of stream streamIndex, and flushes decCtx (borrowed; may be
// null) after every seek so no picture from before the jump comes out of it.
// A second that cannot be reached (past the end, say) is tried again one second
// earlier, up to kSeekAttempts times.
// Returns Ok; kSeekFailed when second 0 cannot be reached either; the last seek's
// error after kSeekAttempts failures; AVERROR(EINVAL) for a null context or a stream
// index out of range.
Status SeekToSecond(AVFormatContext *fmtCtx, AVCodecContext *decCtx, int streamIndex,
                    uint32_t seconds) noexcept;

}  // namespace mpg

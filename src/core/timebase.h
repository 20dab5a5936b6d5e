// Every time-base conversion of the library. Timestamps are rescaled with
// round-to-nearest, and AV_NOPTS_VALUE (and the other extremes) pass unchanged.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>

#include "core/av_ptr.h"

namespace mpg {

// A pts or dts from one time base to another.
int64_t RescaleTs(int64_t ts, AVRational from, AVRational to) noexcept;
// A duration from one time base to another.
int64_t RescaleDuration(int64_t duration, AVRational from, AVRational to) noexcept;
// pts, dts and duration of pkt from one time base to the other; pos becomes -1,
// since the byte position in the input means nothing in the output.
void RescalePacketTimes(AVPacket *pkt, AVRational from, AVRational to) noexcept;

// Where an input file's timeline starts for a job that takes the streams taken
// from it, in tb; 0 when unknown. A job subtracts it from every packet of that
// input, so the output starts at 0, as the ffmpeg tool's do, while the taken
// streams keep their offsets to each other (a DASH or TS segment starts at 10 s or
// near the 33-bit wrap; an edit list may start a stream late). It is the file's
// start as the demuxer reports it (its earliest stream start), except where the
// demuxer marks the timestamps discontinuous (MPEG-TS, MPEG-PS, Ogg): there, as the
// ffmpeg tool does, the earliest start of the taken streams when that is later,
// since a stream the job drops (a SCTE-35 cue track timed by the clock reference
// ahead of the pictures) is no part of the output's timeline.
int64_t InputStartOffset(const AVFormatContext *in, std::initializer_list<const AVStream *> taken,
                         AVRational tb) noexcept;
// Subtracts offset (in the packet's time base) from pts and dts; unknown
// timestamps stay unknown.
void ShiftPacketTimes(AVPacket *pkt, int64_t offset) noexcept;

// The one rule that keeps a stream's dts increasing, as muxers require: a dts at or
// before lastDts (AV_NOPTS_VALUE: none written yet) is raised to one tick after it,
// and pts is kept at or after dts. lastDts becomes the packet's dts. A packet
// without dts passes unchanged.
void KeepDtsIncreasing(AVPacket *pkt, int64_t &lastDts) noexcept;

// ts × num / den in whole seconds, truncating toward zero; 0 for a zero
// denominator. The whole time base counts, so 1001/30000 streams measure right.
int64_t TimestampToWholeSeconds(int64_t ts, AVRational tb) noexcept;
// end - start for two timestamps of one stream. A counter of wrapBits bits
// (MPEG-TS: 33, about 26.5 hours of 90 kHz ticks) that passed its wrap between
// them reads end far below start; the span then counts the wrap once. Never negative.
int64_t TimestampSpan(int64_t start, int64_t end, int wrapBits) noexcept;
// ts in seconds as a double, for reports; 0.0 for a zero denominator.
double TimestampToSeconds(int64_t ts, AVRational tb) noexcept;
// Whole seconds to a timestamp in tb, in 64 bits; rounded to the nearest tick.
int64_t SecondsToTimestamp(int64_t seconds, AVRational tb) noexcept;
// AV_TIME_BASE units (a container's duration) to whole seconds, truncating.
int64_t ContainerDurationToSeconds(int64_t duration) noexcept;

// position × scale / total in progress units, 64-bit and truncating toward zero;
// nothing when total is 0, so a job of unknown length sends no values.
std::optional<int64_t> ProgressValue(int64_t position, int64_t total, int32_t scale) noexcept;

}  // namespace mpg

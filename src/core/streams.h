// Stream lookup and probing primitives shared by every pipeline. None of them
// reports an error code: failures read as -1 (index), AV_CODEC_ID_NONE or 0.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>

#include "core/av_ptr.h"
#include "core/status.h"

namespace mpg {

// An audio stream with codec parameters, channels and a sample rate.
bool IsUsableAudioStream(const AVStream *st) noexcept;
// Index of the first usable audio stream of ctx, or -1 (also for a null ctx).
int FindUsableAudioStream(const AVFormatContext *ctx) noexcept;
// Index of the first usable audio stream after index after, or -1.
int FindNextUsableAudioStream(const AVFormatContext *ctx, int after) noexcept;
// The audio stream with the highest declared bit rate, the earliest among equal
// non-zero rates; while no stream declares a rate each later audio stream wins.
// -1 for a null context or one without audio.
int FindBestAudioStream(const AVFormatContext *ctx) noexcept;
// Index of the first stream of the given type (cover pictures count as video), or -1.
int FindFirstStreamOfType(const AVFormatContext *ctx, AVMediaType type) noexcept;
// A still picture stored beside the audio (ID3 art, an M4A cover): one packet, no
// timeline. Pipelines that move or cut video do not take it for the video.
bool IsAttachedPicture(const AVStream *st) noexcept;
// Index of the first video stream that is not an attached picture, or -1.
int FindMovingVideoStream(const AVFormatContext *ctx) noexcept;

// Copies an FFmpeg enum field as the number it holds. Demuxers, parsers and
// decoders fill the colour, chroma location and field order fields as the stream
// states them (an MPEG-2 sequence extension's 8-bit codes, a damaged H.264 VUI), so
// they can hold numbers outside the enum; loading one as the C++ enum type is
// undefined, copying its bytes (as avcodec_parameters_copy does) is not.
template <class E>
void CopyEnumField(E &dst, const E &src) noexcept {
  static_assert(std::is_enum_v<E>);
  std::memcpy(&dst, &src, sizeof(E));
}

// Frame rates at or above this are demuxer guesses (a 90 kHz clock), not rates.
inline constexpr double kMaxPlausibleFrameRate = 1000.0;
// What a container is told when a stream states no plausible rate: 25 for video;
// for audio, which has none, its usual sample rate.
inline constexpr AVRational kVideoFallbackFrameRate = {25, 1};
inline constexpr AVRational kAudioFallbackFrameRate = {44100, 1};
// The largest time-base denominator MPEG-4 Part 2 can code (16 bits); encoders
// count in frame times no finer than this.
inline constexpr int kMaxTimeBaseDen16 = 65535;
// True when r is a frame rate a stream can have: non-zero and below
// kMaxPlausibleFrameRate.
bool IsPlausibleFrameRate(AVRational r) noexcept;
// r when it is plausible, else fallback.
AVRational PlausibleFrameRate(AVRational r, AVRational fallback) noexcept;

// Adds to out a stream carrying inStream's packets unchanged, from its codec
// parameters alone: copying needs no encoder or decoder, so codecs this build cannot
// encode (WMV3, VP6F) copy too. The tag is left to the muxer, since the input
// container's tag may mean nothing in the output. The stream is timed as the ffmpeg
// tool times a copy (TakeCopyTiming, else the input's time base) and takes the
// input's rates, aspect ratio, disposition and length as header hints. outStream is
// owned by out; call it before the header is written.
// NoMemory when the stream cannot be made; the FFmpeg error of the parameter copy.
Status AddCopyStream(AVFormatContext *out, const AVStream *inStream, AVStream *&outStream) noexcept;
// Gives the copy outStream of inStream the time base the ffmpeg tool gives a
// stream copy: the output container's own choice from the input's timing (AVI
// counts frames at twice a VP9 stream's rate, so a variable rate keeps every frame;
// a 1/1000 ASF or FLV stream keeps its ticks). Call it before the header is
// written. False, with the stream untouched, when the container's rule gives none.
bool TakeCopyTiming(const AVFormatContext *out, AVStream *outStream, const AVStream *inStream) noexcept;

// The length st states, in its time base: its own, else the container's. Headers
// can be wrong (a cut-off download keeps its full index): a job that reads the
// packets' own span (MeasureStreamSpan) uses this only to aim that read; progress
// totals go by it. Nothing when no length is stated, and when a header's length
// field is all ones (2^32 - 1 ticks), which MP4's headers write for "unknown":
// FFmpeg takes it for a length, and a 2 s fragmented MP4 would last 143165 s.
std::optional<int64_t> StatedDuration(const AVFormatContext *ctx, const AVStream *st) noexcept;
// The bit rate st states, in bit/s, or 0 when it states none or when it is no more
// than the stream's bytes over a length the header marks unknown (FFmpeg's MP4
// demuxer derives it so: 11 bit/s for a 2 s video that "lasts" 2^32 - 1 ticks).
int64_t StatedBitRate(const AVStream *st) noexcept;

// The length of st, in st's time base: from the stream's first timestamp to the end
// of its last packet (pts + duration), measured by reading from the last key frame
// to the end of the file. Packets an edit list discards do not count. When that
// read finds no packet of st (a seek that lands past them, an index that promises
// more than a cut-off download holds), it reads again from earlier points, then
// from the start; only when nothing can be read does the length the stream or the
// container states stand in. 0 when nothing is known. Seeks back to the stream's
// start afterwards, so a caller can go on reading from the beginning.
int64_t MeasureStreamSpan(AVFormatContext *ctx, AVStream *st) noexcept;
// Where st's timeline starts, in its time base: its first timestamp as stream
// probing found it, else the file's start, else 0. Lengths, positions and
// progress all count from here.
int64_t StreamStartTimestamp(const AVFormatContext *ctx, const AVStream *st) noexcept;
// MeasureStreamSpan in whole seconds, truncating; the length every pipeline
// reports (the media information, progress totals, merge lengths).
int64_t MeasureDurationBySeek(AVFormatContext *ctx, AVStream *st) noexcept;
// Whole seconds from st's first timestamp to ts, truncating (0 before it): the
// progress position that goes with MeasureDurationBySeek's length, so that a file
// whose timeline starts at 10 s or near the 33-bit wrap counts from 0 too.
int64_t SecondsIntoStream(const AVFormatContext *ctx, const AVStream *st, int64_t ts) noexcept;
}  // namespace mpg

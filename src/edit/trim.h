// Trim: the part of a file between two whole seconds, in a new file of the
// container type the input's name suggests.
#pragma once

#include <cstdint>

#include "core/status.h"

namespace mpg {

// Writes the pictures of inputPath's first moving video stream (a cover picture is
// none) whose own timestamps lie from startSeconds (inclusive) to endSeconds
// (exclusive), counted from the video stream's start, re-encoded, and the packets of
// its best audio stream that start in that range, copied; the range's start becomes
// the output's time 0. The encoder is one of the input's own codec where this build
// has one and the container takes it (for AV1 the fastest; AV1 encoders and x265
// at fast settings), else the container's usual video codec (an FLV's VP6F becomes
// Sorenson H.263); its clock is the input's frame rate (MPEG-1/2: the nearest rate
// they list), it runs at the decoder's size (made even for formats that halve the
// colour planes) and the closest pixel format it takes.
// The caller checks 0 <= startSeconds < endSeconds.
// kNoMuxer when no muxer matches the input's name; SameFile when the output
// names the input; Eof when the range holds no picture (it lies past the end); the
// seek's error (kSeekFailed) when the start second and every one before it down to
// 0 cannot be sought (a range from second 0 reads the input from its start);
// AudioStreamNotFound, VideoStreamNotFound, kNoCodec or
// FFmpeg's error otherwise. A cut-off or damaged tail ends the input; a packet the
// decoder rejects is skipped (50 in a row fail). The output is opened only after
// the input, its streams, the seek and the codecs are checked: a failure before
// that leaves whatever stood at outputPath untouched, a later one removes the file.
Status TrimVideo(const char *inputPath, const char *outputPath, int32_t startSeconds, int32_t endSeconds) noexcept;

}  // namespace mpg

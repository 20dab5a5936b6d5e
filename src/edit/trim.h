// Trim: the part of a file between two whole seconds, in a new file of the
// container type the input's name suggests.
#pragma once

#include <cstdint>

#include "core/status.h"

namespace mpg {

// Writes the pictures of inputPath's first video stream whose own timestamps lie
// from startSeconds (inclusive) to endSeconds (exclusive), counted from the video
// stream's start, re-encoded with an encoder of the input's own codec at the
// decoder's size and pixel format, and the packets of its best audio stream that
// start in that range, copied; the range's start becomes the output's time 0.
// The caller checks 0 <= startSeconds < endSeconds.
// Exit when no muxer matches the input's name; SameFile when the output names the
// input (nothing touched); Eof when the range holds no picture (it lies past the
// end); kSeekFailedAtStart when not even second 0 can be sought;
// AudioStreamNotFound, VideoStreamNotFound, Unknown or FFmpeg's error otherwise.
// The output path is removed after every failure.
Status TrimVideo(const char *inputPath, const char *outputPath, int32_t startSeconds, int32_t endSeconds) noexcept;

}  // namespace mpg

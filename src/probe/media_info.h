// The media information record and the audio duration, each read from one open of
// the file. They never report a code: a file they cannot open or probe yields false
// (or 0) and a zeroed record.
#pragma once

#include <cstdint>

#include "mpg.h"

namespace mpg {

// Zeroes info, then fills it from the file at path: the stream counts and the
// container's bit rate; the video fields from the moving video stream, else from the
// first video stream (a cover picture); the audio fields from the first audio
// stream with channels and a sample rate; the subtitle fields from the first
// subtitle stream and, for a SubRip or WebVTT file, its last cue. duration is the
// longer of the moving video's and the audio's measured lengths, else the
// container's stated length; a subtitle file's last cue replaces it. True when the
// file has a video, usable audio or subtitle stream.
bool ReadMediaInfo(const char *path, MpgMediaInfo &info);

// The first usable audio stream's duration in its own time base when the stream
// states one that fits in 32 bits, else its measured length in whole seconds. 0 when
// the file has no usable audio stream.
uint32_t ReadAudioDuration(const char *path);

// Copies name into a text field of the record: at most 63 characters and the NUL,
// with the ASCII letters a to z in upper case. A null name leaves the field alone.
void CopyUpperName(char (&field)[64], const char *name) noexcept;

}  // namespace mpg

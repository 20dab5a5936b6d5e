// The media information record: three probes, video, audio and subtitles, each of
// which opens the file by itself, fills its own fields of MpgMediaInfo and closes
// the file again. They never report a code: a file they cannot read yields false.
#pragma once

#include <cstdint>

#include "mpg.h"

namespace mpg {

// Zeroes info, then runs the video, audio and subtitle probes in that order, each
// to its end whatever the others returned; true when any of them did. The probes
// share duration: the longest of the video and audio streams' measured lengths,
// else the container's stated length, and a subtitle file's last cue over both.
bool ReadMediaInfo(const char *path, MpgMediaInfo &info);

// The audio probe alone: the chosen audio stream's duration in its own time base
// when the stream states one that fits in 32 bits, else the measured length in
// whole seconds. 0 when the file has no usable audio stream.
uint32_t ReadAudioDuration(const char *path);

// Video fields, containerBitRate and duration (measured from the first video
// stream that is not a cover picture). False when the file cannot be opened or
// probed or has no video stream.
bool ProbeVideo(const char *path, MpgMediaInfo &info);
// Audio fields, containerBitRate and duration (measured from the first usable
// audio stream, unless the record already holds a longer one). False when the
// file cannot be opened or probed, or has no usable audio stream;
// audioStreamCount is written all the same.
bool ProbeAudio(const char *path, MpgMediaInfo &info);
// Subtitle fields, and duration: the container's stated duration when the record
// holds none yet, then the end of the last cue when the file's text gives one.
// False when the file cannot be opened or probed or has no subtitle stream.
bool ProbeSubtitles(const char *path, MpgMediaInfo &info);

// Copies name into a text field of the record: at most 63 characters and the NUL,
// with the ASCII letters a to z in upper case. A null name leaves the field alone.
void CopyUpperName(char (&field)[64], const char *name) noexcept;

}  // namespace mpg

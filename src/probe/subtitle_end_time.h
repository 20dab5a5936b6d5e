// The end time of the last cue of a text subtitle file (SubRip, WebVTT), read from
// the file's own text rather than through FFmpeg, whose subtitle demuxers state no
// duration.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mpg {

// Largest subtitle file read, in bytes (4.95 MiB): a text subtitle file is far
// smaller, and a media file that FFmpeg saw a subtitle stream in is not read whole.
inline constexpr uint64_t kMaxSubtitleFileBytes = 5191680;

// End time in whole seconds (milliseconds dropped) of the last cue of the text file
// at path: the time written after the last " --> ", as hh:mm:ss.fff or mm:ss.fff
// (SubRip's comma works as the dot). The text ends at its first NUL byte. 0 when
// path is null, missing or a directory, when the file is empty, larger than
// kMaxSubtitleFileBytes or unreadable, and when no such time is found.
int64_t ReadSubtitleEndTime(const char *path);

// Replaces pieces with the runs of text between characters of separators. Runs of
// separators count as one and separators at either end produce nothing, so no piece
// is empty. True when there is at least one piece.
bool SplitTokens(std::string_view text, std::string_view separators, std::vector<std::string> &pieces);

}  // namespace mpg

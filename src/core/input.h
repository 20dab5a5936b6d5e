// Opening an input file and reading its packets, with the one policy every
// pipeline follows for the ways a read can end.
#pragma once

#include <string>

#include "core/av_ptr.h"
#include "core/status.h"

namespace mpg {

// Opens the local file at path and reads its stream information. A path is only
// ever a file name: "http://host/a.mp4" or "concat:a|b" name files too, and a
// playlist may refer to local files only. On failure ctx stays empty and the
// FFmpeg error is returned (AVERROR(EINVAL) for an empty path). When fileOpened is
// given, it tells whether the file opened as media, so that a failure came from
// reading its stream information.
Status OpenInputFile(const char *path, InputFormatPtr &ctx, bool *fileOpened = nullptr) noexcept;

// OpenInputFile in two steps, for a caller that can often do without the stream
// probe (it decodes several pictures of a video). The first opens the file with
// what its container states at its head (an MPEG-TS names its programmes and
// codecs, not picture sizes); a stream's start_time is known once its first packet
// is read. The second reads the stream information before any packet is read; on
// failure it empties ctx.
Status OpenInputFileUnprobed(const char *path, InputFormatPtr &ctx, bool *fileOpened = nullptr) noexcept;
Status ProbeStreams(InputFormatPtr &ctx) noexcept;

// The URL FFmpeg is given for a local path: the "file:" prefix makes it read the
// rest as a file name, whatever it holds ("http://x", "concat:a|b", "C:\\a.mp4").
std::string FileUrl(const std::string &path);

// Reads the next packet of in into pkt (which the caller has unreferenced).
// Returns Ok with a packet, or Eof when the input has ended: at its end, and
// also at an I/O error or invalid data met while reading, since a downloaded file
// that is cut off or damaged at its tail still gives what was read before, as it
// does with the ffmpeg tool. A demuxer's "try again" is retried. Any other error
// (out of memory) is returned as it is.
Status ReadPacket(AVFormatContext *in, AVPacket *pkt) noexcept;

}  // namespace mpg

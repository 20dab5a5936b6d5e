// The transcode: one media file into another container, with the video copied or
// re-encoded (codec, size, bit rate, frame rate) and the audio copied or
// re-encoded (codec, bit rate, sample rate, channels).
#pragma once

#include <cstdint>

#include "core/status.h"
#include "mpg.h"

namespace mpg {

// The muxer for an output format id: the one the default extension table names,
// or, when FFmpeg knows no muxer of that name ("aac", "wmv"), the one that claims
// the table's extension. Null for an id without a row.
const AVOutputFormat *FindTranscodeMuxer(int32_t outputFormat) noexcept;

// Transcodes inputPath into outputPath as params asks. The video is re-encoded
// when any video field is set and copied otherwise; the audio is re-encoded when
// any audio field is set and copied otherwise. A stream the output container
// cannot hold as it is (FLAC, PCM, ADPCM, AMR or WMA audio in MP4; VP6F or WMV3
// video in MP4 or WebM), or re-encoded from a codec without encoder, goes to the container's usual
// codec (ChooseOutputCodec). Cover pictures are not video. When the input has
// moving video and the container takes video, the output has it or the call
// fails. Timestamps start at 0. Progress goes to callback (may be null) in
// ProgressScale units, from the video (else the audio) timestamps, ending with
// ProgressScale; a stop answer finishes the file so far and returns Ok.
// BadParameter for an empty path or a codec choice out of range; SameFile when
// outputPath names the input; kNoMuxer for an output format without a muxer;
// AudioStreamNotFound; kNoCodec when a codec is missing;
// InvalidData when not one picture of the video could be written; else the FFmpeg
// error of the failing step. The input is opened once; the output file is opened
// only after the input, its streams and codecs are checked, and a later failure
// removes it. A cut-off or damaged tail ends the input: what was read is kept.
Status Transcode(const char *inputPath, const char *outputPath, const TranscodeParams &params,
                 ProgressCallback callback, uintptr_t user) noexcept;

}  // namespace mpg

// The merge of a video file and an audio file whose audio the container choice
// does not take unchanged beside the video: the video is copied, the audio
// re-encoded to AAC, into "mp4".
#pragma once

#include <cstdint>

#include "core/av_ptr.h"
#include "core/status.h"
#include "merge/merge_job.h"
#include "mpg.h"

namespace mpg {

// Called by MPG_MergeAV with the export's own arguments when the container choice
// answers mode 1. Writes job.containerName ("mp4") at outputPath: index 0 the first
// moving video stream of videoPath (else its cover picture), copied; index 1 the
// highest-bit-rate audio stream of audioPath, decoded and encoded to AAC at its own
// rate and channel count and at the audio file's overall bit rate (128000 when it
// states none). Each input's start is taken off its timestamps, so the output
// starts at 0 with the inputs' offset kept. The inputs are read in turns by
// timestamp until the first ends; the other is then read up to that point, so
// both streams end there (beside a cover picture the audio plays out). The video's
// end sends a final ProgressScale report. Undecodable audio packets are skipped up
// to kMaxUndecodableAudioPacketsInARow in a row. Progress comes from the video
// packets; a stop by the callback finishes the file and returns Ok. On failure the
// file stays as far as it was written.
// Returns Ok or the code the export returns (job.status holds it too): SameFile
// when outputPath names an input (nothing is opened then); Exit for an unknown
// muxer; VideoStreamNotFound, AudioStreamNotFound; Unknown for a missing codec;
// InvalidData for audio that decodes to nothing or too many undecodable packets in
// a row; the FFmpeg error of the failing open, probe, header, read, decode, encode
// or write.
Status MergeWithAudioReencode(MergeJob &job, const char *videoPath, const char *audioPath, const char *outputPath,
                              ProgressCallback callback, uintptr_t user);

// Opens audioPath, opens a decoder for its highest-bit-rate audio stream and adds
// an AAC output stream to out with an unopened encoder that has the decoder's
// settings. The output stream keeps the fresh encoder's parameters with the
// input's sample rate. On failure in is empty. The FFmpeg error of the open or the
// probe; AudioStreamNotFound; Unknown for a missing codec; the FFmpeg error of the
// decoder's set-up.
Status OpenAudioInputForReencode(AVFormatContext *out, const char *audioPath, InputFormatPtr &in,
                                 AVStream *&outStream, CodecContextPtr &decCtx, CodecContextPtr &encCtx) noexcept;

}  // namespace mpg

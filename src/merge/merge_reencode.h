// The merge of a video file and an audio file whose audio the container choice
// does not take unchanged beside the video: the video is copied, the audio
// re-encoded to AAC, into "mp4".
#pragma once

#include <cstdint>

#include "core/status.h"
#include "merge/merge_job.h"
#include "mpg.h"

namespace mpg {

// Called by MPG_MergeAV with the export's own arguments when the container choice
// answers mode 1. Writes job.containerName ("mp4") at outputPath: index 0 the first
// moving video stream of the video input (else its cover picture), copied; index 1
// the highest-bit-rate audio stream of the audio input, decoded and encoded to AAC
// at its own rate and channel count and at the audio file's overall bit rate
// (128000 when it states none). The inputs are job.videoIn and job.audioIn, open at
// their start; videoPath and audioPath name them for the same-file check. Each
// input's start is taken off its timestamps, so the
// output starts at 0 with the inputs' offset kept. The inputs are read in turns by
// timestamp until the first ends; the other is then read up to that point, so both
// streams end there (beside a cover picture the audio plays out). A cut-off or
// damaged tail ends an input. Rejected audio packets are skipped under the
// decoder rule of core/decoder.h. Progress comes from the video packets, within
// 0 and ProgressScale, and ends with ProgressScale once the merge has run to its
// end; a stop by the callback finishes the file, sends nothing more and returns Ok.
// The output is opened only after both inputs and the codecs are set up; a later
// failure removes it.
// Returns Ok or the code the export returns: SameFile
// when outputPath names an input (nothing is opened then); kNoMuxer;
// VideoStreamNotFound, AudioStreamNotFound; kNoCodec;
// InvalidData for audio that decodes to nothing; the FFmpeg error of the failing
// open, probe, header, read, decode, encode or write.
Status MergeWithAudioReencode(MergeJob &job, const char *videoPath, const char *audioPath, const char *outputPath,
                              ProgressCallback callback, uintptr_t user);

}  // namespace mpg

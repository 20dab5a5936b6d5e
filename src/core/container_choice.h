// Which container takes a downloaded video stream and audio stream unchanged, or
// whether the audio must be re-encoded, decided from the two codecs alone.
#pragma once

#include "core/av_ptr.h"
#include "core/status.h"
#include "mpg.h"

namespace mpg {

enum class MergeMode : uint32_t { Copy = 0, ReencodeAudio = 1 };

// The full decision, with the output file extensions.
MergeOp2Result ChooseMergeContainer(AVCodecID audio, AVCodecID video) noexcept;
// The older decision without extensions (its WebM kind is 2, not 3).
MergeOpResult ChooseMergeContainerOld(AVCodecID audio, AVCodecID video) noexcept;

// Probes the codecs of the audio file's first audio stream and the video file's
// first video stream, audio first. AudioCodecNotFound or VideoCodecNotFound when
// either is missing (audio checked first).
Status ProbeMergePair(const char *videoPath, const char *audioPath, AVCodecID &audio,
                      AVCodecID &video) noexcept;

// Muxer name for a copy merge of the given kind: 1 "avi", 2 or 3 "webm", else "mp4".
const char *MergeMuxerName(uint32_t kind) noexcept;

}  // namespace mpg

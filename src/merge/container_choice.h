// Which container takes a downloaded video stream and audio stream unchanged, or
// whether the audio must be re-encoded, decided from the two codecs alone.
#pragma once

#include "core/av_ptr.h"
#include "core/status.h"
#include "mpg.h"

namespace mpg {

enum class MergeMode : uint32_t { Copy = 0, ReencodeAudio = 1 };

// The kinds of MergeOp2Result (the older MergeOpResult numbers WebM 2).
inline constexpr uint32_t kKindMp4 = 0;
inline constexpr uint32_t kKindAvi = 1;
inline constexpr uint32_t kKindWebmOld = 2;
inline constexpr uint32_t kKindWebm = 3;
inline constexpr uint32_t kKindMatroska = 4;

// The full decision, with the output file extensions. The codec table picks MP4,
// AVI or WebM; a pick whose muxer refuses a codec it would be given (MP4 and
// H.263, VP6F, WMV or Theora video, or AMR audio) gives way to a copy into the
// first of MP4, AVI, WebM and Matroska whose muxer takes both codecs.
MergeOp2Result ChooseMergeContainer(AVCodecID audio, AVCodecID video) noexcept;
// The older decision without extensions. It keeps its own table where that names
// the container the full decision writes; elsewhere it reports the full decision,
// so a host naming the file from either record names what MPG_MergeAV writes.
MergeOpResult ChooseMergeContainerOld(AVCodecID audio, AVCodecID video) noexcept;

// Opens the video file and the audio file of a merge, once each, and reads the
// codecs the choice goes by: the audio file's first audio stream and the video
// file's first video stream. AudioCodecNotFound when the audio file cannot be
// opened or holds no audio, else VideoCodecNotFound when the same goes for the video
// file. On success both inputs are open and positioned at their start; on failure
// both are empty.
Status OpenMergePair(const char *videoPath, const char *audioPath, InputFormatPtr &videoIn,
                     InputFormatPtr &audioIn, AVCodecID &audio, AVCodecID &video) noexcept;
// OpenMergePair for the codecs alone: the inputs are closed again.
Status ProbeMergePair(const char *videoPath, const char *audioPath, AVCodecID &audio,
                      AVCodecID &video) noexcept;

// Muxer name for a merge of the given kind: 1 "avi", 2 or 3 "webm", 4 "matroska",
// else "mp4".
const char *MergeMuxerName(uint32_t kind) noexcept;

}  // namespace mpg

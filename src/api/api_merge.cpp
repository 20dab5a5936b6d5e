// Merging exports: the container choice for a pair, a video file with an audio
// file, and a list of segments.
#include <cstring>
#include <string>
#include <vector>

#include "api/guard.h"
#include "merge/container_choice.h"
#include "merge/concatenate_segments.h"
#include "merge/merge_by_stream_copy.h"
#include "merge/merge_job.h"
#include "merge/merge_reencode.h"
#include "platform/platform.h"

using namespace mpg;
using mpg::platform::AllNamed;
using mpg::platform::HostPath;

extern "C" MPG_API int32_t MPG_CALL MPG_MergeAV(const char *hostVideoPath, const char *hostAudioPath,
                                                const char *hostOutputPath, ProgressCallback callback,
                                                uintptr_t user) noexcept {
  return Guard([&] {
    const HostPath video8(hostVideoPath), audio8(hostAudioPath), output8(hostOutputPath);
    if (!AllNamed(video8, audio8, output8)) return Status::BadParameter;
    const char *videoPath = video8.c_str();
    const char *audioPath = audio8.c_str();
    const char *outputPath = output8.c_str();
    // Each input is opened once: the container is chosen from the open inputs,
    // which the merge then reads from their start.
    MergeJob job;
    AVCodecID audio = AV_CODEC_ID_NONE;
    AVCodecID video = AV_CODEC_ID_NONE;
    Status st = OpenMergePair(videoPath, audioPath, job.videoIn, job.audioIn, audio, video);
    if (!IsOk(st)) return st;
    if (!outputPath || !*outputPath) return Status::BadParameter;
    const char *inputs[] = {videoPath, audioPath};
    st = RefuseOutputNamingInput(outputPath, inputs);
    if (!IsOk(st)) return st;
    // The decision MPG_MergeOP2 reports, so the host's file name fits what is written.
    const MergeOp2Result choice = ChooseMergeContainer(audio, video);
    job.containerName = MergeMuxerName(choice.kind);
    if (choice.mode == static_cast<uint32_t>(MergeMode::ReencodeAudio)) {
      return MergeWithAudioReencode(job, videoPath, audioPath, outputPath, callback, user);
    }
    return MergeByStreamCopy(job, outputPath, callback, user);
  });
}

extern "C" MPG_API int32_t MPG_CALL MPG_Merge(const char *const *segments, const char *outputPath,
                                              int32_t deleteSegments, uint8_t rebaseTimestamps,
                                              ProgressCallback callback, uintptr_t user) noexcept {
  return Guard([&] {
    // One segment that cannot be named refuses the whole list: joining the others
    // would make a file with a hole, and deleting them would lose it for good.
    std::vector<std::string> list;
    for (const char *const *p = segments; p && *p; ++p) {
      const HostPath segment(*p);
      if (segment.Refused()) return Status::BadParameter;
      list.emplace_back(segment.c_str());
    }
    const HostPath output(outputPath);
    if (output.Refused()) return Status::BadParameter;
    // Only the low byte of the flag counts.
    const bool deleteUsed = (deleteSegments & 0xFF) != 0;
    return ConcatenateSegments(list, output.c_str(), deleteUsed, rebaseTimestamps != 0, callback, user);
  });
}

namespace {

// Probes the pair and fills the record the caller asked for with choose's decision.
template <class Result, class Choose>
int32_t ChooseForPair(const char *videoPath, const char *audioPath, Result *result, Choose choose) noexcept {
  return Guard([&] {
    const HostPath video8(videoPath), audio8(audioPath);
    if (!AllNamed(video8, audio8)) return Status::BadParameter;
    AVCodecID audio, video;
    const Status st = ProbeMergePair(video8.c_str(), audio8.c_str(), audio, video);
    if (IsOk(st) && result) *result = choose(audio, video);
    return st;
  });
}

}  // namespace

extern "C" MPG_API int32_t MPG_CALL MPG_MergeOP2(const char *videoPath, const char *audioPath,
                                                 MergeOp2Result *result) noexcept {
  return ChooseForPair(videoPath, audioPath, result, ChooseMergeContainer);
}

extern "C" MPG_API int32_t MPG_CALL MPG_MergeOP(const char *videoPath, const char *audioPath,
                                                MergeOpResult *result) noexcept {
  return ChooseForPair(videoPath, audioPath, result, ChooseMergeContainerOld);
}

extern "C" MPG_API void MPG_CALL MPG_GetDefExtension(const char *path, char *buffer, int32_t bufferSize) noexcept {
  if (!buffer || bufferSize < 1) return;
  buffer[0] = '\0';
  GuardOr<int>(0, [&] {
    // The same file is probed for its audio and for its video.
    AVCodecID audio, video;
    const HostPath file(path);
    if (file.Refused()) return 0;
    if (!IsOk(ProbeMergePair(file.c_str(), file.c_str(), audio, video))) return 0;
    const MergeOp2Result choice = ChooseMergeContainer(audio, video);
    // A buffer too small for the whole extension stays empty rather than cut.
    const size_t length = std::strlen(choice.extension);
    if (length < static_cast<size_t>(bufferSize)) std::memcpy(buffer, choice.extension, length + 1);
    return 0;
  });
}

#include "core/container_choice.h"

#include <cstring>
#include <initializer_list>

#include "core/streams.h"

namespace mpg {

namespace {

bool IsOneOf(AVCodecID id, std::initializer_list<AVCodecID> set) {
  for (AVCodecID c : set)
    if (c == id) return true;
  return false;
}

// WebM carries Opus or Vorbis beside AV1, VP8 or VP9.
bool IsWebmAudio(AVCodecID a) { return IsOneOf(a, {AV_CODEC_ID_OPUS, AV_CODEC_ID_VORBIS}); }
bool IsWebmVideo(AVCodecID v) { return IsOneOf(v, {AV_CODEC_ID_AV1, AV_CODEC_ID_VP8, AV_CODEC_ID_VP9}); }
bool IsVpx(AVCodecID v) { return IsOneOf(v, {AV_CODEC_ID_VP8, AV_CODEC_ID_VP9}); }
bool IsMp4Audio(AVCodecID a) {
  return IsOneOf(a, {AV_CODEC_ID_AAC, AV_CODEC_ID_OPUS, AV_CODEC_ID_MP1, AV_CODEC_ID_MP2, AV_CODEC_ID_MP3});
}
bool IsMp4Video(AVCodecID v) {
  return IsOneOf(v, {AV_CODEC_ID_AV1, AV_CODEC_ID_H261, AV_CODEC_ID_H263, AV_CODEC_ID_H264, AV_CODEC_ID_HEVC});
}

MergeOp2Result MakeResult(MergeMode mode, uint32_t kind, const char *ext, const char *alt) {
  MergeOp2Result r{};
  r.mode = static_cast<uint32_t>(mode);
  r.kind = kind;
  std::strncpy(r.extension, ext, sizeof r.extension - 1);
  std::strncpy(r.altExtension, alt, sizeof r.altExtension - 1);
  return r;
}

}  // namespace

MergeOp2Result ChooseMergeContainer(AVCodecID a, AVCodecID v) noexcept {
  if (IsWebmAudio(a) && IsWebmVideo(v)) return MakeResult(MergeMode::Copy, 3, "webm", "mkv");
  if (IsMp4Audio(a) && IsMp4Video(v)) return MakeResult(MergeMode::Copy, 0, "mp4", "mp4");
  // AVI is the one container that takes AAC beside VP8 or VP9 unchanged.
  if (a == AV_CODEC_ID_AAC && IsVpx(v)) return MakeResult(MergeMode::Copy, 1, "avi", "avi");
  if (a == AV_CODEC_ID_AAC) return MakeResult(MergeMode::Copy, 0, "mp4", "mp4");
  if (IsOneOf(a, {AV_CODEC_ID_OPUS, AV_CODEC_ID_MP1, AV_CODEC_ID_MP2, AV_CODEC_ID_MP3}))
    return MakeResult(MergeMode::ReencodeAudio, 0, "mp4", "mp4");
  if (a == AV_CODEC_ID_VORBIS) return MakeResult(MergeMode::Copy, 0, "mp4", "mp4");
  return MakeResult(MergeMode::ReencodeAudio, 0, "mp4", "mp4");
}

MergeOpResult ChooseMergeContainerOld(AVCodecID a, AVCodecID v) noexcept {
  auto result = [](MergeMode mode, uint32_t kind) { return MergeOpResult{static_cast<uint32_t>(mode), kind}; };
  if (a == AV_CODEC_ID_AAC) return result(MergeMode::Copy, IsVpx(v) ? 1 : 0);
  if (a == AV_CODEC_ID_VORBIS) return result(MergeMode::Copy, 0);
  if (a == AV_CODEC_ID_OPUS && IsVpx(v)) return result(MergeMode::Copy, 2);
  return result(MergeMode::ReencodeAudio, 0);
}

Status ProbeMergePair(const char *videoPath, const char *audioPath, AVCodecID &audio,
                      AVCodecID &video) noexcept {
  audio = ProbeStreamCodec(audioPath, AVMEDIA_TYPE_AUDIO);
  video = ProbeStreamCodec(videoPath, AVMEDIA_TYPE_VIDEO);
  if (audio == AV_CODEC_ID_NONE) return Status::AudioCodecNotFound;
  if (video == AV_CODEC_ID_NONE) return Status::VideoCodecNotFound;
  return Status::Ok;
}

const char *MergeMuxerName(uint32_t kind) noexcept {
  switch (kind) {
    case 1: return "avi";
    case 2:
    case 3: return "webm";
    default: return "mp4";
  }
}

}  // namespace mpg

#include "merge/container_choice.h"

#include <cstring>
#include <initializer_list>

#include "core/input.h"
#include "core/streams.h"
#include "codec/output_codec.h"

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

// The choice by codec families alone.
MergeOp2Result ChooseByTable(AVCodecID a, AVCodecID v) noexcept {
  if (IsWebmAudio(a) && IsWebmVideo(v)) return MakeResult(MergeMode::Copy, kKindWebm, "webm", "mkv");
  if (IsMp4Audio(a) && IsMp4Video(v)) return MakeResult(MergeMode::Copy, kKindMp4, "mp4", "mp4");
  // AVI is the one container that takes AAC beside VP8 or VP9 unchanged.
  if (a == AV_CODEC_ID_AAC && IsVpx(v)) return MakeResult(MergeMode::Copy, kKindAvi, "avi", "avi");
  if (a == AV_CODEC_ID_AAC) return MakeResult(MergeMode::Copy, kKindMp4, "mp4", "mp4");
  if (IsOneOf(a, {AV_CODEC_ID_OPUS, AV_CODEC_ID_MP1, AV_CODEC_ID_MP2, AV_CODEC_ID_MP3}))
    return MakeResult(MergeMode::ReencodeAudio, kKindMp4, "mp4", "mp4");
  if (a == AV_CODEC_ID_VORBIS) return MakeResult(MergeMode::Copy, kKindMp4, "mp4", "mp4");
  return MakeResult(MergeMode::ReencodeAudio, kKindMp4, "mp4", "mp4");
}

MergeOpResult ChooseByOldTable(AVCodecID a, AVCodecID v) noexcept {
  auto result = [](MergeMode mode, uint32_t kind) { return MergeOpResult{static_cast<uint32_t>(mode), kind}; };
  if (a == AV_CODEC_ID_AAC) return result(MergeMode::Copy, IsVpx(v) ? kKindAvi : kKindMp4);
  if (a == AV_CODEC_ID_VORBIS) return result(MergeMode::Copy, kKindMp4);
  if (a == AV_CODEC_ID_OPUS && IsVpx(v)) return result(MergeMode::Copy, kKindWebmOld);
  return result(MergeMode::ReencodeAudio, kKindMp4);
}

// The codec of in's first stream of type (a cover picture counts as video);
// AV_CODEC_ID_NONE without one, or without an input.
AVCodecID FirstCodecOfType(const AVFormatContext *in, AVMediaType type) noexcept {
  const int index = FindFirstStreamOfType(in, type);
  return index < 0 ? AV_CODEC_ID_NONE : in->streams[index]->codecpar->codec_id;
}

// The strictness the stream-copy merge writes with: muxers take codecs they still
// mark experimental, and Matroska any codec with a RIFF tag (H.263, VP6F, AMR ...).
constexpr int kMergeCompliance = FF_COMPLIANCE_EXPERIMENTAL;

using Holds = MuxerAnswer;

// The muxer's codec list alone, at the merge's strictness, without
// MuxerTakesStream's trial set-up: the choice is made from two codec ids (a host
// asks it before any file is opened), so there is no stream to try.
Holds MuxerHolds(uint32_t kind, AVCodecID codec) noexcept {
  return MuxerListsCodec(av_guess_format(MergeMuxerName(kind), nullptr, nullptr), codec, kMergeCompliance);
}

// AVI clocks an audio stream by a fixed length per chunk, or by a fixed byte rate.
// The muxer takes more codecs than that clock can time: Vorbis, AMR, E-AC-3, DTS,
// ADPCM and WMA from ASF come out of a copy with the wrong length (3 s of AMR
// plays 48 s), so AVI holds only audio of fixed-length frames or constant rate.
bool AviTimesAudio(AVCodecID a) noexcept {
  return IsOneOf(a, {AV_CODEC_ID_AAC, AV_CODEC_ID_MP1, AV_CODEC_ID_MP2, AV_CODEC_ID_MP3, AV_CODEC_ID_AC3,
                     AV_CODEC_ID_FLAC, AV_CODEC_ID_PCM_U8, AV_CODEC_ID_PCM_S16LE, AV_CODEC_ID_PCM_S24LE,
                     AV_CODEC_ID_PCM_ALAW, AV_CODEC_ID_PCM_MULAW});
}

Holds MuxerHoldsAudio(uint32_t kind, AVCodecID a) noexcept {
  if (kind == kKindAvi && !AviTimesAudio(a)) return Holds::No;
  return MuxerHolds(kind, a);
}

// A table pick stands unless its muxer plainly refuses a codec it would be given;
// an unknown answer is no reason to overrule it.
bool Refuses(uint32_t kind, AVCodecID a, AVCodecID v) noexcept {
  return MuxerHolds(kind, v) == Holds::No || MuxerHoldsAudio(kind, a) == Holds::No;
}
// A fallback is taken only on the muxer's own yes for both.
bool Takes(uint32_t kind, AVCodecID a, AVCodecID v) noexcept {
  return MuxerHolds(kind, v) == Holds::Yes && MuxerHoldsAudio(kind, a) == Holds::Yes;
}

// The audio codec a decision writes.
AVCodecID WrittenAudio(const MergeOp2Result &r, AVCodecID a) noexcept {
  return r.mode == static_cast<uint32_t>(MergeMode::ReencodeAudio) ? AV_CODEC_ID_AAC : a;
}

struct CopyContainer {
  uint32_t kind;
  const char *ext;
  const char *altExt;
};
// In order of preference. Matroska comes last and takes every codec FFmpeg
// decodes at kMergeCompliance, so a copy container always exists.
constexpr CopyContainer kCopyFallbacks[] = {{kKindMp4, "mp4", "mp4"},
                                            {kKindAvi, "avi", "avi"},
                                            {kKindWebm, "webm", "mkv"},
                                            {kKindMatroska, "mkv", "mkv"}};

}  // namespace

MergeOp2Result ChooseMergeContainer(AVCodecID a, AVCodecID v) noexcept {
  const MergeOp2Result table = ChooseByTable(a, v);
  if (!Refuses(table.kind, WrittenAudio(table, a), v)) return table;
  // The pick cannot be written. A copy beats a re-encode into a container that
  // takes the video: nothing is lost and the audio keeps its timing.
  for (const CopyContainer &c : kCopyFallbacks) {
    if (Takes(c.kind, a, v)) return MakeResult(MergeMode::Copy, c.kind, c.ext, c.altExt);
  }
  // No muxer takes the pair: the table's pick, whose write fails with the muxer's status.
  return table;
}

MergeOpResult ChooseMergeContainerOld(AVCodecID a, AVCodecID v) noexcept {
  const MergeOpResult old = ChooseByOldTable(a, v);
  const MergeOp2Result full = ChooseMergeContainer(a, v);
  if (std::strcmp(MergeMuxerName(old.kind), MergeMuxerName(full.kind)) == 0) return old;
  return MergeOpResult{full.mode, full.kind == kKindWebm ? kKindWebmOld : full.kind};
}

namespace {

// The audio is looked at first: a pair missing both names the audio.
Status CodecsFound(AVCodecID audio, AVCodecID video) noexcept {
  if (audio == AV_CODEC_ID_NONE) return Status::AudioCodecNotFound;
  if (video == AV_CODEC_ID_NONE) return Status::VideoCodecNotFound;
  return Status::Ok;
}

}  // namespace

Status OpenMergePair(const char *videoPath, const char *audioPath, InputFormatPtr &videoIn,
                     InputFormatPtr &audioIn, AVCodecID &audio, AVCodecID &video) noexcept {
  // An input that does not open has no codec to choose by.
  OpenInputFile(audioPath, audioIn);
  OpenInputFile(videoPath, videoIn);
  audio = FirstCodecOfType(audioIn.get(), AVMEDIA_TYPE_AUDIO);
  video = FirstCodecOfType(videoIn.get(), AVMEDIA_TYPE_VIDEO);
  const Status st = CodecsFound(audio, video);
  if (!IsOk(st)) {
    videoIn.reset();
    audioIn.reset();
  }
  return st;
}

Status ProbeMergePair(const char *videoPath, const char *audioPath, AVCodecID &audio,
                      AVCodecID &video) noexcept {
  InputFormatPtr videoIn;
  InputFormatPtr audioIn;
  if (videoPath && audioPath && std::strcmp(videoPath, audioPath) == 0) {
    // One file asked for both (a downloaded file's own extension) is opened once.
    OpenInputFile(videoPath, videoIn);
    audio = FirstCodecOfType(videoIn.get(), AVMEDIA_TYPE_AUDIO);
    video = FirstCodecOfType(videoIn.get(), AVMEDIA_TYPE_VIDEO);
    return CodecsFound(audio, video);
  }
  return OpenMergePair(videoPath, audioPath, videoIn, audioIn, audio, video);
}

const char *MergeMuxerName(uint32_t kind) noexcept {
  switch (kind) {
    case kKindAvi: return "avi";
    case kKindWebmOld:
    case kKindWebm: return "webm";
    case kKindMatroska: return "matroska";
    default: return "mp4";
  }
}

}  // namespace mpg

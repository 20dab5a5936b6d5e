// The finishing export: the host's records read and checked, the cover read and
// converted, the container chosen as a merge or an audio extraction would choose it.
#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "api/guard.h"
#include "edit/extract_audio.h"
#include "finish/finish.h"
#include "image/cover_picture.h"
#include "merge/container_choice.h"
#include "platform/platform.h"

using namespace mpg;
using mpg::platform::HostPath;

namespace {

// The first version of each record; a host's record may be larger (a later header).
constexpr int32_t kJobSize = static_cast<int32_t>(sizeof(MpgFinishJob));
constexpr int32_t kSubtitleSize = static_cast<int32_t>(sizeof(MpgFinishSubtitle));
constexpr int32_t kTagSize = static_cast<int32_t>(sizeof(MpgFinishTag));
constexpr int32_t kChapterSize = static_cast<int32_t>(sizeof(MpgFinishChapter));

// The i-th record of an array whose records are `size` bytes each, as the host declared them.
template <class T>
const T &At(const T *array, int32_t i) noexcept {
  return *reinterpret_cast<const T *>(reinterpret_cast<const char *>(array) + static_cast<size_t>(i) * array->size);
}

// Every record of the array states the same size, at least the first version's.
template <class T>
bool ArrayFits(const T *array, int32_t count, int32_t minSize) noexcept {
  if (count < 0 || (count > 0 && !array)) return false;
  if (count == 0) return true;
  if (array->size < minSize) return false;
  for (int32_t i = 1; i < count; ++i)
    if (At(array, i).size != array->size) return false;
  return true;
}

bool IsText(const char *s) noexcept { return s && *s; }

// A host path converted for the library; false when it cannot be named.
bool TakePath(const char *hostText, std::string &path) {
  if (!IsText(hostText)) return false;
  const HostPath p(hostText);
  if (p.Refused()) return false;
  path = p.c_str();
  return true;
}

std::string Lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// With video, the merge's container, Matroska where the merge would write AVI or
// re-encode the audio; without, the audio's own container (Matroska audio for WAV's).
std::string DefaultContainer(const AVStream *video, const AVStream *audio) {
  if (!video) {
    const std::string ext = NaturalAudioContainer(audio->codecpar).extension;
    return IsFinishContainer(ext) ? ext : "mka";
  }
  if (!audio) return "mkv";
  const MergeOp2Result r = ChooseMergeContainer(audio->codecpar->codec_id, video->codecpar->codec_id);
  if (r.mode != 0) return "mkv";
  return r.kind == kKindMp4 ? "mp4" : r.kind == kKindWebm ? "webm" : "mkv";
}

Status ReadJob(const MpgFinishJob &job, FinishRequest &r) {
  if (job.size < kJobSize) return Status::BadParameter;
  if (!ArrayFits(job.subtitles, job.subtitleCount, kSubtitleSize) || !ArrayFits(job.tags, job.tagCount, kTagSize) ||
      !ArrayFits(job.chapters, job.chapterCount, kChapterSize) || job.audioCount < 0 ||
      (job.audioCount > 0 && !job.audioPaths))
    return Status::BadParameter;
  if (job.videoPath && !TakePath(job.videoPath, r.videoPath)) return Status::BadParameter;
  for (int32_t i = 0; i < job.audioCount; ++i) {
    r.audioPaths.emplace_back();
    if (!TakePath(job.audioPaths[i], r.audioPaths.back())) return Status::BadParameter;
  }
  if (r.videoPath.empty() && r.audioPaths.empty()) return Status::BadParameter;
  for (int32_t i = 0; i < job.subtitleCount; ++i) {
    const MpgFinishSubtitle &s = At(job.subtitles, i);
    FinishSubtitle sub;
    if (!TakePath(s.path, sub.path)) return Status::BadParameter;
    if (IsText(s.language)) sub.language = s.language;
    sub.isDefault = s.isDefault != 0;
    r.subtitles.push_back(std::move(sub));
  }
  for (int32_t i = 0; i < job.tagCount; ++i) {
    const MpgFinishTag &t = At(job.tags, i);
    if (!IsText(t.key)) return Status::BadParameter;
    if (IsText(t.value)) r.tags.emplace_back(Lower(t.key), t.value);
  }
  for (int32_t i = 0; i < job.chapterCount; ++i) {
    const MpgFinishChapter &c = At(job.chapters, i);
    if (c.startMs < 0 || c.endMs <= c.startMs) return Status::BadParameter;
    r.chapters.push_back({c.title ? c.title : "", c.startMs, c.endMs});
  }
  if (!TakePath(job.outputPath, r.outputPath)) return Status::BadParameter;
  if (IsText(job.container)) {
    r.container = Lower(job.container);
    if (!IsFinishContainer(r.container)) return Status::BadParameter;
  }
  r.chooseContainer = DefaultContainer;
  if (job.coverPath) {
    std::string coverPath;
    if (!TakePath(job.coverPath, coverPath)) return Status::BadParameter;
    CoverPicture cover;
    const Status st = LoadCoverPicture(coverPath.c_str(), cover);
    if (!IsOk(st)) return st;
    r.hasCover = true;
    r.cover = {std::move(cover.bytes), cover.codec, cover.width, cover.height};
    r.coverPath = std::move(coverPath);
  }
  return Status::Ok;
}

}  // namespace

extern "C" MPG_API int32_t MPG_CALL MPG_Finish(const MpgFinishJob *job, ProgressCallback callback,
                                               uintptr_t user) noexcept {
  if (!job) return Code(Status::BadParameter);
  return Guard([&] {
    FinishRequest request;
    const Status st = ReadJob(*job, request);
    if (!IsOk(st)) return st;
    return Finish(request, callback, user);
  });
}

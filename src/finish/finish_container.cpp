// The containers a download is finished into, and their extensions.
#include "finish/finish_container.h"

#include <array>

#include "finish/finish.h"
#include "platform/platform.h"

namespace mpg {

namespace {

// "ipod" writes MP4 with the M4A brand; "opus" writes Ogg as .opus files are.
// FFmpeg 5.1's FLAC muxer writes no chapters, and its Vorbis comment writer rounds
// a chapter's start to the nearest second before adding its milliseconds (1.5 s
// becomes 2.500): both get the comments from the pass.
constexpr std::array kContainers = {
    FinishContainer{"mp4", "mp4", SubtitleForm::MovText, CoverForm::AttachedPic, ChapterForm::Nero},
    FinishContainer{"m4a", "ipod", SubtitleForm::MovText, CoverForm::AttachedPic, ChapterForm::Nero},
    FinishContainer{"mkv", "matroska", SubtitleForm::AsIs, CoverForm::Attachment, ChapterForm::Muxer},
    FinishContainer{"mka", "matroska", SubtitleForm::AsIs, CoverForm::Attachment, ChapterForm::Muxer},
    FinishContainer{"webm", "webm", SubtitleForm::WebVtt, CoverForm::None, ChapterForm::Muxer},
    FinishContainer{"mp3", "mp3", SubtitleForm::None, CoverForm::AttachedPic, ChapterForm::Muxer},
    FinishContainer{"flac", "flac", SubtitleForm::None, CoverForm::AttachedPic, ChapterForm::VorbisComments},
    FinishContainer{"opus", "opus", SubtitleForm::None, CoverForm::VorbisPicture, ChapterForm::VorbisComments},
    FinishContainer{"ogg", "ogg", SubtitleForm::None, CoverForm::VorbisPicture, ChapterForm::VorbisComments},
};

}  // namespace

const FinishContainer *FindFinishContainer(const std::string &name) noexcept {
  for (const FinishContainer &c : kContainers)
    if (platform::CompareNoCase(name, c.name) == 0) return &c;
  return nullptr;
}

bool IsFinishContainer(const std::string &name) noexcept { return FindFinishContainer(name) != nullptr; }

std::string FinishContainerOfPath(const std::string &path) {
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of("/\\");
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  const FinishContainer *c = FindFinishContainer(path.substr(dot + 1));
  return c ? c->name : "";
}

}  // namespace mpg

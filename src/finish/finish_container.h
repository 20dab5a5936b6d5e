// What each container a finished download may go into does with each addition.
#pragma once

#include <string>

namespace mpg {

// How a container takes subtitles.
enum class SubtitleForm {
  None,     // it holds none: subtitles are refused
  MovText,  // MP4 text: every format is decoded and re-encoded
  AsIs,     // SubRip, WebVTT and ASS packets copied
  WebVtt,   // WebVTT copied, SubRip converted, ASS refused
};

// How a container takes a cover.
enum class CoverForm {
  None,           // it holds none: a cover is refused
  AttachedPic,    // a picture stream of one packet (MP4 covr, ID3v2 APIC, FLAC PICTURE)
  Attachment,     // a Matroska attachment
  VorbisPicture,  // a METADATA_BLOCK_PICTURE comment (Ogg)
};

// How a container takes chapters.
enum class ChapterForm {
  Muxer,           // FFmpeg's muxer writes the AVChapters (Matroska, WebM, MP3's ID3v2 CHAP)
  Nero,            // a "chpl" box the pass adds itself (MP4: see mp4_chapters.h)
  VorbisComments,  // CHAPTERnnn comments the pass writes itself (FLAC, Ogg)
};

struct FinishContainer {
  const char *name;   // as MpgFinishJob.container names it, and the usual extension
  const char *muxer;  // FFmpeg's muxer
  SubtitleForm subtitles;
  CoverForm cover;
  ChapterForm chapters;
};

// The container of that name, or null.
const FinishContainer *FindFinishContainer(const std::string &name) noexcept;

}  // namespace mpg

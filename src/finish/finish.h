// Finishing a download: its video, its audio files, subtitle files, a cover, tags
// and chapters written into one file in one pass, every audio and video packet
// copied as it came.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/av_ptr.h"
#include "core/progress.h"
#include "core/status.h"

namespace mpg {

struct FinishSubtitle {
  std::string path;
  std::string language;  // ISO 639-2; empty: unstated
  bool isDefault = false;
};

struct FinishChapter {
  std::string title;
  int64_t startMs = 0;
  int64_t endMs = 0;
};

// A cover as it goes into the file (the image pipeline reads and converts it).
struct FinishCover {
  std::string bytes;
  AVCodecID codec = AV_CODEC_ID_NONE;  // MJPEG or PNG
  int width = 0;
  int height = 0;
};

// The container a job writes, by the names of MpgFinishJob.container; chosen from
// the first video stream and the first audio stream (either may be null, not both)
// when the job names none.
using ContainerChooser = std::function<std::string(const AVStream *video, const AVStream *audio)>;

struct FinishRequest {
  std::string videoPath;  // empty: audio only
  std::vector<std::string> audioPaths;
  std::vector<FinishSubtitle> subtitles;
  bool hasCover = false;
  FinishCover cover;
  std::string coverPath;  // where the cover was read: the output may not name it
  std::vector<std::pair<std::string, std::string>> tags;  // keys lower-case
  std::vector<FinishChapter> chapters;
  std::string outputPath;
  std::string container;  // empty: chooseContainer decides
  ContainerChooser chooseContainer;
};

// True for a container name the pass writes ("mp4", "m4a", "mkv", "mka", "webm",
// "mp3", "flac", "opus", "ogg").
bool IsFinishContainer(const std::string &name) noexcept;
// The container an output file's extension names (any case), or "".
std::string FinishContainerOfPath(const std::string &path);

// Runs the pass. Every refusal (BadParameter for an unknown container, SameFile,
// VideoStreamNotFound/AudioStreamNotFound, InvalidData for a subtitle file that
// cannot be read, kNoMuxer for what the container cannot hold) comes before the
// output is opened; a failure after that removes the output. A stop by the host
// finishes the file with what was copied and returns Ok.
Status Finish(const FinishRequest &request, ProgressCallback callback, uintptr_t user) noexcept;

}  // namespace mpg

// Audio as it came: the best audio stream of a file copied packet for packet into
// the container that is its codec's own.
#pragma once

#include <string>

#include "core/progress.h"
#include "core/status.h"

struct AVCodecParameters;

namespace mpg {

// The container an audio stream goes into as it came, and the extension of its
// files (without the dot). The muxer name is FFmpeg's.
struct AudioContainer {
  const char *muxer;
  const char *extension;
};

// AAC into M4A, Opus into Ogg as .opus, Vorbis into Ogg, MP3 and FLAC into their
// own files, PCM and ADPCM into WAV, anything else into Matroska audio. (The
// extraction falls back to Matroska audio where the muxer refuses the stream.)
AudioContainer NaturalAudioContainer(const AVCodecParameters *par) noexcept;

// Copies inputPath's best audio stream into outputStem + "." + the container's
// extension, which is stored in extension. Ok, also after a stop by the host (the
// file is finished with what was copied); AudioStreamNotFound without audio;
// SameFile when the output would name the input; kNoMuxer when not even Matroska
// stores the codec; or FFmpeg's error. A failure after the output was opened
// removes it.
Status ExtractAudio(const char *inputPath, const char *outputStem, std::string &extension, ProgressCallback callback,
                    uintptr_t user) noexcept;

}  // namespace mpg

// Fuzzes the finishing pass with the mutated file in each of its roles: as the audio
// file (finished alone with a tag and a chapter), as the cover picture and as the
// subtitle file (each beside a second of silent MP3 made here). The first byte picks
// the output container and the subtitle file's name (SubRip, WebVTT or ASS).
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "mpg.h"

namespace {

// One second of 8 kHz mono silence as a WAV file, written once.
std::string SilenceWav() {
  static const std::string path = [] {
    const uint32_t samples = 8000, bytes = samples * 2;
    std::vector<uint8_t> wav(44 + bytes, 0);
    auto put32 = [&](size_t at, uint32_t v) { for (int i = 0; i < 4; ++i) wav[at + i] = static_cast<uint8_t>(v >> (8 * i)); };
    auto put16 = [&](size_t at, uint16_t v) { wav[at] = static_cast<uint8_t>(v); wav[at + 1] = static_cast<uint8_t>(v >> 8); };
    std::memcpy(wav.data(), "RIFF", 4);
    put32(4, 36 + bytes);
    std::memcpy(wav.data() + 8, "WAVEfmt ", 8);
    put32(16, 16);
    put16(20, 1);  // PCM
    put16(22, 1);  // mono
    put32(24, 8000);
    put32(28, 16000);
    put16(32, 2);
    put16(34, 16);
    std::memcpy(wav.data() + 36, "data", 4);
    put32(40, bytes);
    return fuzz::WriteInput("silence.wav", wav.data(), wav.size());
  }();
  return path;
}

// The same silence as MP3, which MP4, M4A, MP3 and Matroska all take: the audio
// beside a mutated cover or subtitle file.
const std::string &SilenceMp3() {
  static const std::string path = [] {
    const std::string mp3 = fuzz::WorkPath("silence.mp3");
    MP3_Convert(SilenceWav().c_str(), mp3.c_str(), 32000, nullptr, 0);
    return mp3;
  }();
  return path;
}

int32_t FinishInto(const char *container, const char *audio, const char *cover, const MpgFinishSubtitle *sub) {
  const std::string out = fuzz::WorkPath(std::string("finished.") + container);
  MpgFinishTag tag{static_cast<int32_t>(sizeof(MpgFinishTag)), "title", "タイトル"};
  MpgFinishChapter chapter{static_cast<int32_t>(sizeof(MpgFinishChapter)), "第1章", 0, 500};
  MpgFinishJob job{};
  job.size = sizeof job;
  job.audioPaths = &audio;
  job.audioCount = 1;
  job.coverPath = cover;
  job.subtitles = sub;
  job.subtitleCount = sub ? 1 : 0;
  job.tags = &tag;
  job.tagCount = 1;
  job.chapters = &chapter;
  job.chapterCount = 1;
  job.outputPath = out.c_str();
  job.container = container;
  const int32_t status = MPG_Finish(&job, nullptr, 0);
  fuzz::Remove(out);
  return status;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const char *const kContainers[] = {"mka", "m4a", "mp3", "flac", "opus", "webm", "mkv", "mp4"};
  static const char *const kSubtitleNames[] = {"cues.srt", "cues.vtt", "cues.ass"};
  const char *container = kContainers[size ? data[0] % 8 : 0];
  const std::string file = fuzz::WriteInput("input.bin", data, size);
  const std::string subtitles = fuzz::WriteInput(kSubtitleNames[size ? data[0] / 8 % 3 : 0], data, size);
  FinishInto(container, file.c_str(), nullptr, nullptr);
  FinishInto(container, SilenceMp3().c_str(), file.c_str(), nullptr);
  MpgFinishSubtitle sub{static_cast<int32_t>(sizeof(MpgFinishSubtitle)), 1, subtitles.c_str(), "jpn"};
  FinishInto(container, SilenceMp3().c_str(), nullptr, &sub);
  fuzz::Remove(file);
  fuzz::Remove(subtitles);
  return 0;
}

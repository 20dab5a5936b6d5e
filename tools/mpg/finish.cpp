// mpg finish: a download's video, audio files, subtitles, cover, tags and chapters
// written into one file in one pass (MPG_Finish).
//
// The chapters file holds one chapter a line, "START[-END] TITLE", times as
// HH:MM:SS.mmm (or MM:SS.mmm, or SS.mmm); a chapter without an end ends where the
// next one starts, the last one at the end of the media. Empty lines and lines
// starting with '#' are skipped. The file is UTF-8.
#include <cstdio>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "console.h"

namespace mpgcli {

namespace {

struct ChapterLine {
  int64_t startMs = 0;
  std::optional<int64_t> endMs;
  std::string title;
};

// "HH:MM:SS.mmm", "MM:SS.mmm" or "SS.mmm" (the fraction optional) in milliseconds.
std::optional<int64_t> ParseTime(const std::string &text) {
  static const std::regex form(R"((?:(?:(\d+):)?(\d+):)?(\d+)(?:\.(\d{1,3}))?)");
  std::smatch m;
  if (!std::regex_match(text, m, form)) return std::nullopt;
  const auto num = [&](int i) { return m[i].matched ? std::stoll(m[i].str()) : 0LL; };
  std::string frac = m[4].matched ? m[4].str() : "0";
  frac.resize(3, '0');
  return ((num(1) * 60 + num(2)) * 60 + num(3)) * 1000 + std::stoll(frac);
}

std::vector<ChapterLine> ReadChapters(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError{"cannot read the chapters file " + path};
  static const std::regex line(R"(\s*([0-9:.]+)(?:-([0-9:.]+))?\s+(.*?)\s*)");
  std::vector<ChapterLine> chapters;
  int number = 0;
  for (std::string text; std::getline(in, text);) {
    ++number;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.find_first_not_of(" \t") == std::string::npos || text[text.find_first_not_of(" \t")] == '#') continue;
    std::smatch m;
    std::optional<int64_t> start, end;
    if (std::regex_match(text, m, line)) {
      start = ParseTime(m[1].str());
      if (m[2].matched) end = ParseTime(m[2].str());
    }
    if (!start || (m[2].matched && !end))
      throw UsageError{path + ":" + std::to_string(number) + ": expected \"HH:MM:SS.mmm[-HH:MM:SS.mmm] title\""};
    chapters.push_back({*start, end, m[3].str()});
  }
  return chapters;
}

// The media's length in milliseconds, for a last chapter without an end.
int64_t MediaLengthMs(const std::string &path) {
  MpgMediaInfo info{};
  return MPG_GetMediaInfo(path.c_str(), &info) ? (info.duration + 1) * 1000 : 0;
}

}  // namespace

void AddFinishCommand(CLI::App &app, const GlobalOptions &global, Commands &commands) {
  struct Args {
    std::string video, cover, chapters, format, output;
    std::vector<std::string> audio, subs, tags;
    bool json = false;
  };
  auto args = std::make_shared<Args>();
  CLI::App *sub = app.add_subcommand(
      "finish", "Write video, audio, subtitles, a cover, tags and chapters into one file, audio and video copied");
  sub->add_option("output", args->output, "File to write (its extension names the container unless --format does)")
      ->required();
  sub->add_option("--video", args->video, "File holding the video (without: an audio-only file)");
  sub->add_option("--audio", args->audio, "File holding an audio stream (repeatable; without: the video file's audio)");
  sub->add_option("--sub", args->subs, "Subtitles as LANG:FILE or LANG:FILE:default (.srt, .vtt, .ass; repeatable)");
  sub->add_option("--cover", args->cover, "Cover picture (JPEG, PNG or WebP)");
  sub->add_option("--tag", args->tags, "Tag as KEY=VALUE (title, artist, album, date, comment, description, url, ...)");
  sub->add_option("--chapters", args->chapters, "Chapters file: one \"HH:MM:SS.mmm[-HH:MM:SS.mmm] title\" a line");
  sub->add_option("--format", args->format, "Container: mp4, m4a, mkv, mka, webm, mp3, flac, opus or ogg");
  sub->add_flag("--json", args->json, "Print the outcome as JSON on stdout");
  commands.push_back({sub, [args, &global] {
                        const Args &a = *args;
                        if (a.video.empty() && a.audio.empty()) throw UsageError{"give --video, --audio or both"};
                        // LANG:FILE[:default], the path itself free to hold colons.
                        std::vector<std::string> subPaths, langs;
                        std::vector<int32_t> defaults;
                        for (const std::string &s : a.subs) {
                          const size_t colon = s.find(':');
                          if (colon == std::string::npos) throw UsageError{"--sub takes LANG:FILE[:default]: " + s};
                          std::string path = s.substr(colon + 1);
                          const bool isDefault = path.size() > 8 && path.compare(path.size() - 8, 8, ":default") == 0;
                          if (isDefault) path.resize(path.size() - 8);
                          langs.push_back(s.substr(0, colon));
                          subPaths.push_back(path);
                          defaults.push_back(isDefault ? 1 : 0);
                        }
                        std::vector<std::pair<std::string, std::string>> tags;
                        for (const std::string &t : a.tags) {
                          const size_t eq = t.find('=');
                          if (eq == std::string::npos || eq == 0) throw UsageError{"--tag takes KEY=VALUE: " + t};
                          tags.emplace_back(t.substr(0, eq), t.substr(eq + 1));
                        }
                        std::vector<ChapterLine> chapters;
                        if (!a.chapters.empty()) chapters = ReadChapters(a.chapters);
                        for (size_t i = 0; i < chapters.size(); ++i) {
                          if (chapters[i].endMs) continue;
                          chapters[i].endMs = i + 1 < chapters.size()
                                                  ? chapters[i + 1].startMs
                                                  : MediaLengthMs(a.video.empty() ? a.audio.front() : a.video);
                        }

                        std::vector<const char *> audio;
                        for (const std::string &p : a.audio) audio.push_back(p.c_str());
                        std::vector<MpgFinishSubtitle> subRecs;
                        for (size_t i = 0; i < subPaths.size(); ++i)
                          subRecs.push_back({sizeof(MpgFinishSubtitle), defaults[i], subPaths[i].c_str(), langs[i].c_str()});
                        std::vector<MpgFinishTag> tagRecs;
                        for (const auto &[k, v] : tags) tagRecs.push_back({sizeof(MpgFinishTag), k.c_str(), v.c_str()});
                        std::vector<MpgFinishChapter> chapRecs;
                        for (const ChapterLine &c : chapters)
                          chapRecs.push_back({sizeof(MpgFinishChapter), c.title.c_str(), c.startMs, *c.endMs});
                        const MpgFinishJob job = {
                            sizeof(MpgFinishJob), static_cast<int32_t>(audio.size()),
                            a.video.empty() ? nullptr : a.video.c_str(), audio.data(), subRecs.data(),
                            a.cover.empty() ? nullptr : a.cover.c_str(), tagRecs.data(), chapRecs.data(),
                            a.output.c_str(), a.format.empty() ? nullptr : a.format.c_str(),
                            static_cast<int32_t>(subRecs.size()), static_cast<int32_t>(tagRecs.size()),
                            static_cast<int32_t>(chapRecs.size()), 0};
                        int32_t status = 0;
                        const int exit = RunWithProgress("finish", a.output, global, [&](ProgressCallback cb, uintptr_t user) {
                          return status = MPG_Finish(&job, cb, user);
                        });
                        if (a.json) {
                          const nlohmann::ordered_json j = {{"output", a.output},
                                                            {"status", status},
                                                            {"text", MPG_GetErrorText(status)},
                                                            {"stopped", exit == kExitStopped}};
                          Print(stdout, "%s\n", j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
                        }
                        return exit;
                      }});
}

}  // namespace mpgcli

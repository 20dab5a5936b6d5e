// Inspection: info (the media information record) and container (the merge's
// container choice for a video file and an audio file).
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "console.h"

namespace mpgcli {

namespace {

// The record's text fields are fixed arrays; read at most their size.
template <size_t N>
std::string Text(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

void PrintJson(const nlohmann::ordered_json &j) {
  // Replace, not throw, if a probed name is not UTF-8.
  Print(stdout, "%s\n", j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
}

// Keys in the record's field order.
nlohmann::ordered_json InfoJson(const std::string &path, const MpgMediaInfo &m) {
  return nlohmann::ordered_json{
      {"path", path},
      {"duration", m.duration},
      {"containerBitRate", m.containerBitRate},
      {"videoStreamCount", m.videoStreamCount},
      {"width", m.width},
      {"height", m.height},
      {"videoBitRate", m.videoBitRate},
      {"frameRate", m.frameRate},
      {"videoStreamDuration", m.videoStreamDuration},
      {"videoCodec", Text(m.videoCodec)},
      {"videoSampleFormat", Text(m.videoSampleFormat)},
      {"audioStreamCount", m.audioStreamCount},
      {"channels", m.channels},
      {"audioBitRate", m.audioBitRate},
      {"sampleRate", m.sampleRate},
      {"audioStreamDuration", m.audioStreamDuration},
      {"audioCodec", Text(m.audioCodec)},
      {"audioSampleFormat", Text(m.audioSampleFormat)},
      {"subtitleStreamCount", m.subtitleStreamCount},
      {"subtitleDuration", m.subtitleDuration},
      {"subtitleCodec", Text(m.subtitleCodec)},
  };
}

std::string Kbps(int64_t bitsPerSecond) {
  if (bitsPerSecond <= 0) return "unknown bit rate";
  return std::to_string((bitsPerSecond + 500) / 1000) + " kbit/s";
}

std::string Streams(int32_t count) { return count == 1 ? "1 stream" : std::to_string(count) + " streams"; }

// "a, b, c (tail)", leaving out empty parts.
std::string Join(std::initializer_list<std::string> parts, const std::string &tail) {
  std::string line;
  for (const std::string &part : parts) {
    if (part.empty()) continue;
    if (!line.empty()) line += ", ";
    line += part;
  }
  return line + " (" + tail + ")";
}

void PrintInfo(const std::string &path, const MpgMediaInfo &m) {
  Print(stdout, "File:       %s\n", path.c_str());
  Print(stdout, "Duration:   %lld s\n", static_cast<long long>(m.duration));
  Print(stdout, "Bit rate:   %s\n", Kbps(m.containerBitRate).c_str());
  if (m.videoStreamCount > 0) {
    char fps[32];
    std::snprintf(fps, sizeof fps, "%.3g fps", m.frameRate);
    Print(stdout, "Video:      %s\n",
                  Join({Text(m.videoCodec), std::to_string(m.width) + "x" + std::to_string(m.height), fps,
                        Kbps(m.videoBitRate), Text(m.videoSampleFormat)}, Streams(m.videoStreamCount))
                      .c_str());
  } else {
    Print(stdout, "Video:      none\n");
  }
  if (m.audioStreamCount > 0) {
    Print(stdout, "Audio:      %s\n",
                  Join({Text(m.audioCodec), std::to_string(m.sampleRate) + " Hz",
                        std::to_string(m.channels) + (m.channels == 1 ? " channel" : " channels"), Kbps(m.audioBitRate),
                        Text(m.audioSampleFormat)},
                       Streams(m.audioStreamCount))
                      .c_str());
  } else {
    Print(stdout, "Audio:      none\n");
  }
  if (m.subtitleStreamCount > 0) {
    Print(stdout, "Subtitles:  %s, last cue ends at %lld s (%s)\n", Text(m.subtitleCodec).c_str(),
                  static_cast<long long>(m.subtitleDuration), Streams(m.subtitleStreamCount).c_str());
  } else {
    Print(stdout, "Subtitles:  none\n");
  }
}

void AddInfo(CLI::App &app, Commands &commands) {
  struct Args {
    std::string path;
    bool json = false;
  };
  auto args = std::make_shared<Args>();
  CLI::App *sub = app.add_subcommand("info", "Show a file's durations, codecs, sizes and bit rates");
  sub->add_option("file", args->path, "Media file to inspect")->required();
  sub->add_flag("--json", args->json, "Print every field of the media information record as JSON");
  commands.push_back({sub, [args]() -> int {
                        MpgMediaInfo info{};
                        if (!MPG_GetMediaInfo(args->path.c_str(), &info)) {
                          const std::string why = WhyUnreadable(args->path);
                          return Fail("info", why.empty() ? "cannot read media information from '" + args->path + "'"
                                                          : why);
                        }
                        if (args->json) {
                          PrintJson(InfoJson(args->path, info));
                        } else {
                          PrintInfo(args->path, info);
                        }
                        return kExitOk;
                      }});
}

const char *KindName(uint32_t kind) {
  switch (kind) {
    case 0: return "MP4";
    case 1: return "AVI";
    case 3: return "WebM";
    case MPG_KIND_MATROSKA: return "Matroska";
    default: return "unknown";
  }
}

void AddContainer(CLI::App &app, Commands &commands) {
  struct Args {
    std::string video, audio;
    bool json = false;
  };
  auto args = std::make_shared<Args>();
  CLI::App *sub = app.add_subcommand("container", "Show which container and extension `mpg merge` would choose");
  sub->add_option("video", args->video, "File holding the video stream")->required();
  sub->add_option("audio", args->audio, "File holding the audio stream")->required();
  sub->add_flag("--json", args->json, "Print the choice as JSON");
  commands.push_back({sub, [args]() -> int {
                        MergeOp2Result r{};
                        const int32_t status = MPG_MergeOP2(args->video.c_str(), args->audio.c_str(), &r);
                        if (status != MPG_OK) return ExitForStatus("container", status);
                        const std::string ext = Text(r.extension);
                        const std::string alt = Text(r.altExtension);
                        if (args->json) {
                          PrintJson(nlohmann::ordered_json{{"mode", r.mode},
                                                   {"kind", r.kind},
                                                   {"container", KindName(r.kind)},
                                                   {"extension", ext},
                                                   {"altExtension", alt}});
                        } else {
                          Print(stdout, "Mode:          %u (%s)\n", r.mode,
                                        r.mode == 0 ? "streams are copied" : "audio is re-encoded");
                          Print(stdout, "Container:     %s (kind %u)\n", KindName(r.kind), r.kind);
                          Print(stdout, "Extension:     %s\n", ext.c_str());
                          Print(stdout, "Alt extension: %s\n", alt.empty() ? "none" : alt.c_str());
                        }
                        return kExitOk;
                      }});
}

}  // namespace

void AddInspectCommands(CLI::App &app, const GlobalOptions &, Commands &commands) {
  AddInfo(app, commands);
  AddContainer(app, commands);
}

}  // namespace mpgcli

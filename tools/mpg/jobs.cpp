// Long jobs: merge, concat, transcode, mp3, shift-audio and extract-audio. Each reports progress
// and can be stopped with Ctrl-C.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "console.h"

namespace mpgcli {

namespace {

// Bit rates accept a k or M suffix: "128k" is 128000 bit/s.
CLI::AsNumberWithUnit BitRateUnits() {
  return CLI::AsNumberWithUnit(std::map<std::string, int32_t>{{"k", 1000}, {"m", 1000000}},
                               CLI::AsNumberWithUnit::CASE_INSENSITIVE, "BIT/S");
}

void AddMerge(CLI::App &app, const GlobalOptions &global, Commands &commands) {
  struct Args {
    std::string video, audio, output;
  };
  auto args = std::make_shared<Args>();
  CLI::App *sub = app.add_subcommand(
      "merge", "Merge a video file and an audio file into one file (MP4, AVI, WebM or Matroska, chosen from the codecs)");
  sub->add_option("video", args->video, "File holding the video stream")->required();
  sub->add_option("audio", args->audio, "File holding the audio stream")->required();
  sub->add_option("output", args->output, "Merged file to write (see `mpg container` for the extension)")->required();
  commands.push_back({sub, [args, &global] {
                        return RunWithProgress("merge", args->output, global, [&](ProgressCallback cb, uintptr_t user) {
                          return MPG_MergeAV(args->video.c_str(), args->audio.c_str(), args->output.c_str(), cb, user);
                        });
                      }});
}

void AddConcat(CLI::App &app, const GlobalOptions &global, Commands &commands) {
  struct Args {
    std::vector<std::string> segments;
    std::string output;
    bool deleteSegments = false;
    bool rebase = false;
  };
  auto args = std::make_shared<Args>();
  CLI::App *sub = app.add_subcommand(
      "concat", "Join the segments of a segmented stream into one file (MPEG-TS for .ts/.m2ts/.mts/.m2t/.m4t, else MP4)");
  sub->add_option("segments", args->segments, "Segment files, in playing order")->required();
  sub->add_option("-o,--output", args->output, "Joined file to write")->required();
  sub->add_flag("--delete-segments", args->deleteSegments, "Delete each segment once it has been joined");
  sub->add_flag("--rebase", args->rebase, "Rebase each segment's timestamps to follow the previous segment");
  commands.push_back({sub, [args, &global] {
                        std::vector<const char *> list;
                        for (const std::string &s : args->segments) list.push_back(s.c_str());
                        list.push_back(nullptr);
                        return RunWithProgress("concat", args->output, global, [&](ProgressCallback cb, uintptr_t user) {
                          return MPG_Merge(list.data(), args->output.c_str(), args->deleteSegments ? 1 : 0,
                                           args->rebase ? 1 : 0, cb, user);
                        });
                      }});
}

// Output format ids by extension, as MPG_GetDefExt names them ("mpeg" is id 5 too).
std::optional<int32_t> FormatIdForExtension(std::string ext) {
  for (char &c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "mpeg") return 5;
  for (int32_t id = 0; id <= 8; ++id)
    if (ext == MPG_GetDefExt(id)) return id;
  return std::nullopt;
}

std::string ExtensionOf(const std::string &path) {
  const auto slash = path.find_last_of('/');
  const auto dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return path.substr(dot + 1);
}

void AddTranscode(CLI::App &app, const GlobalOptions &global, Commands &commands) {
  struct Args {
    std::string input, output;
    std::string format;
    TranscodeParams params{};
    int32_t fps = 0;
  };
  auto args = std::make_shared<Args>();
  TranscodeParams &p = args->params;
  CLI::App *sub = app.add_subcommand("transcode", "Rewrite a file into another container, re-encoding as asked");
  sub->add_option("input", args->input, "File to read")->required();
  sub->add_option("output", args->output, "File to write")->required();
  sub->add_option("-f,--format", args->format,
                  "Output container: 3gp, aac, avi, mp3, mp4, mpg, ts, webm or wmv "
                  "(default: from the output's extension)")
      ->check(CLI::IsMember({"3gp", "aac", "avi", "mp3", "mp4", "mpg", "mpeg", "ts", "webm", "wmv"},
                            CLI::ignore_case));
  sub->add_option("--audio-codec", p.audioCodecChoice, "Audio codec: mp3, aac, amr-nb or amr-wb (default: the input's)")
      ->transform(CLI::CheckedTransformer(std::map<std::string, int32_t>{{"mp3", 1}, {"aac", 2}, {"amr-nb", 3}, {"amr-wb", 4}},
                                          CLI::ignore_case))
      ->option_text("mp3|aac|amr-nb|amr-wb");
  sub->add_option("--audio-bitrate", p.audioBitRateRequest, "Audio bit rate in bit/s, e.g. 128k")
      ->transform(BitRateUnits());
  sub->add_option("--sample-rate", p.audioSampleRate, "Audio sample rate in Hz")->check(CLI::PositiveNumber);
  sub->add_option("--channels", p.audioChannels, "Audio channels: 1 (mono) or 2 (stereo)")->check(CLI::Range(1, 2));
  sub->add_option("--video-codec", p.videoCodecChoice,
                  "Video codec: same (the input's), xvid, dx50, divx (MPEG-4 Part 2 with those tags), "
                  "h263, h264 or mpeg4")
      ->transform(CLI::CheckedTransformer(
          std::map<std::string, int32_t>{
              {"same", 0}, {"xvid", 1}, {"dx50", 2}, {"divx", 3}, {"h263", 4}, {"h264", 5}, {"mpeg4", 6}},
          CLI::ignore_case))
      ->option_text("same|xvid|dx50|divx|h263|h264|mpeg4");
  sub->add_option("--width", p.width, "Output width in pixels")->check(CLI::PositiveNumber);
  sub->add_option("--height", p.height, "Output height in pixels")->check(CLI::PositiveNumber);
  sub->add_option("--scale-percent", p.scalePercent,
                  "Output size as a share of the input's, in units of --scale (100 = same size by default)")
      ->check(CLI::PositiveNumber);
  sub->add_option("--video-bitrate", p.videoBitRateRequest, "Video bit rate in bit/s (values below 1000 are kbit/s), e.g. 800k")
      ->transform(BitRateUnits());
  auto *num = sub->add_option("--frame-time-num", p.frameTimeNum, "Frame duration numerator (frame rate = den / num)")
                  ->check(CLI::PositiveNumber);
  auto *den = sub->add_option("--frame-time-den", p.frameTimeDen, "Frame duration denominator")->check(CLI::PositiveNumber);
  num->needs(den);
  den->needs(num);
  sub->add_option("--fps", args->fps, "Frame rate in frames per second (same as --frame-time-num 1 --frame-time-den FPS)")
      ->check(CLI::PositiveNumber)
      ->excludes(num)
      ->excludes(den);

  commands.push_back({sub, [args, &global]() -> int {
                        std::string format = args->format.empty() ? ExtensionOf(args->output) : args->format;
                        const std::optional<int32_t> id = FormatIdForExtension(format);
                        if (!id) {
                          throw UsageError{"cannot tell the container from '" + args->output +
                                           "'; name it with --format"};
                        }
                        TranscodeParams params = args->params;
                        params.outputFormat = *id;
                        if (args->fps > 0) {
                          params.frameTimeNum = 1;
                          params.frameTimeDen = args->fps;
                        }
                        const Str::string input(args->input.c_str());
                        const Str::string output(args->output.c_str());
                        return RunWithProgress("transcode", args->output, global, [&](ProgressCallback cb, uintptr_t user) {
                          return MPG_Transcode(&input, &output, &params, cb, user);
                        });
                      }});
}

void AddMp3(CLI::App &app, const GlobalOptions &global, Commands &commands) {
  struct Args {
    std::string input, output;
    int32_t bitRate = 0;
  };
  auto args = std::make_shared<Args>();
  CLI::App *sub = app.add_subcommand("mp3", "Convert the audio of a file to MP3");
  sub->add_option("input", args->input, "File to read")->required();
  sub->add_option("output", args->output, "MP3 file to write")->required();
  sub->add_option("-b,--bitrate", args->bitRate, "Highest bit rate in bit/s, e.g. 128k (default: no cap)")
      ->transform(BitRateUnits());
  commands.push_back({sub, [args, &global] {
                        return RunWithProgress("mp3", args->output, global, [&](ProgressCallback cb, uintptr_t user) {
                          return MP3_Convert(args->input.c_str(), args->output.c_str(), args->bitRate, cb, user);
                        });
                      }});
}

void AddShiftAudio(CLI::App &app, const GlobalOptions &global, Commands &commands) {
  struct Args {
    std::string input, output;
    int32_t shiftMs = 0;
  };
  auto args = std::make_shared<Args>();
  CLI::App *sub = app.add_subcommand("shift-audio", "Move the audio against the video, copying everything else");
  sub->add_option("input", args->input, "File to read")->required();
  sub->add_option("output", args->output, "File to write (same container type)")->required();
  sub->add_option("--ms", args->shiftMs, "Shift in milliseconds: positive delays the audio, negative advances it")
      ->required()
      ->allow_extra_args(false);
  commands.push_back({sub, [args, &global] {
                        return RunWithProgress("shift-audio", args->output, global, [&](ProgressCallback cb, uintptr_t user) {
                          return MPG_ShiftAudio(args->input.c_str(), args->output.c_str(), args->shiftMs, cb, user);
                        });
                      }});
}

void AddExtractAudio(CLI::App &app, const GlobalOptions &global, Commands &commands) {
  struct Args {
    std::string input, stem;
  };
  auto args = std::make_shared<Args>();
  CLI::App *sub = app.add_subcommand(
      "extract-audio", "Copy the best audio stream, as it is, into its own container (AAC to .m4a, Opus to .opus, ...)");
  sub->add_option("input", args->input, "File to read")->required();
  sub->add_option("output-stem", args->stem, "Output path without extension; the container's is added")->required();
  commands.push_back({sub, [args, &global] {
                        char extension[MPG_EXTENSION_SIZE] = {};
                        const std::string shown = args->stem + ".*";
                        const int exit = RunWithProgress(
                            "extract-audio", shown, global, [&](ProgressCallback cb, uintptr_t user) {
                              return MPG_ExtractAudio(args->input.c_str(), args->stem.c_str(), extension,
                                                      sizeof extension, cb, user);
                            });
                        if (exit == kExitOk || exit == kExitStopped) Print(stdout, "%s.%s\n", args->stem.c_str(), extension);
                        return exit;
                      }});
}

}  // namespace

void AddJobCommands(CLI::App &app, const GlobalOptions &global, Commands &commands) {
  AddMerge(app, global, commands);
  AddConcat(app, global, commands);
  AddTranscode(app, global, commands);
  AddMp3(app, global, commands);
  AddShiftAudio(app, global, commands);
  AddExtractAudio(app, global, commands);
}

}  // namespace mpgcli

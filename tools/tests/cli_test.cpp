// End-to-end tests of the mpg tool: each runs the built binary on fixtures made by
// the ffmpeg tool and judges what a user sees: the exit status, stdout and stderr,
// and the written files through ffprobe and a full decode.
//
// A job whose export is not built yet answers "Function not implemented"; its test
// is skipped until the export lands.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/media.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;
using mpgtest::Out;
using mpgtest::Probe;
using mpgtest::ProbeDuration;
using nlohmann::json;

struct ToolRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::vector<char *> Argv(std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return argv;
}

int ExitCodeOf(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  return 128 + WTERMSIG(waitStatus);
}

// Runs `mpg args...` with stdout and stderr captured to files (neither is a terminal).
ToolRun RunMpg(std::vector<std::string> args) {
  args.insert(args.begin(), MPG_TOOL_PATH);
  const std::string outPath = Out("stdout.txt");
  const std::string errPath = Out("stderr.txt");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char *> argv = Argv(args);
  pid_t pid = -1;
  ToolRun run;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    run.exitCode = ExitCodeOf(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  run.out = mpgtest::ReadBytes(outPath);
  run.err = mpgtest::ReadBytes(errPath);
  return run;
}

bool NotImplemented(const ToolRun &run) { return run.err.find("Function not implemented") != std::string::npos; }

#define SKIP_IF_NOT_IMPLEMENTED(run) \
  if (NotImplemented(run)) GTEST_SKIP() << "export not built yet: " << (run).err

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The "N%" lines of a run's stderr, in order.
std::vector<int> PercentLines(const std::string &err) {
  static const std::regex kPercent("^([0-9]+)%$");
  std::vector<int> values;
  for (const std::string &line : Lines(err)) {
    std::smatch m;
    if (std::regex_match(line, m, kPercent)) values.push_back(std::stoi(m[1]));
  }
  return values;
}

std::string Copy(const std::string &from, const std::string &name) {
  const std::string to = Out(name);
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  return to;
}

json StreamOfType(const json &probe, const std::string &type) {
  if (probe.contains("streams"))
    for (const json &s : probe["streams"])
      if (s.value("codec_type", "") == type) return s;
  return json::object();
}

// Inputs long enough for a Ctrl-C to land in the middle of a merge: AC-3 audio
// beside H.264 video makes the merge re-encode the audio.
const std::string kLongVideoRecipe =
    "-f lavfi -i testsrc2=size=160x120:rate=25:duration=60 -fflags +bitexact -flags:v +bitexact -threads 1 "
    "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p";
const std::string kLongAc3Recipe =
    "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=60 -ac 2 -fflags +bitexact -flags:a +bitexact "
    "-c:a ac3 -b:a 192k";

// Two 3-second MPEG-TS segments of one stream, as a segmented download leaves them.
std::vector<std::string> TsSegments() {
  const std::string whole = mpgtest::MakeFixture(
      "h264_aac_6s.ts", "-f lavfi -i testsrc2=size=320x240:rate=25:duration=6 "
                        "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=6 -ac 2 -fflags +bitexact "
                        "-flags:v +bitexact -flags:a +bitexact -threads 1 -c:v libx264 -preset ultrafast -g 25 "
                        "-pix_fmt yuv420p -c:a aac -b:a 96k -shortest");
  const std::string first = mpgtest::MakeFixture("seg0.ts", "-i " + mpgtest::Quote(whole) + " -t 3 -c copy");
  const std::string second = mpgtest::MakeFixture("seg1.ts", "-ss 3 -i " + mpgtest::Quote(whole) + " -c copy");
  return {first, second};
}

std::string FlvFixture() {
  return mpgtest::MakeFixture("h264_aac_5s.flv", "-f lavfi -i testsrc2=size=320x240:rate=25:duration=5 "
                                                 "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=5 -ac 2 "
                                                 "-fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1 "
                                                 "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac "
                                                 "-b:a 96k -shortest");
}

// ---- Command line ----------------------------------------------------------------

struct UsageCase {
  const char *name;
  std::vector<std::string> args;
  const char *errorMentions;
};

void PrintTo(const UsageCase &c, std::ostream *os) { *os << c.name; }

class CliUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(CliUsage, BadCommandLineExitsWith2AndSaysWhy) {
  const UsageCase &c = GetParam();
  std::vector<std::string> args;
  for (const std::string &a : c.args) args.push_back(a == "VIDEO" ? mpgtest::fx::H264Video10s() : a);
  const ToolRun run = RunMpg(args);
  EXPECT_EQ(run.exitCode, 2) << run.err;
  EXPECT_NE(run.err.find(c.errorMentions), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliUsage,
    ::testing::Values(
        UsageCase{"NoSubcommand", {}, "subcommand"},
        UsageCase{"UnknownSubcommand", {"frobnicate"}, "frobnicate"},
        UsageCase{"MergeWithoutOutput", {"merge", "a.mp4", "b.m4a"}, "output"},
        UsageCase{"ScaleOfZero", {"--scale", "0", "info", "VIDEO"}, "--scale"},
        UsageCase{"TranscodeToUnknownExtension", {"transcode", "VIDEO", "out.xyz"}, "--format"},
        UsageCase{"TranscodeUnknownAudioCodec", {"transcode", "VIDEO", "out.mp4", "--audio-codec", "flac"}, "flac"},
        UsageCase{"TranscodeThreeChannels", {"transcode", "VIDEO", "out.mp4", "--channels", "3"}, "--channels"},
        UsageCase{"TranscodeFpsWithFrameTime",
                  {"transcode", "VIDEO", "out.mp4", "--fps", "25", "--frame-time-num", "1", "--frame-time-den", "25"},
                  "excludes"},
        UsageCase{"ImageToUnknownExtension", {"image", "VIDEO", "out.png"}, "--format"},
        UsageCase{"ImagePpmAtSeconds", {"image", "VIDEO", "out.ppm", "--seconds", "2"}, "--position"},
        UsageCase{"ImageQualityAbove100", {"image", "VIDEO", "out.jpg", "--quality", "101"}, "--quality"},
        UsageCase{"TrimEndBeforeStart", {"trim", "VIDEO", "out.mp4", "--start", "5", "--end", "2"}, "--end"},
        UsageCase{"ShiftWithoutAmount", {"shift-audio", "VIDEO", "out.mp4"}, "--ms"}),
    [](const ::testing::TestParamInfo<UsageCase> &info) { return std::string(info.param.name); });

class CliHelp : public ::testing::TestWithParam<std::string> {};

TEST_P(CliHelp, SubcommandHelpExitsZeroWithUsage) {
  const ToolRun run = RunMpg({GetParam(), "--help"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.out.find("Usage: mpg " + GetParam()), std::string::npos) << run.out;
}

INSTANTIATE_TEST_SUITE_P(Subcommands, CliHelp,
                         ::testing::Values("merge", "concat", "transcode", "mp3", "info", "image", "crop", "trim",
                                           "shift-audio", "fix-flv", "container"),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                           std::string name = info.param;
                           for (char &c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

// ---- info and container ------------------------------------------------------------

TEST(CliInfo, JsonRecordAgreesWithFfprobe) {
  const std::string input = mpgtest::fx::H264Aac10s();
  const ToolRun run = RunMpg({"info", "--json", input});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const json info = json::parse(run.out, nullptr, false);
  ASSERT_FALSE(info.is_discarded()) << run.out;

  const json probe = Probe(input);
  const json video = StreamOfType(probe, "video");
  const json audio = StreamOfType(probe, "audio");
  EXPECT_EQ(info["duration"], 10);
  EXPECT_EQ(info["videoStreamCount"], 1);
  EXPECT_EQ(info["width"], video["width"]);
  EXPECT_EQ(info["height"], video["height"]);
  EXPECT_EQ(info["videoCodec"], "H264");
  EXPECT_NEAR(info["frameRate"].get<double>(), 25.0, 0.01);
  EXPECT_EQ(info["audioStreamCount"], 1);
  EXPECT_EQ(info["audioCodec"], "AAC");
  EXPECT_EQ(info["channels"], audio["channels"]);
  EXPECT_EQ(std::to_string(info["sampleRate"].get<int>()), audio["sample_rate"].get<std::string>());
  EXPECT_EQ(info["subtitleStreamCount"], 0);
  for (const char *key : {"containerBitRate", "videoBitRate", "videoStreamDuration", "videoSampleFormat",
                          "audioBitRate", "audioStreamDuration", "audioSampleFormat", "subtitleDuration",
                          "subtitleCodec"})
    EXPECT_TRUE(info.contains(key)) << key;
}

TEST(CliInfo, SummaryNamesCodecsAndSize) {
  const ToolRun run = RunMpg({"info", mpgtest::fx::H264Aac10s()});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("Duration:   10 s"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("H264, 320x240, 25 fps"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("AAC, 48000 Hz, 2 channels"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Subtitles:  none"), std::string::npos) << run.out;
}

TEST(CliInfo, UnreadableInputFailsWithReason) {
  ToolRun run = RunMpg({"info", Out("missing.mp4")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("no such file"), std::string::npos) << run.err;

  run = RunMpg({"info", mpgtest::fx::TextFile()});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("cannot read media information"), std::string::npos) << run.err;
  EXPECT_TRUE(run.out.empty()) << run.out;
}

struct ContainerCase {
  const char *name;
  std::string (*video)();
  std::string (*audio)();
  int mode;
  int kind;
  const char *extension;
};

void PrintTo(const ContainerCase &c, std::ostream *os) { *os << c.name; }

class CliContainer : public ::testing::TestWithParam<ContainerCase> {};

TEST_P(CliContainer, JsonNamesTheMergeChoice) {
  const ContainerCase &c = GetParam();
  const ToolRun run = RunMpg({"container", "--json", c.video(), c.audio()});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const json j = json::parse(run.out, nullptr, false);
  ASSERT_FALSE(j.is_discarded()) << run.out;
  EXPECT_EQ(j["mode"], c.mode);
  EXPECT_EQ(j["kind"], c.kind);
  EXPECT_EQ(j["extension"], c.extension);
  EXPECT_TRUE(j["altExtension"].is_string());
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliContainer,
    ::testing::Values(ContainerCase{"H264WithAac", mpgtest::fx::H264Video10s, mpgtest::fx::AacAudio10s, 0, 0, "mp4"},
                      ContainerCase{"Vp9WithOpus", mpgtest::fx::Vp9Video5s, mpgtest::fx::OpusAudio5s, 0, 3, "webm"},
                      ContainerCase{"Vp9WithAac", mpgtest::fx::Vp9Video5s, mpgtest::fx::AacAudio10s, 0, 1, "avi"},
                      ContainerCase{"H264WithAc3", mpgtest::fx::H264Video10s, mpgtest::fx::Ac3Audio5s, 1, 0, "mp4"}),
    [](const ::testing::TestParamInfo<ContainerCase> &info) { return std::string(info.param.name); });

TEST(CliContainer, AudioFileWithoutAudioFailsWithStatusText) {
  const ToolRun run = RunMpg({"container", mpgtest::fx::H264Video10s(), mpgtest::fx::H264Video10s()});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("Audio codec not found"), std::string::npos) << run.err;
  EXPECT_TRUE(run.out.empty()) << run.out;
}

// ---- merge and progress ------------------------------------------------------------

TEST(CliMerge, MergedFileHoldsVideoAndAudioAndProgressEndsAt100) {
  const std::string output = Out("merged.mp4");
  const ToolRun run = RunMpg({"merge", mpgtest::fx::H264Video10s(), mpgtest::fx::AacAudio10s(), output});
  SKIP_IF_NOT_IMPLEMENTED(run);
  ASSERT_EQ(run.exitCode, 0) << run.err;

  const json probe = Probe(output);
  EXPECT_EQ(StreamOfType(probe, "video").value("codec_name", ""), "h264");
  EXPECT_EQ(StreamOfType(probe, "audio").value("codec_name", ""), "aac");
  EXPECT_NEAR(ProbeDuration(output), 10.0, 0.2);
  std::string errors;
  EXPECT_TRUE(mpgtest::DecodesCleanly(output, &errors)) << errors;

  // Off a terminal, progress is one increasing "N%" line per step, ending at 100 %.
  const std::vector<int> percents = PercentLines(run.err);
  ASSERT_FALSE(percents.empty()) << run.err;
  EXPECT_EQ(percents.back(), 100);
  for (size_t i = 1; i < percents.size(); ++i) EXPECT_GT(percents[i], percents[i - 1]);
  EXPECT_EQ(run.err.find('\r'), std::string::npos) << "a bar was drawn off a terminal";
}

TEST(CliMerge, QuietAndScaleChangeOnlyTheDisplay) {
  const std::string video = mpgtest::fx::H264Video10s();
  const std::string audio = mpgtest::fx::AacAudio10s();
  ToolRun run = RunMpg({"--quiet", "merge", video, audio, Out("quiet.mp4")});
  SKIP_IF_NOT_IMPLEMENTED(run);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(PercentLines(run.err).empty()) << run.err;

  // A scale of 1000 makes the library report in tenths of a percent; the display
  // still counts to 100 %.
  run = RunMpg({"--scale", "1000", "merge", video, audio, Out("scaled.mp4")});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::vector<int> percents = PercentLines(run.err);
  ASSERT_FALSE(percents.empty()) << run.err;
  EXPECT_EQ(percents.back(), 100);
  EXPECT_LE(*std::max_element(percents.begin(), percents.end()), 100);
}

TEST(CliMerge, OutputNamingAnInputIsRefusedAndInputKept) {
  const std::string video = Copy(mpgtest::fx::H264Video10s(), "video.mp4");
  const std::string before = mpgtest::ReadBytes(video);
  const ToolRun run = RunMpg({"merge", video, mpgtest::fx::AacAudio10s(), video});
  SKIP_IF_NOT_IMPLEMENTED(run);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("same as an input"), std::string::npos) << run.err;
  EXPECT_EQ(mpgtest::ReadBytes(video), before);
}

TEST(CliMerge, MissingInputFailsWithStatusText) {
  const ToolRun run = RunMpg({"merge", Out("missing.mp4"), mpgtest::fx::AacAudio10s(), Out("out.mp4")});
  SKIP_IF_NOT_IMPLEMENTED(run);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("mpg merge: "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("(status "), std::string::npos) << run.err;
}

// Ctrl-C in the middle of a merge stops it through the callback: the tool exits 130
// and the output is a finished, readable file holding the first part.
TEST(CliMerge, SigintMidMergeLeavesFinishedShorterFile) {
  const std::string video = mpgtest::MakeFixture("h264_60s_160x120.mp4", kLongVideoRecipe);
  const std::string audio = mpgtest::MakeFixture("ac3_60s.ac3", kLongAc3Recipe);
  const std::string output = Out("stopped.mp4");

  int errPipe[2];
  ASSERT_EQ(pipe(errPipe), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, errPipe[0]);
  std::vector<std::string> args = {MPG_TOOL_PATH, "merge", video, audio, output};
  std::vector<char *> argv = Argv(args);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(errPipe[1]);

  // Read stderr until the first "N%" line, then press Ctrl-C.
  static const std::regex kPercent("^[0-9]+%$");
  std::string err, line;
  bool interrupted = false;
  char c;
  while (read(errPipe[0], &c, 1) == 1) {
    err += c;
    if (c != '\n') {
      line += c;
      continue;
    }
    if (!interrupted && std::regex_match(line, kPercent)) {
      kill(pid, SIGINT);
      interrupted = true;
    }
    line.clear();
  }
  close(errPipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  const int exitCode = ExitCodeOf(status);

  if (!interrupted && err.find("Function not implemented") != std::string::npos)
    GTEST_SKIP() << "export not built yet: " << err;
  ASSERT_TRUE(interrupted) << "no progress line before the end: " << err;
  EXPECT_EQ(exitCode, 130) << err;
  EXPECT_NE(err.find("stopped"), std::string::npos) << err;

  const json probe = Probe(output);
  EXPECT_EQ(StreamOfType(probe, "video").value("codec_name", ""), "h264") << err;
  EXPECT_EQ(StreamOfType(probe, "audio").value("codec_name", ""), "aac") << err;
  const double duration = ProbeDuration(output);
  EXPECT_GT(duration, 0.0);
  EXPECT_LT(duration, 59.0) << "the stop did not cut the merge short";
  std::string errors;
  EXPECT_TRUE(mpgtest::DecodesCleanly(output, &errors)) << errors;
}

// On a terminal the progress is one bar redrawn in place.
TEST(CliMerge, TerminalShowsBarRedrawnInPlace) {
  std::vector<std::string> args = {MPG_TOOL_PATH, "merge", mpgtest::fx::H264Video10s(), mpgtest::fx::AacAudio10s(),
                                   Out("bar.mp4")};
  std::vector<char *> argv = Argv(args);
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execv(argv[0], argv.data());
    _exit(127);
  }
  std::string text;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;  // EIO once the child has closed the terminal
    text.append(buf, static_cast<size_t>(n));
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  if (text.find("Function not implemented") != std::string::npos) GTEST_SKIP() << "export not built yet";
  EXPECT_EQ(ExitCodeOf(status), 0) << text;
  EXPECT_NE(text.find("\r["), std::string::npos) << text;
  EXPECT_NE(text.find("] 100.0%"), std::string::npos) << text;
  EXPECT_TRUE(PercentLines(text).empty()) << "plain lines on a terminal: " << text;
}

// ---- concat -------------------------------------------------------------------------

TEST(CliConcat, JoinsTsSegmentsAndDeletesThemWhenAsked) {
  const std::vector<std::string> segments = TsSegments();
  const std::string first = Copy(segments[0], "seg0.ts");
  const std::string second = Copy(segments[1], "seg1.ts");
  const std::string output = Out("joined.ts");
  const ToolRun run = RunMpg({"concat", "--delete-segments", "-o", output, first, second});
  SKIP_IF_NOT_IMPLEMENTED(run);
  ASSERT_EQ(run.exitCode, 0) << run.err;

  const json probe = Probe(output);
  EXPECT_EQ(probe["format"].value("format_name", ""), "mpegts");
  EXPECT_NEAR(ProbeDuration(output), 6.0, 0.3);
  std::string errors;
  EXPECT_TRUE(mpgtest::DecodesCleanly(output, &errors)) << errors;
  EXPECT_FALSE(fs::exists(first));
  EXPECT_FALSE(fs::exists(second));
  const std::vector<int> percents = PercentLines(run.err);
  ASSERT_FALSE(percents.empty()) << run.err;
  EXPECT_EQ(percents.back(), 100);
}

TEST(CliConcat, KeepsSegmentsByDefaultAndWritesMp4) {
  const std::vector<std::string> segments = TsSegments();
  const std::string first = Copy(segments[0], "seg0.ts");
  const std::string second = Copy(segments[1], "seg1.ts");
  const std::string output = Out("joined.mp4");
  const ToolRun run = RunMpg({"concat", "--rebase", "-o", output, first, second});
  SKIP_IF_NOT_IMPLEMENTED(run);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const json probe = Probe(output);
  EXPECT_NE(probe["format"].value("format_name", "").find("mp4"), std::string::npos);
  // The file keeps the first segment's start time; the streams hold both segments.
  EXPECT_NEAR(std::stod(StreamOfType(probe, "video").value("duration", "0")), 6.0, 0.3);
  EXPECT_TRUE(fs::exists(first));
  EXPECT_TRUE(fs::exists(second));
}

// ---- conversions ---------------------------------------------------------------------

TEST(CliMp3, ConvertsAudioWithinTheBitRateCap) {
  const std::string output = Out("tone.mp3");
  const ToolRun run = RunMpg({"mp3", "--bitrate", "64k", mpgtest::fx::AacAudio10s(), output});
  SKIP_IF_NOT_IMPLEMENTED(run);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const json audio = StreamOfType(Probe(output), "audio");
  EXPECT_EQ(audio.value("codec_name", ""), "mp3");
  ASSERT_TRUE(audio.contains("bit_rate"));
  EXPECT_LE(std::stoi(audio["bit_rate"].get<std::string>()), 64000);
  EXPECT_NEAR(ProbeDuration(output), 10.0, 0.3);
  EXPECT_FALSE(PercentLines(run.err).empty()) << run.err;
}

struct TranscodeCase {
  const char *name;
  const char *output;
  std::vector<std::string> options;
  const char *videoCodec;
  const char *audioCodec;
  int height;
};

void PrintTo(const TranscodeCase &c, std::ostream *os) { *os << c.name; }

class CliTranscode : public ::testing::TestWithParam<TranscodeCase> {};

TEST_P(CliTranscode, OutputHasTheAskedCodecsAndSize) {
  const TranscodeCase &c = GetParam();
  const std::string output = Out(c.output);
  std::vector<std::string> args = {"transcode", mpgtest::fx::H264Aac10s(), output};
  args.insert(args.end(), c.options.begin(), c.options.end());
  const ToolRun run = RunMpg(args);
  SKIP_IF_NOT_IMPLEMENTED(run);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const json probe = Probe(output);
  const json video = StreamOfType(probe, "video");
  EXPECT_EQ(video.value("codec_name", ""), c.videoCodec);
  EXPECT_EQ(video.value("height", 0), c.height);
  EXPECT_EQ(StreamOfType(probe, "audio").value("codec_name", ""), c.audioCodec);
  EXPECT_NEAR(ProbeDuration(output), 10.0, 0.5);
  std::string errors;
  EXPECT_TRUE(mpgtest::DecodesCleanly(output, &errors)) << errors;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliTranscode,
    ::testing::Values(
        TranscodeCase{"CopyIntoTs", "copy.ts", {}, "h264", "aac", 240},
        TranscodeCase{"XvidMp3Avi", "xvid.avi", {"--video-codec", "xvid", "--audio-codec", "mp3"}, "mpeg4", "mp3", 240},
        TranscodeCase{"H264HalfHeightMp4",
                      "small.mp4",
                      {"--video-codec", "h264", "--width", "160", "--height", "120", "--audio-bitrate", "64k"},
                      "h264",
                      "aac",
                      120},
        TranscodeCase{"FormatFlagOverridesExtension", "named.out", {"--format", "mp4"}, "h264", "aac", 240}),
    [](const ::testing::TestParamInfo<TranscodeCase> &info) { return std::string(info.param.name); });

// ---- still images ------------------------------------------------------------------

struct ImageCase {
  const char *name;
  const char *output;
  std::vector<std::string> options;
  const char *codec;  // as ffprobe names it
  int height;
};

void PrintTo(const ImageCase &c, std::ostream *os) { *os << c.name; }

class CliImage : public ::testing::TestWithParam<ImageCase> {};

TEST_P(CliImage, WritesAPictureOfTheAskedFormatAndHeight) {
  const ImageCase &c = GetParam();
  const std::string output = Out(c.output);
  std::vector<std::string> args = {"image", mpgtest::fx::H264Video10s(), output};
  args.insert(args.end(), c.options.begin(), c.options.end());
  const ToolRun run = RunMpg(args);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const json picture = StreamOfType(Probe(output), "video");
  EXPECT_EQ(picture.value("codec_name", ""), c.codec);
  EXPECT_EQ(picture.value("height", 0), c.height);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliImage,
    ::testing::Values(ImageCase{"PpmFirstPicture", "first.ppm", {}, "ppm", 240},
                      ImageCase{"BmpAtHalfWayScaled", "half.bmp", {"--position", "50", "--height", "120"}, "bmp", 120},
                      ImageCase{"JpegWithQuality", "q50.jpg", {"--quality", "50"}, "mjpeg", 240},
                      ImageCase{"FormatFlagOverridesExtension", "pic.img", {"--format", "jpeg"}, "mjpeg", 240},
                      ImageCase{"JpegAtSeconds", "at2.jpg", {"--seconds", "2", "--height", "60"}, "mjpeg", 60},
                      ImageCase{"BmpAtSecondsFromMemory", "at3.bmp", {"--seconds", "3"}, "bmp", 240}),
    [](const ::testing::TestParamInfo<ImageCase> &info) { return std::string(info.param.name); });

TEST(CliImageFailure, NonMediaInputFailsAndSaysSo) {
  const ToolRun run = RunMpg({"image", mpgtest::fx::TextFile(), Out("none.jpg")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("no picture"), std::string::npos) << run.err;

  const ToolRun missing = RunMpg({"image", Out("missing.mp4"), Out("none.jpg")});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("no such file"), std::string::npos) << missing.err;
}

// ---- edits -------------------------------------------------------------------------

TEST(CliEdit, CropKeepsAudioAndVideoInTheSameContainer) {
  const std::string output = Out("cropped.mp4");
  const ToolRun run = RunMpg({"crop", mpgtest::fx::H264Aac10s(), output});
  SKIP_IF_NOT_IMPLEMENTED(run);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const json probe = Probe(output);
  EXPECT_EQ(StreamOfType(probe, "video").value("codec_name", ""), "h264");
  EXPECT_EQ(StreamOfType(probe, "audio").value("codec_name", ""), "aac");
  std::string errors;
  EXPECT_TRUE(mpgtest::DecodesCleanly(output, &errors)) << errors;
}

TEST(CliEdit, TrimKeepsTheAskedRangeOfVideo) {
  const std::string output = Out("trimmed.mp4");
  const ToolRun run = RunMpg({"trim", "--start", "2", "--end", "5", mpgtest::fx::H264Aac10s(), output});
  SKIP_IF_NOT_IMPLEMENTED(run);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const json probe = Probe(output);
  ASSERT_FALSE(StreamOfType(probe, "video").empty()) << run.err;
  const json packets = mpgtest::ProbePackets(output, "v:0");
  // 3 s of 25 fps video, give or take the frames around the cut points.
  EXPECT_NEAR(static_cast<double>(packets.size()), 75.0, 8.0);
}

TEST(CliEdit, ShiftAudioDelaysTheAudioStream) {
  const std::string output = Out("shifted.mp4");
  const ToolRun run = RunMpg({"shift-audio", "--ms", "500", mpgtest::fx::H264Aac10s(), output});
  SKIP_IF_NOT_IMPLEMENTED(run);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const json probe = Probe(output);
  const json audio = StreamOfType(probe, "audio");
  const json video = StreamOfType(probe, "video");
  ASSERT_TRUE(audio.contains("start_time") && video.contains("start_time")) << probe.dump();
  const double delay = std::stod(audio["start_time"].get<std::string>()) - std::stod(video["start_time"].get<std::string>());
  EXPECT_NEAR(delay, 0.5, 0.05);
  EXPECT_FALSE(PercentLines(run.err).empty()) << run.err;
}

TEST(CliEdit, ShiftAudioTakesANegativeAmount) {
  const ToolRun run = RunMpg({"shift-audio", mpgtest::fx::H264Aac10s(), Out("early.mp4"), "--ms", "-200"});
  SKIP_IF_NOT_IMPLEMENTED(run);
  EXPECT_EQ(run.exitCode, 0) << run.err;
}

TEST(CliEdit, FixFlvLeavesAReadableFlv) {
  const std::string flv = Copy(FlvFixture(), "repair.flv");
  const ToolRun run = RunMpg({"fix-flv", flv});
  SKIP_IF_NOT_IMPLEMENTED(run);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(Probe(flv)["format"].value("format_name", ""), "flv");
  EXPECT_NEAR(ProbeDuration(flv), 5.0, 0.3);
  std::string errors;
  EXPECT_TRUE(mpgtest::DecodesCleanly(flv, &errors)) << errors;
}

TEST(CliEdit, FailedEditReportsStatusText) {
  const ToolRun run = RunMpg({"crop", Out("missing.mp4"), Out("out.mp4")});
  SKIP_IF_NOT_IMPLEMENTED(run);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("mpg crop: "), std::string::npos) << run.err;
}

}  // namespace

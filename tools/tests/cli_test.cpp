// The mpg tool, run end to end: what it adds to the library (command line, exit codes, messages,
// progress display, Ctrl-C, JSON). Written files get a quick look; the library's tests judge them.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/media.h"

namespace {

namespace fs = std::filesystem;
using mpgtest::Out;
using nlohmann::json;

struct ToolRun { int exitCode = -1; std::string out, err; };

enum class Mode { kFiles, kTerminal, kTerminalThenSigint };

// Runs `mpg args...` with stdout and stderr in files, or on a terminal (then err holds all it
// showed); kTerminalThenSigint sends SIGINT once the first progress bar is drawn.
ToolRun RunMpg(std::vector<std::string> args, Mode mode = Mode::kFiles) {
  args.insert(args.begin(), MPG_TOOL_PATH);
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string outPath = Out("stdout.txt"), errPath = Out("stderr.txt");
  int master = -1;
  const pid_t pid = mode == Mode::kFiles ? fork() : forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    if (mode == Mode::kFiles) {
      dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
      dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  ToolRun run;
  char buf[4096];
  for (ssize_t n; pid > 0 && master >= 0 && (n = read(master, buf, sizeof buf)) > 0;) {  // EIO once it is gone
    run.err.append(buf, static_cast<size_t>(n));
    if (mode == Mode::kTerminalThenSigint && run.err.find("\r[") != std::string::npos && kill(pid, SIGINT) == 0)
      mode = Mode::kTerminal;
  }
  if (master >= 0) close(master);
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid)
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (mode == Mode::kFiles) run.out = mpgtest::ReadBytes(outPath), run.err = mpgtest::ReadBytes(errPath);
  return run;
}

// The "N%" lines of a run's stderr, in order.
std::vector<int> PercentLines(const std::string &err) {
  std::vector<int> values;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);)
    if (std::regex_match(line, std::regex("[0-9]+%"))) values.push_back(std::stoi(line));
  return values;
}

// Placeholders: fixtures, copies a job may change or delete (2 s TS segments, FLV), outputs.
std::string Expand(const std::string &a) {
  const std::string av = mpgtest::fx::H264Aac10s();
  auto copy = [&](const std::string &name, const std::string &args) {
    fs::copy_file(mpgtest::MakeFixture(name, "-i " + mpgtest::Quote(av) + args), Out(name),
                  fs::copy_options::overwrite_existing);
    return Out(name);
  };
  if (a == "V") return mpgtest::fx::H264Video10s();
  if (a == "A") return mpgtest::fx::AacAudio10s();
  if (a == "AV") return av;
  if (a == "TEXT") return mpgtest::fx::TextFile();
  if (a == "S0") return copy("seg0.ts", " -t 2 -c copy");
  if (a == "S1") return copy("seg1.ts", " -ss 2 -t 2 -c copy");
  if (a == "FLV") return copy("repair.flv", " -t 3 -c copy");
  if (a[0] == '@') return Out(a.substr(1));
  return a;
}

// One run: exit code, words shown, and for a job its file (last "@name" or "FLV") and progress.
struct Row {
  const char *name;
  std::vector<std::string> args;
  int exitCode;
  const char *shows;              // in stdout or stderr
  const char *formatName = "";    // part of ffprobe's format_name; empty: no file to look at
  double duration = 0;            // seconds, 0 for no check
  int height = 0;                 // of the video stream, 0 for no check
  bool progress = false;          // "N%" lines rising to 100 off a terminal, or none at all
  bool deletesSegments = false;   // for concat: the segments are gone afterwards
};


class CliRun : public ::testing::TestWithParam<Row> {};

TEST_P(CliRun, ExitCodeMessageOutputAndProgress) {
  const Row &r = GetParam();
  std::vector<std::string> args;
  std::string output;
  for (const std::string &a : r.args) {
    args.push_back(Expand(a));
    if (a[0] == '@' || a == "FLV") output = args.back();
  }
  const ToolRun run = RunMpg(args);
  EXPECT_EQ(run.exitCode, r.exitCode) << run.err;
  EXPECT_NE((run.out + run.err).find(r.shows), std::string::npos) << run.out << run.err;
  const std::vector<int> percents = PercentLines(run.err);
  EXPECT_EQ(!percents.empty(), r.progress) << run.err;
  EXPECT_TRUE(std::adjacent_find(percents.begin(), percents.end(), [](int a, int b) { return a >= b; }) ==
              percents.end() && (percents.empty() || percents.back() == 100)) << "not rising to 100: " << run.err;
  EXPECT_EQ(run.err.find('\r'), std::string::npos) << "a bar was drawn off a terminal";
  for (const char *segment : {"seg0.ts", "seg1.ts"})
    EXPECT_TRUE(!std::string(r.name).starts_with("Concat") || fs::exists(Out(segment)) != r.deletesSegments) << segment;
  if (!*r.formatName) return;
  const json probe = mpgtest::Probe(output);
  ASSERT_TRUE(probe.contains("format")) << output << " is not media";
  EXPECT_NE(probe["format"].value("format_name", "").find(r.formatName), std::string::npos) << probe.dump();
  EXPECT_NEAR(r.duration > 0 ? std::stod(probe["format"].value("duration", "0")) : 0, r.duration, 0.3);
  int height = 0;  // of the video stream
  for (const json &stream : probe["streams"]) height = std::max(height, stream.value("height", 0));
  EXPECT_EQ(r.height > 0 ? height : 0, r.height);
}

INSTANTIATE_TEST_SUITE_P(
    Cli, CliRun,
    ::testing::Values(
        // The command line: bad ones exit 2 and say what is wrong; help exits 0.
        Row{"NoSubcommand", {}, 2, "subcommand"},
        Row{"UnknownSubcommand", {"frobnicate"}, 2, "unknown subcommand 'frobnicate'"},
        Row{"UnknownOption", {"merge", "--frob", "V", "A", "@x.mp4"}, 2, "--frob"},
        Row{"ScaleOfZero", {"--scale", "0", "info", "V"}, 2, "--scale"},
        Row{"UnknownExtension", {"transcode", "V", "@x.xyz"}, 2, "--format"},
        Row{"PpmAtSeconds", {"image", "V", "@x.ppm", "--seconds", "2"}, 2, "--position"},
        Row{"QualityAbove100", {"image", "V", "@x.jpg", "--quality", "101"}, 2, "--quality"},
        Row{"TrimEndBeforeStart", {"trim", "V", "@x.mp4", "--start", "5", "--end", "2"}, 2, "--end"},
        Row{"Help", {"merge", "--help"}, 0, "Usage: mpg merge"},
        // Failures the library or the tool finds exit 1 and say why.
        Row{"InfoOfMissingFile", {"info", "@missing.mp4"}, 1, "no such file"},
        Row{"EmptyOutputName", {"mp3", "A", ""}, 1, "bad parameter (status -1073741818)"},
        Row{"InfoOfText", {"info", "TEXT"}, 1, "cannot read media information"},
        Row{"MergeOfMissingFile", {"merge", "@missing.mp4", "A", "@x.mp4"}, 1, "mpg merge: "},
        Row{"ImageOfText", {"image", "TEXT", "@x.jpg"}, 1, "no picture"},
        // One run of each job.
        Row{"Merge", {"merge", "V", "A", "@m.mp4"}, 0, "100%", "mp4", 10, 240, true},
        Row{"MergeQuiet", {"-q", "merge", "V", "A", "@m.mp4"}, 0, "", "mp4", 10, 240},
        Row{"MergeScale1000", {"--scale", "1000", "merge", "V", "A", "@m.mp4"}, 0, "", "mp4", 10, 240, true},
        Row{"ConcatTs", {"concat", "--delete-segments", "-o", "@j.ts", "S0", "S1"}, 0, "", "mpegts", 4, 240, true,
            true},
        Row{"ConcatMp4", {"concat", "--rebase", "-o", "@j.mp4", "S0", "S1"}, 0, "", "mp4", 4, 240, true},
        Row{"TranscodeNamedFormat", {"transcode", "AV", "@t.out", "--format", "avi", "--video-codec", "xvid",
            "--width", "160", "--height", "120"}, 0, "", "avi", 10, 120, true},
        Row{"Mp3", {"mp3", "--bitrate", "64k", "A", "@a.mp3"}, 0, "", "mp3", 10, 0, true},
        Row{"ShiftAudio", {"shift-audio", "AV", "@s.mp4", "--ms", "-200"}, 0, "", "mp4", 10, 0, true},
        Row{"Crop", {"crop", "AV", "@c.mp4"}, 0, "", "mp4", 10, 240},
        Row{"Trim", {"trim", "--start", "2", "--end", "5", "AV", "@tr.mp4"}, 0, "", "mp4", 3, 240},
        Row{"FixFlv", {"fix-flv", "FLV"}, 0, "", "flv", 3, 240},
        Row{"Info", {"info", "AV"}, 0, "H264, 320x240, 25 fps"},
        Row{"ImageAt", {"image", "V", "@p.img", "-f", "bmp", "-p", "50", "--height", "120"}, 0, "", "bmp", 0, 120},
        Row{"JpegAtSeconds", {"image", "V", "@s.jpg", "--seconds", "2", "--height", "60"}, 0, "", "jpeg", 0, 60},
        Row{"BmpAtSeconds", {"image", "V", "@s.bmp", "--seconds", "3"}, 0, "", "bmp", 0, 240}),
    [](const ::testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

// Ctrl-C in the middle of a merge (AC-3 audio: re-encoded, long enough to stop) stops it through
// the callback: exit 130 and a finished, readable file holding the first part.
TEST(CliRunMore, SigintOnTerminalStopsMergeAndLeavesFinishedFile) {  // the bar redrawn in place, no lines
  const int pty = posix_openpt(O_RDWR | O_NOCTTY);
  if (pty < 0) GTEST_SKIP() << "no pseudo-terminal can be opened here (no /dev/pts?): the terminal run is skipped";
  close(pty);
  const std::string video = mpgtest::MakeFixture("h264_60s.mp4", "-f lavfi -i testsrc2=size=160x120:duration=60 "
                                                                 "-c:v libx264 -preset ultrafast -pix_fmt yuv420p");
  const std::string audio = mpgtest::MakeFixture("ac3_60s.ac3", "-f lavfi -i sine=duration=60 -ac 2 -c:a ac3");
  const std::string output = Out("stopped.mp4");
  const ToolRun run = RunMpg({"merge", video, audio, output}, Mode::kTerminalThenSigint);
  EXPECT_EQ(run.exitCode, 130) << run.err;
  EXPECT_NE(run.err.find("stopped; '" + output + "' is finished"), std::string::npos) << run.err;
  EXPECT_TRUE(std::regex_search(run.err, std::regex("\r\\[[#-]{40}\\] +[0-9]+\\.[0-9]%"))) << run.err;
  EXPECT_TRUE(PercentLines(run.err).empty()) << run.err;
  const double duration = mpgtest::ProbeDuration(output);
  EXPECT_TRUE(duration > 0 && duration < 59) << duration << " s: the stop did not cut the merge short";
  EXPECT_TRUE(mpgtest::DecodesCleanly(output)) << "the stopped merge's file does not decode cleanly";
}

TEST(CliRunMore, JsonOfInfoAndContainer) {
  ToolRun run = RunMpg({"info", "--json", Expand("AV")});
  json j = json::parse(run.out, nullptr, false);
  ASSERT_TRUE(run.exitCode == 0 && j.is_object()) << run.err << run.out;
  EXPECT_EQ(j.size(), 21u) << "a field of the record is missing";
  const json expected = {{"duration", 10}, {"videoStreamCount", 1}, {"width", 320}, {"height", 240},
                         {"videoCodec", "H264"}, {"audioStreamCount", 1}, {"channels", 2}, {"sampleRate", 48000},
                         {"frameRate", 25.0}, {"audioCodec", "AAC"}, {"subtitleStreamCount", 0}};
  for (const auto &[key, value] : expected.items()) EXPECT_EQ(j[key], value) << key;
  // AC-3 beside H.264: MP4 with the audio re-encoded.
  run = RunMpg({"container", "--json", Expand("V"), mpgtest::fx::Ac3Audio5s()});
  j = json::parse(run.out, nullptr, false);
  EXPECT_TRUE(j.is_object() && j.value("mode", -1) == 1 && j.value("kind", -1) == 0 &&
              j.value("container", "") == "MP4" && j.value("extension", "") == "mp4" && j["altExtension"].is_string())
      << run.err << run.out;
}

}  // namespace

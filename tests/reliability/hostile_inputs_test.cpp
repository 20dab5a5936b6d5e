// Every export on inputs a download manager may hand over: no path, a missing path,
// a directory, an empty file, a text file, truncated media and media with damaged
// bytes. Each call runs in a child process under a time limit, so a crash or a hang
// shows as a failed test rather than taking the suite down. A call must fail with
// the code its export's column names or give a sane result; it never changes its
// inputs; a failure before the output is opened leaves a file the user had there
// untouched, and a later failure leaves no file behind. An output path that names
// the input (directly or through a link) is refused and the input kept.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/media.h"

extern "C" {
#include <libavutil/error.h>
}

using namespace mpgtest;
namespace fs = std::filesystem;

namespace {

constexpr auto kTimeLimit = std::chrono::seconds(60);

// ---- Running a call in a child process -------------------------------------------

// What a call gave: whether the export reported success, its raw status, and a
// description of anything insane in what it returned (empty when all is sane).
struct CallResult {
  bool succeeded = false;
  int64_t code = 0;
  std::string insane;
};

enum class Ending { Returned, Crashed, TimedOut };

struct ChildOutcome {
  Ending ending = Ending::Returned;
  int signal = 0;
  CallResult result;
  std::string log;  // the child's stderr
};

// Child exit codes: the call's outcome, encoded.
constexpr int kExitSucceeded = 0;
constexpr int kExitFailed = 1;
constexpr int kExitInsane = 2;

template <class F>
ChildOutcome RunInChild(const std::string &logPath, F &&call) {
  int fds[2];
  if (pipe(fds) != 0) {
    ADD_FAILURE() << "pipe failed";
    return {};
  }
  const pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    return {};
  }
  if (pid == 0) {
    close(fds[0]);
    if (FILE *log = std::fopen(logPath.c_str(), "wb")) dup2(fileno(log), STDERR_FILENO);
    const CallResult r = call();
    // Small enough for one atomic pipe write: code, then the insane note.
    std::string message(reinterpret_cast<const char *>(&r.code), sizeof r.code);
    message += r.insane.substr(0, 400);
    if (write(fds[1], message.data(), message.size()) < 0) _exit(3);
    _exit(!r.insane.empty() ? kExitInsane : r.succeeded ? kExitSucceeded : kExitFailed);
  }
  close(fds[1]);
  ChildOutcome outcome;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + kTimeLimit;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      outcome.ending = Ending::TimedOut;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  char buffer[512];
  const ssize_t got = read(fds[0], buffer, sizeof buffer);
  close(fds[0]);
  if (got >= static_cast<ssize_t>(sizeof(int64_t))) {
    std::memcpy(&outcome.result.code, buffer, sizeof(int64_t));
    outcome.result.insane.assign(buffer + sizeof(int64_t), got - sizeof(int64_t));
  }
  if (outcome.ending != Ending::TimedOut) {
    if (WIFSIGNALED(status)) {
      outcome.ending = Ending::Crashed;
      outcome.signal = WTERMSIG(status);
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) > kExitInsane) {
      outcome.ending = Ending::Crashed;
    } else {
      outcome.result.succeeded = WEXITSTATUS(status) == kExitSucceeded;
      if (WEXITSTATUS(status) != kExitInsane) outcome.result.insane.clear();
    }
  }
  outcome.log = ReadBytes(logPath);
  if (outcome.log.size() > 2000) outcome.log = "..." + outcome.log.substr(outcome.log.size() - 2000);
  return outcome;
}

void ExpectReturned(const ChildOutcome &o) {
  EXPECT_NE(o.ending, Ending::TimedOut) << "the call did not return within the time limit\n" << o.log;
  EXPECT_NE(o.ending, Ending::Crashed) << "the call crashed (signal " << o.signal << ")\n" << o.log;
  EXPECT_EQ(o.result.insane, "") << "the call returned an insane result";
}

// ---- Sanity of returned records ----------------------------------------------------

bool Terminated(const char *text, size_t size) { return std::memchr(text, '\0', size) != nullptr; }

std::string MediaInfoProblems(const MpgMediaInfo &i) {
  std::string p;
  if (i.duration < 0) p += "negative duration; ";
  if (i.containerBitRate < 0 || i.videoBitRate < 0 || i.audioBitRate < 0) p += "negative bit rate; ";
  if (i.videoStreamCount < 0 || i.audioStreamCount < 0 || i.subtitleStreamCount < 0) p += "negative count; ";
  if (i.width < 0 || i.height < 0) p += "negative picture size; ";
  if (i.channels < 0 || i.sampleRate < 0) p += "negative audio layout; ";
  if (!(i.frameRate >= 0)) p += "frame rate negative or NaN; ";
  if (!Terminated(i.videoCodec, 64) || !Terminated(i.videoSampleFormat, 64) || !Terminated(i.audioCodec, 64) ||
      !Terminated(i.audioSampleFormat, 64) || !Terminated(i.subtitleCodec, 64))
    p += "unterminated text field; ";
  return p;
}

// ---- Exports that take paths --------------------------------------------------------

struct Paths {
  std::string in;       // the hostile input
  std::string out;      // where an output goes
  std::string partner;  // a sound file, for exports that take two inputs
};

enum class Output {
  None,     // writes no file
  Deleted,  // writes a file, removed when the call fails after opening it
  InPlace,  // rewrites its input
};

// What an export answers for an input that holds no media (a missing file, a
// directory, an empty or a text file): one policy across the exports.
enum class NoMedia {
  OpenError,   // the FFmpeg error of opening it: ENOENT, EISDIR, INVALIDDATA
  NoAudio,     // MPG_AUDIO_CODEC_NOT_FOUND: a merge choice, which reads the audio first
  NoVideo,     // MPG_VIDEO_CODEC_NOT_FOUND: a merge of this video with good audio
  NoSegment,   // MPG_VIDEO_STREAM_NOT_FOUND: a join whose first segment gives no stream
  Failure,     // a flag, a number or a pointer: 0 or NULL
};

CallResult Status(int32_t code) { return {code == 0, code, ""}; }
CallResult Flag(uint8_t ok) { return {ok != 0, ok, ""}; }

struct PathExport {
  const char *name;
  Output output;
  NoMedia noMedia;
  const char *outExtension;  // nullptr: the input's own extension
  CallResult (*call)(const Paths &);
};

const PathExport kPathExports[] = {
    {"IsThisGoodFile", Output::None, NoMedia::Failure, nullptr, [](const Paths &p) { return Flag(MPG_IsThisGoodFile(p.in.c_str())); }},
    {"GetMediaInfo", Output::None, NoMedia::Failure, nullptr,
     [](const Paths &p) {
       MpgMediaInfo info;
       std::memset(&info, 0x5A, sizeof info);
       CallResult r = Flag(MPG_GetMediaInfo(p.in.c_str(), &info));
       if (r.succeeded) r.insane = MediaInfoProblems(info);
       return r;
     }},
    {"GetAudioDuration", Output::None, NoMedia::Failure, nullptr,
     [](const Paths &p) {
       const uint32_t seconds = MPG_GetAudioDuration(p.in.c_str());
       return CallResult{seconds != 0, seconds, ""};
     }},
    {"MergeOP", Output::None, NoMedia::NoAudio, nullptr,
     [](const Paths &p) {
       MergeOpResult r{};
       CallResult c = Status(MPG_MergeOP(p.in.c_str(), p.in.c_str(), &r));
       if (c.succeeded && (r.mode > 1 || (r.kind != 0 && r.kind != 1 && r.kind != 2)))
         c.insane = "mode " + std::to_string(r.mode) + " kind " + std::to_string(r.kind);
       return c;
     }},
    {"MergeOP2", Output::None, NoMedia::NoAudio, nullptr,
     [](const Paths &p) {
       MergeOp2Result r;
       std::memset(&r, 'x', sizeof r);
       CallResult c = Status(MPG_MergeOP2(p.in.c_str(), p.in.c_str(), &r));
       if (c.succeeded && (r.mode > 1 || (r.kind != 0 && r.kind != 1 && r.kind != 3) ||
                           !Terminated(r.extension, 32) || !Terminated(r.altExtension, 32)))
         c.insane = "mode " + std::to_string(r.mode) + " kind " + std::to_string(r.kind) + " or unterminated text";
       return c;
     }},
    {"GetDefExtension", Output::None, NoMedia::Failure, nullptr,
     [](const Paths &p) {
       char buffer[16];
       std::memset(buffer, 'x', sizeof buffer);
       MPG_GetDefExtension(p.in.c_str(), buffer, sizeof buffer);
       CallResult c{buffer[0] != '\0', 0, ""};
       if (!Terminated(buffer, sizeof buffer)) c.insane = "extension not terminated within the buffer";
       return c;
     }},
    {"MergeAV", Output::Deleted, NoMedia::NoVideo, "mp4",
     [](const Paths &p) { return Status(MPG_MergeAV(p.in.c_str(), p.partner.c_str(), p.out.c_str(), nullptr, 0)); }},
    {"Merge", Output::Deleted, NoMedia::NoSegment, "mp4",
     [](const Paths &p) {
       const char *segments[] = {p.in.c_str(), p.in.c_str(), nullptr};
       return Status(MPG_Merge(segments, p.out.c_str(), 0, 1, nullptr, 0));
     }},
    {"Transcode", Output::Deleted, NoMedia::OpenError, "mp4",
     [](const Paths &p) {
       const Str::string in(p.in.c_str()), out(p.out.c_str());
       TranscodeParams params{};
       params.outputFormat = 4;  // mp4
       return Status(MPG_Transcode(&in, &out, &params, nullptr, 0));
     }},
    {"MP3Convert", Output::Deleted, NoMedia::OpenError, "mp3",
     [](const Paths &p) { return Status(MP3_Convert(p.in.c_str(), p.out.c_str(), 64000, nullptr, 0)); }},
    {"ShiftAudio", Output::Deleted, NoMedia::OpenError, nullptr,
     [](const Paths &p) { return Status(MPG_ShiftAudio(p.in.c_str(), p.out.c_str(), 500, nullptr, 0)); }},
    {"Crop", Output::Deleted, NoMedia::OpenError, nullptr, [](const Paths &p) { return Status(MPG_Crop(p.in.c_str(), p.out.c_str())); }},
    {"SaveTrimmedVideo", Output::Deleted, NoMedia::OpenError, nullptr,
     [](const Paths &p) { return Status(MPG_SaveTrimmedVideo(p.in.c_str(), p.out.c_str(), 1, 2)); }},
    {"FLVFixDuration", Output::InPlace, NoMedia::OpenError, nullptr, [](const Paths &p) { return Status(FLV_FixDuration(p.in.c_str())); }},
    {"GetImage", Output::Deleted, NoMedia::Failure, "jpg",
     [](const Paths &p) { return Flag(MPG_GetImage(MPG_IMAGE_JPEG, p.in.c_str(), p.out.c_str(), 120, 80)); }},
    {"GetImageP", Output::Deleted, NoMedia::Failure, "bmp",
     [](const Paths &p) { return Flag(MPG_GetImageP(MPG_IMAGE_BMP, p.in.c_str(), p.out.c_str(), 50, 120, 80)); }},
    {"GetImageBMP", Output::None, NoMedia::Failure, nullptr,
     [](const Paths &p) {
       uint32_t size = 0xDEADBEEF;
       uint8_t *image = MPG_GetImageBMP(p.in.c_str(), 1, &size, 120);
       CallResult c{image != nullptr, 0, ""};
       if (image && (size < 54 || image[0] != 'B' || image[1] != 'M'))
         c.insane = "not a BMP file image of " + std::to_string(size) + " bytes";
       std::free(image);
       return c;
     }},
    {"GetImageJPG", Output::Deleted, NoMedia::Failure, "jpg",
     [](const Paths &p) { return Flag(MPG_GetImageJPG(p.in.c_str(), p.out.c_str(), 1, 120)); }},
};

// ---- Hostile inputs --------------------------------------------------------------------

enum class Source { None, H264Aac, Mp3, Flv };
enum class Damage { EmptyPath, Missing, Directory, EmptyFile, Text, Cut10, Cut50, Cut90, Flipped };

struct HostileInput {
  Damage damage;
  Source source;
};

std::string FlvFixture() {
  return MakeFixture("flv1_mp3_3s.flv",
                     "-f lavfi -i testsrc2=size=160x120:rate=25:duration=3 -f lavfi -i sine=duration=3 "
                     "-c:v flv1 -c:a libmp3lame -ar 22050 -fflags +bitexact -flags:v +bitexact -flags:a +bitexact");
}

std::string SourcePath(Source s) {
  switch (s) {
    case Source::H264Aac: return fx::H264Aac10s();
    case Source::Mp3: return fx::Mp3Audio5s();
    case Source::Flv: return FlvFixture();
    case Source::None: break;
  }
  return "";
}

std::string SourceName(Source s) {
  switch (s) {
    case Source::H264Aac: return "H264Aac";
    case Source::Mp3: return "Mp3";
    case Source::Flv: return "Flv";
    case Source::None: break;
  }
  return "";
}

std::string DamageName(Damage d) {
  switch (d) {
    case Damage::EmptyPath: return "EmptyPath";
    case Damage::Missing: return "MissingFile";
    case Damage::Directory: return "Directory";
    case Damage::EmptyFile: return "EmptyFile";
    case Damage::Text: return "TextFile";
    case Damage::Cut10: return "CutAt10Percent";
    case Damage::Cut50: return "CutAt50Percent";
    case Damage::Cut90: return "CutAt90Percent";
    case Damage::Flipped: return "FlippedBytes";
  }
  return "";
}

std::vector<HostileInput> AllInputs() {
  std::vector<HostileInput> all = {{Damage::EmptyPath, Source::None},
                                   {Damage::Missing, Source::None},
                                   {Damage::Directory, Source::None},
                                   {Damage::EmptyFile, Source::None},
                                   {Damage::Text, Source::None}};
  for (Source s : {Source::H264Aac, Source::Mp3, Source::Flv})
    for (Damage d : {Damage::Cut10, Damage::Cut50, Damage::Cut90, Damage::Flipped}) all.push_back({d, s});
  return all;
}

bool HoldsNoMedia(Damage d) { return d <= Damage::Text; }

// The status an export of the OpenError kind returns for an input without media.
int32_t OpenErrorOf(Damage d) {
  switch (d) {
    case Damage::EmptyPath: return MPG_BAD_PARAMETER;
    case Damage::Missing: return AVERROR(ENOENT);
    case Damage::Directory: return AVERROR(EISDIR);
    default: return AVERROR_INVALIDDATA;
  }
}

// The file a user already had at the output path: a call that fails before it
// opens its output must leave it as it was.
constexpr const char *kUsersFile = "the user's own file";

// One byte in 1000 of the middle half replaced by a random one, from a fixed seed:
// the middle holds media data, so the container still opens and the demuxers and
// decoders meet the damage; plus a few bytes anywhere, headers included.
std::string FlipBytes(std::string bytes) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  for (size_t i = bytes.size() / 4; i < bytes.size() * 3 / 4; ++i)
    if (random() % 1000 == 0) bytes[i] = static_cast<char>(byte(random));
  for (int n = 0; n < 3 && !bytes.empty(); ++n) bytes[random() % bytes.size()] ^= static_cast<char>(1 + random() % 255);
  return bytes;
}

// Makes the hostile input in dir; returns its path ("" for the empty path).
std::string MakeInput(const HostileInput &h, const fs::path &dir) {
  const std::string source = SourcePath(h.source);
  const std::string ext = source.empty() ? ".mp4" : fs::path(source).extension().string();
  const std::string path = (dir / ("input" + ext)).string();
  switch (h.damage) {
    case Damage::EmptyPath: return "";
    case Damage::Missing: return path;
    case Damage::Directory: fs::create_directories(path); return path;
    case Damage::EmptyFile: WriteBytes(path, ""); return path;
    case Damage::Text: WriteBytes(path, ReadBytes(fx::TextFile())); return path;
    case Damage::Cut10:
    case Damage::Cut50:
    case Damage::Cut90: {
      const std::string bytes = ReadBytes(source);
      const size_t percent = h.damage == Damage::Cut10 ? 10 : h.damage == Damage::Cut50 ? 50 : 90;
      WriteBytes(path, bytes.substr(0, bytes.size() * percent / 100));
      return path;
    }
    case Damage::Flipped: WriteBytes(path, FlipBytes(ReadBytes(source))); return path;
  }
  return path;
}

// Every regular file under dir with its bytes.
std::map<std::string, std::string> Snapshot(const fs::path &dir) {
  std::map<std::string, std::string> files;
  for (const auto &e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) files[e.path().string()] = ReadBytes(e.path().string());
  return files;
}

std::set<std::string> Entries(const fs::path &dir) {
  std::set<std::string> names;
  for (const auto &e : fs::recursive_directory_iterator(dir)) names.insert(e.path().string());
  return names;
}

class HostileInputs : public ::testing::TestWithParam<std::tuple<size_t, HostileInput>> {};

TEST_P(HostileInputs, NeverCrashesHangsLeavesFilesOrChangesInputs) {
  const PathExport &ex = kPathExports[std::get<0>(GetParam())];
  const HostileInput h = std::get<1>(GetParam());
  const fs::path work = fs::path(OutputDir()) / "work";
  fs::create_directories(work);

  Paths paths;
  paths.partner = (work / "partner.mp3").string();
  WriteBytes(paths.partner, ReadBytes(fx::Mp3Audio5s()));
  paths.in = MakeInput(h, work);
  const std::string inExt = fs::path(SourcePath(h.source)).extension().string();
  paths.out = (work / ("output." + (ex.outExtension ? std::string(ex.outExtension)
                                                     : inExt.empty() ? std::string("mp4") : inExt.substr(1))))
                  .string();
  ASSERT_NE(paths.out, paths.in);
  const bool noMedia = HoldsNoMedia(h.damage);
  if (noMedia && ex.output == Output::Deleted) WriteBytes(paths.out, kUsersFile);
  const auto before = Snapshot(work);
  const auto entriesBefore = Entries(work);

  const ChildOutcome o = RunInChild((fs::path(OutputDir()) / "child.log").string(), [&] { return ex.call(paths); });
  ExpectReturned(o);
  if (o.ending != Ending::Returned) return;

  if (noMedia) {
    EXPECT_FALSE(o.result.succeeded) << "a call on no media reported success (status " << o.result.code << ")";
    switch (ex.noMedia) {
      case NoMedia::OpenError: EXPECT_EQ(o.result.code, OpenErrorOf(h.damage)); break;
      case NoMedia::NoAudio: EXPECT_EQ(o.result.code, MPG_AUDIO_CODEC_NOT_FOUND); break;
      case NoMedia::NoVideo: EXPECT_EQ(o.result.code, MPG_VIDEO_CODEC_NOT_FOUND); break;
      case NoMedia::NoSegment: EXPECT_EQ(o.result.code, MPG_VIDEO_STREAM_NOT_FOUND); break;
      case NoMedia::Failure: break;
    }
  }

  // Inputs: unchanged, except the file an in-place repair rewrote successfully.
  const auto after = Snapshot(work);
  for (const auto &[path, bytes] : before) {
    if (ex.output == Output::InPlace && path == paths.in && o.result.succeeded) continue;
    auto it = after.find(path);
    ASSERT_NE(it, after.end()) << path << " was removed";
    EXPECT_TRUE(it->second == bytes) << path << " was changed (status " << o.result.code << ")";
  }

  // Outputs: present after success; after a failure on no media the user's file
  // is untouched (the snapshot above), after a later failure the file the call
  // opened is gone; and nothing else new in the folder.
  if (ex.output == Output::Deleted) {
    if (o.result.succeeded) {
      EXPECT_TRUE(FileExists(paths.out) && FileSizeOf(paths.out) > 0) << "success without an output file";
    } else if (!noMedia) {
      EXPECT_FALSE(fs::exists(paths.out)) << "the failed call (status " << o.result.code << ") left " << paths.out;
    }
  } else {
    EXPECT_FALSE(fs::exists(paths.out));
  }
  for (const std::string &entry : Entries(work)) {
    if (entry != paths.out) {
      EXPECT_TRUE(entriesBefore.count(entry)) << "the call left a stray file: " << entry;
    }
  }
}

std::string InputCaseName(const ::testing::TestParamInfo<std::tuple<size_t, HostileInput>> &info) {
  const HostileInput h = std::get<1>(info.param);
  return std::string(kPathExports[std::get<0>(info.param)].name) + "_" + DamageName(h.damage) + SourceName(h.source);
}

INSTANTIATE_TEST_SUITE_P(HostilePathExports, HostileInputs,
                         ::testing::Combine(::testing::Range<size_t>(0, std::size(kPathExports)),
                                            ::testing::ValuesIn(AllInputs())),
                         InputCaseName);

// ---- An output path that names the input ------------------------------------------------

enum class Alias { SamePath, DotPath, Symlink, HardLink };

class HostileOutputIsInput : public ::testing::TestWithParam<std::tuple<size_t, Alias>> {};

TEST_P(HostileOutputIsInput, RefusesAndKeepsTheInput) {
  const PathExport &ex = kPathExports[std::get<0>(GetParam())];
  const Alias alias = std::get<1>(GetParam());
  const fs::path work = fs::path(OutputDir()) / "work";
  fs::create_directories(work);

  Paths paths;
  paths.partner = (work / "partner.mp3").string();
  WriteBytes(paths.partner, ReadBytes(fx::Mp3Audio5s()));
  paths.in = (work / "input.mp4").string();
  WriteBytes(paths.in, ReadBytes(fx::H264Aac10s()));
  switch (alias) {
    case Alias::SamePath: paths.out = paths.in; break;
    case Alias::DotPath: paths.out = (work / "." / "input.mp4").string(); break;
    case Alias::Symlink:
      paths.out = (work / "link.mp4").string();
      fs::create_symlink(paths.in, paths.out);
      break;
    case Alias::HardLink:
      paths.out = (work / "link.mp4").string();
      fs::create_hard_link(paths.in, paths.out);
      break;
  }
  const auto before = Snapshot(work);
  const auto entriesBefore = Entries(work);

  const ChildOutcome o = RunInChild((fs::path(OutputDir()) / "child.log").string(), [&] { return ex.call(paths); });
  ExpectReturned(o);
  if (o.ending != Ending::Returned) return;

  EXPECT_FALSE(o.result.succeeded) << "writing over the input was not refused";
  if (std::string(ex.name) != "GetImage" && std::string(ex.name) != "GetImageP" &&
      std::string(ex.name) != "GetImageJPG") {
    EXPECT_EQ(o.result.code, MPG_SAME_FILE);
  }
  EXPECT_EQ(Snapshot(work), before) << "a file in the folder was changed";
  EXPECT_EQ(Entries(work), entriesBefore) << "files were added or removed";
  if (alias == Alias::Symlink) {
    EXPECT_TRUE(fs::is_symlink(paths.out)) << "the link was replaced";
  }
}

std::vector<size_t> WritingExports() {
  std::vector<size_t> indices;
  for (size_t i = 0; i < std::size(kPathExports); ++i)
    if (kPathExports[i].output == Output::Deleted) indices.push_back(i);
  return indices;
}

std::string AliasCaseName(const ::testing::TestParamInfo<std::tuple<size_t, Alias>> &info) {
  static const char *const kNames[] = {"SamePath", "DotPath", "Symlink", "HardLink"};
  return std::string(kPathExports[std::get<0>(info.param)].name) + "_" +
         kNames[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(HostileWritingExports, HostileOutputIsInput,
                         ::testing::Combine(::testing::ValuesIn(WritingExports()),
                                            ::testing::Values(Alias::SamePath, Alias::DotPath, Alias::Symlink,
                                                              Alias::HardLink)),
                         AliasCaseName);

// ---- Exports that take numbers ---------------------------------------------------------

struct ScalarCase {
  const char *name;
  CallResult (*call)();
};

std::string TextProblem(const char *text) {
  if (!text) return "null text";
  if (!Terminated(text, 4096)) return "text not terminated within 4 KiB";
  return "";
}

const ScalarCase kScalarCases[] = {
    {"GetErrorTextOfAnyCode",
     [] {
       for (int32_t code : {INT32_MIN, INT32_MIN + 1, -1, -99999, 1, 0x7FFFFFFF, int32_t(0xC0000000),
                            int32_t(0xC0000007), int32_t(0xFFFFFFFF), MPG_SAME_FILE, MPG_BAD_PARAMETER})
         if (std::string p = TextProblem(MPG_GetErrorText(code)); !p.empty())
           return CallResult{false, code, p};
       return CallResult{true, 0, ""};
     }},
    {"GetDefExtOfUnknownIds",
     [] {
       for (int32_t id : {INT32_MIN, -1, 9, 1000, INT32_MAX})
         if (std::string(MPG_GetDefExt(id)) != "mp4") return CallResult{false, id, "unknown id did not give mp4"};
       return CallResult{true, 0, ""};
     }},
    {"SetPercent100OutOfRange",
     [] {
       for (int32_t v : {0, -1, INT32_MIN, INT32_MAX, 1}) MPG_SetPercent100(v);
       MPG_TestParams();
       return CallResult{true, 0, ""};
     }},
};

class HostileScalars : public ::testing::TestWithParam<size_t> {};

TEST_P(HostileScalars, ReturnsWithoutCrashOrInsaneResult) {
  const ScalarCase &c = kScalarCases[GetParam()];
  const ChildOutcome o = RunInChild((fs::path(OutputDir()) / "child.log").string(), c.call);
  ExpectReturned(o);
  EXPECT_TRUE(o.result.succeeded);
}

INSTANTIATE_TEST_SUITE_P(HostileNumberExports, HostileScalars, ::testing::Range<size_t>(0, std::size(kScalarCases)),
                         [](const ::testing::TestParamInfo<size_t> &info) {
                           return std::string(kScalarCases[info.param].name);
                         });

}  // namespace

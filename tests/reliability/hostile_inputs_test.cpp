// Every export on inputs a download manager may hand over: no path, a missing path,
// a directory, an empty file, a text file, truncated media and media with damaged
// bytes. Each call runs in a child process under a time limit, so a crash or a hang
// shows as a failed test rather than taking the suite down. A call must fail with
// the code its export's column names or give a sane result; it never changes its
// inputs; a failure before the output is opened leaves a file the user had there
// untouched, and a later failure leaves no file behind. An output path that names
// the input (directly or through a link) is refused and the input kept.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>

#include "support/media.h"

extern "C" {
#include <libavutil/error.h>
}

using namespace mpgtest;
namespace fs = std::filesystem;

namespace {

// Whether the export reported success, its raw status, and anything insane in what
// it returned (empty when all is sane).
struct CallResult {
  bool succeeded = false;
  int64_t code = 0;
  std::string insane;
};

// The call in a child process: false, and the test failed, when it crashed or hung.
bool Returned(const std::function<CallResult()> &call, CallResult &r) {
  std::string log;
  const std::optional<std::string> out = InChild([&] {
    const CallResult c = call();
    return std::to_string(c.succeeded) + " " + std::to_string(c.code) + " " + c.insane;
  }, &log);
  EXPECT_TRUE(out) << "the call crashed or did not return within a minute\n" << log;
  if (!out) return false;
  std::istringstream in(*out);
  in >> r.succeeded >> r.code >> std::ws;
  std::getline(in, r.insane, '\0');
  EXPECT_EQ(r.insane, "") << "the call returned an insane result";
  return true;
}

// ---- The exports that take paths ---------------------------------------------------

bool Terminated(const char *text, size_t size) { return std::memchr(text, '\0', size) != nullptr; }

// A failure on a path leaves the host an all-zero record; a null path leaves it untouched.
std::string MediaInfoProblems(const MpgMediaInfo &i, bool succeeded, bool nullPath) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(&i);
  const unsigned char fill = nullPath ? 0x5A : 0;
  if (!succeeded)
    return std::all_of(bytes, bytes + sizeof i, [fill](unsigned char b) { return b == fill; }) ? "" : "record not as the failure leaves it";
  std::string p;
  if (i.duration < 0 || i.containerBitRate < 0 || i.videoBitRate < 0 || i.audioBitRate < 0) p += "negative length; ";
  if (i.videoStreamCount < 0 || i.audioStreamCount < 0 || i.subtitleStreamCount < 0) p += "negative count; ";
  if (i.width < 0 || i.height < 0 || i.channels < 0 || i.sampleRate < 0 || !(i.frameRate >= 0)) p += "negative size; ";
  for (const char *text : {i.videoCodec, i.videoSampleFormat, i.audioCodec, i.audioSampleFormat, i.subtitleCodec})
    if (!Terminated(text, 64)) p += "unterminated text; ";
  return p;
}

struct Paths {
  std::string in;   // the hostile input
  std::string out;  // where an output goes
  std::string partner;  // a sound file, for exports that take two inputs
  bool nullIn = false;  // the host passes a null pointer
  const char *In() const { return nullIn ? nullptr : in.c_str(); }
};

enum class Output { None, Deleted, InPlace };  // writes no file; writes one; rewrites its input

// What an export answers for an input that holds no media: one policy across them.
enum class NoMedia {
  OpenError,  // the FFmpeg error of opening it: ENOENT, EISDIR, INVALIDDATA
  NoAudio,    // MPG_AUDIO_CODEC_NOT_FOUND: a merge choice, which reads the audio first
  NoVideo,    // MPG_VIDEO_CODEC_NOT_FOUND: a merge of this video with good audio
  NoSegment,  // MPG_VIDEO_STREAM_NOT_FOUND: a join whose first segment gives no stream
  Failure,    // a flag, a number or a pointer: 0 or NULL
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
    {"IsThisGoodFile", Output::None, NoMedia::Failure, nullptr, [](const Paths &p) { return Flag(MPG_IsThisGoodFile(p.In())); }},
    {"GetMediaInfo", Output::None, NoMedia::Failure, nullptr,
     [](const Paths &p) {
       MpgMediaInfo info;
       std::memset(&info, 0x5A, sizeof info);
       CallResult r = Flag(MPG_GetMediaInfo(p.In(), &info));
       r.insane = MediaInfoProblems(info, r.succeeded, p.nullIn);
       return r;
     }},
    {"GetAudioDuration", Output::None, NoMedia::Failure, nullptr,
     [](const Paths &p) {
       const uint32_t seconds = MPG_GetAudioDuration(p.In());
       return CallResult{seconds != 0, seconds, ""};
     }},
    {"MergeOP", Output::None, NoMedia::NoAudio, nullptr,
     [](const Paths &p) {
       MergeOpResult r{};
       CallResult c = Status(MPG_MergeOP(p.In(), p.In(), &r));
       if (c.succeeded && (r.mode > 1 || r.kind == 3 || r.kind > 4)) c.insane = "mode " + std::to_string(r.mode) + " kind " + std::to_string(r.kind);
       return c;
     }},
    {"MergeOP2", Output::None, NoMedia::NoAudio, nullptr,
     [](const Paths &p) {
       MergeOp2Result r;
       std::memset(&r, 'x', sizeof r);
       CallResult c = Status(MPG_MergeOP2(p.In(), p.In(), &r));
       if (c.succeeded && (r.mode > 1 || r.kind == 2 || r.kind > 4 || !Terminated(r.extension, 32) || !Terminated(r.altExtension, 32)))
         c.insane = "mode " + std::to_string(r.mode) + " kind " + std::to_string(r.kind) + " or unterminated text";
       return c;
     }},
    {"GetDefExtension", Output::None, NoMedia::Failure, nullptr,
     [](const Paths &p) {
       char buffer[16];
       std::memset(buffer, 'x', sizeof buffer);
       MPG_GetDefExtension(p.In(), buffer, sizeof buffer);
       return CallResult{buffer[0] != '\0', 0, Terminated(buffer, sizeof buffer) ? "" : "extension not terminated"};
     }},
    {"MergeAV", Output::Deleted, NoMedia::NoVideo, "mp4",
     [](const Paths &p) { return Status(MPG_MergeAV(p.In(), p.partner.c_str(), p.out.c_str(), nullptr, 0)); }},
    {"Merge", Output::Deleted, NoMedia::NoSegment, "mp4",
     [](const Paths &p) {
       const char *segments[] = {p.In(), p.In(), nullptr};
       return Status(MPG_Merge(segments, p.out.c_str(), 0, 1, nullptr, 0));
     }},
    {"Transcode", Output::Deleted, NoMedia::OpenError, "mp4",
     [](const Paths &p) {
       const Str::string in(p.in.c_str()), out(p.out.c_str());
       TranscodeParams params{};
       params.outputFormat = 4;  // mp4
       return Status(MPG_Transcode(p.nullIn ? nullptr : &in, &out, &params, nullptr, 0));
     }},
    {"MP3Convert", Output::Deleted, NoMedia::OpenError, "mp3",
     [](const Paths &p) { return Status(MP3_Convert(p.In(), p.out.c_str(), 64000, nullptr, 0)); }},
    {"ShiftAudio", Output::Deleted, NoMedia::OpenError, nullptr,
     [](const Paths &p) { return Status(MPG_ShiftAudio(p.In(), p.out.c_str(), 500, nullptr, 0)); }},
    {"Crop", Output::Deleted, NoMedia::OpenError, nullptr, [](const Paths &p) { return Status(MPG_Crop(p.In(), p.out.c_str())); }},
    {"SaveTrimmedVideo", Output::Deleted, NoMedia::OpenError, nullptr,
     [](const Paths &p) { return Status(MPG_SaveTrimmedVideo(p.In(), p.out.c_str(), 1, 2)); }},
    {"FLVFixDuration", Output::InPlace, NoMedia::OpenError, nullptr, [](const Paths &p) { return Status(FLV_FixDuration(p.In())); }},
    {"GetImage", Output::Deleted, NoMedia::Failure, "jpg",
     [](const Paths &p) { return Flag(MPG_GetImage(MPG_IMAGE_JPEG, p.In(), p.out.c_str(), 120, 80)); }},
    {"GetImageP", Output::Deleted, NoMedia::Failure, "bmp",
     [](const Paths &p) { return Flag(MPG_GetImageP(MPG_IMAGE_BMP, p.In(), p.out.c_str(), 50, 120, 80)); }},
    {"GetImageBMP", Output::None, NoMedia::Failure, nullptr,
     [](const Paths &p) {
       uint32_t size = 0xDEADBEEF;
       uint8_t *image = MPG_GetImageBMP(p.In(), 1, &size, 120);
       CallResult c{image != nullptr, 0, ""};
       if (image && (size < 54 || image[0] != 'B' || image[1] != 'M')) c.insane = "not a BMP of " + std::to_string(size) + " bytes";
       std::free(image);
       return c;
     }},
    {"GetImageJPG", Output::Deleted, NoMedia::Failure, "jpg",
     [](const Paths &p) { return Flag(MPG_GetImageJPG(p.In(), p.out.c_str(), 1, 120)); }},
};

// ---- Hostile inputs --------------------------------------------------------------------

enum class Source { None, H264Aac, Mp3, Flv };
enum class Damage { NullPath, EmptyPath, Missing, Directory, EmptyFile, Text, Cut10, Cut50, Cut90, Flipped };
const char *const kSourceNames[] = {"", "H264Aac", "Mp3", "Flv"};
const char *const kDamageNames[] = {"NullPath", "EmptyPath", "MissingFile", "Directory", "EmptyFile",
                                    "TextFile", "CutAt10Percent", "CutAt50Percent", "CutAt90Percent", "FlippedBytes"};

struct HostileInput {
  Damage damage;
  Source source;
};

std::string SourcePath(Source s) {
  if (s == Source::H264Aac) return fx::H264Aac10s();
  if (s == Source::Mp3) return fx::Mp3Audio5s();
  if (s == Source::Flv)
    return MakeFixture("flv1_mp3_3s.flv", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=3 -f lavfi -i sine=duration=3 "
                                          "-c:v flv1 -c:a libmp3lame -ar 22050 -fflags +bitexact -flags:v +bitexact -flags:a +bitexact");
  return "";
}

bool HoldsNoMedia(Damage d) { return d <= Damage::Text; }

// The status an export of the OpenError kind returns for an input without media.
int32_t OpenErrorOf(Damage d) {
  if (d == Damage::NullPath || d == Damage::EmptyPath) return MPG_BAD_PARAMETER;
  if (d == Damage::Missing) return AVERROR(ENOENT);
  return d == Damage::Directory ? AVERROR(EISDIR) : AVERROR_INVALIDDATA;
}

// One byte in 1000 of the middle half replaced by a random one, from a fixed seed:
// the container still opens and the demuxers and decoders meet the damage; plus a
// few bytes anywhere, headers included.
std::string FlipBytes(std::string bytes) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  for (size_t i = bytes.size() / 4; i < bytes.size() * 3 / 4; ++i)
    if (random() % 1000 == 0) bytes[i] = static_cast<char>(byte(random));
  for (int n = 0; n < 3 && !bytes.empty(); ++n) bytes[random() % bytes.size()] ^= static_cast<char>(1 + random() % 255);
  return bytes;
}

// Makes the hostile input in dir; returns its path.
std::string MakeInput(const HostileInput &h, const fs::path &dir) {
  const std::string source = SourcePath(h.source);
  const std::string path = (dir / ("input" + (source.empty() ? ".mp4" : fs::path(source).extension().string()))).string();
  const int percent = h.damage == Damage::Cut10 ? 10 : h.damage == Damage::Cut50 ? 50 : 90;
  switch (h.damage) {
    case Damage::NullPath:
    case Damage::EmptyPath: return "";
    case Damage::Missing: return path;
    case Damage::Directory: fs::create_directories(path); return path;
    case Damage::EmptyFile: WriteBytes(path, ""); return path;
    case Damage::Text: WriteBytes(path, ReadBytes(fx::TextFile())); return path;
    case Damage::Flipped: WriteBytes(path, FlipBytes(ReadBytes(source))); return path;
    default: WriteBytes(path, ReadBytes(source).substr(0, fs::file_size(source) * percent / 100)); return path;
  }
}

// Every regular file under dir with its bytes, and every entry.
std::map<std::string, std::string> Snapshot(const fs::path &dir) {
  std::map<std::string, std::string> files;
  for (const auto &e : fs::recursive_directory_iterator(dir))
    files[e.path().string()] = e.is_regular_file() ? ReadBytes(e.path().string()) : "<not a file>";
  return files;
}

// A folder with a sound partner file for the exports that take two inputs.
Paths WorkFolder(fs::path &work) {
  work = fs::path(OutputDir()) / "work";
  fs::create_directories(work);
  Paths paths;
  paths.partner = (work / "partner.mp3").string();
  WriteBytes(paths.partner, ReadBytes(fx::Mp3Audio5s()));
  return paths;
}

constexpr const char *kUsersFile = "the user's own file";

class HostileInputs : public ::testing::TestWithParam<std::tuple<size_t, HostileInput>> {};

TEST_P(HostileInputs, NeverCrashesHangsLeavesFilesOrChangesInputs) {
  const PathExport &ex = kPathExports[std::get<0>(GetParam())];
  const HostileInput h = std::get<1>(GetParam());
  fs::path work;
  Paths paths = WorkFolder(work);
  paths.in = MakeInput(h, work);
  paths.nullIn = h.damage == Damage::NullPath;
  const std::string inExt = fs::path(SourcePath(h.source)).extension().string();
  paths.out = (work / ("output." + (ex.outExtension ? std::string(ex.outExtension) : inExt.empty() ? "mp4" : inExt.substr(1)))).string();
  const bool noMedia = HoldsNoMedia(h.damage);
  if (noMedia && ex.output == Output::Deleted) WriteBytes(paths.out, kUsersFile);
  const auto before = Snapshot(work);

  CallResult r;
  if (!Returned([&] { return ex.call(paths); }, r)) return;
  // A null first segment ends the list: an empty join succeeds and writes nothing.
  const bool emptyJoin = paths.nullIn && ex.noMedia == NoMedia::NoSegment;
  if (noMedia) {
    EXPECT_NE(r.succeeded, !emptyJoin) << "a call on no media reported success (status " << r.code << ")";
    const int64_t expected = emptyJoin                          ? MPG_OK
                             : ex.noMedia == NoMedia::OpenError ? OpenErrorOf(h.damage)
                             : ex.noMedia == NoMedia::NoAudio   ? MPG_AUDIO_CODEC_NOT_FOUND
                             : ex.noMedia == NoMedia::NoVideo   ? MPG_VIDEO_CODEC_NOT_FOUND
                             : ex.noMedia == NoMedia::NoSegment ? MPG_VIDEO_STREAM_NOT_FOUND
                                                                : r.code;  // a flag: any failure
    EXPECT_EQ(r.code, expected);
  }
  // Inputs and the user's file unchanged, except an input repaired in place.
  auto after = Snapshot(work);
  for (const auto &[path, bytes] : before) {
    if (ex.output == Output::InPlace && path == paths.in && r.succeeded) continue;
    EXPECT_TRUE(after.count(path) && after[path] == bytes) << path << " was changed or removed (status " << r.code << ")";
  }
  // Output present after success, gone after a failure that opened it, nothing else new.
  const bool outputExpected = ex.output == Output::Deleted && (r.succeeded || noMedia);
  EXPECT_EQ(fs::exists(paths.out), outputExpected) << "status " << r.code;
  EXPECT_TRUE(!r.succeeded || !outputExpected || FileSizeOf(paths.out) > 0) << "success with an empty output";
  for (const auto &[path, bytes] : after) EXPECT_TRUE(path == paths.out || before.count(path)) << "stray file: " << path;
}

std::vector<HostileInput> Inputs(bool noMedia) {
  std::vector<HostileInput> all;
  for (int d = 0; noMedia && d <= static_cast<int>(Damage::Text); ++d) all.push_back({Damage(d), Source::None});
  for (Source s : {Source::H264Aac, Source::Mp3, Source::Flv})
    for (Damage d : {Damage::Cut10, Damage::Cut50, Damage::Cut90, Damage::Flipped})
      if (!noMedia) all.push_back({d, s});
  return all;
}

std::string InputCaseName(const ::testing::TestParamInfo<std::tuple<size_t, HostileInput>> &info) {
  const HostileInput h = std::get<1>(info.param);
  return std::string(kPathExports[std::get<0>(info.param)].name) + "_" + kDamageNames[int(h.damage)] + kSourceNames[int(h.source)];
}

// Two processes for ctest to run side by side.
INSTANTIATE_TEST_SUITE_P(HostileNoMedia, HostileInputs,
                         ::testing::Combine(::testing::Range<size_t>(0, std::size(kPathExports)), ::testing::ValuesIn(Inputs(true))),
                         InputCaseName);
INSTANTIATE_TEST_SUITE_P(HostileDamagedMedia, HostileInputs,
                         ::testing::Combine(::testing::Range<size_t>(0, std::size(kPathExports)), ::testing::ValuesIn(Inputs(false))),
                         InputCaseName);

// ---- Output paths that name the input or cannot take a file -------------------------------

// The input under other names, then a folder where the output should go and a path
// in a folder that does not exist: refused or failed, and nothing in the folder changed.
enum class Alias { SamePath, DotPath, Symlink, HardLink, Folder, MissingFolder };

class HostileOutputIsInput : public ::testing::TestWithParam<std::tuple<size_t, Alias>> {};

TEST_P(HostileOutputIsInput, RefusesAndKeepsTheInput) {
  const PathExport &ex = kPathExports[std::get<0>(GetParam())];
  const Alias alias = std::get<1>(GetParam());
  fs::path work;
  Paths paths = WorkFolder(work);
  paths.in = (work / "input.mp4").string();
  WriteBytes(paths.in, ReadBytes(fx::H264Aac10s()));
  paths.out = alias == Alias::SamePath ? paths.in : alias == Alias::DotPath ? (work / "." / "input.mp4").string() : (work / "link.mp4").string();
  if (alias == Alias::MissingFolder) paths.out = (work / "missing" / "output.mp4").string();
  if (alias == Alias::Folder) fs::create_directories(paths.out);
  if (alias == Alias::Symlink) fs::create_symlink(paths.in, paths.out);
  if (alias == Alias::HardLink) fs::create_hard_link(paths.in, paths.out);
  const auto before = Snapshot(work);

  CallResult r;
  if (!Returned([&] { return ex.call(paths); }, r)) return;
  EXPECT_FALSE(r.succeeded) << "writing over the input was not refused";
  EXPECT_TRUE(ex.noMedia == NoMedia::Failure || alias >= Alias::Folder || r.code == MPG_SAME_FILE) << r.code;
  EXPECT_EQ(Snapshot(work), before) << "a file in the folder was changed, added or removed";
  EXPECT_TRUE(alias != Alias::Symlink || fs::is_symlink(paths.out)) << "the link was replaced";
}

std::vector<size_t> WritingExports() {
  std::vector<size_t> indices;
  for (size_t i = 0; i < std::size(kPathExports); ++i)
    if (kPathExports[i].output == Output::Deleted) indices.push_back(i);
  return indices;
}

std::string AliasCaseName(const ::testing::TestParamInfo<std::tuple<size_t, Alias>> &info) {
  static const char *const kNames[] = {"SamePath", "DotPath", "Symlink", "HardLink", "Folder", "MissingFolder"};
  return std::string(kPathExports[std::get<0>(info.param)].name) + "_" + kNames[int(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(HostileWritingExports, HostileOutputIsInput,
                         ::testing::Combine(::testing::ValuesIn(WritingExports()),
                                            ::testing::Values(Alias::SamePath, Alias::DotPath, Alias::Symlink, Alias::HardLink,
                                                              Alias::Folder, Alias::MissingFolder)),
                         AliasCaseName);

}  // namespace

// Real files (../shared/media/realworld) that once broke a job: each output judged by ffprobe and a full
// decode against the ffmpeg tool's copy where that is the bar, else against the input. One table, two
// backends: the Linux library called directly, or, with MPG_TABLE_HOST set (tests/windows/run.sh sets it),
// mpg.dll under Wine through tests/windows/job_host.c, one process per run fed one job per line.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>

#include "mpg.h"
#include "mpg_string.hpp"
#include "support/media.h"
#include "support/table_host.h"

using namespace mpgtest;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

const std::string kDir = fs::weakly_canonical(std::string(MPG_SOURCE_DIR) + "/../shared/media/realworld").string();
#define REQUIRE_REALWORLD() \
  if (!fs::is_directory(kDir)) GTEST_SKIP() << "../shared/media/realworld is absent: real-file rows skipped"

// Writes value into the 4-byte field at offset from each name (a box or chunk type)
// met in bytes before the first stop: big-endian for MP4's boxes, little for AVI's chunks.
void SetFields(std::string &bytes, const std::string &name, size_t offset, uint32_t value, bool bigEndian,
               const std::string &stop = "") {
  const size_t end = stop.empty() ? bytes.size() : bytes.find(stop);
  for (size_t at = bytes.find(name); at < end && at + offset + 4 <= bytes.size(); at = bytes.find(name, at + 1))
    for (int i = 0; i < 4; ++i) bytes[at + offset + i] = char(value >> (bigEndian ? 24 - 8 * i : 8 * i));
}

// What some writers leave in a header, which the ffmpeg tool does not write: made
// files changed byte by byte, once per version of the made file.
std::string Patched(const std::string &made, const std::string &name) {
  const std::map<std::string, void (*)(std::string &)> patches = {
      // A fragmented MP4 whose moov says its length is unknown: the 32-bit duration of
      // mvhd and mdhd (20 bytes past the type, version 0) and of tkhd (24) all ones.
      {"unknown_length.mp4", [](std::string &b) {
         SetFields(b, "mvhd", 20, 0xFFFFFFFF, true, "moof"), SetFields(b, "mdhd", 20, 0xFFFFFFFF, true, "moof");
         SetFields(b, "tkhd", 24, 0xFFFFFFFF, true, "moof");
       }},
      // An AVI whose MP3 stream header states 7800 frames (3 min 24 s) for 2 s: dwLength,
      // 32 bytes past the audio stream header's type "auds".
      {"long_mp3_header.avi", [](std::string &b) { SetFields(b, "auds", 32, 7800, false); }},
  };
  if (!patches.count(name)) return made;
  // The name keeps its extension: the edits choose their container by it.
  const std::string version = std::to_string(fs::last_write_time(made).time_since_epoch().count());
  const std::string path = (fs::path(made).parent_path() / ("patched" + version + "_" + name)).string();
  if (!fs::exists(path)) {
    std::string bytes = ReadBytes(made);
    patches.at(name)(bytes);
    WriteBytes(path + ".tmp", bytes);
    fs::rename(path + ".tmp", path);
  }
  return path;
}

// The real MPEG-TS (MPEG-2 video and MP2 audio from 1.43 s) with a SCTE-35 cue track the demuxer
// times by the clock reference at 0.70 s, so that the file starts there; the ffmpeg tool writes
// SCTE-35 only by copying it. The program map gains the track (stream type 0x86 under a CUEI
// registration, SCTE 35 section 8.1) and one splice_null section follows the first PCR.
std::string WithScte35Track(const std::string &from) {
  const auto crc = [](const std::string &b) {  // MPEG-2 sections' CRC-32: x^32+..+1, no reflection
    uint32_t c = 0xFFFFFFFF;
    for (unsigned char byte : b)
      for (int i = 0; i < 8; ++i, byte <<= 1) c = (c << 1) ^ (((c >> 31) ^ (byte >> 7)) & 1 ? 0x04C11DB7 : 0);
    return b + std::string{char(c >> 24), char(c >> 16), char(c >> 8), char(c)};
  };
  const auto packet = [](std::string head, const std::string &section) {
    head += '\0' + section;  // pointer_field 0
    return head + std::string(188 - head.size(), '\xff');
  };
  const std::string in = ReadBytes(from);
  std::string out;
  const int cuePid = 0x1F0;
  bool cueWritten = false;
  for (size_t at = 0; at + 188 <= in.size(); at += 188) {
    std::string p = in.substr(at, 188);
    const int pid = (p[1] & 0x1F) << 8 | (unsigned char)p[2];
    if (pid == 0x1000 && (p[1] & 0x40)) {  // the program map (ffmpeg's PID), in one packet
      const size_t s = 5 + (unsigned char)p[4];
      const std::string body = p.substr(s, 3 + ((p[s + 1] & 0x0F) << 8 | (unsigned char)p[s + 2]) - 4);
      const int infoLength = (body[10] & 0x0F) << 8 | (unsigned char)body[11];
      std::string map = body.substr(0, 10) + char(0xF0) + char(infoLength + 6) + body.substr(12, infoLength) +
                        std::string("\x05\x04" "CUEI", 6) + body.substr(12 + infoLength) +
                        std::string{char(0x86), char(0xE0 | cuePid >> 8), char(cuePid & 0xFF), char(0xF0), 0};
      map[1] = char(0xB0 | (map.size() + 1) >> 8), map[2] = char(map.size() + 1);  // + CRC - 3
      p = packet(p.substr(0, 4), crc(map));
    }
    out += p;
    if (!cueWritten && (p[3] & 0x20) && p[4] && (p[5] & 0x10)) {  // an adaptation field with a PCR
      // table 0xFC, protocol 0, no encryption, pts_adjustment 0, tier 0xFFF, splice_null, no descriptors
      out += packet(std::string{0x47, char(0x40 | cuePid >> 8), char(cuePid & 0xFF), 0x10},
                    crc(std::string("\xFC\x30\x11\0\0\0\0\0\0\0\xFF\xF0\0\0\0\0", 16)));
      cueWritten = true;
    }
  }
  const std::string path = Out("scte35_" + fs::path(from).filename().string());
  WriteBytes(path, out);
  return path;
}

std::string Made(const std::string &name) {
  if (name == "scte35.ts") return WithScte35Track(kDir + "/ax_h262_mpeg_audio.ts");
  const std::string small = "-i " + Quote(kDir + "/sp_small.mp4") + " -map 0:v -map 0:a -t 3 -c:a copy ";
  const std::string ts =  // H.264 with B-frames + AAC; MPEG-TS's 90 kHz clock wraps at 95443.7 s
      "-f lavfi -i testsrc2=size=160x120:rate=25:duration=3 -f lavfi -i sine=duration=3 -fflags +bitexact -c:v libx264 -preset ultrafast -g 25 -bf 2 -c:a aac -output_ts_offset ";
  const std::map<std::string, std::string> recipes = {
      {"theora.ogv", "-f lavfi -i testsrc2=size=320x240:rate=25:duration=3 -c:v libtheora -q:v 5"},
      {"before_wrap.ts", ts + "95438"}, {"across_wrap.ts", ts + "95441"},
      {"fragmented.mp4", small + "-c:v copy -movflags frag_keyframe+empty_moov"},
      {"h264.avi", small + "-c:v libx264 -bf 0 -preset ultrafast"},  // AVI keeps no pts
      {"vp6_2s.flv", "-i " + Quote(kDir + "/me_grampa_laughing_vp6.flv") + " -c copy -t 2"},
      {"sine_400s.mp3", "-f lavfi -i sine=sample_rate=8000:duration=400 -c:a libmp3lame -b:a 8k"},  // 2^32 ticks
      {"unknown_length.mp4", "-f lavfi -i testsrc2=size=320x240:rate=30000/1001:duration=2 -f lavfi -i "
                             "sine=sample_rate=44100:duration=2 -c:v libx264 -preset ultrafast -g 100 -c:a aac "
                             "-movflags frag_keyframe+empty_moov -frag_duration 10000000"},  // moov, one moof, mfra
      {"long_mp3_header.avi", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=2 -f lavfi -i "
                              "sine=sample_rate=44100:duration=2 -c:v libx264 -preset ultrafast -bf 0 "
                              "-c:a libmp3lame -b:a 64k"}};
  return Patched(MakeFixture("rw_" + name, recipes.at(name)), name);
}

// ...Stopped: the host stops the job at its first report on a scale of 1000.
enum class J { MergeAV, Concat, ConcatRebased, Crop, Shift, FixFlv, Trim, Grab, Transcode, Mp3, Info,
               MergeAVStopped, TranscodeStopped, Mp3Stopped };
bool Stopped(J job) { return job == J::MergeAVStopped || job == J::TranscodeStopped || job == J::Mp3Stopped; }

struct Row {
  std::string name;
  J job;
  std::vector<std::string> in;  // files of the folder; "dir/": its segments in order; "@x": Made(x)
  int32_t p1 = 0, p2 = 0, status = 0;  // p: MergeOP2 mode | shift ms | trim s | grab % | format, height | MP3 ms
  std::string ext = "";                   // of the output: the container MPG_MergeOP2 names
  const char *v = nullptr, *a = nullptr;  // the output's codecs ("": none; nullptr: the reference's) and size
  int w = 0, h = 0;
  bool i686 = false;          // in the i686 subset (see I686)
  std::string dllLacks = "";  // why the row cannot run on mpg.dll (see DllLacks)
  const char *dllV = nullptr;  // the DLL's video codec where it lacks the encoder of v (see DllEncodes)
  std::vector<std::string> as = {};  // names the inputs are copied under in the row's folder, in UTF-8 path mode
  std::string outName = "";          // the output's name there
  std::vector<std::pair<std::string, std::string>> beside = {};  // look-alike names and the real files they hold
  bool mayRefuse = false;  // a refusal that touches nothing also passes
};
void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

// Where the kernel runs no 32-bit code, 32-bit Wine runs under qemu, tens of times slower: the i686 run takes
// the rows marked here, at least one of each job family and export.
Row I686(Row r) { return r.i686 = true, r; }
// mpg.dll's FFmpeg holds only the components scripts/windows-components.txt lists, so a few rows differ there.
Row DllLacks(const std::string &what, Row r) { return r.dllLacks = "mpg.dll has no " + what, r; }
Row DllEncodes(const char *v, Row r) { return r.dllV = v, r; }
// A row on copies of its inputs named in other scripts, beside look-alikes, in UTF-8 path mode: the job must
// reach exactly the files named, write only its output and create nothing else.
Row Named(Row r, std::vector<std::string> as, std::string outName,
          std::vector<std::pair<std::string, std::string>> beside = {}, bool mayRefuse = false) {
  r.as = std::move(as), r.outName = std::move(outName), r.beside = std::move(beside), r.mayRefuse = mayRefuse;
  return r;
}

std::vector<std::string> Inputs(const Row &r) {
  std::vector<std::string> files;
  for (const std::string &s : r.in) {
    const size_t from = files.size();
    if (s[0] == '@') files.push_back(Made(s.substr(1)));
    else if (s.back() != '/') files.push_back(kDir + "/" + s);
    else for (const auto &e : fs::directory_iterator(kDir + "/" + s)) files.push_back(e.path().string());
    std::sort(files.begin() + from, files.end());
  }
  for (size_t i = 0; i < r.as.size(); ++i) {  // the copies, in the row's own folder
    fs::create_directories(fs::path(Out(r.as[i])).parent_path());
    fs::copy_file(files[i], Out(r.as[i]), fs::copy_options::overwrite_existing);
    files[i] = Out(r.as[i]);
  }
  for (const auto &[name, file] : r.beside) {
    fs::create_directories(fs::path(Out(name)).parent_path());
    fs::copy_file(kDir + "/" + file, Out(name), fs::copy_options::overwrite_existing);
  }
  return files;
}

// Every file under a folder, with its size and time of last write.
std::map<std::string, std::pair<uintmax_t, int64_t>> Tree(const std::string &dir) {
  std::map<std::string, std::pair<uintmax_t, int64_t>> files;
  for (const auto &e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) files[e.path().string()] = {e.file_size(), e.last_write_time().time_since_epoch().count()};
  return files;
}

// ---- Backends --------------------------------------------------------------------------------------------
// One export call: numbers first, then paths, as job_host.c takes them. A stopped call runs on a
// progress scale of 1000 and stops the job at its first report.
struct Call {
  std::string verb;
  std::vector<int32_t> nums;
  std::vector<std::string> paths;
  bool utf8 = false;
  bool stop = false;
};
struct Answer {
  std::string refused;  // why the backend did not run the job
  int32_t status = 0;   // the export's status, or its flag
  MpgMediaInfo info{};
  uint32_t audioDuration = 0;
  int32_t opStatus = 0;  // MPG_MergeOP's; status is MPG_MergeOP2's
  MergeOpResult op{};
  MergeOp2Result op2{};
  int reports = 0;  // progress reports a stopped call saw
};

Answer RunHere(const Call &c) {
  Answer a;
  std::vector<const char *> p;
  for (const std::string &s : c.paths) p.push_back(s.c_str());
  const std::vector<int32_t> &n = c.nums;
  const std::string &v = c.verb;
  EXPECT_EQ(MPG_SetPathEncoding(c.utf8 ? MPG_PATH_UTF8 : MPG_PATH_ANSI), MPG_OK);
  const Str::string inPath(p[0]), outPath(p.size() > 1 ? p[1] : "");
  TranscodeParams t{};
  ProgressLog log;
  log.stopAtValue = 1;
  const ProgressCallback cb = c.stop ? ProgressLog::Callback : nullptr;
  const uintptr_t user = c.stop ? log.User() : 0;
  MPG_SetPercent100(c.stop ? 1000 : 100);
  if (v == "info") a.status = MPG_GetMediaInfo(p[0], &a.info), a.audioDuration = MPG_GetAudioDuration(p[0]);
  if (v == "mergeop") a.opStatus = MPG_MergeOP(p[0], p[1], &a.op), a.status = MPG_MergeOP2(p[0], p[1], &a.op2);
  if (v == "mergeav") a.status = MPG_MergeAV(p[0], p[1], p[2], cb, user);
  if (v == "merge") p.push_back(nullptr), a.status = MPG_Merge(p.data() + 1, p[0], 0, uint8_t(n[0]), nullptr, 0);
  if (v == "crop") a.status = MPG_Crop(p[0], p[1]);
  if (v == "shift") a.status = MPG_ShiftAudio(p[0], p[1], n[0], nullptr, 0);
  if (v == "trim") a.status = MPG_SaveTrimmedVideo(p[0], p[1], n[0], n[1]);
  if (v == "fixflv") a.status = FLV_FixDuration(p[0]);
  if (v == "mp3") a.status = MP3_Convert(p[0], p[1], n[0], cb, user);
  if (v == "grab" && n[0]) a.status = MPG_GetImageP(MPG_IMAGE_JPEG, p[0], p[1], n[0], 0, 90);
  if (v == "grab" && !n[0]) a.status = MPG_GetImage(MPG_IMAGE_JPEG, p[0], p[1], 0, 90);
  t.outputFormat = n.empty() ? 0 : n[0], t.height = n.size() > 1 ? n[1] : 0;
  if (v == "transcode") a.status = MPG_Transcode(&inPath, &outPath, &t, cb, user);
  MPG_SetPercent100(100);
  a.reports = int(log.values.size());
  return a;
}

// job_host.exe under Wine (support/table_host.h): each call a line, each answer a line.
class Host {
 public:
  static Host *Get() {
    static Host *host = TableHost::Get() ? new Host : nullptr;
    return host;
  }
  Answer Run(const Call &c) {
    std::string line = c.utf8 ? "utf8\t" : "ansi\t";
    line += c.verb + (c.stop ? "/stop" : "");
    for (int32_t n : c.nums) line += "\t" + std::to_string(n);
    for (const std::string &p : c.paths) line += "\t" + TableHost::WindowsPath(p);
    return Parse(c.verb, TableHost::Get()->Send(line));
  }

 private:
  static std::vector<std::string> Fields(const std::string &line) { return TableHost::Fields(line); }
  static Answer Parse(const std::string &verb, const std::string &line) {
    const std::vector<std::string> f = Fields(line);
    Answer a;
    const size_t want = verb == "info" ? 23 : verb == "mergeop" ? 7 : 3;
    if (f.size() < 2 || f[0] != "=" || f.size() < want) return a.refused = line, a;
    const auto num = [&](size_t i) { return std::strtoll(f[i].c_str(), nullptr, 10); };
    const auto text = [&](char(&to)[64], size_t i) { std::snprintf(to, sizeof to, "%s", f[i].c_str()); };
    a.status = int32_t(num(1)), a.reports = int(num(2));
    if (verb == "mergeop") {
      a.opStatus = a.status, a.op.kind = uint32_t(num(2)), a.status = int32_t(num(3));
      a.op2.mode = uint32_t(num(4)), a.op2.kind = uint32_t(num(5));
      std::snprintf(a.op2.extension, sizeof a.op2.extension, "%s", f.size() > 6 ? f[6].c_str() : "");
    }
    if (verb != "info") return a;
    MpgMediaInfo &i = a.info;
    a.audioDuration = uint32_t(num(2)), i.duration = num(3), i.containerBitRate = num(4);
    i.videoStreamCount = int32_t(num(5)), i.width = int32_t(num(6)), i.height = int32_t(num(7));
    i.videoBitRate = num(8), i.frameRate = std::strtod(f[9].c_str(), nullptr), i.videoStreamDuration = num(10);
    text(i.videoCodec, 11), text(i.videoSampleFormat, 12);
    i.audioStreamCount = int32_t(num(13)), i.channels = int32_t(num(14)), i.audioBitRate = num(15);
    i.sampleRate = int32_t(num(16)), i.audioStreamDuration = num(17);
    text(i.audioCodec, 18), text(i.audioSampleFormat, 19);
    i.subtitleStreamCount = int32_t(num(20)), i.subtitleDuration = num(21);
    text(i.subtitleCodec, 22);
    return a;
  }
};

std::string Platform() { return Host::Get() && getenv("MPG_TABLE_ARCH") ? getenv("MPG_TABLE_ARCH") : "linux"; }

Answer Do(const Call &c) {
  Answer a = Host::Get() ? Host::Get()->Run(c) : RunHere(c);
  if (!a.refused.empty()) ADD_FAILURE() << c.verb << " did not run: " << a.refused, a.status = INT32_MIN;
  return a;
}

double Seconds(const json &v) { return v.is_string() ? std::stod(v.get<std::string>()) : v.get<double>(); }
std::string Key(const std::string &path, const std::string &what) {  // one version of a file
  return path + what + std::to_string(fs::last_write_time(path).time_since_epoch().count());
}
const json &Asked(const std::string &path) {  // ffprobe's streams and format, asked once
  static std::map<std::string, json> cache;
  return cache.count(Key(path, "")) ? cache[Key(path, "")] : cache[Key(path, "")] = Probe(path);
}
double StartTime(const std::string &path) { return Seconds(Asked(path)["format"].value("start_time", json(0))); }
// Where a file's audio and video start: a cue or data track timed ahead of them is no content.
double MediaStart(const std::string &path) {
  double start = INFINITY;
  for (const json &s : Asked(path)["streams"])
    if ((s.value("codec_type", "") == "audio" || s.value("codec_type", "") == "video") && s.contains("start_time"))
      start = std::min(start, Seconds(s["start_time"]));
  return std::isfinite(start) ? start : StartTime(path);
}

// A stream's packets in seconds (from the file's media start if asked; AVI video, without pts, by its
// dts) and bad dts.
struct Span {
  int count = 0, badDts = 0;
  double first = INFINITY, end = -INFINITY;
  double Length() const { return end - first; }
};
Span ProbeSpan(const std::string &path, const std::string &sel, bool fromStart = false) {
  static std::map<std::string, Span> cache;
  if (cache.count(Key(path, sel + std::to_string(fromStart)))) return cache[Key(path, sel + std::to_string(fromStart))];
  std::string text, line;
  Run("ffprobe -v error -select_streams " + sel + " -show_entries packet=pts_time,dts_time,duration_time -of csv=p=0 " +
      Quote(path) + " 2>/dev/null", &text);
  Span s;
  std::istringstream lines(text);
  Span decoding;  // by dts, for AVI video
  for (double dts = -INFINITY; std::getline(lines, line);) {
    double v[3] = {NAN, NAN, NAN};  // pts, dts, duration; N/A reads as NaN
    for (size_t at; (at = line.find("N/A")) != std::string::npos;) line.replace(at, 3, "nan");
    s.count += std::sscanf(line.c_str(), "%lf,%lf,%lf", &v[0], &v[1], &v[2]) > 0;  // MPEG-TS adds blank lines
    const double duration = std::isnan(v[2]) ? 0 : v[2];
    if (!std::isnan(v[1])) s.badDts += v[1] <= dts, dts = v[1];
    if (!std::isnan(v[1])) decoding.first = std::min(decoding.first, v[1]), decoding.end = std::max(decoding.end, v[1] + duration);
    if (!std::isnan(v[0])) s.first = std::min(s.first, v[0]), s.end = std::max(s.end, v[0] + duration);
  }
  if (!std::isfinite(s.first) && std::isfinite(decoding.first)) s.first = decoding.first, s.end = decoding.end;
  if (!std::isfinite(s.first)) s.first = 0, s.end = s.count ? ProbeDuration(path) : 0;
  s.first -= fromStart ? MediaStart(path) : 0, s.end -= fromStart ? MediaStart(path) : 0;
  return cache[Key(path, sel + std::to_string(fromStart))] = s;
}

// Streams of a type, cover pictures left out: their number, the first one's codec and size.
std::tuple<int, std::string, int, int> Streams(const std::string &path, const std::string &type) {
  std::tuple<int, std::string, int, int> r{0, "", 0, 0};
  for (const json &s : Asked(path)["streams"])
    if (s.value("codec_type", "") == type && !s.value("disposition", json::object()).value("attached_pic", 0))
      if (std::get<0>(r)++ == 0) r = {1, s.value("codec_name", ""), s.value("width", 0), s.value("height", 0)};
  return r;
}

// Lines of a full decode's report. Its null muxer counts pictures at the rate the file states and
// reports two on one count as "non monotonically increasing dts": for pictures a job encoded, whose
// times the job chose, that counts too; a copy keeps the input's variable (VP6F) or container-clock
// (AVI) frame times and, with them, that report of the ffmpeg tool's own decode.
int DecodeErrors(const std::string &path, bool encodedPictures = false) {
  std::string errors, line;
  int n = 0;
  for (std::istringstream lines(DecodesCleanly(path, &errors) ? "" : errors); std::getline(lines, line);)
    n += encodedPictures || line.find("non monotonically increasing dts") == std::string::npos;
  return n;
}

// H.264 and H.265 in AVI, ASF and MPEG-TS/PS are start-code delimited (Annex B): the first video
// packet opens with 00 00 01 or 00 00 00 01, not a NAL unit's length.
bool VideoNeedsStartCodes(const std::string &path, const std::string &ext) {
  const std::string codec = std::get<1>(Streams(path, "video"));
  return (ext == "avi" || ext == "wmv" || ext == "ts" || ext == "mpg") && (codec == "h264" || codec == "hevc");
}
bool FirstVideoPacketHasStartCode(const std::string &path) {
  std::string text;
  Run("ffprobe -v error -select_streams V:0 -read_intervals %+#1 -show_packets -show_data -of json " + Quote(path) +
      " 2>/dev/null", &text);
  const json j = json::parse(text, nullptr, false);
  if (j.is_discarded() || j.value("packets", json::array()).empty()) return false;
  std::string hex = j["packets"][0].value("data", "");  // "00000000: 0000 0001 ...  text"
  hex = hex.substr(std::min(hex.size(), hex.find(':') + 1), 12);
  hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
  return hex.rfind("000001", 0) == 0 || hex.rfind("00000001", 0) == 0;
}

Call JobCall(const Row &r, const std::vector<std::string> &in, const std::string &out) {
  const std::string &first = in[0];
  const bool utf8 = !r.as.empty();
  std::vector<std::string> segments{out};  // the output, then the segments
  segments.insert(segments.end(), in.begin(), in.end());
  switch (r.job) {
    case J::MergeAVStopped: return {"mergeav", {}, {first, in.back(), out}, utf8, true};
    case J::TranscodeStopped: return {"transcode", {r.p1, r.p2}, {first, out}, utf8, true};
    case J::Mp3Stopped: return {"mp3", {0}, {first, out}, utf8, true};
    case J::MergeAV: return {"mergeav", {}, {first, in.back(), out}, utf8};
    case J::Concat: return {"merge", {0}, segments, utf8};
    case J::ConcatRebased: return {"merge", {1}, segments, utf8};
    case J::Crop: return {"crop", {}, {first, out}, utf8};
    case J::Shift: return {"shift", {r.p1}, {first, out}, utf8};
    case J::FixFlv: return {"fixflv", {}, {out}, utf8};
    case J::Trim: return {"trim", {r.p1, r.p2}, {first, out}, utf8};
    case J::Mp3: return {"mp3", {0}, {first, out}, utf8};
    case J::Grab: return {"grab", {r.p1}, {first, out}, utf8};
    case J::Info: return {"info", {}, {first}, utf8};
    default: return {"transcode", {r.p1, r.p2}, {first, out}, utf8};
  }
}

int32_t RunJob(const Row &r, const std::vector<std::string> &in, const std::string &out) {
  if (r.job == J::MergeAV && r.status == 0) {  // both records name the container MPG_MergeAV writes
    const Answer op = Do({"mergeop", {}, {in[0], in.back()}, !r.as.empty()});
    EXPECT_EQ(op.opStatus + op.status, 0);
    EXPECT_EQ(std::to_string(op.op2.mode) + op.op2.extension, std::to_string(r.p1) + r.ext);
    EXPECT_EQ(op.op.kind, op.op2.kind);  // they number only WebM apart
  }
  if (r.job == J::FixFlv) WriteBytes(out, ReadBytes(in[0]));
  const Answer a = Do(JobCall(r, in, out));
  if (Stopped(r.job)) { EXPECT_GT(a.reports, 0) << "no report to stop at"; }
  return r.job == J::Grab ? !a.status : a.status;
}

// The ffmpeg tool's copy for a copy job (the input itself for the FLV repair), or empty.
std::string Reference(const Row &r, const std::vector<std::string> &in) {
  const std::string i0 = "-i " + Quote(in[0]), list = Out(r.name + ".txt");
  std::string args, files;
  if (r.job == J::FixFlv) return in[0];
  if (r.job == J::MergeAV && r.p1 == 0) args = i0 + " -i " + Quote(in[1]) + " -map 0:v:0 -map 1:a:0 -c copy";
  if (r.job == J::Crop) args = i0 + " -map 0:V:0 -map 0:a:0 -c copy";
  if (r.job == J::Shift) args = i0 + " -itsoffset " + std::to_string(r.p1 / 1e3) + " " + i0 + " -map 0:V:0 -map 1:a:0 -c copy";
  if (r.job == J::Concat || r.job == J::ConcatRebased) {
    for (const auto &s : in) files += "file " + Quote(s) + "\n";
    WriteBytes(list, files);
    args = "-f concat -safe 0 -i " + Quote(list) + " -c copy";
  }
  return args.empty() ? args : MakeFixture("rw_ref_" + r.name + "." + r.ext, args);
}

// A copy holds the reference's packets over the same spans and A/V offset, starts no later (not at
// the input's start; MPEG-TS may move it on for B-frames), has increasing dts, decodes as cleanly.
void ExpectLikeReference(const Row &r, const std::string &out, const std::string &ref) {
  const bool merge = r.job == J::MergeAV, concat = r.job == J::Concat || r.job == J::ConcatRebased;
  const double tol = merge ? 0.002 : concat ? 0.03 : 0.04, spanTol = merge ? 0.05 : concat ? 0.15 : 0.04;
  Span o[2], t[2];
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Streams(out, i ? "audio" : "video"), Streams(ref, i ? "audio" : "video"));
    o[i] = ProbeSpan(out, i ? "a:0" : "V:0"), t[i] = ProbeSpan(ref, i ? "a:0" : "V:0");
    EXPECT_EQ(o[i].count, t[i].count) << i;
    EXPECT_NEAR(o[i].Length(), t[i].Length(), spanTol) << i;
    EXPECT_LE(o[i].badDts, merge || concat ? 0 : t[i].badDts) << i;
    EXPECT_GE(o[i].first, std::min(t[i].first, 0.0) - tol) << i;
  }
  EXPECT_NEAR(o[1].first - o[0].first, o[0].count && o[1].count ? t[1].first - t[0].first : o[1].first - o[0].first, tol);
  EXPECT_LE(StartTime(out), (concat ? 0 : StartTime(ref)) + (r.ext == "ts" ? 0.2 : concat ? 0.001 : tol));
  const double tags = std::max(o[0].end, o[1].end) - std::min(o[0].first, o[1].first);
  EXPECT_NEAR(r.job == J::FixFlv ? ProbeDuration(out) : tags, tags, 0.1);  // the repaired head states the tags' span
  const int errors = DecodeErrors(out);
  EXPECT_LE(errors, errors ? DecodeErrors(ref) : 0);
}

// Else the codecs and size asked for, the input's span from 0 (not an encoder's priming), a clean decode.
void ExpectFromInput(const Row &r, const std::vector<std::string> &in, const std::string &out) {
  const std::string v = Host::Get() && r.dllV ? r.dllV : r.v;
  EXPECT_EQ(Streams(out, "video"), std::make_tuple(*r.v ? 1 : 0, v, r.w, r.h));
  EXPECT_EQ(Streams(out, "audio"), std::make_tuple(*r.a ? 1 : 0, std::string(r.a), 0, 0));
  const Span iv = ProbeSpan(in[0], "V:0", true), ia = ProbeSpan(in.back(), "a:0", true);
  const Span ov = ProbeSpan(out, "V:0"), oa = ProbeSpan(out, "a:0");
  const auto played = [](const Span &s) { return s.end - std::max(0.0, s.first); };
  if (r.job == J::MergeAV) {  // each stream from its input's offset to the shorter input's end
    EXPECT_NEAR(ov.first, iv.first, 0.05);
    EXPECT_NEAR(oa.first, ia.first, 0.05);
    EXPECT_NEAR(ov.end, std::min(iv.end, ia.end), 0.1);
    EXPECT_NEAR(oa.end, std::min(iv.end, ia.end), 0.05);
  } else if (r.job == J::Trim) {
    EXPECT_NEAR(ov.Length(), std::min<double>(r.p2, iv.Length()) - r.p1, 1.5 * iv.Length() / iv.count);
  } else if (r.job != J::Grab) {
    // The input's last picture may state no duration, the output's lasts a frame.
    if (*r.v) { EXPECT_NEAR(played(ov), iv.Length(), 0.1 + iv.Length() / std::max(iv.count, 1)); }
    EXPECT_NEAR(played(oa), r.job == J::Mp3 && r.p1 ? r.p1 / 1e3 : ia.Length(), 0.1);
    const double delay = r.job == J::Mp3 ? 1105 / Seconds(Asked(out)["streams"][0]["sample_rate"]) : 0;
    if (r.ext != "ts") { EXPECT_LE(std::fabs(StartTime(out)), delay + 0.05); }
  }
  EXPECT_EQ(DecodeErrors(out, *r.v && Streams(out, "video") != Streams(in[0], "video")), 0);
}

// A job stopped early still finishes a file that plays: its streams hold a frame at least.
void ExpectStoppedEarly(const Row &r, const std::string &out) {
  EXPECT_EQ(std::get<1>(Streams(out, "video")), std::string(r.v));
  EXPECT_EQ(std::get<1>(Streams(out, "audio")), std::string(r.a));
  if (*r.v) { EXPECT_GE(ProbeSpan(out, "V:0").count, 1); }
  EXPECT_GE(ProbeSpan(out, "a:0").count, 1);
  EXPECT_EQ(DecodeErrors(out), 0);
}

// One stream read alone (a cut-off file's up to where its data ends): channels, stated ticks, whole
// seconds from its start (or 0) to its last packet's end, truncating, edit-list discards left out.
struct Measure {
  int64_t channels = 0, ticks = 0;
  std::optional<int64_t> secs;
};
Measure MeasureStream(const std::string &path, const std::string &sel, bool fromZero = false) {
  std::string text;
  Run("ffprobe -v error -of json -select_streams " + sel + " -show_entries packet=pts,dts,duration,flags:stream="
      "start_pts,time_base,duration_ts,channels " + Quote(path) + " 2>/dev/null", &text);
  const json j = json::parse(text, nullptr, false);
  Measure m;
  if (j.is_discarded() || !j.contains("streams") || j["streams"].empty()) return m;
  const json &s = j["streams"][0];
  m.channels = s.value("channels", 0), m.ticks = s.value("duration_ts", int64_t{0});
  int64_t first = INT64_MAX, end = INT64_MIN, num = 0, den = 0;
  for (const json &p : j.value("packets", json::array())) {
    const int64_t ts = p.value("pts", p.value("dts", INT64_MIN));
    if (ts == INT64_MIN || p.value("flags", "").find('D') != std::string::npos) continue;
    first = std::min(first, ts), end = std::max(end, ts + std::max<int64_t>(0, p.value("duration", int64_t{0})));
  }
  std::sscanf(s.value("time_base", "0/0").c_str(), "%ld/%ld", &num, &den);
  if (end != INT64_MIN && den)
    m.secs = int64_t(__int128(std::max<int64_t>(0, end - (fromZero ? 0 : s.value("start_pts", first)))) * num / den);
  return m;
}

// PSNR in dB of one picture against another (inf when alike).
double Psnr(const std::string &a, const std::string &b) {
  std::string text;
  Run("ffmpeg -nostats -i " + Quote(a) + " -i " + Quote(b) + " -lavfi psnr -f null - 2>&1", &text);
  const size_t at = text.find("average:");
  return at == std::string::npos ? 0 : std::strtod(text.c_str() + at + 8, nullptr);
}

// Every field a probe answers, to set the DLL's beside the Linux library's.
std::string InfoText(const Answer &a) {
  const MpgMediaInfo &i = a.info;
  char text[1024];
  std::snprintf(text, sizeof text, "audio %u; %ld s, %ld bit/s; video %d %dx%d %ld bit/s %.17g fps %ld ticks %s %s; audio "
                "%d %d ch %ld bit/s %d Hz %ld ticks %s %s; subtitles %d %ld s %s", a.audioDuration, i.duration,
                i.containerBitRate, i.videoStreamCount, i.width, i.height, i.videoBitRate, i.frameRate,
                i.videoStreamDuration, i.videoCodec, i.videoSampleFormat, i.audioStreamCount, i.channels,
                i.audioBitRate, i.sampleRate, i.audioStreamDuration, i.audioCodec, i.audioSampleFormat,
                i.subtitleStreamCount, i.subtitleDuration, i.subtitleCodec);
  return text;
}

// A file lasts as its longest stream by packets (not by ffprobe's stated duration: edit-list lead-ins,
// bit-rate guesses), a subtitle file to its last cue's end; audio: its ticks if they fit 32 bits.
void ExpectDurations(const Row &r, const std::string &path) {
  const Measure v = MeasureStream(path, "V:0"), a0 = MeasureStream(path, "a:0"), a = a0.channels > 0 ? a0 : Measure{};
  const std::optional<int64_t> d = v.secs || a.secs ? std::max(v.secs.value_or(-1), a.secs.value_or(-1))
                                                     : MeasureStream(path, "s:0", true).secs;
  if (!d) GTEST_SKIP() << "ffprobe reads no packet of " << path;
  const Answer got = Do(JobCall(r, {path}, ""));
  ASSERT_EQ(got.status, 1);
  EXPECT_EQ(got.info.duration, *d);
  EXPECT_EQ(got.audioDuration,
            !a.channels ? 0 : a.ticks > 0 && a.ticks <= int64_t{UINT32_MAX} ? a.ticks : a.secs.value_or(*d));
  const auto [videos, codec, w, h] = Streams(path, "video");
  if (!r.as.empty()) { EXPECT_EQ(std::make_pair(got.info.width, got.info.height), std::make_pair(w, h)) << codec; }
  if (Host::Get()) { EXPECT_EQ(InfoText(got), InfoText(RunHere(JobCall(r, {path}, "")))) << "the DLL's, then Linux's"; }
}

class RealWorld : public ::testing::TestWithParam<Row> {};

TEST_P(RealWorld, Row) {
  REQUIRE_REALWORLD();
  const Row &r = GetParam();
  if (Platform() == "i686" && !r.i686) GTEST_SKIP() << "not in the i686 subset";
  if (Host::Get() && !r.dllLacks.empty()) GTEST_SKIP() << r.dllLacks;
  const std::vector<std::string> in = Inputs(r);
  auto before = Tree(OutputDir());
  if (r.job == J::Info) {
    ExpectDurations(r, in[0]);
    EXPECT_EQ(Tree(OutputDir()), before) << "a probe wrote a file";
    return;
  }
  const std::string out = Out(r.outName.empty() ? "out." + r.ext : r.outName);
  fs::create_directories(fs::path(out).parent_path());
  const int32_t status = RunJob(r, in, out);
  auto after = Tree(OutputDir());
  if (r.mayRefuse && status != 0 && status != INT32_MIN) {
    EXPECT_EQ(after, before) << "a refused job wrote a file";
    return;
  }
  ASSERT_EQ(status, r.status);
  EXPECT_EQ(FileExists(out), r.status == 0) << "a refused job leaves no file";
  after.erase(out);
  if (!r.as.empty()) { EXPECT_EQ(after, before) << "a file besides the output was written or created"; }
  if (r.status) return;
  if (VideoNeedsStartCodes(out, r.ext)) { EXPECT_TRUE(FirstVideoPacketHasStartCode(out)) << "length-prefixed"; }
  if (Stopped(r.job)) return ExpectStoppedEarly(r, out);
  const std::string ref = Reference(r, in);
  ref.empty() ? ExpectFromInput(r, in, out) : ExpectLikeReference(r, out, ref);
  if (r.job == J::Grab && Host::Get()) {  // the DLL's picture is the Linux library's
    ASSERT_EQ(RunHere(JobCall(r, in, Out("linux.jpg"))).status, 1);
    // Byte for byte where the decoder is bit-exact; MPEG-2's IDCT is not, and 32-bit FFmpeg picks other SIMD.
    if (ReadBytes(out) != ReadBytes(Out("linux.jpg"))) {
      EXPECT_TRUE(Platform() == "i686" && Psnr(out, Out("linux.jpg")) >= 60) << "the DLL's JPEG differs";
    }
  }
}

std::string RowName(const ::testing::TestParamInfo<Row> &info) { return info.param.name; }
constexpr int32_t kNoVideo = MPG_VIDEO_STREAM_NOT_FOUND, kNoAudio = MPG_AUDIO_STREAM_NOT_FOUND, kBadData = -0x41444e49;
const std::string kLongAac = "ax_long_edit_list_audioonly.mp4", kMp3 = "ax_cbr_trailing_id3v1.mp3";
// Without the headerless AMR demuxers, the DLL reads this MP3 behind 100 kB of junk as the 1 s MP3 it holds;
// Debian's FFmpeg, like the ffmpeg tool, takes the junk for 70 s of AMR-NB.
const std::string kRawAmr = "headerless AMR-NB demuxer";
const std::string kVp6 = "me_grampa_laughing_vp6.flv", kFmp4 = "sp_muxed_fmp4_joined.mp4";
const std::string kSeg69 = "hls/sp_hls_text_offset/video-069.ts";

INSTANTIATE_TEST_SUITE_P(Merge, RealWorld, ::testing::Values(
    Row{"H263WithAmr", J::MergeAV, {"ax_h263.3gp", "ax_amrnb.3gp"}, 0, 0, 0, "mkv"},
    Row{"Vp6fWithOpus", J::MergeAV, {kVp6, "ax_opus_48k_mono.webm"}, 0, 0, 0, "mkv"},
    Row{"AsfAudioLateIntoAvi", J::MergeAV, {"mm_elephant.asf", kMp3}, 0, 0, 0, "avi"},
    I686(Row{"CmafVideoDtsBelowZero", J::MergeAV, {"ax_cmaf_video.mp4", kLongAac}, 0, 0, 0, "mp4"}),
    Row{"HevcEditListLeadIn", J::MergeAV, {"ax_edit_list_hevc.mp4", kLongAac}, 0, 0, 0, "mp4"},
    Row{"VariableRateVp9IntoAvi", J::MergeAV, {"ax_vp9_10bit.webm", kLongAac}, 0, 0, 0, "avi"},
    Row{"MatroskaNoLeadingDts", J::MergeAV, {"ax_vorbis_audio.mkv", kLongAac}, 0, 0, 0, "mp4"},
    Row{"VideoFrom10s", J::MergeAV, {"ax_firstpts_10s_videoonly.mp4", kLongAac}, 0, 0, 0, "mp4"},
    I686(Row{"CoverPictureIsNoVideo", J::MergeAV, {"mm_trumpsta.m4a", kLongAac}, 0, 0, kNoVideo, "mp4"}),
    Row{"DashVideoFrom30sWithDashAudio", J::MergeAV, {kFmp4, "sp_dash_audio_en_aac.mp4"}, 0, 0, 0, "mp4"},
    Row{"TheoraWithVorbis", J::MergeAV, {"@theora.ogv", "deb_freedesktop_phone_incoming.oga"}, 0, 0, 0, "mkv"},
    Row{"EditListKeyFrameBeforeZero", J::MergeAV, {"ax_iibbibb_editlist_videoonly.mp4", kLongAac}, 0, 0, 0, "mp4"},
    I686(Row{"Mpeg4WithDamagedMp3", J::MergeAV, {"ax_sample.avi", "ax_bear_id3.mp3"}, 1, 0, 0, "mp4", "mpeg4", "aac",
             960, 400}),
    Row{"ShortTsWithLongerMp3", J::MergeAV, {"ax_h262_mpeg_audio.ts", "ax_bear_id3.mp3"}, 1, 0, 0, "mp4", "mpeg2video", "aac", 640, 426},
    Row{"Vp6fWithMp3IntoAvi", J::MergeAV, {kVp6, kMp3}, 0, 0, 0, "avi"},
    // The file starts with its cue track, 0.73 s before the pictures; the merge drops the track.
    Row{"TsWithEarlyCueTrack", J::MergeAV, {"@scte35.ts", kLongAac}, 0, 0, 0, "mp4"},
    Row{"TsWithEarlyCueTrackAndMp3", J::MergeAV, {"@scte35.ts", "ax_bear_id3.mp3"}, 1, 0, 0, "mp4", "mpeg2video", "aac", 640, 426},
    Row{"ReencodeStoppedAtFirstReport", J::MergeAVStopped, {"ax_sample.avi", "ax_bear_id3.mp3"}, 1, 0, 0, "mp4", "mpeg4", "aac"}), RowName);

INSTANTIATE_TEST_SUITE_P(Concat, RealWorld, ::testing::Values(
    Row{"JumpBackToMp4", J::Concat, {"hls/sp_hls_text_offset/"}, 0, 0, 0, "mp4"},
    Row{"AacOnlyToMp4", J::Concat, {"hls/sp_hls_ts_aac_audio/"}, 0, 0, 0, "mp4"},
    I686(Row{"MuxedToMp4", J::Concat, {"hls/sp_hls_ts_muxed_aac_h264/"}, 0, 0, 0, "mp4"}),
    Row{"Wrap33BitToTs", J::Concat, {"@before_wrap.ts", "@across_wrap.ts"}, 0, 0, 0, "ts"},
    Row{"Wrap33BitToMp4", J::Concat, {"@before_wrap.ts", "@across_wrap.ts"}, 0, 0, 0, "mp4"},
    I686(Row{"BFramesThriceRebasedToTs", J::ConcatRebased, {kSeg69, kSeg69, kSeg69}, 0, 0, 0, "ts"}),
    Row{"BFramesThriceRebasedToMp4", J::ConcatRebased, {kSeg69, kSeg69, kSeg69}, 0, 0, 0, "mp4"},
    Row{"H264From10sToMp4", J::Concat, {"hls/sp_hls_ts_h264/"}, 0, 0, 0, "mp4"}), RowName);

INSTANTIATE_TEST_SUITE_P(Edit, RealWorld, ::testing::Values(
    I686(Row{"TsFrom140sCrop", J::Crop, {kSeg69}, 0, 0, 0, "ts"}),
    Row{"Vp6fFlvRepair", J::FixFlv, {kVp6}, 0, 0, 0, "flv"},
    Row{"Fmp4From30sDelay", J::Shift, {kFmp4}, 500, 0, 0, "mp4"},
    I686(Row{"WmvShift", J::Shift, {"mm_elephant.asf"}, 500, 0, 0, "asf"}),
    I686(Row{"H264FlvRepair", J::FixFlv, {"ax_sample.flv"}, 0, 0, 0, "flv"}),
    Row{"VideoOnlyTsCrop", J::Crop, {"sp_h265.ts"}, 0, 0, kNoAudio, "ts"},
    Row{"CoverM4aCrop", J::Crop, {"mm_trumpsta.m4a"}, 0, 0, kNoVideo, "m4a"},
    Row{"TsAcrossWrapShift", J::Shift, {"@across_wrap.ts"}, -500, 0, 0, "ts"},
    Row{"CoverMp3Shift", J::Shift, {"ax_bear_id3.mp3"}, -500, 0, kNoVideo, "mp3"},
    Row{"TsFrom18sShift", J::Shift, {"hls/sp_hls_ts_muxed_aac_h264/n_3_0_0.ts"}, 500, 0, 0, "ts"},
    Row{"VideoOnlyMp4Shift", J::Shift, {"ax_firstpts_10s_videoonly.mp4"}, 500, 0, kNoAudio, "mp4"},
    Row{"Vp6fShift", J::Shift, {kVp6}, -500, 0, 0, "flv"},
    Row{"LongMp3HeaderAviCrop", J::Crop, {"@long_mp3_header.avi"}, 0, 0, 0, "avi"},
    Row{"TsWithEarlyCueTrackCrop", J::Crop, {"@scte35.ts"}, 0, 0, 0, "ts"}), RowName);

INSTANTIATE_TEST_SUITE_P(Trim, RealWorld, ::testing::Values(
    DllEncodes("h264", Row{"Av1Trim", J::Trim, {"ax_av1.mp4"}, 0, 1, 0, "mp4", "av1", "aac", 1080, 720}),
    Row{"Vp6fTrimIntoFlv1", J::Trim, {kVp6}, 3, 5, 0, "flv", "flv1", "mp3", 352, 288},
    Row{"Fmp4From30sTrim", J::Trim, {kFmp4}, 0, 1, 0, "mp4", "h264", "aac", 1280, 720},
    I686(Row{"OneKeyFrameTrimMiddle", J::Trim, {"sp_small.mp4"}, 4, 6, 0, "mp4", "h264", "aac", 256, 110}),
    Row{"PartlyFragmentedTrim", J::Trim, {"ax_partially_fragmented.mp4"}, 0, 1, 0, "mp4", "h264", "aac", 1080, 720},
    Row{"Mpeg2FrameRateClockTrim", J::Trim, {"ax_h262_mpeg_audio.ts"}, 0, 1, 0, "ts", "mpeg2video", "mp2", 640, 426},
    Row{"CoverMp3Trim", J::Trim, {"mm_id3v24.mp3"}, 0, 1, kNoVideo, "mp3"},
    Row{"UnknownLengthFragmentedTrim", J::Trim, {"@unknown_length.mp4"}, 0, 1, 0, "mp4", "h264", "aac", 320, 240},
    Row{"LongMp3HeaderAviTrim", J::Trim, {"@long_mp3_header.avi"}, 0, 1, 0, "avi", "h264", "mp3", 160, 120}), RowName);

INSTANTIATE_TEST_SUITE_P(Image, RealWorld, ::testing::Values(
    Row{"CoverMp3AtHalf", J::Grab, {"mm_id3v24.mp3"}, 50, 0, 0, "jpg", "mjpeg", "", 500, 500},
    I686(Row{"BlackClip", J::Grab, {"ax_silent_black_25s.mp4"}, 0, 0, 0, "jpg", "mjpeg", "", 320, 240}),
    I686(Row{"Mpeg2TsAtHalf", J::Grab, {"ax_h262_mpeg_audio.ts"}, 50, 0, 0, "jpg", "mjpeg", "", 640, 426}),
    Row{"ShortH264AtHalf", J::Grab, {"ax_sample_h264_aac.mp4"}, 50, 0, 0, "jpg", "mjpeg", "", 1080, 720},
    Row{"Vp6f", J::Grab, {kVp6}, 0, 0, 0, "jpg", "mjpeg", "", 352, 288},
    Row{"DashFrom30sAtHalf", J::Grab, {kFmp4}, 50, 0, 0, "jpg", "mjpeg", "", 1280, 720},
    Row{"VideoShorterThanPgsAtHalf", J::Grab, {"ax_pgs.mkv"}, 50, 0, 0, "jpg", "mjpeg", "", 1080, 720},
    Row{"UnknownLengthFragmentedAtHalf", J::Grab, {"@unknown_length.mp4"}, 50, 0, 0, "jpg", "mjpeg", "", 320, 240},
    I686(Row{"Av1AtHalf", J::Grab, {"ax_av1.mp4"}, 50, 0, 0, "jpg", "mjpeg", "", 1080, 720})), RowName);

constexpr int32_t k3gp = 0, kAvi = 2, kMp3File = 3, kMp4 = 4, kTs = 6, kWebm = 7;
INSTANTIATE_TEST_SUITE_P(Transcode, RealWorld, ::testing::Values(
    I686(Row{"FlacIntoMp4", J::Transcode, {"ax_bear.flac"}, kMp4, 0, 0, "mp4", "", "aac"}),
    I686(Row{"Mp3OfTruncatedVideo", J::Mp3, {"mm_mr_pickles.mp4"}, 0, 0, kBadData, "mp3"}),
    Row{"Mp3OfTruncatedAudiobook", J::Mp3, {"mm_issue_127.m4b"}, 0, 0, kBadData, "mp3"},
    Row{"Vp6fIntoMp4", J::Transcode, {"@vp6_2s.flv"}, kMp4, 0, 0, "mp4", "h264", "mp3", 352, 288},
    Row{"CoverPictureIsNoVideo", J::Transcode, {"mm_trumpsta.m4a"}, kMp4, 0, 0, "mp4", "", "aac"},
    DllLacks(kRawAmr, Row{"Mp3OfJunkReadAsAmr", J::Mp3, {"ax_100kB_garbage_prefix.mp3"}, 70700, 0, 0, "mp3", "", "mp3"}),
    Row{"Vp6fIntoAviCopied", J::Transcode, {"@vp6_2s.flv"}, kAvi, 0, 0, "avi", "vp6f", "mp3", 352, 288},
    I686(Row{"H264IntoAviCopied", J::Transcode, {"sp_small.mp4"}, kAvi, 0, 0, "avi", "h264", "aac", 256, 110}),
    Row{"H264AviInto3gpScaled", J::Transcode, {"@h264.avi"}, k3gp, 144, 0, "3gp", "h264", "aac", 336, 144},
    Row{"FragmentedScaled", J::Transcode, {"@fragmented.mp4"}, kMp4, 144, 0, "mp4", "h264", "aac", 336, 144},
    DllLacks(kRawAmr, Row{"JunkReadAsAmrNbIntoMp4", J::Transcode, {"ax_100kB_garbage_prefix.mp3"}, kMp4, 0, 0, "mp4", "", "aac"}),
    Row{"OddScaledWidthMadeEven", J::Transcode, {"sp_small.mp4"}, kMp4, 120, 0, "mp4", "h264", "aac", 280, 120},
    Row{"Mpeg2InTsFrameRateClock", J::Transcode, {"ax_h262_mpeg_audio.ts"}, kTs, 144, 0, "ts", "mpeg2video", "mp2", 216, 144},
    Row{"FlacIntoTs", J::Transcode, {"ax_bear.flac"}, kTs, 0, 0, "ts", "", "mp2"},
    Row{"UnknownLengthFragmentedScaled", J::Transcode, {"@unknown_length.mp4"}, kMp4, 144, 0, "mp4", "h264", "aac", 192, 144},
    // Frames 80 to 360 ms apart, 10.5 a second on average, in the FLV's millisecond clock.
    Row{"Vp6fVariableRateIntoMp4", J::Transcode, {kVp6}, kMp4, 0, 0, "mp4", "h264", "mp3", 352, 288},
    Row{"Vp6fVariableRateScaledTo360", J::Transcode, {kVp6}, kMp4, 360, 0, "mp4", "h264", "mp3", 440, 360},
    Row{"H264FromMp4IntoAvi", J::Transcode, {"ax_sample_h264_aac.mp4"}, kAvi, 0, 0, "avi", "h264", "aac", 1080, 720},
    Row{"H265FromMp4IntoTs", J::Transcode, {"ax_edit_list_hevc.mp4"}, kTs, 0, 0, "ts", "hevc", "aac", 1920, 1080},
    Row{"Av1ScaledIntoTs", J::Transcode, {"ax_av1.mp4"}, kTs, 144, 0, "ts", "mpeg2video", "aac", 216, 144},
    I686(Row{"H264AacIntoWebm", J::Transcode, {"sp_small.mp4"}, kWebm, 0, 0, "webm", "vp9", "opus", 256, 110}),
    Row{"Vp9VorbisScaledInWebm", J::Transcode, {"ax_vp9_vorbis6ch.webm"}, kWebm, 144, 0, "webm", "vp9", "vorbis", 256, 144},
    // A fine scale's first report comes before the first audio frame was encoded.
    Row{"Mp3StoppedAtFirstReport", J::TranscodeStopped, {"ax_sample_h264_aac.mp4"}, kMp3File, 0, 0, "mp3", "", "mp3"},
    Row{"ScaledStoppedAtFirstReport", J::TranscodeStopped, {"ax_sample_h264_aac.mp4"}, kMp4, 144, 0, "mp4", "h264", "aac"},
    Row{"CopyStoppedAtFirstReport", J::TranscodeStopped, {"ax_sample_h264_aac.mp4"}, kMp4, 0, 0, "mp4", "h264", "aac"},
    Row{"Mp3ConversionStoppedAtFirstReport", J::Mp3Stopped, {"ax_sample_h264_aac.mp4"}, 0, 0, 0, "mp3", "", "mp3"}), RowName);

std::vector<Row> InfoRows() {
  std::vector<Row> rows;
  for (const char *made : {"sine_400s.mp3", "across_wrap.ts"})
    rows.push_back({std::string("Made_") + made, J::Info, {std::string("@") + made}});
  std::error_code ec;
  for (const auto &e : fs::recursive_directory_iterator(kDir, ec)) {
    const std::string file = fs::relative(e.path(), kDir).string();
    if (e.is_regular_file() && file != "SOURCES.tsv") rows.push_back({file, J::Info, {file}});
    if (file == "ax_100kB_garbage_prefix.mp3") rows.back() = DllLacks(kRawAmr, rows.back());
    if (file == "mm_speex.ogg") rows.back() = DllLacks("Speex decoder (libspeex), which states the bit rate", rows.back());
  }
  std::sort(rows.begin() + 2, rows.end(), [](const Row &x, const Row &y) { return x.name < y.name; });
  for (size_t i = 0; i < rows.size(); i += 8) rows[i].i686 = true;
  for (Row &r : rows) std::replace_if(r.name.begin(), r.name.end(), [](unsigned char c) { return !std::isalnum(c); }, '_');
  return rows;
}
INSTANTIATE_TEST_SUITE_P(Probe, RealWorld, ::testing::ValuesIn(InfoRows()), RowName);

// Downloads named after their titles, and look-alike names a lossy conversion would reach instead.
INSTANTIATE_TEST_SUITE_P(Names, RealWorld, ::testing::Values(
    Named(Row{"CyrillicMerge", J::MergeAV, {"ax_cmaf_video.mp4", kLongAac}, 0, 0, 0, "mp4"},
          {"Видео.mp4", "Аудио.mp4"}, "Слияние.mp4"),
    Named(Row{"GreekTrim", J::Trim, {"sp_small.mp4"}, 4, 6, 0, "mp4", "h264", "aac", 256, 110},
          {"Ταινία.mp4"}, "Κομμένο.mp4"),
    Named(Row{"JapaneseTranscode", J::Transcode, {"sp_small.mp4"}, kAvi, 0, 0, "avi", "h264", "aac", 256, 110},
          {"動画.mp4"}, "変換済み.avi"),
    Named(Row{"JapaneseGrab", J::Grab, {"ax_silent_black_25s.mp4"}, 0, 0, 0, "jpg", "mjpeg", "", 320, 240},
          {"黒い画面.mp4"}, "サムネイル.jpg"),
    I686(Named(Row{"ArabicMp3", J::Mp3, {"ax_bear.flac"}, 0, 0, 0, "mp3", "", "mp3"}, {"صوت.flac"}, "أغنية.mp3")),
    Named(Row{"ArabicShift", J::Shift, {"mm_elephant.asf"}, 500, 0, 0, "asf"}, {"فيل.asf"}, "مزامنة.asf"),
    Named(Row{"EmojiFlvRepair", J::FixFlv, {"ax_sample.flv"}, 0, 0, 0, "flv"}, {"🎬 clip 😀.flv"}, "🎬 fixed 😀.flv"),
    Named(Row{"EmojiCrop", J::Crop, {kSeg69}, 0, 0, 0, "ts"}, {"📺 news 🌍.ts"}, "✂️ cut.ts"),
    Named(Row{"MixedScriptsConcat", J::ConcatRebased, {kSeg69, kSeg69}, 0, 0, 0, "mp4"},
          {"Часть α 第1部 ١.ts", "Часть α 第2部 ٢.ts"}, "Сборка α 日本 عربي 🎞.mp4"),
    I686(Named(Row{"LookAlikeInputAlpha", J::Info, {"sp_small.mp4"}}, {"α.mp4"}, "", {{"a.mp4", "ax_sample_h264_aac.mp4"}})),
    I686(Named(Row{"LookAlikeOutputAlpha", J::MergeAV, {"ax_cmaf_video.mp4", kLongAac}, 0, 0, 0, "mp4"},
               {"v.mp4", "a.mp4"}, "αout.mp4", {{"aout.mp4", "sp_small.mp4"}})),
    I686(Named(Row{"FullwidthReverseSolidusOutput", J::Crop, {"ax_sample_h264_aac.mp4"}, 0, 0, 0, "mp4"},
               {"in.mp4"}, "bf/sub/..\uFF3C..\uFF3Cescaped.mp4", {{"escaped.mp4", "sp_small.mp4"}}, true))), RowName);

}  // namespace

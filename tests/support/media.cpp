#include "support/media.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace fs = std::filesystem;

namespace mpgtest {

namespace {

// Lavfi sources behind every fixture; bit-exact flags keep files reproducible.
const std::string kVideo = "-f lavfi -i testsrc2=size=320x240:rate=25:duration=";
const std::string kAudio = "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=";
const std::string kExact = " -fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1 ";
const std::string kH264 = " -c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p ";

}  // namespace

std::string Quote(const std::string &path) {
  std::string q = "'";
  for (char c : path) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

int Run(const std::string &command, std::string *output) {
  FILE *pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  std::array<char, 4096> buf;
  std::string text;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) text.append(buf.data(), n);
  int status = pclose(pipe);
  if (output) *output = std::move(text);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string MakeFixture(const std::string &name, const std::string &ffmpegArgs) {
  const std::string key = std::to_string(std::hash<std::string>{}(ffmpegArgs));
  const fs::path dir = fs::path(MPG_FIXTURE_DIR) / key;
  const fs::path path = dir / name;
  if (fs::exists(path)) return path.string();
  fs::create_directories(dir);
  // Another test process may make the same fixture: write aside, then rename.
  const fs::path tmp = dir / ("tmp-" + std::to_string(getpid()) + "-" + name);
  std::string log;
  const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -y " + ffmpegArgs + " " +
                          Quote(tmp.string()) + " 2>&1";
  int rc = Run(cmd, &log);
  if (rc != 0 || !fs::exists(tmp)) {
    ADD_FAILURE() << "fixture " << name << " failed: " << cmd << "\n" << log;
    return path.string();
  }
  fs::rename(tmp, path);
  return path.string();
}

namespace fx {

std::string H264Aac10s() {
  return MakeFixture("h264_aac_10s.mp4", kVideo + "10 " + kAudio + "10 -ac 2" + kExact + kH264 +
                                             "-c:a aac -b:a 96k -shortest");
}
std::string H264Video10s() { return MakeFixture("h264_10s.mp4", kVideo + "10" + kExact + kH264); }
std::string AacAudio10s() { return MakeFixture("aac_10s.m4a", kAudio + "10 -ac 2" + kExact + "-c:a aac -b:a 96k"); }
std::string Vp9Video5s() {
  return MakeFixture("vp9_5s.webm", kVideo + "5" + kExact +
                                        "-c:v libvpx-vp9 -deadline realtime -cpu-used 8 -b:v 300k -g 25");
}
std::string OpusAudio5s() { return MakeFixture("opus_5s.webm", kAudio + "5 -ac 2" + kExact + "-c:a libopus -b:a 64k"); }
std::string Vp9Opus5s() {
  return MakeFixture("vp9_opus_5s.webm", kVideo + "5 " + kAudio + "5 -ac 2" + kExact +
                                             "-c:v libvpx-vp9 -deadline realtime -cpu-used 8 -b:v 300k -g 25 "
                                             "-c:a libopus -b:a 64k");
}
std::string Av1Video3s() {
  return MakeFixture("av1_3s.mp4", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=3" + kExact +
                                       "-c:v libaom-av1 -cpu-used 8 -row-mt 0 -b:v 100k -g 25");
}
std::string Mpeg4Mp3Avi5s() {
  return MakeFixture("mpeg4_mp3_5s.avi", kVideo + "5 " + kAudio + "5 -ac 2" + kExact +
                                             "-c:v mpeg4 -q:v 5 -g 25 -c:a libmp3lame -b:a 128k");
}
std::string Mpeg4Video5s() { return MakeFixture("mpeg4_5s.avi", kVideo + "5" + kExact + "-c:v mpeg4 -q:v 5 -g 25"); }
std::string Mp3Audio5s() { return MakeFixture("mp3_5s.mp3", kAudio + "5 -ac 2" + kExact + "-c:a libmp3lame -b:a 128k"); }
std::string FlacAudio5s() { return MakeFixture("flac_5s.flac", kAudio + "5 -ac 2" + kExact + "-c:a flac"); }
std::string Ac3Audio5s() { return MakeFixture("ac3_5s.ac3", kAudio + "5 -ac 2" + kExact + "-c:a ac3 -b:a 192k"); }
std::string Mp3WithCover5s() {
  return MakeFixture("mp3_cover_5s.mp3", kAudio + "5 -ac 2 -f lavfi -i color=c=red:size=64x64:duration=1" + kExact +
                                             "-map 0:a -map 1:v -frames:v 1 -c:a libmp3lame -b:a 128k -c:v mjpeg "
                                             "-disposition:v attached_pic -id3v2_version 3");
}
std::string TextFile() {
  const fs::path path = fs::path(MPG_FIXTURE_DIR) / "text.txt";
  if (!fs::exists(path)) {
    fs::create_directories(path.parent_path());
    WriteBytes(path.string(), "This is plain text, not media.\n");
  }
  return path.string();
}

}  // namespace fx

std::string OutputDir() {
  const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "no-test";
  for (char &c : name)
    if (c == '/') c = '_';
  static std::string prepared;
  const fs::path dir = fs::path(MPG_TEST_BIN_DIR) / "outputs" / name;
  if (prepared != name) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    prepared = name;
  }
  return dir.string();
}

std::string Out(const std::string &name) { return (fs::path(OutputDir()) / name).string(); }

nlohmann::json Probe(const std::string &path) {
  std::string out;
  Run("ffprobe -v error -show_format -show_streams -of json " + Quote(path) + " 2>/dev/null", &out);
  auto j = nlohmann::json::parse(out, nullptr, false);
  return j.is_discarded() ? nlohmann::json::object() : j;
}

nlohmann::json ProbePackets(const std::string &path, const std::string &selector) {
  std::string out;
  std::string select = selector.empty() ? "" : " -select_streams " + selector;
  Run("ffprobe -v error -show_packets -of json" + select + " " + Quote(path) + " 2>/dev/null", &out);
  auto j = nlohmann::json::parse(out, nullptr, false);
  if (j.is_discarded() || !j.contains("packets")) return nlohmann::json::array();
  return j["packets"];
}

std::vector<std::string> PacketHashes(const std::string &path, const std::string &selector) {
  std::string out;
  Run("ffprobe -v error -show_data_hash MD5 -show_entries packet=data_hash,flags -select_streams " + selector +
          " -of json " + Quote(path) + " 2>/dev/null",
      &out);
  std::vector<std::string> hashes;
  const auto j = nlohmann::json::parse(out, nullptr, false);
  if (j.is_discarded()) return hashes;
  for (const auto &p : j.value("packets", nlohmann::json::array()))
    if (p.value("flags", "").find('D') == std::string::npos) hashes.push_back(p.value("data_hash", ""));
  return hashes;
}

Packets ReadPackets(const std::string &path, const std::string &selector) {
  Packets r;
  std::vector<std::pair<int64_t, double>> byPos;  // dts in file order
  for (const auto &p : ProbePackets(path, selector)) {
    const auto time = [&p](const char *key) { return p.contains(key) ? std::stod(p[key].get<std::string>()) : NAN; };
    const double pts = time("pts_time"), dts = time("dts_time"), at = std::isnan(pts) ? dts : pts;
    Track &t = r.streams[p["stream_index"].get<int>()];
    t.type = p.value("codec_type", "");
    if (t.count++ > 0) t.maxStep = std::max(t.maxStep, dts - t.lastDts);
    t.nonRising += !(dts > t.lastDts), t.lastDts = std::isnan(dts) ? t.lastDts : dts;
    t.durations |= p.contains("duration_time");
    t.first = std::min(t.first, at), t.end = std::max(t.end, at + (p.contains("duration_time") ? time("duration_time") : 0));
    t.sizes.push_back(p.value("size", "")), t.starts.push_back(at);
    if (!std::isnan(dts)) byPos.emplace_back(std::stoll(p.value("pos", std::string("0"))), dts);
  }
  std::sort(byPos.begin(), byPos.end());
  double latest = -1e300;
  for (const auto &[pos, dts] : byPos) r.worstLate = std::max(r.worstLate, latest - dts), latest = std::max(latest, dts);
  return r;
}

Track Packets::Of(const std::string &type) const {
  for (const auto &[index, t] : streams)
    if (t.type == type) return t;
  return {};
}

double ProbeDuration(const std::string &path, int streamIndex) {
  nlohmann::json j = Probe(path);
  const nlohmann::json *node = nullptr;
  if (streamIndex < 0) {
    if (j.contains("format")) node = &j["format"];
  } else if (j.contains("streams") && static_cast<size_t>(streamIndex) < j["streams"].size()) {
    node = &j["streams"][streamIndex];
  }
  if (!node || !node->contains("duration")) return -1.0;
  return std::stod((*node)["duration"].get<std::string>());
}

bool DecodesCleanly(const std::string &path, std::string *errors) {
  std::string out;
  int rc = Run("ffmpeg -nostdin -v error -i " + Quote(path) + " -f null - 2>&1", &out);
  if (errors) *errors = out;
  return rc == 0 && out.empty();
}

bool FileExists(const std::string &path) { return fs::exists(path); }

uint64_t FileSizeOf(const std::string &path) {
  std::error_code ec;
  auto size = fs::file_size(path, ec);
  return ec ? 0 : size;
}

std::string ReadBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteBytes(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

Picture DecodePicture(const std::string &path) {
  const std::string decode = fs::path(path).extension() == ".jpg"
                                 ? "djpeg -pnm " + Quote(path)
                                 : "ffmpeg -v error -i " + Quote(path) + " -c:v ppm -f image2pipe -";
  std::string ppm;
  EXPECT_EQ(Run(decode + " 2>" + Quote(path + ".log"), &ppm), 0) << decode;
  EXPECT_EQ(ReadBytes(path + ".log"), "") << decode;
  Picture pic;
  int maxValue = 0, used = 0;
  if (std::sscanf(ppm.c_str(), "P6 %d %d %d%n", &pic.width, &pic.height, &maxValue, &used) == 3) pic.rgb = ppm.substr(used + 1);
  return pic;
}

std::optional<std::string> InChild(const std::function<std::string()> &call, std::string *log) {
  const std::string result = Out("child.result"), errors = Out("child.log");
  fs::remove(result);
  const pid_t pid = fork();
  if (pid == 0) {
    if (FILE *f = std::fopen(errors.c_str(), "wb")) dup2(fileno(f), STDERR_FILENO);
    alarm(60);
    WriteBytes(result + ".tmp", call());
    fs::rename(result + ".tmp", result);
    _exit(0);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  if (log) *log = ReadBytes(errors);
  if (pid < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || !fs::exists(result)) return std::nullopt;
  return ReadBytes(result);
}

uint8_t ProgressLog::Callback(const ProgressReport *report) {
  auto *log = reinterpret_cast<ProgressLog *>(report->user);
  log->users.push_back(report->user);
  if (report->value == -1) {
    log->texts.emplace_back(report->text ? report->text : "");
    return 1;
  }
  log->values.push_back(report->value);
  return log->stopAtValue > 0 && static_cast<int>(log->values.size()) >= log->stopAtValue ? 0 : 1;
}

}  // namespace mpgtest

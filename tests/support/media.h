// Test support: media fixtures made by the ffmpeg tool from lavfi sources (small,
// deterministic, cached in the build tree) and judges that look at outputs through
// ffprobe and full decodes, independently of the library.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "mpg.h"

namespace mpgtest {

// Path of a fixture made by `ffmpeg -y <args> <path>`; made once and cached under
// a key of the recipe. Fails the test when ffmpeg fails.
std::string MakeFixture(const std::string &name, const std::string &ffmpegArgs);

// Ready-made fixtures many tests share (durations in the names).
namespace fx {
std::string H264Aac10s();     // 320x240 25 fps H.264 + 48 kHz stereo AAC, MP4
std::string H264Video10s();   // the video alone, MP4
std::string AacAudio10s();    // the audio alone, M4A
std::string Vp9Video5s();     // VP9 alone, WebM
std::string OpusAudio5s();    // Opus alone, WebM
std::string Vp9Opus5s();      // both, WebM
std::string Av1Video3s();     // AV1 alone, MP4
std::string Mpeg4Mp3Avi5s();  // MPEG-4 Part 2 + MP3, AVI
std::string Mpeg4Video5s();   // MPEG-4 Part 2 alone, AVI
std::string Mp3Audio5s();     // MP3 alone
std::string FlacAudio5s();    // FLAC alone
std::string Ac3Audio5s();     // AC-3 alone
std::string Mp3WithCover5s(); // MP3 with an attached JPEG picture
std::string TextFile();       // a text file that is no media
}  // namespace fx

// A fresh, empty directory for the running test's outputs; Out(name) is a path in it.
std::string OutputDir();
std::string Out(const std::string &name);

// Runs a shell command; returns its exit status and, if asked, its stdout.
int Run(const std::string &command, std::string *output = nullptr);
std::string Quote(const std::string &path);

// ffprobe -show_format -show_streams as JSON (empty object when ffprobe fails).
nlohmann::json Probe(const std::string &path);
// ffprobe -show_packets for the streams chosen by selector (e.g. "v:0"), as JSON.
nlohmann::json ProbePackets(const std::string &path, const std::string &selector = "");
// The MD5 of each packet's payload of the streams selector picks, in file order,
// leaving out the packets an edit list hides (flag D).
std::vector<std::string> PacketHashes(const std::string &path, const std::string &selector);
// A stream's packets as ffprobe lists them (times in seconds): sizes and start times in file
// order, how many dts do not rise above the one before (a missing one counts), the largest dts
// step, and the span from the earliest start (pts, else dts) to the latest end.
struct Track {
  std::string type;
  int count = 0, nonRising = 0;
  double first = 1e300, end = -1e300, lastDts = -1e300, maxStep = 0;
  bool durations = false;  // some packet states one; else the last lasts as long as the others
  std::vector<std::string> sizes;
  std::vector<double> starts;
  double Span() const { return end <= first ? 0.0 : durations ? end - first : (end - first) * count / (count - 1); }
};
struct Packets {
  std::map<int, Track> streams;  // by stream index
  double worstLate = 0;          // how far a packet's dts lies behind one earlier in the file
  Track Of(const std::string &type) const;  // the first stream of a codec type, or an empty track
};
Packets ReadPackets(const std::string &path, const std::string &selector = "");
// The duration of a stream (or of the format when streamIndex < 0), in seconds.
double ProbeDuration(const std::string &path, int streamIndex = -1);
// A full decode prints no error.
bool DecodesCleanly(const std::string &path, std::string *errors = nullptr);

bool FileExists(const std::string &path);
uint64_t FileSizeOf(const std::string &path);
std::string ReadBytes(const std::string &path);
void WriteBytes(const std::string &path, const std::string &bytes);

// A picture as rows of RGB bytes, as djpeg (for a .jpg) or ffmpeg decodes a file; a decoder's
// report fails the test.
struct Picture {
  int width = 0, height = 0;
  std::string rgb;
};
Picture DecodePicture(const std::string &path);

// Runs call in a child process, which a minute's alarm ends if it hangs: gives what call
// returned, or nothing when the child crashed, hung or a sanitizer stopped it; log gets its stderr.
std::optional<std::string> InChild(const std::function<std::string()> &call, std::string *log = nullptr);

// Records every report a job sends; optionally answers stop at the n-th progress
// value (1-based), counting text reports separately.
struct ProgressLog {
  std::vector<int32_t> values;
  std::vector<std::string> texts;
  std::vector<uintptr_t> users;
  int stopAtValue = 0;

  static uint8_t Callback(const ProgressReport *report);
  uintptr_t User() { return reinterpret_cast<uintptr_t>(this); }
};

}  // namespace mpgtest

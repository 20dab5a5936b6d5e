// The single-file edits beside their command-line peers, whole process against
// whole process, on a 10-minute 720p H.264 + AAC file:
//   crop    MPG_Crop                      ffmpeg -i in -c copy out
//   shift   MPG_ShiftAudio (+500 ms)      ffmpeg -i in -itsoffset 0.5 -i in -map 0:v -map 1:a -c copy out
//   flvfix  FLV_FixDuration               flvmeta --update (Debian's flvmeta), on an FLV of the
//                                         same media whose metadata states 1 s
// Runs are interleaved (the order alternates) after one untimed warm-up each; each
// job prints one line:
//   BENCH job=<name> lib_median_s=<x> peer_median_s=<y> ratio=<r> peer=<peer>
//
//   edit_bench                   all jobs, 7 runs each (BENCH_QUICK=1: 3)
//   edit_bench crop IN OUT       one library job in this process, then exit
//   edit_bench shift IN OUT MS   (the modes the timed child processes run)
//   edit_bench flvfix PATH
// The inputs are made once with the ffmpeg tool under /tmp/edit_bench.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "mpg.h"

namespace {

const std::string kDir = "/tmp/edit_bench";
const std::string kMp4 = kDir + "/in_720p_10min.mp4";
const std::string kFlv = kDir + "/in_720p_10min_stale.flv";

const char kMp4Recipe[] =
    "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25:duration=600 "
    "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=600 -ac 2 "
    "-c:v libx264 -preset ultrafast -b:v 1500k -pix_fmt yuv420p -c:a aac -b:a 128k -shortest ";

std::string SelfPath() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  buf[n] = '\0';
  return buf;
}

std::string Quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

bool Exists(const std::string &path) { return access(path.c_str(), R_OK) == 0; }

bool CopyFile(const std::string &from, const std::string &to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  return in && out.good();
}

// The FLV of the benchmark media, its metadata stating a duration of 1 s, as the
// first segment of a joined file would.
bool MakeStaleFlv() {
  const std::string fresh = kDir + "/fresh.flv";
  if (std::system(("ffmpeg -nostdin -v error -y -i " + Quote(kMp4) + " -c copy " + Quote(fresh)).c_str()) != 0) {
    return false;
  }
  std::ifstream in(fresh, std::ios::binary);
  std::string head(4096, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  const size_t at = head.find(std::string("\x00\x08" "duration\x00", 11));
  if (at == std::string::npos) return false;
  std::fstream io(fresh, std::ios::binary | std::ios::in | std::ios::out);
  io.seekp(static_cast<std::streamoff>(at + 11));
  io.write("\x3F\xF0\x00\x00\x00\x00\x00\x00", 8);  // 1.0 as a big-endian double
  io.close();
  return std::rename(fresh.c_str(), kFlv.c_str()) == 0;
}

bool MakeInputs() {
  mkdir(kDir.c_str(), 0755);
  if (!Exists(kMp4)) {
    std::printf("making %s ...\n", kMp4.c_str());
    std::fflush(stdout);
    const std::string tmp = kDir + "/part.mp4";
    if (std::system((kMp4Recipe + Quote(tmp)).c_str()) != 0 || std::rename(tmp.c_str(), kMp4.c_str()) != 0) {
      return false;
    }
  }
  return Exists(kFlv) || MakeStaleFlv();
}

// Runs argv with its output sent to /dev/null; the wall time in seconds, or a
// negative number when the program could not run or failed.
double TimeProcess(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) return -1.0;
  if (pid == 0) {
    if (FILE *null = std::fopen("/dev/null", "w")) {
      dup2(fileno(null), STDOUT_FILENO);
      dup2(fileno(null), STDERR_FILENO);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1.0;
  const auto end = std::chrono::steady_clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1.0;
  return std::chrono::duration<double>(end - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

struct Job {
  std::string name;
  std::string peerName;
  std::vector<std::string> lib;
  std::vector<std::string> peer;
  std::function<bool()> prepare;  // untimed, before every run of either side
};

bool RunJob(const Job &job, int runs) {
  std::vector<double> libSeconds, peerSeconds;
  for (int i = -1; i < runs; ++i) {
    // Alternate which side goes first, so neither always follows the other's I/O.
    const bool libFirst = i % 2 == 0;
    double t[2];
    for (int k = 0; k < 2; ++k) {
      const bool lib = (k == 0) == libFirst;
      if (job.prepare && !job.prepare()) return false;
      t[k] = TimeProcess(lib ? job.lib : job.peer);
      if (t[k] < 0) {
        std::fprintf(stderr, "%s: the %s run failed\n", job.name.c_str(), lib ? "library" : job.peerName.c_str());
        return false;
      }
      (lib ? libSeconds : peerSeconds).push_back(t[k]);
    }
    if (i < 0) {  // the warm-up brings the input and both programs into the page cache
      libSeconds.clear();
      peerSeconds.clear();
    }
  }
  const double libMedian = Median(libSeconds), peerMedian = Median(peerSeconds);
  std::printf("BENCH job=%s lib_median_s=%.3f peer_median_s=%.3f ratio=%.3f peer=%s\n", job.name.c_str(), libMedian,
              peerMedian, libMedian / peerMedian, job.peerName.c_str());
  std::fflush(stdout);
  return true;
}

int CompareAll() {
  const std::string self = SelfPath();
  if (self.empty() || !MakeInputs()) {
    std::fprintf(stderr, "cannot make the benchmark inputs under %s\n", kDir.c_str());
    return 1;
  }
  const char *quick = std::getenv("BENCH_QUICK");
  const int runs = quick && std::strcmp(quick, "1") == 0 ? 3 : 7;
  const std::string libOut = kDir + "/lib_out.mp4", peerOut = kDir + "/peer_out.mp4";
  const std::string libFlv = kDir + "/lib_fix.flv", peerFlv = kDir + "/peer_fix.flv";
  const std::vector<Job> jobs = {
      {"crop", "ffmpeg -c copy", {self, "crop", kMp4, libOut},
       {"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", kMp4, "-c", "copy", peerOut}, nullptr},
      {"shift_audio", "ffmpeg -itsoffset -c copy", {self, "shift", kMp4, libOut, "500"},
       {"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", kMp4, "-itsoffset", "0.5", "-i", kMp4, "-map", "0:v",
        "-map", "1:a", "-c", "copy", peerOut},
       nullptr},
      // Each run repairs a fresh copy of the damaged file; the copy is not timed.
      {"flv_fix_duration", "flvmeta --update", {self, "flvfix", libFlv}, {"flvmeta", "--update", peerFlv},
       [&] { return CopyFile(kFlv, libFlv) && CopyFile(kFlv, peerFlv); }},
  };
  int failed = 0;
  for (const Job &job : jobs) failed += RunJob(job, runs) ? 0 : 1;
  return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && std::strcmp(argv[1], "crop") == 0) return MPG_Crop(argv[2], argv[3]) == 0 ? 0 : 1;
  if (argc == 5 && std::strcmp(argv[1], "shift") == 0) {
    return MPG_ShiftAudio(argv[2], argv[3], std::atoi(argv[4]), nullptr, 0) == 0 ? 0 : 1;
  }
  if (argc == 3 && std::strcmp(argv[1], "flvfix") == 0) return FLV_FixDuration(argv[2]) == 0 ? 0 : 1;
  if (argc != 1) {
    std::fprintf(stderr, "usage: %s | crop IN OUT | shift IN OUT MS | flvfix PATH\n", argv[0]);
    return 2;
  }
  return CompareAll();
}

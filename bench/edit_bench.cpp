// The single-file edits beside their command-line peers, whole process against
// whole process, on a 10-minute 720p H.264 + AAC file:
//   crop    MPG_Crop                      ffmpeg -i in -c copy out
//   shift   MPG_ShiftAudio (+500 ms)      ffmpeg -i in -itsoffset 0.5 -i in -map 0:v -map 1:a -c copy out
//   flvfix  FLV_FixDuration               yamdi -i in -o out (Debian's yamdi), on FLVs of the first
//                                         minute and of all ten minutes of the same media whose
//                                         metadata states 1 s; and flvmeta --update (Debian's
//                                         flvmeta) on the ten-minute one
// The repair rewrites the file's head in place, so before each run the stale duration
// is put back into its copy and every file is flushed to the disk, untimed: the
// repair's own flush then writes its head, not a file just copied, and waits on no
// peer's writes. Both peers write the whole file again, and their timed runs end
// before it reaches the disk.
// Runs are interleaved (the order alternates) after one untimed warm-up each; each
// job prints one line:
//   BENCH job=<name> lib_median_s=<x> peer_median_s=<y> ratio=<r> peer=<peer>
//
//   edit_bench                   all jobs, 7 runs each (BENCH_QUICK=1: 3)
//   edit_bench flv_fix           the jobs whose names start so
//   edit_bench crop IN OUT       one library job in this process, then exit
//   edit_bench shift IN OUT MS   (the modes the timed child processes run)
//   edit_bench flvfix PATH
// The inputs are made once with the ffmpeg tool under /tmp/edit_bench.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "mpg.h"

namespace {

using bench::Quote;

const std::string kDir = "/tmp/edit_bench";
const std::string kMp4 = kDir + "/in_720p_10min.mp4";
const std::string kFlv = kDir + "/in_720p_10min_stale.flv";
const std::string kFlv1Min = kDir + "/in_720p_1min_stale.flv";

const char kMp4Recipe[] =
    "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=600 "
    "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=600 -ac 2 "
    "-c:v libx264 -preset ultrafast -b:v 1500k -pix_fmt yuv420p -c:a aac -b:a 128k -shortest";

bool CopyFile(const std::string &from, const std::string &to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  return in && out.good();
}

// Makes the metadata of the FLV at path state a duration of 1 s, as the first
// segment of a joined file would, and flushes the file to the disk.
bool StateOneSecond(const std::string &path) {
  std::string head(4096, '\0');
  std::ifstream in(path, std::ios::binary);
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  const size_t at = head.find(std::string("\x00\x08" "duration\x00", 11));
  if (at == std::string::npos) return false;
  const int fd = open(path.c_str(), O_WRONLY);
  if (fd < 0) return false;
  const bool ok = pwrite(fd, "\x3F\xF0\x00\x00\x00\x00\x00\x00", 8, static_cast<off_t>(at + 11)) == 8 &&
                  fsync(fd) == 0;  // 1.0 as a big-endian double
  return close(fd) == 0 && ok;
}

// Before each run of either side of a repair job: the writes of the run before (the
// peers write a whole file) reach the disk first, so that no run waits on another's;
// then the library's copy states 1 s again.
bool PrepareRepair(const std::string &libFlv) {
  sync();
  return StateOneSecond(libFlv);
}

// The FLV of the benchmark media's first `seconds` (0: all of it), stating 1 s.
bool MakeStaleFlv(const std::string &path, int seconds) {
  if (bench::FileExists(path)) return true;
  const std::string fresh = kDir + "/fresh.flv", span = seconds ? "-t " + std::to_string(seconds) + " " : "";
  if (!bench::RunFfmpeg("-i " + Quote(kMp4) + " " + span + "-c copy " + Quote(fresh))) return false;
  return StateOneSecond(fresh) && std::rename(fresh.c_str(), path.c_str()) == 0;
}

// The repair as a host that has the library loaded waits for it: calls in this
// process, each after the same preparation as the timed processes, the first one
// untimed; NaN when one fails.
double CallMedian(const std::string &flv, int runs) {
  std::vector<double> seconds;
  for (int i = 0; i <= runs; ++i) {
    if (!PrepareRepair(flv)) return NAN;
    const auto start = std::chrono::steady_clock::now();
    if (FLV_FixDuration(flv.c_str()) != 0) return NAN;
    if (i > 0) seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return bench::Median(seconds);
}

bool MakeInputs() {
  mkdir(kDir.c_str(), 0755);
  return bench::MakeInput(kMp4, kMp4Recipe) && MakeStaleFlv(kFlv, 0) && MakeStaleFlv(kFlv1Min, 60);
}

int CompareAll(const std::string &only) {
  const std::string self = bench::SelfPath();
  if (self.empty() || !MakeInputs()) {
    std::fprintf(stderr, "cannot make the benchmark inputs under %s\n", kDir.c_str());
    return 1;
  }
  const int runs = bench::Quick() ? 3 : 7;
  const std::string libOut = kDir + "/lib_out.mp4", peerOut = kDir + "/peer_out.mp4";
  const std::string libFlv = kDir + "/lib_fix.flv", libFlv1Min = kDir + "/lib_fix_1min.flv";
  const std::string peerFlv = kDir + "/peer_fix.flv";
  if (!CopyFile(kFlv, libFlv) || !CopyFile(kFlv1Min, libFlv1Min) || !CopyFile(kFlv, peerFlv)) {
    std::fprintf(stderr, "cannot copy the FLVs under %s\n", kDir.c_str());
    return 1;
  }
  using bench::Exec;
  struct EditJob {
    bench::Job job;
    std::string repairs;  // the library's FLV of a repair job, also repaired in this process
  };
  const std::vector<EditJob> jobs = {
      {{"crop", "ffmpeg -c copy", Exec({self, "crop", kMp4, libOut}),
       Exec({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", kMp4, "-c", "copy", peerOut}), nullptr},
       ""},
      {{"shift_audio", "ffmpeg -itsoffset -c copy", Exec({self, "shift", kMp4, libOut, "500"}),
       Exec({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", kMp4, "-itsoffset", "0.5", "-i", kMp4, "-map", "0:v",
             "-map", "1:a", "-c", "copy", peerOut}),
       nullptr},
       ""},
      {{"flv_fix_duration_60s", "yamdi", Exec({self, "flvfix", libFlv1Min}),
        Exec({"yamdi", "-i", kFlv1Min, "-o", peerFlv}), [&] { return PrepareRepair(libFlv1Min); }},
       libFlv1Min},
      {{"flv_fix_duration_600s", "yamdi", Exec({self, "flvfix", libFlv}), Exec({"yamdi", "-i", kFlv, "-o", peerFlv}),
        [&] { return PrepareRepair(libFlv); }},
       libFlv},
      {{"flv_fix_duration_600s_flvmeta", "flvmeta --update", Exec({self, "flvfix", libFlv}),
        Exec({"flvmeta", "--update", peerFlv}), [&] { return PrepareRepair(libFlv); }},
       libFlv},
  };
  int failed = 0;
  for (const EditJob &e : jobs) {
    if (e.job.name.rfind(only, 0) != 0) continue;
    if (e.repairs.empty()) {
      failed += bench::RunJob(e.job, runs) ? 0 : 1;
      continue;
    }
    // The process's time is mostly the start of a program linked with FFmpeg's
    // shared libraries; the call's time beside it is what a host waits.
    bench::Series lib, peer;
    const double call = bench::Interleave(e.job, runs, lib, peer) ? CallMedian(e.repairs, runs) : NAN;
    if (std::isnan(call)) {
      ++failed;
      continue;
    }
    const double peerSeconds = bench::Median(peer.seconds);
    char extra[96];
    std::snprintf(extra, sizeof extra, "lib_call_median_s=%.4f call_ratio=%.3f", call, call / peerSeconds);
    bench::PrintBenchLine(e.job.name, bench::Median(lib.seconds), peerSeconds, e.job.peerName, 3, extra);
  }
  return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && std::strcmp(argv[1], "crop") == 0) return MPG_Crop(argv[2], argv[3]) == 0 ? 0 : 1;
  if (argc == 5 && std::strcmp(argv[1], "shift") == 0) {
    return MPG_ShiftAudio(argv[2], argv[3], std::atoi(argv[4]), nullptr, 0) == 0 ? 0 : 1;
  }
  if (argc == 3 && std::strcmp(argv[1], "flvfix") == 0) return FLV_FixDuration(argv[2]) == 0 ? 0 : 1;
  if (argc > 2) {
    std::fprintf(stderr, "usage: %s [JOB-PREFIX] | crop IN OUT | shift IN OUT MS | flvfix PATH\n", argv[0]);
    return 2;
  }
  return CompareAll(argc == 2 ? argv[1] : "");
}

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

// The FLV of the benchmark media, its metadata stating a duration of 1 s, as the
// first segment of a joined file would.
bool MakeStaleFlv() {
  const std::string fresh = kDir + "/fresh.flv";
  if (!bench::RunFfmpeg("-i " + Quote(kMp4) + " -c copy " + Quote(fresh))) return false;
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
  return bench::MakeInput(kMp4, kMp4Recipe) && (bench::FileExists(kFlv) || MakeStaleFlv());
}

int CompareAll() {
  const std::string self = bench::SelfPath();
  if (self.empty() || !MakeInputs()) {
    std::fprintf(stderr, "cannot make the benchmark inputs under %s\n", kDir.c_str());
    return 1;
  }
  const int runs = bench::Quick() ? 3 : 7;
  const std::string libOut = kDir + "/lib_out.mp4", peerOut = kDir + "/peer_out.mp4";
  const std::string libFlv = kDir + "/lib_fix.flv", peerFlv = kDir + "/peer_fix.flv";
  using bench::Exec;
  const std::vector<bench::Job> jobs = {
      {"crop", "ffmpeg -c copy", Exec({self, "crop", kMp4, libOut}),
       Exec({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", kMp4, "-c", "copy", peerOut}), nullptr},
      {"shift_audio", "ffmpeg -itsoffset -c copy", Exec({self, "shift", kMp4, libOut, "500"}),
       Exec({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", kMp4, "-itsoffset", "0.5", "-i", kMp4, "-map", "0:v",
             "-map", "1:a", "-c", "copy", peerOut}),
       nullptr},
      // Each run repairs a fresh copy of the damaged file; the copy is not timed.
      {"flv_fix_duration", "flvmeta --update", Exec({self, "flvfix", libFlv}), Exec({"flvmeta", "--update", peerFlv}),
       [&] { return CopyFile(kFlv, libFlv) && CopyFile(kFlv, peerFlv); }},
  };
  int failed = 0;
  for (const bench::Job &job : jobs) failed += bench::RunJob(job, runs) ? 0 : 1;
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

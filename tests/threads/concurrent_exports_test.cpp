// The exports on several threads at once (also run under ThreadSanitizer by scripts/test.sh).
// Every job runs alone, then on four threads twice (all starting the same job together, then each
// in its own order), and must give the status, progress reports and output bytes it gave alone.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "mpg.h"
#include "support/media.h"

using namespace mpgtest;
namespace fs = std::filesystem;

namespace {

constexpr int kThreads = 4;
constexpr ProgressCallback kCb = &ProgressLog::Callback;

// 2 s of H.264 and AAC; from it each stream, FLAC audio, two TS segments, an FLV stating no duration.
std::string Fixture(const std::string &name) {
  const std::string av = MakeFixture(
      "av.mp4", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=2 -f lavfi -i sine=duration=2 -ac 2 "
                "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac -b:a 96k -shortest");
  const std::map<std::string, std::string> recipes = {
      {"v.mp4", "-map 0:v -c copy"}, {"a.m4a", "-map 0:a -c copy"}, {"a.flac", "-map 0:a -c:a flac"},
      {"0.ts", "-t 1 -c copy"}, {"1.ts", "-ss 1 -copyts -c copy"},
      {"stale.flv", "-c:v flv1 -c:a libmp3lame -ar 22050 -flvflags no_duration_filesize"}};
  return name == "av.mp4" ? av : MakeFixture(name, "-i " + Quote(av) + " " + recipes.at(name));
}

// A call on up to two inputs, an output (name + extension) and user; text: an output not in a file.
using P = const char *; using U = uintptr_t; using T = std::string &;

struct Job {
  const char *name;
  std::vector<std::string> fixtures;
  const char *outputExtension;
  int32_t (*run)(P in, P in2, P out, U user, T text);
  int32_t aloneStatus;  // MPG_OK, or 1 for the exports that answer true or false
  bool packetTimes = false;  // its H.264 encoder varies a few bytes per run: judge the packet list
};

int32_t Transcode(P in, P out, U user, int32_t format, int32_t audio, int32_t video, int32_t height = 0) {
  TranscodeParams p{};
  p.outputFormat = format, p.audioCodecChoice = audio, p.videoCodecChoice = video, p.height = height;
  const Str::string input(in), output(out);
  return MPG_Transcode(&input, &output, &p, kCb, user);
}

const std::vector<Job> kJobs = {
    {"merge-copy", {"v.mp4", "a.m4a"}, ".mp4", [](P a, P b, P o, U u, T) { return MPG_MergeAV(a, b, o, kCb, u); }, 0},
    {"merge-flac", {"v.mp4", "a.flac"}, ".mp4", [](P a, P b, P o, U u, T) { return MPG_MergeAV(a, b, o, kCb, u); }, 0},
    {"concat", {"0.ts", "1.ts"}, ".ts", [](P a, P b, P o, U u, T) {
       const char *segments[] = {a, b, nullptr};
       return MPG_Merge(segments, o, 0, 0, kCb, u); }, MPG_OK},
    {"mpeg4-mp3-avi", {"av.mp4"}, ".avi", [](P a, P, P o, U u, T) { return Transcode(a, o, u, 2, 1, 6); }, 0},
    {"scaled-h264", {"av.mp4"}, ".mp4", [](P a, P, P o, U u, T) { return Transcode(a, o, u, 4, 2, 5, 96); }, 0},
    {"mp3", {"a.m4a"}, ".mp3", [](P a, P, P o, U u, T) { return MP3_Convert(a, o, 128000, kCb, u); }, MPG_OK},
    {"shift-audio", {"av.mp4"}, ".mp4", [](P a, P, P o, U u, T) { return MPG_ShiftAudio(a, o, 300, kCb, u); }, 0},
    {"crop", {"av.mp4"}, ".mp4", [](P a, P, P o, U, T) { return MPG_Crop(a, o); }, MPG_OK},
    {"trim", {"av.mp4"}, ".mp4", [](P a, P, P o, U, T) { return MPG_SaveTrimmedVideo(a, o, 0, 1); }, MPG_OK, true},
    // The repair rewrites its input in place: its output path is its input.
    {"stale", {"stale.flv"}, ".flv", [](P a, P, P, U, T) { return FLV_FixDuration(a); }, MPG_OK},
    // JPEGs scaled up to 960x720, so that the writes of threads grabbing together overlap.
    {"jpeg", {"av.mp4"}, ".jpg", [](P a, P, P o, U, T) -> int32_t { return MPG_GetImage(2, a, o, 720, 80); }, 1},
    {"jpeg-at", {"av.mp4"}, ".jpg", [](P a, P, P o, U, T) -> int32_t { return MPG_GetImageJPG(a, o, 1, 720); }, 1},
    {"bmp", {"av.mp4"}, ".bmp", [](P a, P, P o, U, T) -> int32_t { return MPG_GetImageP(1, a, o, 50, 0, 0); }, 1},
    {"bmp-memory", {"av.mp4"}, "", [](P a, P, P, U, T text) -> int32_t {
       uint32_t size = 0;
       uint8_t *bmp = MPG_GetImageBMP(a, 1, &size, 0);
       if (!bmp) return 0;
       text.assign(reinterpret_cast<const char *>(bmp), size);
       std::free(bmp);
       return 1; }, 1},
    {"probes", {"av.mp4", "a.m4a"}, "", [](P a, P b, P, U, T text) -> int32_t {
       MpgMediaInfo info;
       std::memset(&info, 0xAB, sizeof info);  // fields left unwritten show
       MergeOp2Result choice{}; char ext[32] = "unset";
       MPG_GetDefExtension(a, ext, sizeof ext);
       text = std::to_string(MPG_IsThisGoodFile(a)) + std::to_string(MPG_GetAudioDuration(b)) + ext +
              std::to_string(MPG_MergeOP2(a, b, &choice)) + std::to_string(choice.mode) + std::to_string(choice.kind) +
              choice.extension + std::to_string(MPG_GetMediaInfo(a, &info));
       text.append(reinterpret_cast<const char *>(&info), sizeof info);
       return 1; }, 1},
    // The process-wide scale is set to the value it has: the others' reports stay as they were.
    {"housekeeping", {}, "", [](P, P, P, U, T text) -> int32_t {
       MPG_SetPercent100(100), MPG_TestParams();
       for (int32_t id = -1; id <= 9; ++id) text += std::string(MPG_GetDefExt(id)) + ",";
       return MPG_OK; }, MPG_OK},
};

struct Result { int32_t status = -1; std::string output; ProgressLog log; };

// Runs every job on `threads` threads at once, each on its own copies of the fixtures; in lockstep
// all start the same job together, else each walks the list from its own quarter of it.
std::vector<std::vector<Result>> RunRound(const std::string &round, int threads, bool lockstep) {
  const size_t n = kJobs.size();
  auto dir = [&](int t) { return OutputDir() + "/" + round + std::to_string(t) + "/"; };
  for (int t = 0; t < threads; ++t) {
    fs::create_directories(dir(t));
    for (const char *f : {"av.mp4", "v.mp4", "a.m4a", "a.flac", "0.ts", "1.ts", "stale.flv"})
      fs::copy_file(Fixture(f), dir(t) + f);
  }
  std::vector<std::vector<Result>> results(threads, std::vector<Result>(n));
  std::barrier sync(threads);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t, d = dir(t)] {
      for (size_t step = 0; step < n; ++step) {
        if (step == 0 || lockstep) sync.arrive_and_wait();
        const Job &job = kJobs[lockstep ? step : (step + static_cast<size_t>(t) * n / kThreads) % n];
        auto in = [&](size_t k) { return k < job.fixtures.size() ? d + job.fixtures[k] : std::string(); };
        const std::string out = d + job.name + job.outputExtension;
        Result &r = results[t][static_cast<size_t>(&job - kJobs.data())];
        r.status = job.run(in(0).c_str(), in(1).c_str(), out.c_str(), r.log.User(), r.output);
        if (job.packetTimes)  // the packet list, sizes and positions left out
          Run("ffprobe -v 0 -show_entries packet=stream_index,pts,dts,duration,flags -of csv " + Quote(out), &r.output);
        else if (r.output.empty()) r.output = ReadBytes(out);
      }
    });
  }
  for (std::thread &worker : workers) worker.join();
  return results;
}

TEST(ConcurrentExports, EveryJobGivesWhatItGaveAlone) {
  const std::vector<Result> alone = RunRound("alone", 1, true)[0];
  for (size_t j = 0; j < kJobs.size(); ++j)
    EXPECT_TRUE(alone[j].status == kJobs[j].aloneStatus && !alone[j].output.empty())
        << kJobs[j].name << " alone: status " << alone[j].status;
  ASSERT_FALSE(HasFailure());
  for (const bool lockstep : {true, false}) {
    const std::vector<std::vector<Result>> together = RunRound(lockstep ? "lockstep" : "staggered", kThreads, lockstep);
    for (int t = 0; t < kThreads; ++t)
      for (size_t j = 0; j < kJobs.size(); ++j) {
        SCOPED_TRACE(std::string(kJobs[j].name) + " on thread " + std::to_string(t) + (lockstep ? ", lockstep" : ""));
        EXPECT_EQ(together[t][j].status, alone[j].status);
        EXPECT_TRUE(together[t][j].output == alone[j].output) << "output differs from the run alone";
        EXPECT_EQ(together[t][j].log.values, alone[j].log.values);
        EXPECT_EQ(together[t][j].log.texts, alone[j].log.texts);
      }
  }
}

// A thread's error text stays as it was while other threads format theirs, up to its
// next call. Each round a thread takes another's code, so each text is made on several threads.
TEST(ConcurrentExports, ErrorTextIsKeptPerThread) {
  const int32_t codes[kThreads] = {-0x20464F45, -2, -5, MPG_SAME_FILE};  // AVERROR_EOF, (ENOENT), (EIO)
  std::string expected[kThreads];
  for (int t = 0; t < kThreads; ++t) expected[t] = MPG_GetErrorText(codes[t]);
  std::barrier step(kThreads);
  std::atomic<int> mismatches = 0;
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t)
    workers.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round) {
        const char *text = MPG_GetErrorText(codes[(t + round) % kThreads]);
        step.arrive_and_wait();  // every thread has now formatted its text
        mismatches += expected[(t + round) % kThreads] != text;
        step.arrive_and_wait();  // nobody formats the next before all have checked
      }
    });
  for (std::thread &worker : workers) worker.join();
  EXPECT_EQ(mismatches, 0);
}

}  // namespace

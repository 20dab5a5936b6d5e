// The exports on several threads at once. Each job (one export on its own small
// fixture) first runs alone; then four threads run every job again on their own
// copies of the fixtures, twice: all starting the same job together, then each in
// its own order, so that different exports overlap. Every concurrent run must give
// what the run alone gave: the status, the progress reports and the output, byte
// for byte. The trim's output is compared by its packet list without the sizes:
// its H.264 encoder (libx264 at a bit rate, on threads of its own) varies a few
// bytes from run to run even when nothing else runs. scripts/test.sh also runs
// this binary under ThreadSanitizer.
#include <gtest/gtest.h>

#include <barrier>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "mpg.h"
#include "support/media.h"

using namespace mpgtest;
namespace fs = std::filesystem;

namespace {

constexpr int kThreads = 4;

// FFmpeg codes as the exports return them: AVERROR_EOF, AVERROR(ENOENT),
// AVERROR(EIO) and AVERROR(ENOMEM).
constexpr int32_t kAvErrorEof = -0x20464F45;
constexpr int32_t kAvErrorNoEntry = -2;
constexpr int32_t kAvErrorIo = -5;
constexpr int32_t kAvErrorNoMemory = -12;

// Lavfi sources for the fixtures: 2 s of 160x120 video and of stereo tone.
const std::string kVideo = "-f lavfi -i testsrc2=size=160x120:rate=25:duration=2 ";
const std::string kAudio = "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 -ac 2 ";
const std::string kExact = " -fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1 ";
const std::string kH264 = " -c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p ";

std::string VideoMp4() { return MakeFixture("video.mp4", kVideo + kExact + kH264); }
std::string AacM4a() { return MakeFixture("audio.m4a", kAudio + kExact + "-c:a aac -b:a 96k"); }
std::string FlacAudio() { return MakeFixture("audio.flac", kAudio + kExact + "-c:a flac"); }
std::string BothMp4() {
  return MakeFixture("both.mp4", kVideo + kAudio + kExact + kH264 + "-c:a aac -b:a 96k -shortest");
}
// An FLV file whose head states no duration, for the repair to fill in.
std::string StaleFlv() {
  return MakeFixture("stale.flv", kVideo + kAudio + kExact +
                                      "-c:v flv1 -c:a libmp3lame -ar 22050 -flvflags no_duration_filesize");
}
// Two MPEG-TS segments of 1 s, the second continuing the first's timestamps.
std::string Segment(int index) {
  return MakeFixture("segment" + std::to_string(index) + ".ts",
                     "-f lavfi -i testsrc2=size=160x120:rate=25:duration=1 "
                     "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=1 -ac 2" +
                         kExact + kH264 + "-c:a aac -b:a 96k -output_ts_offset " + std::to_string(index));
}

// What a user sees of one call.
struct JobResult {
  int32_t status = -1;
  std::string output;  // the output file's bytes, or the text of what the call returned
  std::vector<int32_t> progress;
  std::vector<std::string> texts;
};

// How a job's output is compared.
enum class Judge {
  kBytes,        // byte for byte
  kPacketTimes,  // ffprobe's packet list: stream, timestamps, durations, key flags
};

// The paths one run of a job uses: copies of its fixtures, and a fresh output.
struct JobPaths {
  std::vector<std::string> inputs;
  std::string output;
};

struct Job {
  const char *name;
  std::vector<std::string> (*fixtures)();
  const char *outputExtension;
  JobResult (*run)(const JobPaths &);
  int32_t aloneStatus;  // MPG_OK, or 1 for the exports that answer true or false
  Judge judge = Judge::kBytes;
};

JobResult FileResult(int32_t status, const std::string &output, const ProgressLog *log = nullptr) {
  JobResult r;
  r.status = status;
  r.output = ReadBytes(output);
  if (log) {
    r.progress = log->values;
    r.texts = log->texts;
  }
  return r;
}

JobResult MergeAv(const JobPaths &p) {
  ProgressLog log;
  const int32_t st = MPG_MergeAV(p.inputs[0].c_str(), p.inputs[1].c_str(), p.output.c_str(),
                                 &ProgressLog::Callback, log.User());
  return FileResult(st, p.output, &log);
}

JobResult ConcatSegments(const JobPaths &p) {
  ProgressLog log;
  const char *segments[] = {p.inputs[0].c_str(), p.inputs[1].c_str(), nullptr};
  const int32_t st = MPG_Merge(segments, p.output.c_str(), 0, 0, &ProgressLog::Callback, log.User());
  return FileResult(st, p.output, &log);
}

JobResult Transcode(const JobPaths &p, const TranscodeParams &params) {
  ProgressLog log;
  const Str::string in(p.inputs[0].c_str()), out(p.output.c_str());
  const int32_t st = MPG_Transcode(&in, &out, &params, &ProgressLog::Callback, log.User());
  return FileResult(st, p.output, &log);
}

// MPEG-4 Part 2 and MP3 in AVI.
JobResult TranscodeToAvi(const JobPaths &p) {
  TranscodeParams params{};
  params.outputFormat = 2;
  params.videoCodecChoice = 6;
  params.audioCodecChoice = 1;
  return Transcode(p, params);
}

// H.264, scaled, and AAC in MP4: the encoders with threads of their own.
JobResult TranscodeScaledH264(const JobPaths &p) {
  TranscodeParams params{};
  params.outputFormat = 4;
  params.videoCodecChoice = 5;
  params.audioCodecChoice = 2;
  params.width = 128;
  params.height = 96;
  return Transcode(p, params);
}

JobResult ConvertToMp3(const JobPaths &p) {
  ProgressLog log;
  const int32_t st = MP3_Convert(p.inputs[0].c_str(), p.output.c_str(), 128000, &ProgressLog::Callback, log.User());
  return FileResult(st, p.output, &log);
}

JobResult ShiftAudio(const JobPaths &p) {
  ProgressLog log;
  const int32_t st = MPG_ShiftAudio(p.inputs[0].c_str(), p.output.c_str(), 300, &ProgressLog::Callback, log.User());
  return FileResult(st, p.output, &log);
}

JobResult Crop(const JobPaths &p) { return FileResult(MPG_Crop(p.inputs[0].c_str(), p.output.c_str()), p.output); }

JobResult Trim(const JobPaths &p) {
  return FileResult(MPG_SaveTrimmedVideo(p.inputs[0].c_str(), p.output.c_str(), 0, 1), p.output);
}

// Scaled up to 960x720, so that the JPEG writes of threads that start the grab
// together overlap.
JobResult GrabJpeg(const JobPaths &p) {
  return FileResult(MPG_GetImage(MPG_IMAGE_JPEG, p.inputs[0].c_str(), p.output.c_str(), 720, 80), p.output);
}

JobResult GrabBmpAtPosition(const JobPaths &p) {
  return FileResult(MPG_GetImageP(MPG_IMAGE_BMP, p.inputs[0].c_str(), p.output.c_str(), 50, 0, 0), p.output);
}

JobResult GrabJpegAtSecond(const JobPaths &p) {
  return FileResult(MPG_GetImageJPG(p.inputs[0].c_str(), p.output.c_str(), 1, 720), p.output);
}

JobResult GrabBmpToMemory(const JobPaths &p) {
  JobResult r;
  uint32_t size = 0;
  uint8_t *bmp = MPG_GetImageBMP(p.inputs[0].c_str(), 1, &size, 0);
  r.status = bmp ? 1 : 0;
  if (bmp) r.output.assign(reinterpret_cast<const char *>(bmp), size);
  std::free(bmp);
  return r;
}

// The probes, each answer written down as text.
JobResult Probes(const JobPaths &p) {
  const char *path = p.inputs[0].c_str();
  JobResult r;
  MpgMediaInfo info;
  std::memset(&info, 0xAB, sizeof info);
  r.status = MPG_GetMediaInfo(path, &info);
  r.output.assign(reinterpret_cast<const char *>(&info), sizeof info);
  r.output += "|good=" + std::to_string(MPG_IsThisGoodFile(path));
  r.output += "|audio=" + std::to_string(MPG_GetAudioDuration(p.inputs[1].c_str()));
  MergeOp2Result choice{};
  r.output += "|op2=" + std::to_string(MPG_MergeOP2(path, p.inputs[1].c_str(), &choice)) + ":" +
              std::to_string(choice.mode) + ":" + std::to_string(choice.kind) + ":" + choice.extension;
  char extension[32] = "unset";
  MPG_GetDefExtension(path, extension, sizeof extension);
  r.output += "|ext=" + std::string(extension);
  return r;
}

// The repair rewrites its input in place: the result is the repaired file.
JobResult RepairFlv(const JobPaths &p) {
  const int32_t st = FLV_FixDuration(p.inputs[0].c_str());
  return FileResult(st, p.inputs[0]);
}

// Status texts, FFmpeg's among them, of a call that failed for want of its input.
JobResult MissingInputText(const JobPaths &p) {
  JobResult r;
  r.status = MPG_Crop((p.output + ".missing.mp4").c_str(), p.output.c_str());
  r.output = MPG_GetErrorText(r.status);
  for (int32_t code : {MPG_SAME_FILE, kAvErrorEof, kAvErrorNoMemory}) r.output += std::string("|") + MPG_GetErrorText(code);
  return r;
}

// The housekeeping exports. The scale is set to the value it has, so the other
// jobs' progress reports stay as they were while they read it.
JobResult Housekeeping(const JobPaths &) {
  JobResult r;
  MPG_SetPercent100(100);
  MPG_TestParams();
  r.status = 0;
  for (int32_t id = -1; id <= 9; ++id) r.output += std::string(MPG_GetDefExt(id)) + ",";
  return r;
}

std::vector<std::string> VideoAndAac() { return {VideoMp4(), AacM4a()}; }
std::vector<std::string> VideoAndFlac() { return {VideoMp4(), FlacAudio()}; }
std::vector<std::string> Segments() { return {Segment(0), Segment(1)}; }
std::vector<std::string> Both() { return {BothMp4()}; }
std::vector<std::string> Aac() { return {AacM4a()}; }
std::vector<std::string> BothAndAac() { return {BothMp4(), AacM4a()}; }
std::vector<std::string> Flv() { return {StaleFlv()}; }
std::vector<std::string> Nothing() { return {}; }

const std::vector<Job> &Jobs() {
  static const std::vector<Job> jobs = {
      {"merge-copy", VideoAndAac, ".mp4", MergeAv, MPG_OK},
      // FLAC beside H.264 goes to MP4 with the audio re-encoded to AAC.
      {"merge-reencode", VideoAndFlac, ".mp4", MergeAv, MPG_OK},
      {"concat", Segments, ".ts", ConcatSegments, MPG_OK},
      {"transcode-avi", Both, ".avi", TranscodeToAvi, MPG_OK},
      {"transcode-h264", Both, ".mp4", TranscodeScaledH264, MPG_OK},
      {"mp3", Aac, ".mp3", ConvertToMp3, MPG_OK},
      {"shift-audio", Both, ".mp4", ShiftAudio, MPG_OK},
      {"crop", Both, ".mp4", Crop, MPG_OK},
      {"trim", Both, ".mp4", Trim, MPG_OK, Judge::kPacketTimes},
      {"grab-jpeg", Both, ".jpg", GrabJpeg, 1},
      {"grab-bmp", Both, ".bmp", GrabBmpAtPosition, 1},
      {"grab-jpeg-seconds", Both, ".jpg", GrabJpegAtSecond, 1},
      {"grab-bmp-memory", Both, "", GrabBmpToMemory, 1},
      {"flv-repair", Flv, "", RepairFlv, MPG_OK},
      {"probes", BothAndAac, "", Probes, 1},
      {"error-text", Nothing, ".mp4", MissingInputText, kAvErrorNoEntry},
      {"housekeeping", Nothing, "", Housekeeping, MPG_OK},
  };
  return jobs;
}

// The packet list of a file as text, sizes and positions left out.
std::string PacketTimes(const std::string &path) {
  std::string list;
  Run("ffprobe -v error -show_entries packet=stream_index,pts,dts,duration,flags -of csv " + Quote(path) +
          " 2>&1",
      &list);
  return list;
}

// What the comparison looks at: run on this thread after all the jobs ended.
void ApplyJudge(const Job &job, const JobPaths &paths, JobResult &result) {
  if (job.judge == Judge::kPacketTimes && !result.output.empty()) result.output = PacketTimes(paths.output);
}

// Copies a job's fixtures into dir, so each thread reads files of its own.
JobPaths PathsIn(const std::string &dir, const Job &job, const std::vector<std::string> &fixtures) {
  fs::create_directories(dir);
  JobPaths p;
  for (const std::string &fixture : fixtures) {
    const fs::path copy = fs::path(dir) / (std::string(job.name) + "-" + fs::path(fixture).filename().string());
    fs::copy_file(fixture, copy, fs::copy_options::overwrite_existing);
    p.inputs.push_back(copy.string());
  }
  p.output = (fs::path(dir) / (std::string(job.name) + "-out" + job.outputExtension)).string();
  return p;
}

// How the threads of a round take the jobs, given the thread and the step: the
// job index, in 0..jobCount.
using Order = size_t (*)(int thread, size_t step, size_t jobCount);

// Every thread runs the same job at once, all starting it together.
size_t Lockstep(int, size_t step, size_t) { return step; }
// Each thread walks the job list from its own quarter of it, so different exports
// overlap.
size_t Staggered(int thread, size_t step, size_t jobCount) {
  return (step + static_cast<size_t>(thread) * jobCount / kThreads) % jobCount;
}

struct Round {
  const char *name;
  Order order;
  bool barrierEachStep;
};

TEST(ConcurrentExports, EveryJobGivesWhatItGaveAlone) {
  const std::vector<Job> &jobs = Jobs();
  const size_t jobCount = jobs.size();
  // Fixtures and paths are made here: the support helpers are for one thread.
  std::vector<std::vector<std::string>> fixtures;
  for (const Job &job : jobs) fixtures.push_back(job.fixtures());
  ASSERT_FALSE(HasFailure());

  std::vector<JobResult> alone;
  for (size_t j = 0; j < jobCount; ++j) {
    const JobPaths paths = PathsIn(OutputDir() + "/alone", jobs[j], fixtures[j]);
    alone.push_back(jobs[j].run(paths));
    ApplyJudge(jobs[j], paths, alone.back());
    EXPECT_EQ(alone.back().status, jobs[j].aloneStatus) << jobs[j].name;
    EXPECT_FALSE(alone.back().output.empty()) << jobs[j].name;
  }

  for (const Round &round : {Round{"lockstep", Lockstep, true}, Round{"staggered", Staggered, false}}) {
    std::vector<std::vector<JobPaths>> paths(kThreads);
    std::vector<std::vector<JobResult>> together(kThreads, std::vector<JobResult>(jobCount));
    for (int t = 0; t < kThreads; ++t) {
      const std::string dir = OutputDir() + "/" + round.name + "-thread" + std::to_string(t);
      for (size_t j = 0; j < jobCount; ++j) paths[t].push_back(PathsIn(dir, jobs[j], fixtures[j]));
    }
    std::barrier sync(kThreads);
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
      workers.emplace_back([&, t] {
        for (size_t step = 0; step < jobCount; ++step) {
          if (step == 0 || round.barrierEachStep) sync.arrive_and_wait();
          const size_t j = round.order(t, step, jobCount);
          together[t][j] = jobs[j].run(paths[t][j]);
        }
      });
    }
    for (std::thread &worker : workers) worker.join();

    for (int t = 0; t < kThreads; ++t) {
      for (size_t j = 0; j < jobCount; ++j) {
        SCOPED_TRACE(std::string(jobs[j].name) + " on thread " + std::to_string(t) + ", " + round.name);
        JobResult &got = together[t][j];
        ApplyJudge(jobs[j], paths[t][j], got);
        EXPECT_EQ(got.status, alone[j].status);
        EXPECT_TRUE(got.output == alone[j].output) << "output differs from the run alone";
        EXPECT_EQ(got.progress, alone[j].progress);
        EXPECT_EQ(got.texts, alone[j].texts);
      }
    }
  }
}

// A thread's error text stays as it was while other threads format theirs, up to
// the same thread's next call.
TEST(ConcurrentExports, ErrorTextIsKeptPerThread) {
  const int32_t codes[kThreads] = {kAvErrorEof, kAvErrorNoEntry, kAvErrorIo, kAvErrorNoMemory};
  std::string expected[kThreads];
  for (int t = 0; t < kThreads; ++t) expected[t] = MPG_GetErrorText(codes[t]);
  for (int t = 1; t < kThreads; ++t) ASSERT_NE(expected[t], expected[0]);

  constexpr int kRounds = 50;
  std::barrier step(kThreads);
  int mismatches[kThreads] = {};
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        // Each round a thread takes another thread's code, so every text is
        // formatted on several threads.
        const int which = (t + round) % kThreads;
        const char *text = MPG_GetErrorText(codes[which]);
        step.arrive_and_wait();  // every thread has now formatted its text
        if (expected[which] != text) ++mismatches[t];
        step.arrive_and_wait();  // nobody formats the next before all have checked
      }
    });
  }
  for (std::thread &worker : workers) worker.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace

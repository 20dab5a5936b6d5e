// A finished download: a 10-minute 720p H.264 file and its AAC file, SubRip
// subtitles (one cue every 2 s, CJK text), a JPEG cover, seven tags and ten
// chapters, written into one MP4 by MPG_Finish, beside three ways of getting there:
//   - the library's plain merge of the same video and audio (MPG_MergeAV): what the
//     additions cost on top of a merge;
//   - one ffmpeg command that does all of it (every input with -i, -map, -c copy,
//     -c:s mov_text, an FFMETADATA file for tags and chapters, the cover as an
//     attached picture);
//   - the download tools' usual way: a merge, then one remux per addition
//     (subtitles, cover, tags and chapters), each through the ffmpeg tool.
// Each run is a child process; runs are interleaved after one untimed warm-up:
//   BENCH job=<name> lib_median_s=<x> peer_median_s=<y> ratio=<r> peer=<peer>
//
//   finish_bench    7 runs each (BENCH_QUICK=1: 3 runs of one-minute inputs)
// Inputs are made once under /tmp/finish_bench (or /tmp/finish_bench_quick).
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "mpg.h"

namespace {

using bench::Quote;

struct Inputs {
  std::string dir, video, audio, subtitles, cover, metadata;
  int seconds = 0;
};

std::string Clock(int64_t ms, char fraction) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d%c%03d", static_cast<int>(ms / 3600000),
                static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60), fraction,
                static_cast<int>(ms % 1000));
  return buf;
}

// The chapters: ten of equal length over the whole video.
int64_t ChapterStart(const Inputs &in, int i) { return int64_t{in.seconds} * 1000 * i / 10; }

const std::vector<std::pair<std::string, std::string>> kTags = {
    {"title", "東京の夜 — a walk"}, {"artist", "Someone's channel"}, {"album", "Walks"},
    {"date", "2026-12-07"},         {"comment", "downloaded"},      {"description", "A night walk through the city."},
    {"genre", "Travel"}};

bool WriteSubtitles(const Inputs &in) {
  std::ofstream srt(in.subtitles, std::ios::binary);
  for (int i = 0; i < in.seconds / 2; ++i) {
    srt << i + 1 << "\n"
        << Clock(i * 2000, ',') << " --> " << Clock(i * 2000 + 1500, ',') << "\n"
        << "字幕 " << i + 1 << " — 夜の街を歩く\n\n";
  }
  return static_cast<bool>(srt);
}

// Tags and chapters as the ffmpeg tool reads them.
bool WriteMetadata(const Inputs &in) {
  std::ofstream meta(in.metadata, std::ios::binary);
  meta << ";FFMETADATA1\n";
  for (const auto &[key, value] : kTags) meta << key << "=" << value << "\n";
  for (int i = 0; i < 10; ++i) {
    const int64_t end = i == 9 ? int64_t{in.seconds} * 1000 : ChapterStart(in, i + 1);
    meta << "[CHAPTER]\nTIMEBASE=1/1000\nSTART=" << ChapterStart(in, i) << "\nEND=" << end << "\ntitle=第"
         << i + 1 << "章 chapter\n";
  }
  return static_cast<bool>(meta);
}

bool MakeInputs(Inputs &in) {
  mkdir(in.dir.c_str(), 0755);
  const std::string d = std::to_string(in.seconds);
  return bench::MakeInput(in.video, "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=" + d +
                                        " -c:v libx264 -preset ultrafast -g 50 -pix_fmt yuv420p -b:v 2500k") &&
         bench::MakeInput(in.audio, "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=" + d +
                                        " -ac 2 -c:a aac -b:a 128k") &&
         bench::MakeInput(in.cover, "-f lavfi -i testsrc2=size=1280x720 -frames:v 1 -q:v 3") &&
         WriteSubtitles(in) && WriteMetadata(in);
}

int Finish(const Inputs &in, const std::string &out) {
  MpgFinishSubtitle sub{};
  sub.size = sizeof sub;
  sub.path = in.subtitles.c_str();
  sub.language = "jpn";
  std::vector<MpgFinishTag> tags;
  for (const auto &[key, value] : kTags) tags.push_back({static_cast<int32_t>(sizeof(MpgFinishTag)), key.c_str(), value.c_str()});
  std::vector<std::string> titles;
  std::vector<MpgFinishChapter> chapters;
  for (int i = 0; i < 10; ++i) titles.push_back("第" + std::to_string(i + 1) + "章 chapter");
  for (int i = 0; i < 10; ++i) {
    const int64_t end = i == 9 ? int64_t{in.seconds} * 1000 : ChapterStart(in, i + 1);
    chapters.push_back({static_cast<int32_t>(sizeof(MpgFinishChapter)), titles[i].c_str(), ChapterStart(in, i), end});
  }
  const char *audio[] = {in.audio.c_str()};
  MpgFinishJob job{};
  job.size = sizeof job;
  job.videoPath = in.video.c_str();
  job.audioPaths = audio;
  job.audioCount = 1;
  job.subtitles = &sub;
  job.subtitleCount = 1;
  job.coverPath = in.cover.c_str();
  job.tags = tags.data();
  job.tagCount = static_cast<int32_t>(tags.size());
  job.chapters = chapters.data();
  job.chapterCount = static_cast<int32_t>(chapters.size());
  job.outputPath = out.c_str();
  return MPG_Finish(&job, nullptr, 0) == MPG_OK ? 0 : 1;
}

// The download tools' way: each step a remux of the last step's file.
std::string RemuxPerAddition(const Inputs &in, const std::string &out) {
  const std::string step1 = in.dir + "/step1.mp4", step2 = in.dir + "/step2.mp4", step3 = in.dir + "/step3.mp4";
  const std::string ff = "ffmpeg -nostdin -v error -y ";
  return ff + "-i " + Quote(in.video) + " -i " + Quote(in.audio) + " -map 0:v -map 1:a -c copy " + Quote(step1) +
         " && " + ff + "-i " + Quote(step1) + " -i " + Quote(in.subtitles) +
         " -map 0 -map 1 -c copy -c:s mov_text -metadata:s:s:0 language=jpn " + Quote(step2) + " && " + ff + "-i " +
         Quote(step2) + " -i " + Quote(in.cover) + " -map 0 -map 1 -c copy -c:s mov_text -disposition:v:1 attached_pic " +
         Quote(step3) + " && " + ff + "-i " + Quote(step3) + " -i " + Quote(in.metadata) +
         " -map 0 -map_metadata 1 -map_chapters 1 -c copy -c:s mov_text " + Quote(out);
}

}  // namespace

int main(int argc, char **argv) {
  const bool quick = bench::Quick();
  Inputs in;
  in.dir = quick ? "/tmp/finish_bench_quick" : "/tmp/finish_bench";
  in.seconds = quick ? 60 : 600;
  in.video = in.dir + "/video.mp4";
  in.audio = in.dir + "/audio.m4a";
  in.subtitles = in.dir + "/subtitles.srt";
  in.cover = in.dir + "/cover.jpg";
  in.metadata = in.dir + "/metadata.txt";
  if (argc > 1) {
    std::fprintf(stderr, "usage: %s\n", argv[0]);
    return 2;
  }
  if (!MakeInputs(in)) {
    std::fprintf(stderr, "cannot make the benchmark inputs under %s\n", in.dir.c_str());
    return 1;
  }
  const int runs = quick ? 3 : 7;
  const std::string libOut = in.dir + "/lib_finished.mp4", mergeOut = in.dir + "/lib_merged.mp4";
  const std::string oneOut = in.dir + "/ffmpeg_finished.mp4", chainOut = in.dir + "/chain_finished.mp4";
  const bench::Body finish = [&] { return Finish(in, libOut); };
  const bench::Job jobs[] = {
      {"finish_vs_merge_720p_10min", "MPG_MergeAV of the same video and audio", finish,
       [&] { return MPG_MergeAV(in.video.c_str(), in.audio.c_str(), mergeOut.c_str(), nullptr, 0) == 0 ? 0 : 1; },
       nullptr},
      {"finish_720p_10min", "one ffmpeg command (-map, -c copy, -c:s mov_text, FFMETADATA, attached_pic)", finish,
       bench::Exec({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", in.video, "-i", in.audio, "-i", in.subtitles,
                    "-i", in.cover, "-i", in.metadata, "-map", "0:v", "-map", "1:a", "-map", "2:s", "-map", "3:v",
                    "-map_metadata", "4", "-map_chapters", "4", "-c", "copy", "-c:s", "mov_text",
                    "-metadata:s:s:0", "language=jpn", "-disposition:v:1", "attached_pic", oneOut}),
       nullptr},
      {"finish_vs_remux_per_addition_720p_10min", "ffmpeg: a merge, then one remux per addition", finish,
       bench::Exec({"/bin/sh", "-c", RemuxPerAddition(in, chainOut)}), nullptr},
  };
  int failed = 0;
  for (const bench::Job &job : jobs) failed += bench::RunJob(job, runs) ? 0 : 1;
  return failed == 0 ? 0 : 1;
}

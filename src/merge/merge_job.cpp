#include "merge/merge_job.h"

#include "core/streams.h"

namespace mpg {

Status CreateOutputContext(MergeJob &job, const char *outputPath) noexcept {
  return job.out.Create(job.containerName.c_str(), outputPath);
}

namespace {

// Measures st's length in whole seconds and puts ctx back at st's first packet, as
// it stood when opened. The measure's own seek back lands on the key frame at or
// before the stream's start time, past the packets an MP4 edit list hides before
// it (a key frame and its B-frames, an AAC lead-in), which a merge keeps as the
// ffmpeg tool does. Such packets head the stream's index, below its start time;
// an index that begins later (built while reading, as Ogg's is) is no guide.
int64_t MeasureAndRewind(AVFormatContext *ctx, AVStream *st) noexcept {
  const int64_t seconds = MeasureDurationBySeek(ctx, st);
  const AVIndexEntry *first = avformat_index_get_entry(st, 0);
  if (first && st->start_time != AV_NOPTS_VALUE && first->timestamp < st->start_time) {
    av_seek_frame(ctx, st->index, first->timestamp, AVSEEK_FLAG_BACKWARD);
  }
  return seconds;
}

}  // namespace

int64_t MeasureMergeDuration(AVFormatContext *ctx1, AVStream *st1, AVFormatContext *ctx2,
                             AVStream *st2) noexcept {
  if (ctx1 && st1) {
    const int64_t d = MeasureAndRewind(ctx1, st1);
    if (d != 0) return d;
  }
  if (ctx2 && st2) return MeasureAndRewind(ctx2, st2);
  return 0;
}

}  // namespace mpg

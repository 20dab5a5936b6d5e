// Placeholder until the audio re-encode merge is built on the audio path: it
// refuses the job without opening or writing anything.
#include "merge/merge_reencode.h"

namespace mpg {

Status MergeWithAudioReencode(MergeJob &job, const char *, const char *, const char *, ProgressCallback,
                              uintptr_t) {
  job.status = StatusFromAv(AVERROR(ENOSYS));
  return job.status;
}

}  // namespace mpg

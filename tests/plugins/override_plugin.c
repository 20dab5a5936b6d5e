/* A side library that takes the place of av_interleaved_write_frame: it counts the
 * packets it writes, then writes them through FFmpeg. Jobs on several threads call
 * it at once, so the count is kept atomically. */
#include <libavformat/avformat.h>

__attribute__((visibility("default"))) int override_plugin_calls = 0;

__attribute__((visibility("default"))) int av_interleaved_write_frame_4_1_1(AVFormatContext *out,
                                                                            AVPacket *pkt) {
  __atomic_fetch_add(&override_plugin_calls, 1, __ATOMIC_RELAXED);
  return av_interleaved_write_frame(out, pkt);
}

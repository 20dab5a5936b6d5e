/* A host written in C: the public header compiles as C and the exports link. */
#include <stdio.h>
#include <string.h>

#include "mpg.h"

static uint8_t on_progress(const ProgressReport *report) {
  (void)report;
  return 1;
}

int main(void) {
  ProgressCallback callback = on_progress;
  (void)callback;
  if (strcmp(MPG_GetErrorText(MPG_AUDIO_STREAM_NOT_FOUND), "Audio stream not found") != 0) return 1;
  if (strcmp(MPG_GetDefExt(5), "mpg") != 0) return 2;
  if (MPG_IsThisGoodFile("/nonexistent/file.mp4") != 0) return 3;
  MergeOp2Result result;
  if (MPG_MergeOP2("/nonexistent/v.mp4", "/nonexistent/a.m4a", &result) != MPG_AUDIO_CODEC_NOT_FOUND) return 4;
  printf("C host OK\n");
  return 0;
}

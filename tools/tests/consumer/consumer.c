/* A host program built against the installed library: it calls exports that need no
 * media and checks their answers, so a wrong header, library or link line shows. */
#include <mpg.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  int failures = 0;
  if (strcmp(MPG_GetDefExt(5), "mpg") != 0) {
    fprintf(stderr, "MPG_GetDefExt(5) gave %s\n", MPG_GetDefExt(5));
    ++failures;
  }
  if (strcmp(MPG_GetErrorText(MPG_AUDIO_STREAM_NOT_FOUND), "Audio stream not found") != 0) {
    fprintf(stderr, "unexpected status text: %s\n", MPG_GetErrorText(MPG_AUDIO_STREAM_NOT_FOUND));
    ++failures;
  }
  if (MPG_IsThisGoodFile("/nonexistent/file.mp4")) {
    fprintf(stderr, "a missing file was called good\n");
    ++failures;
  }
  printf("consumer: %s\n", failures ? "FAILED" : "ok");
  return failures ? 1 : 0;
}

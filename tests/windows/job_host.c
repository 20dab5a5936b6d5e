/*
 * job_host: the Windows side of the real-file table (tests/realworld). It loads
 * mpg.dll as the download manager does (LoadLibraryA, GetProcAddress), then reads
 * one job per line on stdin and answers each with one line on stdout, so that one
 * Wine start serves a whole run. The table judges the outputs on the Linux side.
 *
 * Usage: job_host.exe <dll>
 * A job: TAB-separated UTF-8 fields, <encoding> <verb> <numbers...> <paths...>,
 * paths as Windows paths.
 *   encoding  ansi: paths reach the DLL in the ANSI code page, converted without
 *                   best fit; a name the code page cannot spell is refused here
 *             utf8: MPG_SetPathEncoding(MPG_PATH_UTF8) first, paths as they came
 *   info P                  flag, audio duration, then the MpgMediaInfo fields
 *   mergeop V A             MergeOP's status and kind, MergeOP2's status, mode,
 *                           kind and extension
 *   mergeav V A O | merge REBASE O SEGMENT... | crop I O | shift MS I O |
 *   trim START END I O | fixflv P | mp3 BITRATE I O | transcode FORMAT HEIGHT I O
 *                           status, progress reports seen
 *   grab POSITION I O       flag (MPG_GetImage at 0, else MPG_GetImageP; JPEG 90), 0
 *   finish CONTAINER V C O GROUP...
 *                           MPG_Finish of video V, cover C (each may be empty) into O,
 *                           with the groups "a" PATH, "s" LANGUAGE DEFAULT PATH,
 *                           "t" KEY VALUE and "h" START_MS END_MS TITLE; status, 0
 * A verb ending in "/stop" (mergeav, mp3, transcode) runs on a progress scale of
 * 1000 and stops the job at its first report.
 * An answer is "=" and its TAB-separated values, or "!" and why the job did not run.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mpg.h"

#define MAXFIELDS 128
#define MAXPATHBYTES 8192

/* The exports, typed from mpg.h's own declarations. */
#define EXPORTS(X)                                                                                                   \
  X(MPG_GetMediaInfo) X(MPG_GetAudioDuration) X(MPG_MergeOP) X(MPG_MergeOP2) X(MPG_MergeAV) X(MPG_Merge)           \
  X(MPG_Crop) X(MPG_ShiftAudio) X(MPG_SaveTrimmedVideo) X(FLV_FixDuration) X(MP3_Convert) X(MPG_GetImage)         \
  X(MPG_GetImageP) X(MPG_Transcode) X(MPG_SetPercent100) X(MPG_SetPathEncoding) X(MPG_Finish)
#define DECLARE(name) static __typeof__(&name) p_##name;
EXPORTS(DECLARE)

static HMODULE Load(const char *dllName) {
  HMODULE dll = LoadLibraryA(dllName);
  if (!dll)
    return NULL;
#define RESOLVE(name)                                                                                                \
  if (!(p_##name = (__typeof__(p_##name))(void (*)(void))GetProcAddress(dll, #name)))                               \
    return NULL;
  EXPORTS(RESOLVE)
  return dll;
}

/* A path as the DLL takes it in the job's encoding; NULL when the ANSI code page
 * cannot spell it exactly. */
static char *DllPath(const char *utf8, int useUtf8) {
  static char slots[MAXFIELDS][MAXPATHBYTES];
  static int next;
  static wchar_t wide[MAXPATHBYTES];
  char *out = slots[next++ % MAXFIELDS];
  if (strlen(utf8) >= MAXPATHBYTES)
    return NULL;
  if (useUtf8 || GetACP() == CP_UTF8)
    return strcpy(out, utf8);
  BOOL lossy = FALSE;
  if (!MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide, MAXPATHBYTES) ||
      !WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, out, MAXPATHBYTES, NULL, &lossy) || lossy)
    return NULL;
  return out;
}

/* The library's string object (MpgString): short text inline, long text behind a
 * pointer, as the host's string class keeps it. */
static MpgString MakeString(const char *text) {
  static const void *vtable[4];
  MpgString s;
  memset(&s, 0, sizeof s);
  s.vtable = vtable;
  s.size = strlen(text);
  s.capacity = s.size < 16 ? 15 : s.size;
  if (s.size < 16)
    memcpy(s.text.buf, text, s.size + 1);
  else
    s.text.ptr = (char *)text;
  return s;
}

static void AnswerInfo(const char *path) {
  MpgMediaInfo i;
  memset(&i, 0, sizeof i);
  const int flag = p_MPG_GetMediaInfo(path, &i);
  const unsigned long audio = (unsigned long)p_MPG_GetAudioDuration(path);
  printf("=\t%d\t%lu\t%lld\t%lld\t%ld\t%ld\t%ld\t%lld\t%.17g\t%lld\t%s\t%s"
         "\t%ld\t%ld\t%lld\t%ld\t%lld\t%s\t%s\t%ld\t%lld\t%s\n",
         flag, audio, (long long)i.duration, (long long)i.containerBitRate, (long)i.videoStreamCount, (long)i.width,
         (long)i.height, (long long)i.videoBitRate, i.frameRate, (long long)i.videoStreamDuration, i.videoCodec,
         i.videoSampleFormat, (long)i.audioStreamCount, (long)i.channels, (long long)i.audioBitRate,
         (long)i.sampleRate, (long long)i.audioStreamDuration, i.audioCodec, i.audioSampleFormat,
         (long)i.subtitleStreamCount, (long long)i.subtitleDuration, i.subtitleCodec);
}

static void AnswerMergeOp(const char *v, const char *a) {
  MergeOpResult r1;
  MergeOp2Result r2;
  memset(&r1, 0, sizeof r1);
  memset(&r2, 0, sizeof r2);
  const int32_t s1 = p_MPG_MergeOP(v, a, &r1), s2 = p_MPG_MergeOP2(v, a, &r2);
  printf("=\t%ld\t%lu\t%ld\t%lu\t%lu\t%s\n", (long)s1, (unsigned long)r1.kind, (long)s2, (unsigned long)r2.mode,
         (unsigned long)r2.kind, r2.extension);
}

/* Progress reports of the job running now; a stopped job stops at the first. */
static int reports, stopAtFirst;
static uint8_t MPG_CALL OnProgress(const ProgressReport *report) {
  if (report->value == -1)
    return 1;
  reports++;
  return !stopAtFirst;
}

/* MPG_Finish: the fields after the verb as the usage above gives them, already in
 * the DLL's encoding (a finish job comes in UTF-8, titles and tags included); 0
 * when they do not make a job. */
static int AnswerFinish(char **f, int n) {
  static const char *audio[MAXFIELDS];
  static MpgFinishSubtitle subs[MAXFIELDS];
  static MpgFinishTag tags[MAXFIELDS];
  static MpgFinishChapter chapters[MAXFIELDS];
  MpgFinishJob job;
  memset(&job, 0, sizeof job);
  if (n < 4)
    return 0;
  job.size = sizeof job;
  job.container = f[0];
  job.videoPath = *f[1] ? f[1] : NULL;
  job.coverPath = *f[2] ? f[2] : NULL;
  job.outputPath = f[3];
  for (int i = 4; i < n;) {
    if (!strcmp(f[i], "a") && i + 1 < n) {
      audio[job.audioCount++] = f[i + 1], i += 2;
    } else if (!strcmp(f[i], "s") && i + 3 < n) {
      MpgFinishSubtitle *s = &subs[job.subtitleCount++];
      s->size = sizeof *s, s->language = f[i + 1], s->isDefault = atoi(f[i + 2]), s->path = f[i + 3];
      i += 4;
    } else if (!strcmp(f[i], "t") && i + 2 < n) {
      MpgFinishTag *t = &tags[job.tagCount++];
      t->size = sizeof *t, t->key = f[i + 1], t->value = f[i + 2], i += 3;
    } else if (!strcmp(f[i], "h") && i + 3 < n) {
      MpgFinishChapter *c = &chapters[job.chapterCount++];
      c->size = sizeof *c, c->startMs = _atoi64(f[i + 1]), c->endMs = _atoi64(f[i + 2]), c->title = f[i + 3];
      i += 4;
    } else {
      return 0;
    }
  }
  job.audioPaths = audio, job.subtitles = subs, job.tags = tags, job.chapters = chapters;
  printf("=\t%ld\t0\n", (long)p_MPG_Finish(&job, NULL, 0));
  return 1;
}

/* How many of a verb's arguments are numbers: they come first, the paths after. */
static int NumberCount(const char *verb) {
  if (!strcmp(verb, "trim") || !strcmp(verb, "transcode"))
    return 2;
  return !strcmp(verb, "merge") || !strcmp(verb, "shift") || !strcmp(verb, "mp3") || !strcmp(verb, "grab");
}

/* Runs one job: n numbers, then the paths in the DLL's encoding. */
static void Run(const char *verb, char **f, int n) {
  ProgressCallback progress = stopAtFirst ? OnProgress : NULL;
  const char *segments[MAXFIELDS];
  const int32_t n0 = n > 0 ? atoi(f[0]) : 0, n1 = n > 1 ? atoi(f[1]) : 0;
  char **p = f + NumberCount(verb);
  const int np = n - NumberCount(verb);
  int32_t s;
  if (!strcmp(verb, "finish")) {
    if (!AnswerFinish(f, n))
      printf("!\tmalformed finish job\n");
    return;
  }
  if (!strcmp(verb, "info") && np == 1)
    return AnswerInfo(p[0]);
  if (!strcmp(verb, "mergeop") && np == 2)
    return AnswerMergeOp(p[0], p[1]);
  if (!strcmp(verb, "grab") && np == 2) {
    printf("=\t%d\t0\n", n0 ? p_MPG_GetImageP(MPG_IMAGE_JPEG, p[0], p[1], n0, 0, 90)
                            : p_MPG_GetImage(MPG_IMAGE_JPEG, p[0], p[1], 0, 90));
    return;
  }
  if (!strcmp(verb, "mergeav") && np == 3) {
    s = p_MPG_MergeAV(p[0], p[1], p[2], progress, 0);
  } else if (!strcmp(verb, "merge") && np >= 2) {
    for (int i = 1; i < np; i++)
      segments[i - 1] = p[i];
    segments[np - 1] = NULL;
    s = p_MPG_Merge(segments, p[0], 0, (uint8_t)n0, NULL, 0);
  } else if (!strcmp(verb, "crop") && np == 2) {
    s = p_MPG_Crop(p[0], p[1]);
  } else if (!strcmp(verb, "shift") && np == 2) {
    s = p_MPG_ShiftAudio(p[0], p[1], n0, NULL, 0);
  } else if (!strcmp(verb, "trim") && np == 2) {
    s = p_MPG_SaveTrimmedVideo(p[0], p[1], n0, n1);
  } else if (!strcmp(verb, "fixflv") && np == 1) {
    s = p_FLV_FixDuration(p[0]);
  } else if (!strcmp(verb, "mp3") && np == 2) {
    s = p_MP3_Convert(p[0], p[1], n0, progress, 0);
  } else if (!strcmp(verb, "transcode") && np == 2) {
    const MpgString in = MakeString(p[0]), out = MakeString(p[1]);
    TranscodeParams params;
    memset(&params, 0, sizeof params);
    params.outputFormat = n0;
    params.height = n1;
    s = p_MPG_Transcode(&in, &out, &params, progress, 0);
  } else {
    printf("!\tunknown job %s with %d arguments\n", verb, n);
    return;
  }
  printf("=\t%ld\t%d\n", (long)s, reports);
}

int main(int argc, char **argv) {
  static char line[MAXFIELDS * MAXPATHBYTES];
  if (argc != 2) {
    fprintf(stderr, "usage: job_host.exe <dll>\n");
    return 2;
  }
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  HMODULE dll = Load(argv[1]);
  if (dll)
    printf("=\tready\n");
  else
    printf("!\tcannot load %s with its exports\n", argv[1]);
  fflush(stdout);
  int encoding = -1;
  while (dll && fgets(line, sizeof line, stdin)) {
    line[strcspn(line, "\r\n")] = 0;
    char *f[MAXFIELDS + 2];
    int n = 0;
    for (char *t = line, *end; n < MAXFIELDS + 2; t = end + 1) {
      f[n++] = t;
      if (!(end = strchr(t, '\t')))
        break;
      *end = 0;
    }
    const int useUtf8 = n > 0 && !strcmp(f[0], "utf8");
    if (n < 2 || n > MAXFIELDS || (!useUtf8 && strcmp(f[0], "ansi"))) {
      printf("!\tmalformed job\n");
    } else {
      if (encoding != useUtf8)
        p_MPG_SetPathEncoding(useUtf8 ? MPG_PATH_UTF8 : MPG_PATH_ANSI);
      encoding = useUtf8;
      char *stop = strstr(f[1], "/stop");
      if ((stopAtFirst = stop != NULL))
        *stop = 0;
      reports = 0;
      p_MPG_SetPercent100(stopAtFirst ? 1000 : 100);
      int spelled = 1;
      for (int i = 2; i < n && spelled; i++)
        if (i - 2 >= NumberCount(f[1]))
          spelled = (f[i] = DllPath(f[i], useUtf8)) != NULL;
      if (spelled)
        Run(f[1], f + 2, n - 2);
      else
        printf("!\tthe ANSI code page %u cannot spell a path\n", GetACP());
    }
    fflush(stdout);
  }
  return dll ? 0 : 1;
}

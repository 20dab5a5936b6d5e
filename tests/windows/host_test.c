/*
 * host_test: loads mpg.dll the way the download manager does (LoadLibraryA and
 * GetProcAddress, no import library) and checks what only Windows shows: the 22
 * exports and their calling convention, the byte layout of every record crossing
 * the boundary (with guard bytes), progress reports, stack alignment, ANSI (code
 * page) paths and their traps, long paths, the BMP buffer and the runtime's free,
 * no handle left open, the packet writer, and jobs on the host's own threads. What
 * the jobs write is judged by the real-file table (tests/realworld), which runs on
 * this DLL through job_host.c.
 *
 * Usage: host_test.exe <dll> <fixture dir> <output dir> [--quick | --packet-writer]
 *                     [--one-thread]
 *   <dll>          name or path handed to LoadLibraryA ("mpg.dll" finds the copy
 *                  beside this program, as the host's does)
 *   <fixture dir>  the files the driver generated (av.mp4, v.mp4, a.m4a, ...)
 *   <output dir>   an existing, empty folder for the outputs
 *   --quick        loading, names, layouts and one job per family only
 *   --packet-writer  only the packet writer a host puts beside its program
 *                  (av_interleaved41.dll): the library must find it and use it
 *   --one-thread   no jobs on threads of the host's own (32-bit Wine under qemu
 *                  cannot run threads that wait on each other)
 * Prints one line per check ("ok ..." or "FAIL ...") and last "N passed, N failed";
 * the exit code is 0 only when nothing failed.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#define PTR ((size_t)sizeof(void *))
#define SCALE 1000
#define STATUS_SAME_FILE ((int32_t)0xC0000005)
#define STATUS_BAD_PARAMETER ((int32_t)0xC0000006)
#define STATUS_AUDIO_CODEC_NOT_FOUND ((int32_t)0xC0000001)
#define STATUS_VIDEO_STREAM_NOT_FOUND ((int32_t)0xC0000004)
#define STATUS_ENOENT (-2)
#define STATUS_EISDIR (-21)
#define MAXP 1024

/* The exports as the host declares them: cdecl, records passed as raw bytes. */
typedef uint8_t(__cdecl *progress_fn)(const void *report);
typedef void(__cdecl *SetPercent100_fn)(int32_t);
typedef void(__cdecl *TestParams_fn)(void);
typedef const char *(__cdecl *GetText_fn)(int32_t);
typedef uint8_t(__cdecl *PathFlag_fn)(const char *);
typedef uint8_t(__cdecl *GetMediaInfo_fn)(const char *, void *);
typedef uint32_t(__cdecl *GetAudioDuration_fn)(const char *);
typedef int32_t(__cdecl *MergeOP_fn)(const char *, const char *, void *);
typedef void(__cdecl *GetDefExtension_fn)(const char *, char *, int32_t);
typedef int32_t(__cdecl *MergeAV_fn)(const char *, const char *, const char *, progress_fn, uintptr_t);
typedef int32_t(__cdecl *Merge_fn)(const char *const *, const char *, int32_t, uint8_t, progress_fn,
                                   uintptr_t);
typedef int32_t(__cdecl *Transcode_fn)(const void *, const void *, const void *, progress_fn, uintptr_t);
typedef int32_t(__cdecl *Convert_fn)(const char *, const char *, int32_t, progress_fn, uintptr_t);
typedef int32_t(__cdecl *Crop_fn)(const char *, const char *);
typedef int32_t(__cdecl *Trim_fn)(const char *, const char *, int32_t, int32_t);
typedef int32_t(__cdecl *FixFlv_fn)(const char *);
typedef uint8_t(__cdecl *GetImage_fn)(int32_t, const char *, const char *, int32_t, int32_t);
typedef uint8_t(__cdecl *GetImageP_fn)(int32_t, const char *, const char *, int32_t, int32_t, int32_t);
typedef uint8_t *(__cdecl *GetImageBMP_fn)(const char *, int32_t, uint32_t *, int32_t);
typedef uint8_t(__cdecl *GetImageJPG_fn)(const char *, const char *, int32_t, int32_t);

static struct {
  SetPercent100_fn SetPercent100;
  TestParams_fn TestParams;
  GetText_fn GetErrorText;
  GetText_fn GetDefExt;
  PathFlag_fn IsThisGoodFile;
  GetMediaInfo_fn GetMediaInfo;
  GetAudioDuration_fn GetAudioDuration;
  MergeOP_fn MergeOP;
  MergeOP_fn MergeOP2;
  GetDefExtension_fn GetDefExtension;
  MergeAV_fn MergeAV;
  Merge_fn Merge;
  Transcode_fn Transcode;
  Convert_fn MP3Convert;
  Convert_fn ShiftAudio;
  Crop_fn Crop;
  Trim_fn SaveTrimmedVideo;
  FixFlv_fn FixDuration;
  GetImage_fn GetImage;
  GetImageP_fn GetImageP;
  GetImageBMP_fn GetImageBMP;
  GetImageJPG_fn GetImageJPG;
} api;

static int passed, failed;
static wchar_t fixdir[MAXP], outdir[MAXP];

static void check(int cond, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs(cond ? "ok " : "FAIL ", stdout);
  vprintf(fmt, ap);
  fputc('\n', stdout);
  fflush(stdout);
  va_end(ap);
  if (cond)
    passed++;
  else
    failed++;
}

static void note(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("# ", stdout);
  vprintf(fmt, ap);
  fputc('\n', stdout);
  fflush(stdout);
  va_end(ap);
}

/* ---- Paths: kept wide, handed to the DLL as ANSI (CP_ACP) bytes ---------------- */

typedef struct {
  wchar_t w[MAXP];
  char a[MAXP * 2];
  char utf8name[MAXP * 3]; /* the file name alone, for messages */
  int ok;                  /* 0: the ACP cannot spell this name */
} path_t;

static path_t mkpath(const wchar_t *dir, const wchar_t *name) {
  path_t p;
  memset(&p, 0, sizeof p);
  size_t dl = wcslen(dir), nl = wcslen(name);
  if (dl + nl + 2 >= MAXP)
    return p;
  wmemcpy(p.w, dir, dl);
  if (dl && p.w[dl - 1] != L'\\')
    p.w[dl++] = L'\\';
  wmemcpy(p.w + dl, name, nl + 1);
  BOOL lossy = FALSE;
  int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, p.w, -1, p.a, (int)sizeof p.a, NULL, &lossy);
  WideCharToMultiByte(CP_UTF8, 0, name, -1, p.utf8name, (int)sizeof p.utf8name, NULL, NULL);
  p.ok = n > 0 && !lossy;
  return p;
}
static path_t fix(const wchar_t *name) { return mkpath(fixdir, name); }
static path_t out(const wchar_t *name) {
  path_t p = mkpath(outdir, name);
  DeleteFileW(p.w); /* every job starts without its output */
  return p;
}

static long long file_size(const path_t *p) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExW(p->w, GetFileExInfoStandard, &d))
    return -1;
  return ((long long)d.nFileSizeHigh << 32) | d.nFileSizeLow;
}

/* Reads up to n bytes of a file's start; returns how many were read. */
static size_t file_head(const path_t *p, unsigned char *buf, size_t n) {
  HANDLE h = CreateFileW(p->w, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (h == INVALID_HANDLE_VALUE)
    return 0;
  DWORD got = 0;
  if (!ReadFile(h, buf, (DWORD)n, &got, NULL))
    got = 0;
  CloseHandle(h);
  return got;
}

static int write_text(const path_t *p, const char *text) {
  HANDLE h = CreateFileW(p->w, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (h == INVALID_HANDLE_VALUE)
    return 0;
  DWORD put = 0;
  BOOL r = WriteFile(h, text, (DWORD)strlen(text), &put, NULL);
  CloseHandle(h);
  return r && put == strlen(text);
}

/* A file the library left open cannot be opened without sharing: a host that
 * moves or deletes the file after the job would fail. */
static int held_open(const path_t *p) {
  HANDLE h = CreateFileW(p->w, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return 0;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

/* An output the DLL was asked to write (what: what it holds): present under its
 * wide name, not empty, and closed when the call returned. */
static void expect_output(const path_t *p, const char *what, const char *job) {
  long long size = file_size(p);
  check(size > 0, "%s: output %s (%s) exists (%lld bytes)", job, p->utf8name, what, size);
  if (size > 0)
    check(!held_open(p), "%s: output %s is closed when the call returns", job, p->utf8name);
}

static const char *status_text(int32_t s) {
  const char *t = api.GetErrorText(s);
  return t ? t : "(null)";
}

static void check_status(int32_t got, int32_t want, const char *job) {
  if (got == want)
    check(1, "%s: status %ld (0x%08lX)", job, (long)got, (unsigned long)(uint32_t)got);
  else
    check(0, "%s: status %ld (0x%08lX, %s), expected %ld (0x%08lX)", job, (long)got, (unsigned long)(uint32_t)got,
          status_text(got), (long)want, (unsigned long)(uint32_t)want);
}

/* ---- Progress: the report is read at fixed offsets, not through a struct -------- */

typedef struct {
  const char *job;
  DWORD thread;
  int reports, texts, bad_user, bad_text, bad_range, went_down, after_stop, bad_after_stop;
  int32_t last, max;
  int stop_at; /* non-zero: answer 0 to the first report from this value up to below the scale */
  int stopped;
  int may_go_down; /* MPG_MergeAV may */
  int wrong_thread;
} progress_t;

/* The job of the calling thread, in a kernel32 TLS slot (C11 thread storage would
 * bring in a threads library). */
static DWORD current_slot = TLS_OUT_OF_INDEXES;
static progress_t *current_job(void) { return (progress_t *)TlsGetValue(current_slot); }
static void set_current_job(progress_t *p) { TlsSetValue(current_slot, p); }

static uint8_t __cdecl on_progress(const void *report) {
  const unsigned char *b = (const unsigned char *)report;
  int32_t value;
  uintptr_t user;
  const char *text;
  memcpy(&value, b, 4);
  memcpy(&user, b + PTR, PTR);
  memcpy(&text, b + 2 * PTR, PTR);
  progress_t *p = current_job();
  if (!p)
    return 1;
  if (GetCurrentThreadId() != p->thread)
    p->wrong_thread++;
  if (user != (uintptr_t)p)
    p->bad_user++;
  if (value == -1) {
    p->texts++;
    if (!text || !memchr(text, 0, 4096))
      p->bad_text++;
    return 1;
  }
  p->reports++;
  if (text)
    p->bad_text++;
  if (value < 0 || value > SCALE)
    p->bad_range++;
  if (p->stopped) {
    p->after_stop++;
    if (value != SCALE)
      p->bad_after_stop++;
  } else if (p->reports > 1 && value < p->last) {
    p->went_down++;
  }
  p->last = value;
  if (value > p->max)
    p->max = value;
  if (p->stop_at && !p->stopped && value >= p->stop_at && value < SCALE) {
    p->stopped = 1;
    return 0;
  }
  return 1;
}

static void progress_begin(progress_t *p, const char *job) {
  memset(p, 0, sizeof *p);
  p->job = job;
  p->thread = GetCurrentThreadId();
  p->last = -2;
  set_current_job(p);
}

/* What the host sees of a job's reports once the export returned. */
static void progress_end(progress_t *p) {
  set_current_job(NULL);
  const char *j = p->job;
  check(p->reports > 0, "%s: progress reported (%d reports, %d texts)", j, p->reports, p->texts);
  check(p->bad_user == 0, "%s: user value came back unchanged in every report", j);
  check(p->bad_text == 0, "%s: text is NULL in progress reports and set in text reports", j);
  check(p->bad_range == 0, "%s: values within 0..%d", j, SCALE);
  check(p->wrong_thread == 0, "%s: reports on the calling thread", j);
  if (!p->may_go_down)
    check(p->went_down == 0, "%s: values never go down", j);
  if (p->stop_at) {
    check(p->stopped, "%s: a report from %ld to below the scale came to answer 0", j, (long)p->stop_at);
    check(p->after_stop <= 1 && p->bad_after_stop == 0, "%s: at most the scale after the stop (%d more)", j,
          p->after_stop);
  } else {
    check(p->last == SCALE, "%s: last report is the scale %d (got %ld)", j, SCALE, (long)p->last);
  }
}

/* ---- Records at fixed offsets ------------------------------------------------ */

#define INFO_SIZE 424
#define GUARD 32
static unsigned char info[INFO_SIZE + GUARD];

static int32_t rd32(const unsigned char *b, size_t off) {
  int32_t v;
  memcpy(&v, b + off, 4);
  return v;
}
static int64_t rd64(const unsigned char *b, size_t off) {
  int64_t v;
  memcpy(&v, b + off, 8);
  return v;
}
static double rdf64(const unsigned char *b, size_t off) {
  double v;
  memcpy(&v, b + off, 8);
  return v;
}
static int guard_intact(const unsigned char *b, size_t from, size_t to, unsigned char pat) {
  for (size_t i = from; i < to; i++)
    if (b[i] != pat)
      return 0;
  return 1;
}
static int text_is(const unsigned char *b, size_t off, const char *want) {
  return memchr(b + off, 0, 64) && strcmp((const char *)b + off, want) == 0;
}

static int probe(const path_t *p) {
  memset(info, 0xA5, sizeof info);
  return api.GetMediaInfo(p->a, info);
}

/* The library's string object: vtable pointer, 16 bytes of inline text or a text
 * pointer, size, capacity. */
#define STR_SIZE (3 * PTR + 16)
static const void *fake_vtable[4];
static void make_string(unsigned char *obj, const char *text, size_t size, size_t capacity, char *heap) {
  const void *vt = fake_vtable;
  memset(obj, 0xCD, STR_SIZE);
  memcpy(obj, &vt, PTR);
  if (capacity < 16) {
    memcpy(obj + PTR, text, size);
    obj[PTR + size] = 0;
  } else {
    memcpy(heap, text, size);
    heap[size] = 0;
    memcpy(obj + PTR, &heap, PTR);
  }
  memcpy(obj + PTR + 16, &size, PTR);
  memcpy(obj + 2 * PTR + 16, &capacity, PTR);
}

/* ---- Loading ------------------------------------------------------------------ */

static HMODULE dll;

static void *resolve(const char *name) {
  FARPROC f = GetProcAddress(dll, name);
  check(f != NULL, "export %s resolves", name);
  return (void *)(uintptr_t)(void (*)(void))f;
}

#define RESOLVE(field, name) (*(void **)&api.field = resolve(name))

static int load(const char *dllname) {
  dll = LoadLibraryA(dllname);
  check(dll != NULL, "LoadLibraryA(\"%s\") (error %lu)", dllname, dll ? 0ul : (unsigned long)GetLastError());
  if (!dll)
    return 0;
  RESOLVE(SetPercent100, "MPG_SetPercent100");
  RESOLVE(TestParams, "MPG_TestParams");
  RESOLVE(GetErrorText, "MPG_GetErrorText");
  RESOLVE(GetDefExt, "MPG_GetDefExt");
  RESOLVE(IsThisGoodFile, "MPG_IsThisGoodFile");
  RESOLVE(GetMediaInfo, "MPG_GetMediaInfo");
  RESOLVE(GetAudioDuration, "MPG_GetAudioDuration");
  RESOLVE(MergeOP, "MPG_MergeOP");
  RESOLVE(MergeOP2, "MPG_MergeOP2");
  RESOLVE(GetDefExtension, "MPG_GetDefExtension");
  RESOLVE(MergeAV, "MPG_MergeAV");
  RESOLVE(Merge, "MPG_Merge");
  RESOLVE(Transcode, "MPG_Transcode");
  RESOLVE(MP3Convert, "MP3_Convert");
  RESOLVE(ShiftAudio, "MPG_ShiftAudio");
  RESOLVE(Crop, "MPG_Crop");
  RESOLVE(SaveTrimmedVideo, "MPG_SaveTrimmedVideo");
  RESOLVE(FixDuration, "FLV_FixDuration");
  RESOLVE(GetImage, "MPG_GetImage");
  RESOLVE(GetImageP, "MPG_GetImageP");
  RESOLVE(GetImageBMP, "MPG_GetImageBMP");
  RESOLVE(GetImageJPG, "MPG_GetImageJPG");
  void **slot = (void **)&api;
  for (size_t i = 0; i < sizeof api / sizeof(void *); i++)
    if (!slot[i])
      return 0;
  return 1;
}

#if defined(__i386__)
/* Calls MPG_GetDefExt(4) by hand and measures how far the stack pointer moved:
 * under cdecl the caller removes the argument (4 bytes still pushed on return),
 * under stdcall the callee would have. */
static int32_t stack_left_by_callee(void *fn) {
  int32_t left;
  __asm__ volatile("movl %%esp, %%esi\n\t"
                   "pushl $4\n\t"
                   "call *%1\n\t"
                   "movl %%esi, %0\n\t"
                   "subl %%esp, %0\n\t"
                   "movl %%esi, %%esp\n\t"
                   : "=&r"(left)
                   : "r"(fn)
                   : "esi", "eax", "ecx", "edx", "memory", "cc");
  return left;
}

/* Calls MPG_GetImage with the stack 4 bytes off 16-byte alignment at the call, as
 * 32-bit hosts may: the library's SSE code must realign it. */
struct image_call {
  void *fn;
  uint32_t args[5];
};
static uint8_t get_image_misaligned(struct image_call *c) {
  uint32_t ret;
  __asm__ volatile("movl %%esp, %%esi\n\t"
                   "andl $-16, %%esp\n\t"
                   "pushl 20(%1)\n\t"
                   "pushl 16(%1)\n\t"
                   "pushl 12(%1)\n\t"
                   "pushl 8(%1)\n\t"
                   "pushl 4(%1)\n\t"
                   "call *(%1)\n\t"
                   "movl %%esi, %%esp\n\t"
                   : "=a"(ret)
                   : "D"(c)
                   : "esi", "ecx", "edx", "memory", "cc");
  return (uint8_t)ret;
}
#endif

/* ---- The checks ---------------------------------------------------------------- */

static void test_basics(void) {
#if defined(__i386__)
  check(stack_left_by_callee((void *)(uintptr_t)api.GetDefExt) == 4,
        "exports are cdecl: the caller pops the arguments");
#endif
  api.SetPercent100(SCALE);
  api.TestParams();
  check(1, "MPG_SetPercent100(%d) and MPG_TestParams return", SCALE);
  /* The library's own strings, read through the pointers it returns. */
  static const struct {
    int32_t code;
    const char *text;
  } texts[] = {{0, "Success"},
               {STATUS_BAD_PARAMETER, "Bad parameter"},
               {STATUS_SAME_FILE, "Output file is the same as an input file"},
               {STATUS_ENOENT, "No such file or directory"}};
  for (size_t i = 0; i < sizeof texts / sizeof *texts; i++) {
    const char *t = api.GetErrorText(texts[i].code);
    check(t && strcmp(t, texts[i].text) == 0, "MPG_GetErrorText(%ld) = \"%s\"", (long)texts[i].code, t ? t : "");
  }
  const char *t4 = api.GetDefExt(4), *t7 = api.GetDefExt(7);
  check(t4 && t7 && strcmp(t4, "mp4") == 0 && strcmp(t7, "webm") == 0, "MPG_GetDefExt(4), (7) = mp4, webm");
}

/* MpgMediaInfo read at its fixed offsets, with a guard after the 424 bytes. */
static void test_media_info_layout(void) {
  path_t av = fix(L"av.mp4");
  int r = probe(&av);
  check(r == 1, "MPG_GetMediaInfo(av.mp4) returns 1");
  check(guard_intact(info, INFO_SIZE, sizeof info, 0xA5), "MPG_GetMediaInfo writes no byte past 424");
  check(rd64(info, 0) == 2, "info: duration @0 = %lld", (long long)rd64(info, 0));
  check(rd64(info, 8) > 0, "info: containerBitRate @8 = %lld", (long long)rd64(info, 8));
  check(rd32(info, 16) == 1, "info: videoStreamCount @16 = %ld", (long)rd32(info, 16));
  check(rd32(info, 20) == 320, "info: width @20 = %ld", (long)rd32(info, 20));
  check(rd32(info, 24) == 240, "info: height @24 = %ld", (long)rd32(info, 24));
  check(rd32(info, 28) == 0, "info: reserved @28 = 0");
  check(rdf64(info, 40) > 24.99 && rdf64(info, 40) < 25.01, "info: frameRate @40 = %g", rdf64(info, 40));
  check(rd64(info, 48) > 0, "info: videoStreamDuration @48 = %lld", (long long)rd64(info, 48));
  check(text_is(info, 56, "H264"), "info: videoCodec @56 = \"%.63s\"", info + 56);
  check(text_is(info, 120, ""), "info: videoSampleFormat @120 is empty");
  check(rd32(info, 184) == 1, "info: audioStreamCount @184 = %ld", (long)rd32(info, 184));
  check(rd32(info, 188) == 2, "info: channels @188 = %ld", (long)rd32(info, 188));
  check(rd64(info, 192) > 0, "info: audioBitRate @192 = %lld", (long long)rd64(info, 192));
  check(rd32(info, 200) == 44100, "info: sampleRate @200 = %ld", (long)rd32(info, 200));
  check(rd32(info, 204) == 0, "info: reserved @204 = 0");
  check(rd64(info, 208) > 0, "info: audioStreamDuration @208 = %lld", (long long)rd64(info, 208));
  check(text_is(info, 216, "AAC"), "info: audioCodec @216 = \"%.63s\"", info + 216);
  check(text_is(info, 280, "FLTP"), "info: audioSampleFormat @280 = \"%.63s\"", info + 280);
  check(rd32(info, 344) == 0 && rd32(info, 348) == 0 && rd64(info, 352) == 0 && text_is(info, 360, ""),
        "info: subtitle fields @344..423 are 0");

  path_t missing = fix(L"no such file.mp4");
  r = probe(&missing);
  check(r == 0 && guard_intact(info, 0, INFO_SIZE, 0) && guard_intact(info, INFO_SIZE, sizeof info, 0xA5),
        "MPG_GetMediaInfo(missing) returns 0 with exactly 424 bytes zeroed");
  r = api.GetMediaInfo(NULL, info);
  check(r == 0, "MPG_GetMediaInfo(NULL) returns 0");
}

static void test_merge_op(void) {
  path_t v = fix(L"v.mp4"), a = fix(L"a.m4a"), missing = fix(L"missing.m4a");
  unsigned char r1[8 + GUARD], r2[72 + GUARD];
  memset(r1, 0xA5, sizeof r1);
  int32_t s = api.MergeOP(v.a, a.a, r1);
  check_status(s, 0, "MPG_MergeOP(v.mp4, a.m4a)");
  check(rd32(r1, 0) == 0 && rd32(r1, 4) == 0, "MergeOpResult: mode @0 = %ld, kind @4 = %ld (copy, MP4)",
        (long)rd32(r1, 0), (long)rd32(r1, 4));
  check(guard_intact(r1, 8, sizeof r1, 0xA5), "MPG_MergeOP writes no byte past 8");

  memset(r2, 0xA5, sizeof r2);
  s = api.MergeOP2(v.a, a.a, r2);
  check_status(s, 0, "MPG_MergeOP2(v.mp4, a.m4a)");
  check(rd32(r2, 0) == 0 && rd32(r2, 4) == 0, "MergeOp2Result: mode @0 = %ld, kind @4 = %ld", (long)rd32(r2, 0),
        (long)rd32(r2, 4));
  check(memchr(r2 + 8, 0, 32) && strcmp((char *)r2 + 8, "mp4") == 0, "MergeOp2Result: extension @8 = \"%.31s\"",
        r2 + 8);
  check(memchr(r2 + 40, 0, 32) != NULL, "MergeOp2Result: altExtension @40 is NUL-terminated (\"%.31s\")", r2 + 40);
  check(guard_intact(r2, 72, sizeof r2, 0xA5), "MPG_MergeOP2 writes no byte past 72");

  memset(r2, 0xA5, sizeof r2);
  s = api.MergeOP2(v.a, missing.a, r2);
  check_status(s, STATUS_AUDIO_CODEC_NOT_FOUND, "MPG_MergeOP2 with a missing audio file");
  check(guard_intact(r2, 0, sizeof r2, 0xA5), "MPG_MergeOP2 failure leaves the result untouched");

  path_t av = fix(L"av.mp4");
  char ext[16];
  memset(ext, 'x', sizeof ext);
  api.GetDefExtension(av.a, ext, (int32_t)sizeof ext);
  check(memchr(ext, 0, sizeof ext) && strcmp(ext, "mp4") == 0, "MPG_GetDefExtension(av.mp4) = \"%.15s\"", ext);
  memset(ext, 'x', sizeof ext);
  api.GetDefExtension(av.a, ext, 3);
  check(ext[0] == 0 && ext[3] == 'x', "MPG_GetDefExtension with 3 bytes gives \"\" and writes within them");
}

static void test_probes(void) {
  path_t av = fix(L"av.mp4"), txt = fix(L"notmedia.txt"), missing = fix(L"missing.mp4");
  check(api.IsThisGoodFile(av.a) == 1 && api.IsThisGoodFile(txt.a) == 0 && api.IsThisGoodFile(missing.a) == 0 &&
            api.IsThisGoodFile(NULL) == 0,
        "MPG_IsThisGoodFile: 1 for av.mp4, 0 for a text file, a missing file and NULL");
  /* AAC in MP4 counts in sample-rate ticks: 2 s at 44100 Hz. */
  uint32_t d = api.GetAudioDuration(av.a);
  check(d >= 80000 && d <= 100000, "MPG_GetAudioDuration(av.mp4) = %lu ticks of 1/44100 s", (unsigned long)d);
}

/* ANSI paths: names with é made from wide names, whatever the code page. */
static void test_ansi_paths(int full) {
  path_t src = fix(L"av.mp4"), small = fix(L"small.mp4"), v = fix(L"v.mp4"), a = fix(L"a.m4a");
  path_t cafe = out(L"caf\u00e9.mp4");
  if (!cafe.ok) {
    note("skip: the ANSI code page %u has no e-acute", GetACP());
    return;
  }
  note("ANSI code page %u", GetACP());
  check(CopyFileW(src.w, cafe.w, FALSE), "CopyFileW to caf\u00e9.mp4 (host side)");
  int r = probe(&cafe);
  check(r == 1 && rd32(info, 20) == 320, "probe through an ANSI path with e-acute (width %ld)", (long)rd32(info, 20));

  /* The trap: "caf\u00c3\u00a9" in CP1252 is the byte string of "caf\u00e9" in UTF-8. */
  path_t trap = out(L"caf\u00c3\u00a9.mp4");
  if (trap.ok) {
    check(CopyFileW(small.w, trap.w, FALSE), "CopyFileW to caf\u00c3\u00a9.mp4 (host side)");
    r = probe(&trap);
    check(r == 1 && rd32(info, 20) == 160,
          "ANSI bytes of caf\u00c3\u00a9.mp4 open that file, not caf\u00e9.mp4 (width %ld, want 160)",
          (long)rd32(info, 20));
    r = probe(&cafe);
    check(r == 1 && rd32(info, 20) == 320, "caf\u00e9.mp4 still opens itself beside it (width %ld)",
          (long)rd32(info, 20));
  } else {
    note("skip: the ANSI code page %u cannot spell caf\u00c3\u00a9", GetACP());
  }

  path_t vv = out(L"vid\u00e9o.mp4"), aa = out(L"audi\u00f3.m4a");
  CopyFileW(v.w, vv.w, FALSE);
  CopyFileW(a.w, aa.w, FALSE);
  path_t merged = out(L"fusionn\u00e9.mp4");
  progress_t p;
  progress_begin(&p, "MPG_MergeAV(ANSI paths)");
  p.may_go_down = 1;
  int32_t s = api.MergeAV(vv.a, aa.a, merged.a, on_progress, (uintptr_t)&p);
  check_status(s, 0, "MPG_MergeAV(vid\u00e9o.mp4, audi\u00f3.m4a, fusionn\u00e9.mp4)");
  progress_end(&p);
  expect_output(&merged, "video,audio mindur=1.5", "MPG_MergeAV(ANSI paths)");

  path_t img = out(L"image_caf\u00e9.jpg");
  check(api.GetImage(2, cafe.a, img.a, 120, 90) == 1, "MPG_GetImage(caf\u00e9.mp4 -> image_caf\u00e9.jpg) = 1");
  expect_output(&img, "image w=160 h=120", "MPG_GetImage(ANSI paths)");
  if (!full)
    return;
  path_t mp3 = out(L"chanson_\u00e9t\u00e9.mp3");
  progress_begin(&p, "MP3_Convert(ANSI paths)");
  s = api.MP3Convert(cafe.a, mp3.a, 0, on_progress, (uintptr_t)&p);
  check_status(s, 0, "MP3_Convert(caf\u00e9.mp4 -> chanson_\u00e9t\u00e9.mp3)");
  progress_end(&p);
  expect_output(&mp3, "audio novideo", "MP3_Convert(ANSI paths)");
}

/* MPG_Transcode with hand-built string objects: a short path held inline
 * (capacity 15) and a long one behind a heap pointer. */
static void test_transcode(int full) {
  unsigned char in[STR_SIZE], outs[STR_SIZE], before[2][STR_SIZE];
  int32_t params[12];
  progress_t p;
  int32_t s;
  path_t src = fix(L"av.mp4");

  /* Short relative paths, inline: the output folder is the current directory. A
   * string of exactly 15 characters still sits inline. */
  path_t local = out(L"in.mp4");
  check(CopyFileW(src.w, local.w, FALSE), "CopyFileW av.mp4 -> in.mp4");
  check(SetCurrentDirectoryW(outdir), "SetCurrentDirectoryW(output dir)");
  path_t tshort = out(L"tc_inline_15.ts");
  make_string(in, "in.mp4", 6, 15, NULL);
  make_string(outs, "tc_inline_15.ts", 15, 15, NULL);
  memcpy(before[0], in, STR_SIZE);
  memcpy(before[1], outs, STR_SIZE);
  memset(params, 0, sizeof params);
  params[0] = 6; /* MPEG-TS, streams copied */
  progress_begin(&p, "MPG_Transcode(inline strings)");
  s = api.Transcode(in, outs, params, on_progress, (uintptr_t)&p);
  check_status(s, 0, "MPG_Transcode(\"in.mp4\" -> \"tc_inline_15.ts\", inline strings, MPEG-TS)");
  progress_end(&p);
  check(memcmp(before[0], in, STR_SIZE) == 0 && memcmp(before[1], outs, STR_SIZE) == 0,
        "MPG_Transcode leaves the string objects as they were");
  expect_output(&tshort, "video,audio", "MPG_Transcode(inline)");

  /* Long absolute paths behind heap pointers; the text after the size is junk the
   * library must not read as part of the name. Width and channels are read from
   * their offsets in TranscodeParams. */
  path_t tlong = out(L"transcoded_with_a_long_name.mp4");
  size_t il = strlen(src.a), ol = strlen(tlong.a);
  char *hin = malloc(il + 64), *hout = malloc(ol + 64);
  if (!hin || !hout)
    return;
  memset(hin, 'J', il + 64);
  memset(hout, 'J', ol + 64);
  make_string(in, src.a, il, il + 40, hin);
  make_string(outs, tlong.a, ol, ol + 40, hout);
  memset(params, 0, sizeof params);
  params[0] = 4;   /* MP4 */
  params[6] = 160; /* width; height follows */
  params[1] = 2;   /* AAC */
  params[4] = 1;   /* mono */
  s = api.Transcode(in, outs, params, NULL, 0);
  check_status(s, 0, "MPG_Transcode(long paths behind pointers, MP4, 160 wide, mono)");
  check(probe(&tlong) == 1 && rd32(info, 20) == 160 && rd32(info, 24) == 120 && rd32(info, 188) == 1,
        "the transcoded file is 160x120 and mono (%ldx%ld, %ld channels)", (long)rd32(info, 20),
        (long)rd32(info, 24), (long)rd32(info, 188));
  expect_output(&tlong, "video,audio", "MPG_Transcode(heap)");

  if (full) {
    /* An empty string object is a bad parameter: the file at the output stays. */
    path_t keep = out(L"keep.avi");
    write_text(&keep, "keep");
    make_string(in, "", 0, 15, NULL);
    make_string(outs, "keep.avi", 8, 15, NULL);
    params[0] = 2;
    s = api.Transcode(in, outs, params, NULL, 0);
    check_status(s, STATUS_BAD_PARAMETER, "MPG_Transcode(empty input string)");
    check(file_size(&keep) == 4, "MPG_Transcode(empty input string) leaves keep.avi as it was");
  }
  free(hin);
  free(hout);
}

/* Windows names one file in several spellings: case, slashes, "." steps. */
static void test_same_file(void) {
  path_t av = fix(L"av.mp4"), mine = out(L"Same Input.mp4");
  CopyFileW(av.w, mine.w, FALSE);
  long long before = file_size(&mine);
  path_t upper = mkpath(outdir, L"SAME INPUT.MP4"), dotted = mkpath(outdir, L".\\Same Input.mp4");
  check_status(api.ShiftAudio(mine.a, upper.a, 500, NULL, 0), STATUS_SAME_FILE,
               "MPG_ShiftAudio onto its input named in capitals");
  check_status(api.Crop(mine.a, dotted.a), STATUS_SAME_FILE, "MPG_Crop onto its input named through \".\\\"");
  char slashed[sizeof mine.a];
  memcpy(slashed, mine.a, sizeof slashed);
  for (char *c = slashed; *c; c++)
    if (*c == '\\')
      *c = '/';
  check_status(api.SaveTrimmedVideo(mine.a, slashed, 0, 1), STATUS_SAME_FILE,
               "MPG_SaveTrimmedVideo onto its input named with forward slashes");
  check(api.GetImageJPG(mine.a, mine.a, 1, 120) == 0, "MPG_GetImageJPG onto its input = 0");
  check(file_size(&mine) == before, "the input named four other ways is still whole");
}

static void test_audio(void) {
  path_t av = fix(L"av3.mp4");
  progress_t p;
  path_t full = out(L"conv.mp3");
  progress_begin(&p, "MP3_Convert");
  int32_t s = api.MP3Convert(av.a, full.a, 0, on_progress, (uintptr_t)&p);
  check_status(s, 0, "MP3_Convert(av3.mp4)");
  progress_end(&p);
  expect_output(&full, "audio", "MP3_Convert");

  /* A stop from the callback half-way: OK, and a shorter, still playable file. */
  path_t part = out(L"conv_stopped.mp3");
  progress_begin(&p, "MP3_Convert(stopped)");
  p.stop_at = SCALE / 2;
  s = api.MP3Convert(av.a, part.a, 0, on_progress, (uintptr_t)&p);
  check_status(s, 0, "MP3_Convert stopped by the callback");
  progress_end(&p);
  check(file_size(&part) > 0 && file_size(&part) < file_size(&full),
        "the stopped MP3 is shorter (%lld < %lld bytes)", file_size(&part), file_size(&full));
  expect_output(&part, "audio", "MP3_Convert(stopped)");

  path_t none = out(L"none.mp3"), missing = fix(L"missing.mp4");
  s = api.MP3Convert(missing.a, none.a, 0, NULL, 0);
  check_status(s, STATUS_ENOENT, "MP3_Convert(missing input)");
  path_t nodir = out(L"no such folder\\out.mp3");
  s = api.MP3Convert(av.a, nodir.a, 0, NULL, 0);
  check_status(s, STATUS_ENOENT, "MP3_Convert(output in a missing folder)");
  path_t dir = mkpath(outdir, L"a folder.mp4");
  CreateDirectoryW(dir.w, NULL);
  s = api.MP3Convert(dir.a, none.a, 0, NULL, 0);
  check_status(s, STATUS_EISDIR, "MP3_Convert(a folder as input)");
  check(file_size(&none) < 0, "MP3_Convert(a folder as input) writes nothing");
}

static void test_images(void) {
  path_t av = fix(L"av.mp4");
  unsigned char head[3];
  path_t jpg = out(L"img.jpg");
  check(api.GetImage(2, av.a, jpg.a, 0, 90) == 1 && file_head(&jpg, head, 3) == 3 && head[0] == 0xFF &&
            head[1] == 0xD8,
        "MPG_GetImage(JPEG) = 1 and writes a JPEG");
  expect_output(&jpg, "image", "MPG_GetImage");
#if defined(__i386__)
  path_t jpg4 = out(L"img_misaligned.jpg");
  struct image_call c = {(void *)(uintptr_t)api.GetImage,
                         {2, (uint32_t)(uintptr_t)av.a, (uint32_t)(uintptr_t)jpg4.a, 0, 90}};
  check(get_image_misaligned(&c) == 1, "MPG_GetImage called on a stack 4 bytes off 16 = 1");
  static unsigned char want[1 << 20], got[1 << 20];
  const size_t nw = file_head(&jpg, want, sizeof want), ng = file_head(&jpg4, got, sizeof got);
  check(ng > 0 && ng == nw && memcmp(want, got, ng) == 0, "... and writes the same JPEG (%lu bytes)",
        (unsigned long)ng);
#endif
  path_t mid = out(L"img_mid.jpg");
  check(api.GetImageP(2, av.a, mid.a, SCALE / 2, 120, 0) == 1 && api.GetImageJPG(av.a, mid.a, 1, 120) == 1,
        "MPG_GetImageP and MPG_GetImageJPG = 1");
  uint32_t size = 12345;
  uint8_t *buf = api.GetImageBMP(av.a, 1, &size, 0);
  check(buf && size >= 54 + 320 * 240 * 3 && buf[0] == 'B' && buf[1] == 'M' && (uint32_t)rd32(buf, 2) == size,
        "MPG_GetImageBMP(av.mp4, 1 s): a BMP of *size = %lu bytes", (unsigned long)size);
  free(buf); /* the C runtime's free, as the host does */
  check(1, "MPG_GetImageBMP's buffer released with free()");
  size = 777;
  path_t missing = fix(L"missing.mp4");
  check(api.GetImageBMP(missing.a, 1, &size, 0) == NULL && size == 0, "MPG_GetImageBMP(missing) = NULL, *size 0");
}

/* Jobs on worker threads at once, as a host with a download queue runs them: each
 * gets its own reports on its own thread, its own output, and its own error text. */
#define NTHREADS 3
typedef struct {
  int index;
  path_t in1, in2, target;
  int32_t status;
  progress_t progress;
  char text[64];
} thread_job_t;
static volatile LONG ready;

static DWORD WINAPI thread_main(LPVOID arg) {
  thread_job_t *j = (thread_job_t *)arg;
  static const int32_t codes[NTHREADS] = {STATUS_BAD_PARAMETER, STATUS_SAME_FILE, STATUS_ENOENT};
  progress_begin(&j->progress, j->index == 0 ? "thread 0: MPG_MergeAV" : "thread 1: MP3_Convert");
  if (j->index == 0) {
    j->progress.may_go_down = 1;
    j->status = api.MergeAV(j->in1.a, j->in2.a, j->target.a, on_progress, (uintptr_t)&j->progress);
  } else if (j->index == 1) {
    j->status = api.MP3Convert(j->in1.a, j->target.a, 0, on_progress, (uintptr_t)&j->progress);
  } else {
    j->status = api.GetImage(2, j->in1.a, j->target.a, 0, 50) == 1 ? 0 : -1;
  }
  set_current_job(NULL);
  /* The text stays this thread's until its next call, whatever the others ask. */
  const char *t = api.GetErrorText(codes[j->index]);
  InterlockedIncrement(&ready);
  while (ready < NTHREADS)
    Sleep(1);
  Sleep(20);
  snprintf(j->text, sizeof j->text, "%s", t ? t : "(null)");
  return 0;
}

static void test_threads(void) {
  static thread_job_t jobs[NTHREADS];
  HANDLE h[NTHREADS];
  static const char *want[NTHREADS] = {"Bad parameter", "Output file is the same as an input file",
                                       "No such file or directory"};
  jobs[0].in1 = fix(L"v.mp4");
  jobs[0].in2 = fix(L"a.m4a");
  jobs[0].target = out(L"thread 0 merged.mp4");
  jobs[1].in1 = fix(L"av3.mp4");
  jobs[1].target = out(L"thread 1 audio.mp3");
  jobs[2].in1 = fix(L"small.mp4");
  jobs[2].target = out(L"thread 2 picture.jpg");
  ready = 0;
  for (int i = 0; i < NTHREADS; i++) {
    jobs[i].index = i;
    h[i] = CreateThread(NULL, 0, thread_main, &jobs[i], 0, NULL);
    check(h[i] != NULL, "thread %d started", i);
  }
  for (int i = 0; i < NTHREADS; i++) {
    if (!h[i])
      continue;
    check(WaitForSingleObject(h[i], 120000) == WAIT_OBJECT_0, "thread %d finished", i);
    CloseHandle(h[i]);
  }
  check_status(jobs[0].status, 0, "thread 0: MPG_MergeAV(v.mp4, a.m4a)");
  progress_end(&jobs[0].progress);
  expect_output(&jobs[0].target, "video,audio", "thread 0: MPG_MergeAV");
  check_status(jobs[1].status, 0, "thread 1: MP3_Convert(av3.mp4)");
  progress_end(&jobs[1].progress);
  expect_output(&jobs[1].target, "audio", "thread 1: MP3_Convert");
  check(jobs[2].status == 0, "thread 2: MPG_GetImage(small.mp4) = 1");
  expect_output(&jobs[2].target, "image", "thread 2: MPG_GetImage");
  for (int i = 0; i < NTHREADS; i++)
    check(strcmp(jobs[i].text, want[i]) == 0, "thread %d: its MPG_GetErrorText text stays its own (\"%s\")", i,
          jobs[i].text);
}

/* With av_interleaved41.dll beside the program, the library's first packet write
 * loads it and every packet goes through it. This writer keeps nothing, so the
 * outputs are not judged. */
typedef LONG(__cdecl *calls_fn)(void);
static void test_packet_writer(void) {
  check(GetModuleHandleA("av_interleaved41.dll") == NULL, "the packet writer is not loaded before a job");
  path_t v = fix(L"v.mp4"), a = fix(L"a.m4a"), av = fix(L"av.mp4");
  path_t merged = out(L"writer_merged.mp4"), crop = out(L"writer_crop.mp4");
  int32_t s = api.MergeAV(v.a, a.a, merged.a, NULL, 0);
  note("MPG_MergeAV through the packet writer: status %ld", (long)s);
  HMODULE writer = GetModuleHandleA("av_interleaved41.dll");
  check(writer != NULL, "the first job loaded av_interleaved41.dll from the program's folder");
  if (!writer)
    return;
  calls_fn calls = (calls_fn)(void (*)(void))GetProcAddress(writer, "packet_writer_calls");
  check(calls != NULL, "the loaded writer is this test's");
  if (!calls)
    return;
  LONG after_merge = calls();
  check(after_merge >= 50, "MPG_MergeAV wrote its packets through the writer (%ld calls)", (long)after_merge);
  s = api.Crop(av.a, crop.a);
  note("MPG_Crop through the packet writer: status %ld", (long)s);
  check(calls() >= after_merge + 50, "a later job writes through it too (%ld calls)", (long)(calls() - after_merge));
}

/* Download folders nest deep and titles run long: paths past MAX_PATH (260), which
 * the host passes plainly and reaches itself through the \\?\ prefix. */
static path_t long_path(const wchar_t *dir, const wchar_t *name) {
  path_t p = mkpath(dir, name);
  path_t prefixed = mkpath(L"\\\\?\\", p.w);
  wcscpy(p.w, prefixed.w);
  return p;
}

static void test_long_paths(void) {
  wchar_t dir[MAXP];
  swprintf(dir, MAXP, L"%ls", outdir);
  for (int level = 0; level < 4; level++) {
    wcscat(dir, L"\\");
    for (int i = 0; i < 70; i++)
      wcscat(dir, L"d");
    path_t d = long_path(L"", dir);
    CreateDirectoryW(d.w, NULL);
  }
  path_t av = long_path(dir, L"t\u00e9l\u00e9chargement.mp4"), s1 = long_path(dir, L"seg1.ts");
  path_t s2 = long_path(dir, L"seg2.ts"), flv = long_path(dir, L"av.flv");
  check(strlen(av.a) > 300, "a download folder %lu characters deep", (unsigned long)strlen(av.a));
  check(CopyFileW(fix(L"av.mp4").w, av.w, FALSE) && CopyFileW(fix(L"seg1.ts").w, s1.w, FALSE) &&
            CopyFileW(fix(L"seg2.ts").w, s2.w, FALSE) && CopyFileW(fix(L"av.flv").w, flv.w, FALSE),
        "fixtures copied there (host side)");
  check(probe(&av) == 1 && rd32(info, 20) == 320, "MPG_GetMediaInfo on a long path");
  path_t crop = long_path(dir, L"crop.mp4");
  check_status(api.Crop(av.a, crop.a), 0, "MPG_Crop(long paths)");
  check(probe(&crop) == 1 && rd32(info, 20) == 320, "the cropped file at a long path reads back");
  check_status(api.Crop(av.a, av.a), STATUS_SAME_FILE, "MPG_Crop(a long path onto itself)");
  const char *segs[] = {s1.a, s2.a, NULL};
  path_t joined = long_path(dir, L"joined.ts");
  check_status(api.Merge(segs, joined.a, 1, 0, NULL, 0), 0, "MPG_Merge(long paths, deleteSegments)");
  check(probe(&joined) == 1 && rd64(info, 0) >= 1, "the segments joined at a long path (%lld s)",
        (long long)rd64(info, 0));
  check(file_size(&s1) < 0 && file_size(&s2) < 0, "the segments at long paths are deleted");
  check_status(api.FixDuration(flv.a), 0, "FLV_FixDuration(long path)");
  unsigned char head[3];
  path_t jpg = long_path(dir, L"image.jpg");
  check(api.GetImage(2, av.a, jpg.a, 0, 90) == 1 && file_head(&jpg, head, 3) == 3 && head[0] == 0xFF,
        "MPG_GetImage writes a JPEG at a long path");
}

int main(int argc, char **argv) {
  int quick = 0, packet_writer = 0, one_thread = 0;
  const char *pos[3] = {NULL, NULL, NULL};
  int npos = 0;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--quick") == 0)
      quick = 1;
    else if (strcmp(argv[i], "--packet-writer") == 0)
      packet_writer = 1;
    else if (strcmp(argv[i], "--one-thread") == 0)
      one_thread = 1;
    else if (npos < 3)
      pos[npos++] = argv[i];
    else
      npos = 99;
  }
  if (npos != 3) {
    fprintf(stderr, "usage: host_test.exe <dll> <fixture dir> <output dir> [--quick | --packet-writer]"
                    " [--one-thread]\n");
    return 2;
  }
  current_slot = TlsAlloc();
  MultiByteToWideChar(CP_ACP, 0, pos[1], -1, fixdir, MAXP);
  MultiByteToWideChar(CP_ACP, 0, pos[2], -1, outdir, MAXP);
  /* Absolute folders: the transcode checks change the current directory. */
  wchar_t tmp[MAXP];
  if (GetFullPathNameW(fixdir, MAXP, tmp, NULL))
    wcscpy(fixdir, tmp);
  if (GetFullPathNameW(outdir, MAXP, tmp, NULL))
    wcscpy(outdir, tmp);

  if (packet_writer) {
    if (load(pos[0]))
      test_packet_writer();
  } else if (load(pos[0])) {
    test_basics();
    test_media_info_layout();
    test_merge_op();
    test_probes();
    test_ansi_paths(!quick);
    test_transcode(!quick);
    test_images();
    if (!quick) {
      test_same_file();
      test_audio();
      if (!one_thread)
        test_threads();
      test_long_paths();
    }
    /* Every job is over: no input may still be held open. */
    const wchar_t *inputs[] = {L"av.mp4", L"v.mp4", L"a.m4a", L"seg1.ts", L"av3.mp4"};
    for (size_t i = 0; i < sizeof inputs / sizeof *inputs; i++) {
      path_t in = fix(inputs[i]);
      check(!held_open(&in), "input %s is not held open after the jobs", in.utf8name);
    }
  }
  /* A host unloads the library when it is done: nothing of it may run on. */
  if (dll) {
    check(FreeLibrary(dll), "FreeLibrary(mpg.dll)");
    Sleep(200);
  }
  printf("%d passed, %d failed\n", passed, failed);
  return failed ? 1 : 0;
}

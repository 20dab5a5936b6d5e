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
 * Usage: host_test.exe <dll> <fixture dir> <output dir>
 *                     [--quick | --packet-writer | --utf8-code-page]
 *                     [--one-thread]
 *   <dll>          name or path handed to LoadLibraryA ("mpg.dll" finds the copy
 *                  beside this program, as the host's does)
 *   <fixture dir>  the files the driver generated (av.mp4, v.mp4, a.m4a, ...)
 *   <output dir>   an existing, empty folder for the outputs
 *   --quick        loading, names, layouts and one job per family only
 *   --packet-writer  only the packet writer a host puts beside its program
 *                  (av_interleaved41.dll): the library must find it and use it
 *   --utf8-code-page  only the path encodings, for a copy of this program whose
 *                  manifest sets the ANSI code page to UTF-8
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
#define BAD_PARAMETER_TEXT "Error number -1073741818 occurred" /* FFmpeg's text for the number */
#define STATUS_AUDIO_CODEC_NOT_FOUND ((int32_t)0xC0000001)
#define STATUS_VIDEO_STREAM_NOT_FOUND ((int32_t)0xC0000004)
#define STATUS_ENOENT (-2)
#define STATUS_EISDIR (-21)
#define MAXP 1024

/* The exports as the host declares them: cdecl, records passed as raw bytes. */
typedef uint8_t(__cdecl *progress_fn)(const void *report);
#define EXPORTS(X)                                                                                                     \
  X(SetPercent100, "MPG_SetPercent100", void, (int32_t))                                                               \
  X(TestParams, "MPG_TestParams", void, (void))                                                                        \
  X(GetErrorText, "MPG_GetErrorText", const char *, (int32_t))                                                         \
  X(GetDefExt, "MPG_GetDefExt", const char *, (int32_t))                                                               \
  X(IsThisGoodFile, "MPG_IsThisGoodFile", uint8_t, (const char *))                                                     \
  X(GetMediaInfo, "MPG_GetMediaInfo", uint8_t, (const char *, void *))                                                 \
  X(GetAudioDuration, "MPG_GetAudioDuration", uint32_t, (const char *))                                                \
  X(MergeOP, "MPG_MergeOP", int32_t, (const char *, const char *, void *))                                             \
  X(MergeOP2, "MPG_MergeOP2", int32_t, (const char *, const char *, void *))                                           \
  X(GetDefExtension, "MPG_GetDefExtension", void, (const char *, char *, int32_t))                                     \
  X(MergeAV, "MPG_MergeAV", int32_t, (const char *, const char *, const char *, progress_fn, uintptr_t))               \
  X(Merge, "MPG_Merge", int32_t, (const char *const *, const char *, int32_t, uint8_t, progress_fn, uintptr_t))        \
  X(Transcode, "MPG_Transcode", int32_t, (const void *, const void *, const void *, progress_fn, uintptr_t))           \
  X(MP3Convert, "MP3_Convert", int32_t, (const char *, const char *, int32_t, progress_fn, uintptr_t))                 \
  X(ShiftAudio, "MPG_ShiftAudio", int32_t, (const char *, const char *, int32_t, progress_fn, uintptr_t))              \
  X(Crop, "MPG_Crop", int32_t, (const char *, const char *))                                                           \
  X(SaveTrimmedVideo, "MPG_SaveTrimmedVideo", int32_t, (const char *, const char *, int32_t, int32_t))                 \
  X(FixDuration, "FLV_FixDuration", int32_t, (const char *))                                                           \
  X(GetImage, "MPG_GetImage", uint8_t, (int32_t, const char *, const char *, int32_t, int32_t))                        \
  X(GetImageP, "MPG_GetImageP", uint8_t, (int32_t, const char *, const char *, int32_t, int32_t, int32_t))             \
  X(GetImageBMP, "MPG_GetImageBMP", uint8_t *, (const char *, int32_t, uint32_t *, int32_t))                           \
  X(GetImageJPG, "MPG_GetImageJPG", uint8_t, (const char *, const char *, int32_t, int32_t))                           \
  X(SetPathEncoding, "MPG_SetPathEncoding", int32_t, (int32_t))                                                       \
  X(ExtractAudio, "MPG_ExtractAudio", int32_t, (const char *, const char *, char *, int32_t, progress_fn, uintptr_t))  \
  X(Free, "MPG_Free", void, (void *))                                                                                  \
  X(Finish, "MPG_Finish", int32_t, (const void *, progress_fn, uintptr_t))
#define DECLARE(field, name, ret, args) ret(__cdecl *field) args;
static struct {
  EXPORTS(DECLARE)
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
  /* As mpg.h tells hosts: no best fit, and a UTF-8 code page takes no such flag. */
  BOOL lossy = FALSE;
  int n = GetACP() == CP_UTF8
              ? WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, p.w, -1, p.a, (int)sizeof p.a, NULL, NULL)
              : WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, p.w, -1, p.a, (int)sizeof p.a, NULL, &lossy);
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
  int reports, texts, bad_user, bad_text, bad_range, went_down;
  int32_t last;
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
  if (p->reports > 1 && value < p->last)
    p->went_down++;
  p->last = value;
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
  check(p->last == SCALE, "%s: last report is the scale %d (got %ld)", j, SCALE, (long)p->last);
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

#define RESOLVE(field, name, ret, args) *(void **)&api.field = resolve(name);

static int load(const char *dllname) {
  dll = LoadLibraryA(dllname);
  check(dll != NULL, "LoadLibraryA(\"%s\") (error %lu)", dllname, dll ? 0ul : (unsigned long)GetLastError());
  if (!dll)
    return 0;
  EXPORTS(RESOLVE)
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
  const char *t = api.GetErrorText(0);
  /* 0 and the bad-parameter code have no text of their own: FFmpeg's for the number
     (this build of FFmpeg has no strerror_r, so its fallback names it). */
  check(t && *t, "MPG_GetErrorText(0) = \"%s\"", t ? t : "(null)");
  t = api.GetErrorText(STATUS_BAD_PARAMETER);
  check(t && strcmp(t, BAD_PARAMETER_TEXT) == 0, "MPG_GetErrorText(bad parameter) = \"%s\"", t ? t : "(null)");
  t = api.GetErrorText(STATUS_SAME_FILE);
  check(t && strcmp(t, "Output file is the same as an input file") == 0, "MPG_GetErrorText(same file) = \"%s\"",
        t ? t : "(null)");
  t = api.GetErrorText(STATUS_ENOENT);
  check(t && strcmp(t, "No such file or directory") == 0, "MPG_GetErrorText(ENOENT) = \"%s\"", t ? t : "(null)");
  t = api.GetDefExt(4);
  check(t && strcmp(t, "mp4") == 0, "MPG_GetDefExt(4) = \"%s\"", t ? t : "(null)");
  t = api.GetDefExt(7);
  check(t && strcmp(t, "webm") == 0, "MPG_GetDefExt(7) = \"%s\"", t ? t : "(null)");
  t = api.GetDefExt(99);
  check(t && strcmp(t, "mp4") == 0, "MPG_GetDefExt(99) = \"%s\"", t ? t : "(null)");
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
static void test_ansi_paths(void) {
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
}

/* ---- Path encodings: names in every script, look-alike traps, refusals ---------- */

#define PATH_ANSI 0
#define PATH_UTF8 1

/* A path as a host in UTF-8 mode hands it over: .a holds strict UTF-8. */
static path_t mkpath_utf8(const wchar_t *dir, const wchar_t *name) {
  path_t p = mkpath(dir, name);
  p.ok = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, p.w, -1, p.a, (int)sizeof p.a, NULL, NULL) > 0;
  return p;
}
static path_t mkpath_in(int encoding, const wchar_t *dir, const wchar_t *name) {
  return encoding == PATH_UTF8 ? mkpath_utf8(dir, name) : mkpath(dir, name);
}
static const char *encoding_name(int encoding) { return encoding == PATH_UTF8 ? "UTF-8" : "ANSI"; }

static void utf8_of(const wchar_t *w, char *buf, int size) {
  if (!WideCharToMultiByte(CP_UTF8, 0, w, -1, buf, size, NULL, NULL))
    snprintf(buf, (size_t)size, "(unprintable)");
}

/* A folder tree as the host sees it: every file and folder with its size and a hash
 * of its bytes, to show that a call created, changed or removed nothing else. */
#define SNAP_MAX 96
typedef struct {
  wchar_t name[MAX_PATH]; /* relative to the snapshot's root */
  long long size;         /* -1 for a folder */
  uint64_t hash;
} snap_entry_t;
typedef struct {
  int n, overflow;
  snap_entry_t e[SNAP_MAX];
} snap_t;

static uint64_t file_hash(const wchar_t *path) {
  uint64_t h = 1469598103934665603ull; /* FNV-1a, 64 bits */
  HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (f == INVALID_HANDLE_VALUE)
    return 0;
  static unsigned char buf[1 << 16];
  DWORD got;
  while (ReadFile(f, buf, sizeof buf, &got, NULL) && got > 0)
    for (DWORD i = 0; i < got; i++)
      h = (h ^ buf[i]) * 1099511628211ull;
  CloseHandle(f);
  return h;
}

static void snap_dir(snap_t *s, const wchar_t *root, const wchar_t *rel) {
  wchar_t pattern[MAXP];
  swprintf(pattern, MAXP, L"%ls%ls\\*", root, rel);
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(pattern, &fd);
  if (h == INVALID_HANDLE_VALUE)
    return;
  do {
    if (wcscmp(fd.cFileName, L".") == 0 || wcscmp(fd.cFileName, L"..") == 0)
      continue;
    if (s->n == SNAP_MAX) {
      s->overflow = 1;
      break;
    }
    snap_entry_t *e = &s->e[s->n++];
    swprintf(e->name, MAX_PATH, L"%ls\\%ls", rel, fd.cFileName);
    wchar_t full[MAXP];
    swprintf(full, MAXP, L"%ls%ls", root, e->name);
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      e->size = -1;
      e->hash = 0;
      snap_dir(s, root, e->name);
    } else {
      e->size = ((long long)fd.nFileSizeHigh << 32) | fd.nFileSizeLow;
      e->hash = file_hash(full);
    }
  } while (FindNextFileW(h, &fd));
  FindClose(h);
}

static void snapshot(snap_t *s, const wchar_t *root) {
  s->n = s->overflow = 0;
  snap_dir(s, root, L"");
}

static const snap_entry_t *snap_find(const snap_t *s, const wchar_t *name) {
  for (int i = 0; i < s->n; i++)
    if (wcscmp(s->e[i].name, name) == 0)
      return &s->e[i];
  return NULL;
}

static int is_allowed(const wchar_t *name, const wchar_t *const *allowed, int nallowed) {
  for (int i = 0; i < nallowed; i++)
    if (wcscmp(name, allowed[i]) == 0)
      return 1;
  return 0;
}

/* Checks that between two snapshots nothing but the allowed names (relative, each
 * starting with a backslash) appeared, changed or went. */
static void check_only_changed(const snap_t *before, const snap_t *after, const wchar_t *const *allowed, int nallowed,
                               const char *what) {
  int unexpected = 0;
  char name[MAXP * 3];
  for (int pass = 0; pass < 2; pass++) {
    const snap_t *from = pass ? after : before, *to = pass ? before : after;
    for (int i = 0; i < from->n; i++) {
      const snap_entry_t *e = &from->e[i], *o = snap_find(to, e->name);
      if (is_allowed(e->name, allowed, nallowed) || (o && pass))
        continue;
      if (o && o->size == e->size && o->hash == e->hash)
        continue;
      utf8_of(e->name, name, (int)sizeof name);
      note("%s: %s was %s", what, name, !o ? (pass ? "created" : "removed") : "changed");
      unexpected++;
    }
  }
  check(unexpected == 0 && !before->overflow && !after->overflow,
        "%s: no other file or folder was created, changed or removed (%d were)", what, unexpected);
}

/* The inputs of every export, all named in one script. */
typedef struct {
  path_t av, v, a, s1, s2, flv;
} named_inputs_t;

typedef int32_t (*named_job_fn)(const named_inputs_t *in, const path_t *o);
/* One export's call on the named inputs, writing o where it writes a file. */
#define NAMED_JOB(fn, ...)                                                                                             \
  static int32_t fn(const named_inputs_t *in, const path_t *o) {                                                       \
    (void)in;                                                                                                          \
    (void)o;                                                                                                           \
    __VA_ARGS__                                                                                                        \
  }
NAMED_JOB(job_good_file, return api.IsThisGoodFile(in->av.a);)
NAMED_JOB(job_media_info, return probe(&in->av) == 1 && rd32(info, 20) == 320;)
NAMED_JOB(job_audio_duration, return api.GetAudioDuration(in->av.a) > 0;)
NAMED_JOB(job_merge_op, unsigned char r[8]; return api.MergeOP(in->v.a, in->a.a, r);)
NAMED_JOB(job_merge_op2, unsigned char r[72]; return api.MergeOP2(in->v.a, in->a.a, r);)
NAMED_JOB(job_def_extension, char ext[16] = "x"; api.GetDefExtension(in->av.a, ext, 16); return !strcmp(ext, "mp4");)
NAMED_JOB(job_merge_av, return api.MergeAV(in->v.a, in->a.a, o->a, NULL, 0);)
NAMED_JOB(job_concat, const char *segs[] = {in->s1.a, in->s2.a, NULL}; return api.Merge(segs, o->a, 1, 0, NULL, 0);)
NAMED_JOB(job_mp3, return api.MP3Convert(in->av.a, o->a, 0, NULL, 0);)
NAMED_JOB(job_crop, return api.Crop(in->av.a, o->a);)
NAMED_JOB(job_trim, return api.SaveTrimmedVideo(in->av.a, o->a, 0, 1);)
NAMED_JOB(job_shift, return api.ShiftAudio(in->av.a, o->a, 250, NULL, 0);)
NAMED_JOB(job_fix_flv, return api.FixDuration(in->flv.a);)
NAMED_JOB(job_image, return api.GetImage(2, in->av.a, o->a, 0, 90);)
NAMED_JOB(job_image_p, return api.GetImageP(1, in->av.a, o->a, SCALE / 2, 120, 0);)
NAMED_JOB(job_image_jpg, return api.GetImageJPG(in->av.a, o->a, 1, 120);)
NAMED_JOB(job_image_bmp, uint32_t size = 0; uint8_t *buf = api.GetImageBMP(in->av.a, 1, &size, 0);
          int ok = buf && size > 54 && rd32(buf, 18) == 320; api.Free(buf); return ok;)
/* o names the file written: the stem it is given, plus the extension chosen for AAC. */
NAMED_JOB(job_extract_audio, char stem[MAXP * 3]; char ext[8] = "x"; const size_t n = strlen(o->a) - 4;
          memcpy(stem, o->a, n); stem[n] = 0; const int32_t r = api.ExtractAudio(in->av.a, stem, ext, 8, NULL, 0);
          return r == 0 && strcmp(ext, "m4a") != 0 ? -1 : r;)
/* The finishing job's records as mpg.h lays them out (size first in each). */
typedef struct {
  int32_t size;
  const char *key, *value;
} finish_tag_t;
typedef struct {
  int32_t size;
  const char *title;
  int64_t start_ms, end_ms;
} finish_chapter_t;
typedef struct {
  int32_t size, audio_count;
  const char *video;
  const char *const *audio;
  const void *subtitles;
  const char *cover;
  const finish_tag_t *tags;
  const finish_chapter_t *chapters;
  const char *output, *container;
  int32_t subtitle_count, tag_count, chapter_count, reserved;
} finish_job_t;
/* Video and audio into Matroska with a title and a chapter. */
NAMED_JOB(job_finish, const char *audio[1] = {in->a.a};
          const finish_tag_t tag = {(int32_t)sizeof(finish_tag_t), "title", "\xE5\xAE\x8C"};
          const finish_chapter_t chapter = {(int32_t)sizeof(finish_chapter_t), "\xE7\xAB\xA0", 0, 500};
          const finish_job_t job = {(int32_t)sizeof(finish_job_t), 1, in->v.a, audio, NULL, NULL, &tag, &chapter, o->a,
                                    "mkv", 0, 1, 1, 0};
          return api.Finish(&job, NULL, 0);)
/* MPEG-TS, streams copied; the names are long enough to sit behind heap pointers. */
NAMED_JOB(job_transcode, static char hin[MAXP * 3], hout[MAXP * 3]; unsigned char sin[STR_SIZE], sout[STR_SIZE];
          int32_t params[12] = {6}; make_string(sin, in->av.a, strlen(in->av.a), strlen(in->av.a) + 16, hin);
          make_string(sout, o->a, strlen(o->a), strlen(o->a) + 16, hout);
          return api.Transcode(sin, sout, params, NULL, 0);)

/* Every export that takes a path. out: the file it writes, NULL for none; status:
 * 1 when it returns a status code, 0 for a flag (1 reached, 0 failed). */
static const struct {
  const char *name;
  const wchar_t *out;
  int status;
  named_job_fn run;
} named_jobs[] = {
    {"MPG_IsThisGoodFile", NULL, 0, job_good_file},
    {"MPG_GetMediaInfo", NULL, 0, job_media_info},
    {"MPG_GetAudioDuration", NULL, 0, job_audio_duration},
    {"MPG_MergeOP", NULL, 1, job_merge_op},
    {"MPG_MergeOP2", NULL, 1, job_merge_op2},
    {"MPG_GetDefExtension", NULL, 0, job_def_extension},
    {"MPG_MergeAV", L"_merged.mp4", 1, job_merge_av},
    {"MPG_Merge(deleteSegments)", L"_joined.mp4", 1, job_concat},
    {"MPG_Transcode", L"_transcoded.ts", 1, job_transcode},
    {"MP3_Convert", L"_audio.mp3", 1, job_mp3},
    {"MPG_Crop", L"_crop.mp4", 1, job_crop},
    {"MPG_SaveTrimmedVideo", L"_trim.mp4", 1, job_trim},
    {"MPG_ShiftAudio", L"_shift.mp4", 1, job_shift},
    {"MPG_ExtractAudio", L"_audio.m4a", 1, job_extract_audio},
    {"MPG_Finish", L"_finished.mkv", 1, job_finish},
    {"FLV_FixDuration", NULL, 1, job_fix_flv},
    {"MPG_GetImage", L"_image.jpg", 0, job_image},
    {"MPG_GetImageP", L"_image_p.bmp", 0, job_image_p},
    {"MPG_GetImageBMP", NULL, 0, job_image_bmp},
    {"MPG_GetImageJPG", L"_image_1s.jpg", 0, job_image_jpg},
};
#define NAMED_JOBS ((int)(sizeof named_jobs / sizeof *named_jobs))

static int job_reached(int i, int32_t r) { return named_jobs[i].status ? r == 0 : r == 1; }
static int job_refused(int i, int32_t r) { return named_jobs[i].status ? r == STATUS_BAD_PARAMETER : r == 0; }

/* Download titles in the world's scripts; the last two reach beyond the BMP. */
static const wchar_t *const script_names[] = {
    L"\u0417\u0430\u0433\u0440\u0443\u0437\u043a\u0430",                               /* Cyrillic */
    L"\u039b\u03ae\u03c8\u03b7",                                                       /* Greek */
    L"\u30c0\u30a6\u30f3\u30ed\u30fc\u30c9",                                           /* Japanese */
    L"\u062a\u0646\u0632\u064a\u0644",                                                 /* Arabic */
    L"\U0001F3AC\U0001F3B5",                                                           /* emoji */
    L"Mix \u03a9 \u0434\u043e\u043c \u65e5\u672c \u0639\u0631\u0628\u064a \U0001F3B5", /* mixed */
};
#define SCRIPTS ((int)(sizeof script_names / sizeof *script_names))

static int make_dir(const wchar_t *parent, const wchar_t *name, wchar_t *dir) {
  swprintf(dir, MAXP, L"%ls\\%ls", parent, name);
  return CreateDirectoryW(dir, NULL) || GetLastError() == ERROR_ALREADY_EXISTS;
}

/* Copies the fixtures under the stem's names into dir; the inputs of every export. */
static int named_inputs(int encoding, const wchar_t *dir, const wchar_t *stem, named_inputs_t *in) {
  static const wchar_t *const from[] = {L"av.mp4", L"v.mp4", L"a.m4a", L"seg1.ts", L"seg2.ts", L"av.flv"};
  static const wchar_t *const suffix[] = {L".mp4", L"_v.mp4", L"_a.m4a", L" 1.ts", L" 2.ts", L".flv"};
  path_t *to[] = {&in->av, &in->v, &in->a, &in->s1, &in->s2, &in->flv};
  int ok = 1;
  for (int i = 0; i < 6; i++) {
    wchar_t name[MAXP];
    swprintf(name, MAXP, L"%ls%ls", stem, suffix[i]);
    *to[i] = mkpath_in(encoding, dir, name);
    ok = ok && to[i]->ok && CopyFileW(fix(from[i]).w, to[i]->w, FALSE) &&
         SetFileAttributesW(to[i]->w, FILE_ATTRIBUTE_NORMAL);
  }
  return ok;
}

/* Every export reaches files named in each script, in a folder named in it too,
 * and writes nothing but its own output. */
static void test_named_scripts(int encoding, int nscripts) {
  wchar_t root[MAXP];
  make_dir(outdir, encoding == PATH_UTF8 ? L"names utf-8" : L"names ansi", root);
  for (int s = 0; s < nscripts; s++) {
    wchar_t dir[MAXP];
    char label[MAXP * 3], what[MAXP * 3 + 64];
    static named_inputs_t in;
    utf8_of(script_names[s], label, (int)sizeof label);
    if (!make_dir(root, script_names[s], dir) || !named_inputs(encoding, dir, script_names[s], &in)) {
      check(0, "%s: the inputs named %s copied (host side)", encoding_name(encoding), label);
      continue;
    }
    static snap_t before, after;
    snapshot(&before, dir);
    wchar_t allowed[NAMED_JOBS + 3][MAX_PATH];
    const wchar_t *allowed_p[NAMED_JOBS + 3];
    int nallowed = 0;
    for (int i = 0; i < NAMED_JOBS; i++) {
      wchar_t name[MAXP];
      static path_t o;
      memset(&o, 0, sizeof o);
      if (named_jobs[i].out) {
        swprintf(name, MAXP, L"%ls%ls", script_names[s], named_jobs[i].out);
        o = mkpath_in(encoding, dir, name);
        swprintf(allowed[nallowed], MAX_PATH, L"\\%ls", name);
        allowed_p[nallowed] = allowed[nallowed];
        nallowed++;
      }
      const int32_t r = named_jobs[i].run(&in, &o);
      const long long size = named_jobs[i].out ? file_size(&o) : 0;
      check(job_reached(i, r) && (!named_jobs[i].out || size > 0),
            "%s %s: %s reaches its files (result %ld, output %lld bytes)", encoding_name(encoding), label,
            named_jobs[i].name, (long)r, size);
    }
    check(file_size(&in.s1) < 0 && file_size(&in.s2) < 0, "%s %s: MPG_Merge deleted the segments it joined",
          encoding_name(encoding), label);
    const path_t *changed[] = {&in.s1, &in.s2, &in.flv};
    for (int i = 0; i < 3; i++) {
      swprintf(allowed[nallowed], MAX_PATH, L"%ls", changed[i]->w + wcslen(dir));
      allowed_p[nallowed] = allowed[nallowed];
      nallowed++;
    }
    snapshot(&after, dir);
    snprintf(what, sizeof what, "%s %s", encoding_name(encoding), label);
    check_only_changed(&before, &after, allowed_p, nallowed, what);
  }
}

/* Byte strings no encoding may map to a name: an overlong "/" (a lenient decoder's
 * way out of the folder), an encoded surrogate, a cut sequence, a byte UTF-8 never
 * uses. */
static const char *const bad_utf8[] = {"\xC0\xAF..\xC0\xAF", "\xED\xA0\x80", "\xE3\x83", "\xFF"};
#define BAD_UTF8 ((int)(sizeof bad_utf8 / sizeof *bad_utf8))

/* path with its name's first character replaced by bad bytes. */
static path_t spoiled(const path_t *p, const wchar_t *dir, const char *bad) {
  path_t s = *p;
  char dir8[MAXP * 3];
  utf8_of(dir, dir8, (int)sizeof dir8);
  snprintf(s.a, sizeof s.a, "%s\\x%s%s", dir8, bad, strrchr(p->a, '\\') + 1);
  return s;
}

/* Every export refuses a path it cannot name, as input and as output, and touches
 * nothing. encoding: the route the bytes travel (ANSI only in a UTF-8 code page). */
static void test_refusals(int encoding, const wchar_t *dir) {
  static named_inputs_t good, bad;
  static snap_t before, after;
  if (!named_inputs(encoding, dir, L"good", &good)) {
    check(0, "%s: inputs for the refusals copied (host side)", encoding_name(encoding));
    return;
  }
  snapshot(&before, dir);
  for (int i = 0; i < NAMED_JOBS; i++) {
    int inputs_refused = 1, outputs_refused = 1;
    static path_t o, bo;
    o = mkpath_in(encoding, dir, L"written.out");
    for (int b = 0; b < BAD_UTF8; b++) {
      path_t *from[] = {&good.av, &good.v, &good.a, &good.s1, &good.s2, &good.flv};
      path_t *to[] = {&bad.av, &bad.v, &bad.a, &bad.s1, &bad.s2, &bad.flv};
      for (int k = 0; k < 6; k++)
        *to[k] = spoiled(from[k], dir, bad_utf8[b]);
      inputs_refused &= job_refused(i, named_jobs[i].run(&bad, &o));
      if (named_jobs[i].out) {
        bo = spoiled(&o, dir, bad_utf8[b]);
        outputs_refused &= job_refused(i, named_jobs[i].run(&good, &bo));
      }
    }
    check(inputs_refused, "%s: %s refuses inputs named with malformed UTF-8", encoding_name(encoding),
          named_jobs[i].name);
    if (named_jobs[i].out)
      check(outputs_refused, "%s: %s refuses an output named with malformed UTF-8", encoding_name(encoding),
            named_jobs[i].name);
  }
  snapshot(&after, dir);
  check_only_changed(&before, &after, NULL, 0, encoding == PATH_UTF8 ? "UTF-8 refusals" : "ANSI refusals");
}

/* The look-alikes best fit makes, side by side with the names they stand for: each
 * call reaches exactly the named file or is refused. */
static void test_traps(int encoding) {
  wchar_t dir[MAXP], sub[MAXP];
  const char *e = encoding_name(encoding);
  make_dir(outdir, encoding == PATH_UTF8 ? L"traps utf-8" : L"traps ansi", dir);
  path_t a = mkpath_in(encoding, dir, L"a.mp4"), alpha = mkpath_in(encoding, dir, L"\u03b1.mp4");
  path_t aout = mkpath_in(encoding, dir, L"aout.mp4"), alphaout = mkpath_in(encoding, dir, L"\u03b1out.mp4");
  path_t escaped = mkpath_in(encoding, dir, L"escaped.mp4");
  wchar_t bf[MAXP];
  make_dir(dir, L"bf", bf);
  make_dir(bf, L"sub", sub);
  path_t climber = mkpath_in(encoding, sub,
                             L"..\uff3c..\uff3c"
                             L"escaped.mp4");
  if (!alpha.ok || !climber.ok) {
    note("skip: the %s route cannot spell \u03b1 or \uff3c (code page %u)", e, GetACP());
    return;
  }
  check(CopyFileW(fix(L"av.mp4").w, a.w, FALSE) && CopyFileW(fix(L"small.mp4").w, alpha.w, FALSE) &&
            write_text(&aout, "aout.mp4: an older download") && write_text(&escaped, "escaped.mp4: an older download"),
        "%s traps: a.mp4 (320x240) beside \u03b1.mp4 (160x120), aout.mp4 and escaped.mp4 in place", e);
  /* FFmpeg retries an input it cannot open under the ANSI reading of its UTF-8 bytes
   * ("caf\u00e9" as "caf\u00c3\u00a9"): a missing name must stay missing. */
  char gone8[64];
  wchar_t misread[64];
  static path_t gone, other;
  gone = mkpath_in(encoding, dir, L"caf\u00e9 gone.mp4");
  WideCharToMultiByte(CP_UTF8, 0, L"caf\u00e9 gone.mp4", -1, gone8, (int)sizeof gone8, NULL, NULL);
  MultiByteToWideChar(CP_ACP, 0, gone8, -1, misread, 64);
  other = mkpath(dir, misread);
  const int misreads = GetACP() != CP_UTF8 && gone.ok && CopyFileW(fix(L"small.mp4").w, other.w, FALSE);
  static snap_t before, after;
  snapshot(&before, dir);

  if (misreads)
    check(probe(&gone) == 0, "%s traps: a missing caf\u00e9 gone.mp4 is not read under its ANSI misreading", e);
  check(probe(&alpha) == 1 && rd32(info, 20) == 160,
        "%s traps: MPG_GetMediaInfo(\u03b1.mp4) reads it, not a.mp4 "
        "(width %ld)",
        e, (long)rd32(info, 20));
  uint32_t size = 0;
  uint8_t *bmp = api.GetImageBMP(alpha.a, 0, &size, 0);
  check(bmp && rd32(bmp, 18) == 160, "%s traps: MPG_GetImageBMP(\u03b1.mp4) pictures it (width %ld)", e,
        bmp ? (long)rd32(bmp, 18) : -1L);
  free(bmp);
  static path_t v, am;
  v = fix(L"v.mp4");
  am = fix(L"a.m4a");
  int32_t s = api.MergeAV(v.a, am.a, alphaout.a, NULL, 0);
  check(s == 0 && file_size(&alphaout) > 0, "%s traps: MPG_MergeAV writes \u03b1out.mp4 itself (status %ld)", e,
        (long)s);
  s = api.MergeAV(v.a, am.a, climber.a, NULL, 0);
  check(s == 0 ? file_size(&climber) > 0 : file_size(&climber) < 0,
        "%s traps: an output named bf\\sub\\..\uff3c..\uff3c"
        "escaped.mp4 is written there or refused (status %ld)",
        e, (long)s);
  snapshot(&after, dir);
  const wchar_t *allowed[] = {L"\\\u03b1out.mp4", L"\\bf\\sub\\..\uff3c..\uff3c"
                                                  L"escaped.mp4"};
  char what[64];
  snprintf(what, sizeof what, "%s traps", e);
  check_only_changed(&before, &after, allowed, 2, what);
}

/* What a host on the ANSI route sees: the conversion mpg.h prescribes flags the
 * look-alikes, the default character names no file, and bytes the code page does
 * not define are refused. */
static void test_ansi_route(void) {
  static const wchar_t *const traps[] = {L"\u03b1.mp4", L"\u03b1out.mp4",
                                         L"..\uff3c..\uff3c"
                                         L"escaped.mp4"};
  const UINT acp = GetACP();
  if (acp != CP_UTF8) {
    int flagged = 0;
    for (int i = 0; i < 3; i++) {
      char a[64];
      BOOL used = FALSE;
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, traps[i], -1, a, (int)sizeof a, NULL, &used);
      flagged += used != 0;
    }
    check(flagged == 3, "ANSI: WC_NO_BEST_FIT_CHARS sets usedDefault for \u03b1 and \uff3c in code page %u", acp);
  }
  wchar_t dir[MAXP];
  make_dir(outdir, L"ansi route", dir);
  static snap_t before, after;
  snapshot(&before, dir);
  static path_t v, am, q;
  v = fix(L"v.mp4");
  am = fix(L"a.m4a");
  q = mkpath(dir, L"x.mp4");
  char *name = strrchr(q.a, '\\') + 1;
  name[0] = '?'; /* what WideCharToMultiByte gives for a character it lacks */
  int32_t s = api.MergeAV(v.a, am.a, q.a, NULL, 0);
  check(s != 0, "ANSI: an output named with the default character '?' is refused (status %ld)", (long)s);
  /* A byte the ANSI code page leaves undefined, if it has one. */
  char undefined = 0;
  for (int c = 0x80; c <= 0xFF && !undefined; c++) {
    char b[2] = {(char)c, 0};
    wchar_t w[4];
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, b, -1, w, 4) == 0)
      undefined = (char)c;
  }
  if (undefined) {
    name[0] = undefined;
    s = api.MergeAV(v.a, am.a, q.a, NULL, 0);
    check_status(s, STATUS_BAD_PARAMETER, "ANSI: an output named with a byte the code page does not define");
  } else {
    note("code page %u defines every byte: nothing for the ANSI route to refuse", acp);
  }
  snapshot(&after, dir);
  check_only_changed(&before, &after, NULL, 0, "ANSI route");
}

static void test_path_encodings(int full) {
  __typeof__(api.SetPathEncoding) set = api.SetPathEncoding;
  path_t cafe = mkpath(outdir, L"caf\u00e9.mp4");
  check_status(set(PATH_UTF8), 0, "MPG_SetPathEncoding(UTF-8)");
  const int32_t bad_values[] = {-1, 2, 65001};
  for (int i = 0; i < 3; i++)
    check_status(set(bad_values[i]), STATUS_BAD_PARAMETER, "MPG_SetPathEncoding(a value it does not know)");
  path_t small = mkpath_utf8(fixdir, L"small.mp4");
  check(probe(&small) == 1, "UTF-8 stays in force after the refused values");
  test_named_scripts(PATH_UTF8, full ? SCRIPTS : 1);
  wchar_t dir[MAXP];
  make_dir(outdir, L"refusals utf-8", dir);
  test_refusals(PATH_UTF8, dir);
  test_traps(PATH_UTF8);
  check_status(set(PATH_ANSI), 0, "MPG_SetPathEncoding(ANSI)");
  if (cafe.ok && file_size(&cafe) > 0)
    check(probe(&cafe) == 1 && rd32(info, 20) == 320, "ANSI again: caf\u00e9.mp4 opens through the code page");
  test_ansi_route();
}

/* A process whose ANSI code page is UTF-8 (its manifest's activeCodePage): the ANSI
 * route then carries every name, and refuses malformed UTF-8. */
static void test_utf8_code_page(void) {
  const UINT acp = GetACP();
  note("UTF-8 code page run: GetACP() = %u", acp);
  if (acp != CP_UTF8) {
    note("the system ignores the manifest's activeCodePage: nothing to test here");
    return;
  }
  check(1, "the manifest's activeCodePage UTF-8 is in force");
  api.SetPercent100(SCALE); /* the jobs' positions count in this scale, as in the full run */
  test_named_scripts(PATH_ANSI, SCRIPTS);
  wchar_t dir[MAXP];
  make_dir(outdir, L"refusals ansi", dir);
  test_refusals(PATH_ANSI, dir);
  test_traps(PATH_ANSI);
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

/* The codes Windows' own file errors map to. */
static void test_file_errors(void) {
  path_t av = fix(L"av3.mp4");
  int32_t s;
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
  static const char *want[NTHREADS] = {BAD_PARAMETER_TEXT, "Output file is the same as an input file",
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
  int quick = 0, packet_writer = 0, one_thread = 0, utf8_code_page = 0;
  const char *pos[3] = {NULL, NULL, NULL};
  int npos = 0;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--quick") == 0)
      quick = 1;
    else if (strcmp(argv[i], "--packet-writer") == 0)
      packet_writer = 1;
    else if (strcmp(argv[i], "--one-thread") == 0)
      one_thread = 1;
    else if (strcmp(argv[i], "--utf8-code-page") == 0)
      utf8_code_page = 1;
    else if (npos < 3)
      pos[npos++] = argv[i];
    else
      npos = 99;
  }
  if (npos != 3) {
    fprintf(stderr, "usage: host_test.exe <dll> <fixture dir> <output dir> [--quick | --packet-writer |"
                    " --utf8-code-page] [--one-thread]\n");
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
  } else if (utf8_code_page) {
    if (load(pos[0]))
      test_utf8_code_page();
  } else if (load(pos[0])) {
    test_basics();
    test_media_info_layout();
    test_merge_op();
    test_probes();
    test_ansi_paths();
    test_path_encodings(!quick);
    test_transcode(!quick);
    test_images();
    if (!quick) {
      test_same_file();
      test_file_errors();
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

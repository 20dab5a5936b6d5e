/*
 * libmpg: media post-processing for a download manager.
 *
 * Merges a separately downloaded video file and audio file, finishes a download
 * with its subtitles, cover, tags and chapters, joins the segments of a
 * segmented stream, transcodes, converts audio to MP3, inspects files, grabs still
 * pictures, and remuxes, trims, shifts audio and repairs FLV heads. Each export is a
 * plain C function; this header compiles as C11 and as C++.
 *
 * ==== Contract: the rules every export follows ====================================
 *
 * Calls. Every call runs to completion on the calling thread and returns only when
 * its job is done; nothing runs in the background afterwards.
 *
 * Threading. Every export may run on several threads at once, each call on its own
 * files (two calls must not write the same file, nor one write what another reads).
 * The progress scale (MPG_SetPercent100) and the path encoding
 * (MPG_SetPathEncoding) are process-wide, shared by every later call of every
 * thread: set them once, before starting jobs. The text MPG_GetErrorText returns is
 * kept per thread. Nothing else a call does is seen by
 * another call, but for the packet writer below (found once, for the process).
 *
 * Paths. Every path is a NUL-terminated path of a local file, never a URL:
 * "http://x" or "concat:a|b" name files of that name. Paths are read during the
 * call only; the library keeps no pointer to them. The text is UTF-8, except in
 * the Windows DLL, where by default it is in the process's ANSI code page (CP_ACP,
 * as the "A" functions of Windows take it: 1252 on Western systems, UTF-8 in a
 * process whose manifest asks for it), and after MPG_SetPathEncoding(MPG_PATH_UTF8)
 * UTF-8; either way the library reaches the file through the wide Windows
 * functions. A name the ANSI code page cannot spell cannot be passed in it: use
 * UTF-8, and see MPG_SetPathEncoding for converting names safely. A path whose
 * bytes are not valid in its encoding (a malformed UTF-8 sequence, an encoded
 * surrogate, a byte the code page does not define) cannot be named: it is refused,
 * never mapped to a look-alike. Operation exports then return MPG_BAD_PARAMETER,
 * the others 0, NULL or an empty text, and nothing is read or written; a list of
 * segments with one such path is refused whole.
 *
 * Ownership. The library frees everything it allocates, except the buffer
 * MPG_GetImageBMP returns, which the caller releases with MPG_Free (any host, in
 * any language or C runtime) or with free(): on Windows, the free() of msvcrt.dll,
 * the C runtime the DLL uses (a host built for another runtime, such as the UCRT,
 * takes "free" from msvcrt.dll). Strings the
 * library returns (MPG_GetErrorText, MPG_GetDefExt) are its own: never free them.
 *
 * Results. Operation exports return an int32_t status: MPG_OK (0) on success, one of
 * the library's codes below, or a negative FFmpeg AVERROR code. Besides the codes of
 * FFmpeg's own calls (AVERROR(ENOENT) for a missing input, AVERROR(ENOSPC) for a full
 * disk ...), the library chooses these itself:
 *   AVERROR_EXIT         no muxer for the container to write (MPG_Transcode's
 *                        outputFormat; the input's file name for the edits);
 *                        MPG_Finish: something the container cannot hold;
 *                        FLV_FixDuration: no decoder for the file's audio; a
 *                        sample queue that takes or gives fewer samples than asked.
 *   AVERROR_UNKNOWN      no decoder for a stream the job must decode, or no encoder
 *                        for the codec it must write; a codec context or stream
 *                        FFmpeg could not allocate; an unexpected failure.
 *   -1                   MPG_SaveTrimmedVideo: not even second 0 of the input can
 *                        be sought (FFmpeg's text: "Operation not permitted").
 *   AVERROR_INVALIDDATA  the input holds nothing the job can decode where it
 *                        needs it.
 *   AVERROR(ENOMEM)      out of memory.
 * For an input that holds no media the call fails with the error of opening it:
 * AVERROR(ENOENT) for a missing file, AVERROR(EISDIR) for a directory,
 * AVERROR_INVALIDDATA for an empty or a text file; the merges name the input they
 * cannot read (MPG_AUDIO_CODEC_NOT_FOUND, MPG_VIDEO_CODEC_NOT_FOUND), and MPG_Merge
 * gives MPG_VIDEO_STREAM_NOT_FOUND when its first segment gives no stream.
 * Exports that return a flag, a number or a pointer give 0 or NULL on failure; their
 * status is not available.
 *
 * Output files. A call writes only the output path it is given (the FLV repair: a
 * temporary file beside its input; see also MPG_Merge's deleteSegments).
 *  - After a failure, a call removes its output only when it opened that file for
 *    writing itself (a file it truncated is removed too: its old content is gone).
 *  - A call that fails before opening its output (a bad parameter, an output that
 *    names an input, a missing or unreadable input, no suitable stream, no codec or
 *    muxer) leaves whatever stood at the output path untouched.
 *  - A stop (see Progress) ends reading; the job finishes the file it has written
 *    so far (trailer written, playable) and returns MPG_OK.
 * Damaged input. The end of file, an I/O error while reading (a cut-off download) and
 * invalid data while reading all end the input, as the ffmpeg tool does: what was
 * read is kept and the job finishes normally. A packet the decoder rejects is
 * skipped; 50 rejected packets in a row end the job with the decoder's error. Other
 * read errors (out of memory) fail the call.
 * Writing. An I/O error on the output (a full disk, a lost device) ends the job at
 * once with that error. A packet the muxer refuses (a timestamp it cannot take) is
 * dropped; after 25 refused packets in one call the job ends with the muxer's error.
 *
 * Logging. The library writes nothing to stdout or stderr and never changes FFmpeg's
 * av_log level or callback, which belong to the host; FFmpeg's own messages go where
 * the host's av_log settings send them. MPG_Crop adds four messages of its own.
 *
 * Packet writing. At the first packet write of a call, until one is found, the
 * library asks the system's loader for a library named "av_interleaved41.dll"; when
 * it exports av_interleaved_write_frame_4_1_1, that function writes every packet of
 * the process from then on in place of FFmpeg's av_interleaved_write_frame.
 */
#ifndef MPG_H
#define MPG_H

#include <stddef.h>
#include <stdint.h>

/* Every export and the progress callback use the C calling convention (cdecl on
 * 32-bit Windows); the Windows DLL exports the names undecorated. */
#if defined(_WIN32)
#define MPG_CALL __cdecl
#if defined(MPG_BUILDING_LIBRARY)
#define MPG_API __declspec(dllexport)
#else
#define MPG_API __declspec(dllimport)
#endif
#else
#define MPG_CALL
#if defined(MPG_BUILDING_LIBRARY)
#define MPG_API __attribute__((visibility("default")))
#else
#define MPG_API
#endif
#endif

#ifdef __cplusplus
#define MPG_NOEXCEPT noexcept
extern "C" {
#else
#define MPG_NOEXCEPT
#endif

/* ---- Status codes ------------------------------------------------------------
 * The library's own codes (see "Results" above for the FFmpeg codes). The text in
 * quotes is what MPG_GetErrorText gives. */
#define MPG_OK 0
#define MPG_AUDIO_CODEC_NOT_FOUND ((int32_t)0xC0000001)  /* "Audio codec not found":
                                                             the audio file cannot be
                                                             read or has no audio */
#define MPG_VIDEO_CODEC_NOT_FOUND ((int32_t)0xC0000002)  /* "Video codec not found":
                                                             the video file cannot be
                                                             read or has no video */
#define MPG_AUDIO_STREAM_NOT_FOUND ((int32_t)0xC0000003) /* "Audio stream not found":
                                                             no audio stream the job
                                                             can use */
#define MPG_VIDEO_STREAM_NOT_FOUND ((int32_t)0xC0000004) /* "Video stream not found":
                                                             no video stream the job
                                                             can use (a cover picture
                                                             is no moving video) */
#define MPG_SAME_FILE ((int32_t)0xC0000005) /* "Output file is the same as an input
                                               file" (by device and inode, through
                                               links); nothing is touched */
#define MPG_BAD_PARAMETER ((int32_t)0xC0000006) /* a NULL or empty path, a path that
                                                   cannot be named (see Paths), or a
                                                   value out of range; nothing is
                                                   touched. It has no text of its
                                                   own: MPG_GetErrorText gives
                                                   FFmpeg's text for the number */

/* ---- Progress ----------------------------------------------------------------
 * The exports that take a ProgressCallback call it with a report while they work.
 * callback may be NULL: the job then runs to its end without reports. user is handed
 * back unchanged in every report.
 *
 * The callback runs synchronously on the thread that called the export, only during
 * that call. It must not call back into the library (no export, not even
 * MPG_GetErrorText) and must not throw a C++ exception or longjmp out: it is called
 * from inside the job. The report and its text are valid only during the call.
 *
 * value: progress from 0 to the progress scale (MPG_SetPercent100; 100 at load):
 *        the share of the job done, times the scale. Values never go down (but see
 *        MPG_MergeAV); the same value may come more than once; a job of unknown
 *        length may send none before the last. The last report of a job that runs to
 *        its end is the scale itself.
 *        -1 marks a text report (only MPG_MergeAV sends them).
 * user:  the user value given to the export.
 * text:  NULL for progress; for a text report a NUL-terminated message.
 *
 * The callback answers non-zero to go on, zero to stop the job (the answer to a
 * text report is not looked at). A stop is not an error: the
 * job stops reading, finishes its file (trailer written, playable) and the export
 * returns MPG_OK. After a stop, MP3_Convert and MPG_ShiftAudio send one more
 * report, the scale itself, whose answer is not looked at; the other exports send
 * nothing more. */
typedef struct ProgressReport {
  int32_t value;
  uintptr_t user;
  const char *text;
} ProgressReport;

typedef uint8_t(MPG_CALL *ProgressCallback)(const ProgressReport *report);

/* ---- Container choice for a merge ---------------------------------------------
 * The choice goes by codec families: MP4 for the common pairs, WebM for Opus or
 * Vorbis beside AV1/VP8/VP9, AVI for AAC beside VP8/VP9, and MP4 with the audio
 * re-encoded to AAC for the other audio codecs. When the container so chosen cannot hold
 * the video or the audio it would be given (as MP4 cannot hold H.263, VP6F, WMV,
 * MS-MPEG4 or Theora video, nor AMR or WMA audio), both streams are copied instead
 * into the first of MP4, AVI, WebM and Matroska that holds both; Matroska
 * (kind 4, extension "mkv") is chosen only when none of the others does. AVI
 * counts as holding only audio it keeps the length of (AAC, MP3, MP2, AC-3, FLAC,
 * PCM), so Vorbis, AMR or WMA beside such video goes to Matroska.
 * MPG_MergeOP, MPG_MergeOP2 and MPG_MergeAV name the same container for a pair. */
#define MPG_KIND_MATROSKA 4

typedef struct MergeOpResult {
  uint32_t mode; /* 0: streams can be copied; 1: audio must be re-encoded */
  uint32_t kind; /* 0 MP4, 1 AVI, 2 WebM, 4 Matroska */
} MergeOpResult;

typedef struct MergeOp2Result {
  uint32_t mode;          /* as MergeOpResult */
  uint32_t kind;          /* 0 MP4, 1 AVI, 3 WebM, 4 Matroska */
  char extension[32];     /* output file extension, without the dot, NUL-terminated */
  char altExtension[32];  /* alternative extension for the same output ("mkv" for WebM) */
} MergeOp2Result;

/* ---- Media information (424 bytes) --------------------------------------------
 * Text fields are NUL-terminated, cut to 63 characters and upper-cased: codecs by
 * FFmpeg's short name ("H264", "AAC", "SUBRIP"), sample formats by FFmpeg's name
 * ("FLTP"). A field the file does not state is 0 or empty; reserved fields are 0. */
typedef struct MpgMediaInfo {
  int64_t duration;            /* whole seconds, truncated: the longer of the video and
                                  audio, each from its first timestamp to the end of its
                                  last packet (a start at 10 s or near the MPEG-TS clock
                                  wrap does not count); with neither, the length the
                                  container states; for a SubRip or WebVTT file, the
                                  end of its last cue */
  int64_t containerBitRate;    /* bit/s, the whole file */
  int32_t videoStreamCount;    /* cover pictures included */
  /* The video fields up to videoSampleFormat describe the file's first moving video
   * stream, else its first video stream (a cover picture); duration measures the
   * moving video. */
  int32_t width;               /* pixels, as coded */
  int32_t height;              /* pixels, as coded */
  int32_t reserved1;
  int64_t videoBitRate;        /* bit/s */
  double frameRate;            /* frames per second, FFmpeg's base rate of the stream */
  int64_t videoStreamDuration; /* as the container states it, in the video stream's own
                                  time base (which the record does not give) */
  char videoCodec[64];
  char videoSampleFormat[64];  /* empty: video decoders state no sample format */
  int32_t audioStreamCount;
  /* The audio fields describe the first audio stream with a channel count and a
   * sample rate. */
  int32_t channels;
  int64_t audioBitRate;        /* bit/s */
  int32_t sampleRate;          /* Hz */
  int32_t reserved2;
  int64_t audioStreamDuration; /* as the container states it, in the audio stream's own
                                  time base */
  char audioCodec[64];
  char audioSampleFormat[64];  /* the first sample format its decoder produces */
  int32_t subtitleStreamCount;
  int32_t reserved3;
  int64_t subtitleDuration;    /* end of the last cue of a SubRip or WebVTT file, whole
                                  seconds; 0 when the file's text gives none
                                  (subtitles inside a media file) */
  char subtitleCodec[64];      /* of the first subtitle stream */
} MpgMediaInfo;

/* ---- Transcode parameters (48 bytes) ---------------------------------------------
 * Every field but outputFormat keeps the input's value when left 0. Any non-zero
 * audio field re-encodes the audio, any non-zero video field the video; with all of
 * a kind 0, that kind is copied unless the container cannot hold it (see
 * MPG_Transcode). */
typedef struct TranscodeParams {
  int32_t outputFormat;        /* container, by the ids of MPG_GetDefExt: 0 3GP, 1 AAC
                                  (ADTS), 2 AVI, 3 MP3, 4 MP4, 5 MPEG-PS, 6 MPEG-TS,
                                  7 WebM, 8 WMV (ASF); any other id:
                                  AVERROR_EXIT */
  int32_t audioCodecChoice;    /* 0 keep, 1 MP3, 2 AAC, 3 AMR-NB, 4 AMR-WB; else
                                  MPG_BAD_PARAMETER */
  int32_t audioBitRateRequest; /* bit/s, raised to the next MP3 rate, 8000 to 320000 */
  int32_t audioSampleRate;     /* Hz, raised to the next of 8000 ... 48000 (the MPEG
                                  audio rates) */
  int32_t audioChannels;       /* 1 mono, 2 stereo; other values keep the input's
                                  (AMR is always mono at 8000 or 16000 Hz) */
  int32_t videoCodecChoice;    /* 0 the input's codec, 1 MPEG-4 "XVID", 2 MPEG-4
                                  "DX50", 3 MPEG-4 "DIVX", 4 H.263, 5 H.264, 6 MPEG-4
                                  ("FMP4" in AVI); else MPG_BAD_PARAMETER */
  int32_t width;               /* pixels; with one of width and height 0, it follows
                                  the input's aspect ratio */
  int32_t height;              /* pixels */
  int32_t scalePercent;        /* share of the input size in progress-scale units
                                  (with the scale at 100: percent); counts only when
                                  width or height is set too, and then replaces them;
                                  the scale or more means no change */
  int32_t videoBitRateRequest; /* bit/s, or kbit/s below 1000; raised to the next of
                                  24000 ... 12000000 */
  int32_t frameTimeNum;        /* frame duration in seconds, frameTimeNum/frameTimeDen
                                  (1/25 for 25 frames per second), counted only when
                                  frameTimeNum > 0; the rate is snapped to the band it */
  int32_t frameTimeDen;        /* falls in: up to 13 gives 12, then 15, 20, 23.976, 25,
                                  29.97, 30, 50, 59.94, and above 59.98 gives 60 */
} TranscodeParams;

/* The library's string object as it crosses the boundary: the layout of
 * Str::basic_string<char> (see below for C++). The library reads only the text and
 * the size: the text is inline in buf while capacity < 16, else behind ptr. It never
 * calls through the vtable, never writes the object and keeps no pointer to it. */
typedef struct MpgString {
  const void *vtable;
  union {
    char buf[16];
    char *ptr;
  } text;
  size_t size;
  size_t capacity;
} MpgString;

/* Image formats of MPG_GetImage and MPG_GetImageP. */
#define MPG_IMAGE_PPM 0  /* binary PPM (P6), RGB */
#define MPG_IMAGE_BMP 1  /* 24-bit BMP, top row first */
#define MPG_IMAGE_JPEG 2 /* baseline JPEG */

/* ---- Housekeeping --------------------------------------------------------------- */
/* Sets the number that stands for a hundred percent (100 at load), process-wide: it
 * scales every progress value, MPG_GetImageP's position and TranscodeParams'
 * scalePercent. Values of 0 or below are ignored. */
MPG_API void MPG_CALL MPG_SetPercent100(int32_t value) MPG_NOEXCEPT;
/* Path encodings of MPG_SetPathEncoding. */
#define MPG_PATH_ANSI 0  /* default: paths in the process's ANSI code page (Windows); bytes as they are elsewhere */
#define MPG_PATH_UTF8 1  /* paths are UTF-8 */
/* Sets the encoding of every path of every later call, process-wide like the
 * progress scale: set it once, before starting jobs. Only the Windows DLL tells the
 * two apart; elsewhere a path is UTF-8 bytes either way. MPG_PATH_ANSI reaches only
 * the names the process's code page can spell (those of one script, on most
 * systems); MPG_PATH_UTF8 reaches every name the file system holds.
 * Returns MPG_OK, or MPG_BAD_PARAMETER for any other value (the setting in force
 * stays).
 *
 * Converting a host's UTF-16 names. With MPG_PATH_UTF8:
 *   WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name, -1, buf, size, NULL,
 *   NULL), which fails only for malformed UTF-16 (an unpaired surrogate).
 * A host that keeps the ANSI route must convert with
 *   WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name, -1, buf, size, NULL,
 *   &usedDefault)
 * and refuse the name when the call fails or usedDefault is set. With the default
 * flags Windows maps characters the code page lacks to look-alikes ("best fit")
 * and the name silently becomes another one: U+03B1 (Greek alpha) becomes "a", so
 * "<alpha>.mp4" names the file "a.mp4" beside it, and U+FF3C (fullwidth reverse
 * solidus) becomes "\", so "dl\sub\..<U+FF3C>..<U+FF3C>x.mp4" names
 * "dl\sub\..\..\x.mp4", a file outside dl. Where GetACP() is CP_UTF8 that flag is
 * not allowed: convert as for MPG_PATH_UTF8. */
MPG_API int32_t MPG_CALL MPG_SetPathEncoding(int32_t encoding) MPG_NOEXCEPT;
/* Does nothing; kept for hosts that call it. */
MPG_API void MPG_CALL MPG_TestParams(void) MPG_NOEXCEPT;
/* Text of any status code the exports return, never NULL: the texts under "Status
 * codes" for the library's own codes, FFmpeg's text for the others ("Success" for
 * 0). The text is kept per thread and stays valid until the same thread's next call
 * into the library; do not free it. */
MPG_API const char *MPG_CALL MPG_GetErrorText(int32_t code) MPG_NOEXCEPT;
/* Extension, without the dot, of an output format id: 0 3gp, 1 aac, 2 avi, 3 mp3,
 * 4 mp4, 5 mpg, 6 ts, 7 webm, 8 wmv; any other id gives "mp4". A constant string,
 * never NULL. */
MPG_API const char *MPG_CALL MPG_GetDefExt(int32_t outputFormatId) MPG_NOEXCEPT;
/* Releases a buffer the library allocated for the caller (MPG_GetImageBMP's), with
 * the library's own C runtime. NULL does nothing. */
MPG_API void MPG_CALL MPG_Free(void *buffer) MPG_NOEXCEPT;

/* ---- Probes ------------------------------------------------------------------------
 * Read-only: they write nothing and take no callback. */
/* 1 when FFmpeg opens the file and reads its stream information, whatever streams it
 * holds; 0 otherwise or for a NULL path. */
MPG_API uint8_t MPG_CALL MPG_IsThisGoodFile(const char *path) MPG_NOEXCEPT;
/* Fills *info (see MpgMediaInfo). 1 when the file has a video, audio or subtitle
 * stream that could be read; 0 with *info zeroed when it has none or cannot be
 * opened; 0 with *info untouched for a NULL path or info, or a path that cannot be
 * named (see Paths). */
MPG_API uint8_t MPG_CALL MPG_GetMediaInfo(const char *path, MpgMediaInfo *info) MPG_NOEXCEPT;
/* The first usable audio stream's stated duration in its own time base when that
 * fits in 32 bits; otherwise (a long MP3 counts 14112000 ticks a second), and for a
 * stream that states none, its measured length in whole seconds. 0 for a NULL path,
 * a file that cannot be opened or one without usable audio. */
MPG_API uint32_t MPG_CALL MPG_GetAudioDuration(const char *path) MPG_NOEXCEPT;

/* ---- Container choice -------------------------------------------------------------
 * The container MPG_MergeAV writes for the first audio stream of audioPath and the
 * first video stream of videoPath (see "Container choice for a merge"). Both files
 * are probed, nothing is written. MPG_OK with *result filled (result may be NULL);
 * MPG_AUDIO_CODEC_NOT_FOUND when the audio file cannot be read or has no audio
 * (checked first), MPG_VIDEO_CODEC_NOT_FOUND likewise for the video, *result then
 * untouched. A NULL path counts as a file that cannot be read. */
MPG_API int32_t MPG_CALL MPG_MergeOP(const char *videoPath, const char *audioPath,
                                     MergeOpResult *result) MPG_NOEXCEPT;
MPG_API int32_t MPG_CALL MPG_MergeOP2(const char *videoPath, const char *audioPath,
                                      MergeOp2Result *result) MPG_NOEXCEPT;
/* Writes to buffer the extension (MergeOp2Result.extension) a merge of this file's
 * own video and audio would get, NUL-terminated; an empty string when the file
 * cannot be read, lacks audio or video, or the extension and its NUL do not fit in
 * bufferSize bytes. Nothing is written for a NULL buffer or a bufferSize below 1. */
MPG_API void MPG_CALL MPG_GetDefExtension(const char *path, char *buffer, int32_t bufferSize) MPG_NOEXCEPT;

/* ---- Merging ----------------------------------------------------------------------- */
/* Merges the video of videoPath and the audio of audioPath into outputPath, in the
 * container MPG_MergeOP2 names for the pair, whatever outputPath's extension says.
 * Each input is moved to start at 0.
 *  - Copy (mode 0): the first moving video stream (index 0) and the first usable
 *    audio stream (index 1) are copied whole, packets interleaved by time.
 *  - Re-encode (mode 1): the video (a cover picture when the file has no moving
 *    video) is copied and the highest-bit-rate audio stream is re-encoded to AAC at
 *    the audio file's bit rate (128 kbit/s when it states none); both streams end
 *    where the shorter input ends (beside a cover picture the audio plays out).
 * Progress: the video's position over the merge's length (the video's measured
 * length, else the audio's), never above the scale. On the copy path, before any
 * progress, two text reports give each input's first decoding timestamp when it is
 * known and not 0, audio first: "audio.first_dts=<dts> time=<t>", then the same for
 * "video", where t is the dts over its time base's denominator, printed with %g.
 * Returns MPG_OK; MPG_AUDIO_CODEC_NOT_FOUND or MPG_VIDEO_CODEC_NOT_FOUND as
 * MPG_MergeOP2; MPG_BAD_PARAMETER for a NULL or empty outputPath; MPG_SAME_FILE;
 * MPG_VIDEO_STREAM_NOT_FOUND for no moving video to copy or when not one video
 * packet could be written; MPG_AUDIO_STREAM_NOT_FOUND; AVERROR_INVALIDDATA for audio
 * that decodes to nothing; or an FFmpeg code. Output after a failure or a stop: see
 * the Contract. */
MPG_API int32_t MPG_CALL MPG_MergeAV(const char *videoPath, const char *audioPath, const char *outputPath,
                                     ProgressCallback callback, uintptr_t user) MPG_NOEXCEPT;
/* Joins segments, a NULL-terminated array of paths in playing order, into
 * outputPath by stream copy. An output named .ts, .m2ts, .mts, .m2t or .m4t (any
 * case) gives MPEG-TS, any other MP4. The output's streams come from the first
 * segment: its first moving video (index 0), then its first usable audio; packets of
 * other kinds are dropped. The output's timeline starts at 0. Each segment moves as
 * a whole, keeping its audio and video together: one whose timestamps jump back (an
 * HLS discontinuity, an MPEG-TS clock wrap, the same segment twice) continues where
 * the output ended; a gap ahead stays unless rebaseTimestamps is non-zero.
 * Segments that are missing or not regular files are passed over, as is one that
 * FFmpeg finds to be invalid data from its start. A segment whose container states
 * the streams of the last segment read in full (kinds, codecs and stream ids, as the
 * segments of one HLS stream do) is taken to have its picture size, rates and
 * codec set-up, and is not decoded at all.
 * deleteSegments (only its low byte counts): non-zero removes, after a call that
 * ran through the whole list and returns MPG_OK, the segments it read to their end;
 * a failed or stopped call removes no segment.
 * Progress: after each segment, (segments done) x scale / (segments in the list).
 * Returns MPG_OK, also for a NULL or empty list or a NULL outputPath (nothing is
 * written then); MPG_SAME_FILE when outputPath names a segment;
 * MPG_VIDEO_STREAM_NOT_FOUND when the first segment cannot be read or has neither
 * video nor usable audio; or an FFmpeg code. Output after a failure or a stop: see
 * the Contract. */
MPG_API int32_t MPG_CALL MPG_Merge(const char *const *segments, const char *outputPath, int32_t deleteSegments,
                                   uint8_t rebaseTimestamps, ProgressCallback callback,
                                   uintptr_t user) MPG_NOEXCEPT;

/* ---- Conversion -------------------------------------------------------------------- */
/* Rewrites a file into the container params->outputFormat names (see
 * TranscodeParams), whatever outputPath's extension says. The paths are read from
 * the string objects (see MpgString). Fields left 0 copy the input's streams; a
 * stream the container cannot hold as it is (FLAC, PCM, ADPCM, AMR or WMA audio in
 * MP4; VP6F or WMV3 video in MP4 or WebM) is re-encoded to the container's usual codec
 * instead, as is a stream to re-encode whose codec has no encoder: AAC and H.264 for
 * MP4, AMR-NB and H.263 for 3GP, MP3 and MPEG-4 Part 2 for AVI, Opus and VP9 for
 * WebM, MP2 and MPEG-2 for MPEG-TS, MP2 and MPEG-1 for MPEG-PS, WMA and MS-MPEG4 for
 * WMV, AAC for .aac, MP3 for .mp3. Picture sizes are rounded to the encoder's steps
 * (even for 4:2:0; H.263 takes only 128x96, 176x144, 352x288, 704x576 and
 * 1408x1152). The audio is the highest-bit-rate audio stream. A cover picture (ID3
 * or M4A art) is not video. When the input has moving video and the container takes
 * video, the output holds it or the call fails; an audio container (.aac, .mp3) gets
 * the audio alone. Outputs start at 0. Undecodable audio packets keep their time as
 * silence.
 * Progress: the video's position (without video, the audio's) over its length.
 * Returns MPG_OK; MPG_BAD_PARAMETER for a NULL argument, an empty or inconsistent
 * string object or a codec choice out of range; MPG_SAME_FILE;
 * MPG_AUDIO_STREAM_NOT_FOUND for an input without audio;
 * AVERROR_EXIT for an outputFormat without a container; AVERROR_UNKNOWN when a
 * codec has no decoder or encoder; AVERROR_INVALIDDATA when not one picture of the
 * video could be written; or an FFmpeg code. Output after a failure or a stop: see
 * the Contract. */
MPG_API int32_t MPG_CALL MPG_Transcode(const MpgString *inputPath, const MpgString *outputPath,
                                       const TranscodeParams *params, ProgressCallback callback,
                                       uintptr_t user) MPG_NOEXCEPT;
/* Converts the highest-bit-rate audio stream of inputPath into an MP3 file at
 * outputPath: one or two channels as the input has (more are mixed down to stereo),
 * the input's sample rate raised to the next MPEG audio rate, and the input's bit
 * rate (128 kbit/s when it states no usable one), limited to what the sample rate
 * can carry. bitRate, in bit/s, caps that rate (raised to the next MP3 rate); 0 or
 * below: no cap.
 * Progress: the audio encoded over the input's length in whole seconds (an input
 * under a second sends only the last report).
 * Returns MPG_OK; MPG_BAD_PARAMETER for a NULL or empty path; MPG_SAME_FILE;
 * MPG_AUDIO_STREAM_NOT_FOUND; AVERROR_INVALIDDATA when not one audio frame decodes
 * (a truncated download); or an FFmpeg code. Output after a failure or a stop: see
 * the Contract. */
MPG_API int32_t MPG_CALL MP3_Convert(const char *inputPath, const char *outputPath, int32_t bitRate,
                                     ProgressCallback callback, uintptr_t user) MPG_NOEXCEPT;

/* ---- Edits --------------------------------------------------------------------------
 * Crop, trim and audio shift write a new file in the container FFmpeg associates
 * with the input's file name (an .flv input gives FLV), whatever outputPath's
 * extension says; AVERROR_EXIT when that name suggests none. They take the
 * highest-bit-rate audio stream and the first moving video stream and drop the
 * others. They need moving video and audio: a cover picture (ID3 art, an M4A cover)
 * is not taken for the video, so a song gives MPG_VIDEO_STREAM_NOT_FOUND, and a
 * file without audio MPG_AUDIO_STREAM_NOT_FOUND. Copied streams need no encoder
 * (WMV3, VP6F copy too), and outputs start at 0 however late the input's timeline
 * starts. MPG_BAD_PARAMETER for a NULL or empty path; MPG_SAME_FILE when outputPath
 * names the input. Output after a failure or a stop: see the Contract. */
/* Copies the input with every audio timestamp moved by shiftMs milliseconds
 * (positive plays the sound later, negative earlier); video keeps its times.
 * Progress: the video's position over the video stream's stated length. */
MPG_API int32_t MPG_CALL MPG_ShiftAudio(const char *inputPath, const char *outputPath, int32_t shiftMs,
                                        ProgressCallback callback, uintptr_t user) MPG_NOEXCEPT;
/* Copies the input packet by packet, after checking that its video decodes (up to
 * its first picture). It crops nothing: the result is the input remuxed. Writes one
 * of four messages with av_log(NULL, AV_LOG_ERROR, ...) when it fails on the way:
 * "Cannot open input file", "Cannot find stream information", "Cannot find a video
 * stream in the input file" (no audio or no moving video), "Cannot open video
 * decoder". AVERROR_UNKNOWN when the video has no decoder. */
MPG_API int32_t MPG_CALL MPG_Crop(const char *inputPath, const char *outputPath) MPG_NOEXCEPT;
/* Bytes an MPG_ExtractAudio extension buffer holds at least. */
#define MPG_EXTENSION_SIZE 8
/* Audio as the site served it: copies the input's best audio stream (the highest
 * stated bit rate, else the first), packet for packet, into the container that is
 * its codec's own, and writes it to outputStem + "." + that container's extension:
 *   AAC            "m4a"   MP4 audio (ADTS headers become its set-up)
 *   Opus           "opus"  Ogg
 *   Vorbis         "ogg"   Ogg
 *   MP3            "mp3"
 *   FLAC           "flac"
 *   PCM, ADPCM     "wav"   when WAV stores the coding, else as below
 *   anything else  "mka"   Matroska audio, also where a build has no muxer for
 *                          the container above; WMA, AMR, Speex and the like in
 *                          Matroska's ACM form
 * The extension, ASCII without the dot, is written NUL-terminated to extension,
 * which holds extensionSize bytes, at least MPG_EXTENSION_SIZE; it is empty when
 * the call fails before a container is chosen. Nothing is decoded: the packets are
 * the input's, and so is the decoded length (an Opus stream's pre-skip, an AAC
 * stream's priming and the end trimming of its last packet are kept); packets an
 * MP4 edit list hides before its start are left out of every container but M4A,
 * which keeps the edit list. A stream that starts after 0 (an MPEG-TS segment)
 * starts at 0. The stream's language and title and the file's tags are copied.
 * Progress: the audio's position over its stated length. Returns MPG_OK;
 * MPG_BAD_PARAMETER for a NULL or empty path, a NULL extension or a small
 * extensionSize; MPG_AUDIO_STREAM_NOT_FOUND without audio or when the stream gives
 * no packet (no file is left then); MPG_SAME_FILE when the
 * output would name the input; AVERROR_EXIT when not even Matroska stores the codec;
 * or an FFmpeg code. Output after a failure or a stop: see the Contract. */
MPG_API int32_t MPG_CALL MPG_ExtractAudio(const char *inputPath, const char *outputStem, char *extension,
                                          int32_t extensionSize, ProgressCallback callback,
                                          uintptr_t user) MPG_NOEXCEPT;
/* Keeps the pictures whose own timestamps lie from startSeconds (inclusive) to
 * endSeconds (exclusive), whole seconds counted from the video stream's start, and
 * the audio packets that start in that range; the range's start becomes time 0.
 * H.264 in closed groups of pictures, in MP4, MOV, Matroska, FLV or MPEG-TS: the
 * groups that lie wholly in the range are copied packet for packet, and only the
 * pictures before the first copied key frame and from the last one to the end are
 * re-encoded (x264 at constant quality 14 without B-frames, its parameter sets
 * numbered 1 beside the input's: both in the stream's configuration, or in MPEG-TS
 * before each key frame). 8-bit 4:2:0 VP9 (WebM, Matroska, MP4): the pictures
 * before the first key frame in the range are re-encoded (libvpx at constant
 * quality 14, no hidden pictures) and every packet from it to the end is copied.
 * Any other video, and video whose groups cannot be joined so, is re-encoded whole, with the input's codec when this build
 * encodes it and the container takes it, else with the container's usual one (an
 * FLV's VP6F becomes Sorenson H.263), at the input's size and frame rate. The
 * audio is copied.
 * Returns MPG_OK; MPG_BAD_PARAMETER unless 0 <= startSeconds < endSeconds;
 * AVERROR_EOF when the range holds no picture (it lies past the end); -1 when not
 * even second 0 can be sought; AVERROR_UNKNOWN when the video has no decoder or no
 * encoder exists, or decodes to no picture size; or an FFmpeg code. No callback. */
MPG_API int32_t MPG_CALL MPG_SaveTrimmedVideo(const char *inputPath, const char *outputPath,
                                              int32_t startSeconds, int32_t endSeconds) MPG_NOEXCEPT;
/* Repairs the head of the FLV file at path in place: a new FLV header, metadata
 * (the duration measured from the file's last tags, the exact file size, the old
 * head's other entries) and codec set-up tags; the media tags after the head are
 * kept byte for byte. The new file is written to a temporary file beside it, created
 * under a fresh name (path + "." + 8 hex digits + ".tmp") so no file of the user's
 * is touched, and renamed over path only on success; after a failure the temporary
 * file is removed and the file at path is as it was. A file without media tags is left as it is (MPG_OK).
 * Returns MPG_OK; MPG_BAD_PARAMETER for a NULL or empty path;
 * MPG_AUDIO_STREAM_NOT_FOUND for a file without audio; AVERROR_INVALIDDATA when it
 * is no FLV file; AVERROR_DECODER_NOT_FOUND when the audio has no decoder;
 * AVERROR(EIO) when the temporary file cannot be created or the file cannot be
 * rewritten; or an FFmpeg code. No callback. */
MPG_API int32_t MPG_CALL FLV_FixDuration(const char *path) MPG_NOEXCEPT;

/* ---- Finishing a download ------------------------------------------------------------
 * One pass that writes a video file, its audio files, subtitle files, a cover picture,
 * tags and chapters into one output file. Every record starts with its own size in
 * bytes: set it to sizeof the record as this header declares it (later versions add
 * fields at the end; a size below the first version's is refused). Strings are
 * NUL-terminated UTF-8; paths follow MPG_SetPathEncoding. Times are milliseconds
 * from the start of the output. */
typedef struct MpgFinishSubtitle {
  int32_t size;         /* sizeof(MpgFinishSubtitle) */
  int32_t isDefault;    /* non-zero: the player shows it without being asked */
  const char *path;     /* a SubRip (.srt), WebVTT (.vtt) or ASS/SSA (.ass) file */
  const char *language; /* ISO 639-2 code ("eng", "jpn"); NULL or empty: unstated */
} MpgFinishSubtitle;

typedef struct MpgFinishTag {
  int32_t size;      /* sizeof(MpgFinishTag) */
  const char *key;   /* "title", "artist", "album", "date", "comment", "description",
                        "url", or a key of the caller's (ASCII, compared without case) */
  const char *value; /* NULL or empty: the tag is left out */
} MpgFinishTag;

typedef struct MpgFinishChapter {
  int32_t size;      /* sizeof(MpgFinishChapter) */
  const char *title; /* NULL: no title */
  int64_t startMs;   /* 0 or more, and below endMs */
  int64_t endMs;
} MpgFinishChapter;

typedef struct MpgFinishJob {
  int32_t size;                         /* sizeof(MpgFinishJob) */
  int32_t audioCount;                   /* entries of audioPaths */
  const char *videoPath;                /* NULL: an audio-only file */
  const char *const *audioPaths;        /* audioCount paths */
  const MpgFinishSubtitle *subtitles;   /* subtitleCount records */
  const char *coverPath;                /* a JPEG, PNG or WebP file; NULL: none */
  const MpgFinishTag *tags;             /* tagCount records */
  const MpgFinishChapter *chapters;     /* chapterCount records, in playing order */
  const char *outputPath;
  const char *container;                /* "mp4", "m4a", "mkv", "mka", "webm", "mp3",
                                           "flac", "opus", "ogg"; NULL or empty: see
                                           MPG_Finish */
  int32_t subtitleCount;
  int32_t tagCount;
  int32_t chapterCount;
  int32_t reserved;                     /* 0 */
} MpgFinishJob;

/* Writes job->outputPath in one pass. The streams, in this order:
 *  - video: the first moving video stream of videoPath, packets copied as they are;
 *  - audio: the best audio stream (the highest stated bit rate) of each audio file,
 *    in the order given, copied; without audio files, every usable audio stream of
 *    videoPath (so a finished file finished again keeps its tracks). Each stream
 *    keeps its language and title. Each input is moved to start at 0;
 *  - subtitles, in the order given, each with its language and, when isDefault is
 *    set, the default disposition: MP4 and M4A get MP4 text (mov_text, decoded from
 *    the file and re-encoded: ASS styling becomes MP4 text styles, cue times are kept
 *    to the millisecond); Matroska and MKA keep the file's own format (SubRip,
 *    WebVTT, ASS) packet for packet; WebM gets WebVTT (a WebVTT file as it is, SubRip
 *    converted; ASS is refused). MP3, FLAC, Opus and Ogg hold no subtitles: refused;
 *  - the cover: MP4/M4A "covr", MP3 an ID3v2 APIC frame, FLAC a PICTURE block,
 *    Opus/Ogg a METADATA_BLOCK_PICTURE comment, Matroska/MKA an attachment named
 *    "cover.jpg" or "cover.png" (image/jpeg, image/png). JPEG and PNG go in as they
 *    are; a WebP cover, which most players and file managers ignore, is converted to
 *    a baseline JPEG (quality 90) everywhere, Matroska included. WebM stores no cover:
 *    refused.
 *  - tags: the file's tags are the job's (an input's own tags are not copied). Keys
 *    are lower-cased. Matroska, MKA and WebM keep every key; MP3 (ID3v2.3, which
 *    more players read than v2.4) too, "url" and free keys as TXXX frames; FLAC,
 *    Opus and Ogg keep every key as a Vorbis comment, where a comment and a
 *    description share the one field DESCRIPTION (FFmpeg reads it as "comment"):
 *    the description goes there, and a comment beside a description is left out;
 *    MP4 and M4A keep the keys their iTunes atoms name (title, artist, album,
 *    album_artist, date, comment, description, genre, copyright, composer,
 *    grouping, lyrics, synopsis, show, network, track, disc, encoder) and leave
 *    "url" and free keys out.
 *  - chapters: Matroska, MKA, WebM, MP3 (ID3v2 CHAP frames), FLAC, Opus and Ogg
 *    (CHAPTERnnn and CHAPTERnnnNAME comments, which state no end: the end read
 *    back is the next start) keep titles whole; MP4 and M4A get Nero chapters
 *    ("chpl", starts only; more than 255 chapters: AVERROR_EXIT) and no QuickTime text track, which readers
 *    would list as an extra stream; a title there is cut to 255 bytes at the end of
 *    a whole UTF-8 character. Where a Matroska or WebM muxer moves every stream
 *    later because one starts before 0 (an Opus pre-skip), the chapters move with
 *    them.
 * An input's own subtitles, cover pictures, attachments and chapters are left out, so
 * finishing a finished file again gives the same streams, cover and chapters.
 * The container: job->container when given; else the one outputPath's extension
 * names (".mp4", ".m4a", ".mkv", ".mka", ".webm", ".mp3", ".flac", ".opus", ".ogg");
 * else, with video, the merge's choice (MPG_MergeOP2), Matroska where that would be
 * AVI or would re-encode the audio; without video, the audio's own container as
 * MPG_ExtractAudio chooses it (Matroska audio for WAV's codecs).
 * Progress: the video's position (without video, the first audio's) over its stated
 * length; a stop ends reading and finishes the file. Returns MPG_OK;
 * MPG_BAD_PARAMETER for a NULL job, a record whose size is below this header's, a
 * negative count, a NULL array with a count, a NULL or empty path, a path that
 * cannot be named, a chapter with startMs < 0 or endMs <= startMs, an unknown
 * container name, or neither video nor audio; MPG_SAME_FILE when the output names
 * an input; MPG_VIDEO_STREAM_NOT_FOUND, MPG_AUDIO_STREAM_NOT_FOUND when an input
 * has no such stream; AVERROR_INVALIDDATA for a cover that is no JPEG, PNG or WebP
 * picture or a subtitle file that cannot be read; AVERROR_EXIT for what the
 * container cannot hold (a stream's codec, subtitles or a cover where it takes none,
 * ASS in WebM); or an FFmpeg code. Every refusal comes before the output is opened:
 * whatever stood at outputPath is then untouched. Output after a failure or a stop:
 * see the Contract. */
MPG_API int32_t MPG_CALL MPG_Finish(const MpgFinishJob *job, ProgressCallback callback,
                                    uintptr_t user) MPG_NOEXCEPT;

/* ---- Still images --------------------------------------------------------------------
 * The picture comes from the first moving video stream; a file whose only picture is
 * its cover (a song) gives the cover. height is the picture's height in pixels: 0
 * keeps the decoded size; otherwise the width follows the decoded picture's
 * proportions, raised to a multiple of 4 (1920x1080 at height 100 gives 180x100); a
 * negative height fails. Positions in seconds count from the video stream's start.
 * The flag exports return 1 on success and 0 on any failure (also for a NULL path or
 * an outputPath that names the input, which is then untouched); the file they write
 * follows the Contract's output rules. No callback. */
/* The first picture that is not one colour, decoded from the start of the video
 * stream; when the pictures stay one colour (a black clip or lead-in) for a second
 * (30 pictures where they have no times) past the first of them, that first one.
 * imageFormat: MPG_IMAGE_PPM, _BMP or _JPEG, else 0 is returned. quality: JPEG
 * only, 1 to 100 (0 counts as 1; outside 0 to 100: 90). */
MPG_API uint8_t MPG_CALL MPG_GetImage(int32_t imageFormat, const char *inputPath, const char *outputPath,
                                      int32_t height, int32_t quality) MPG_NOEXCEPT;
/* As MPG_GetImage from a position: the first picture at or after it that is not one
 * colour, decoded from the key frame before it, looked for as far as MPG_GetImage
 * does. position: 0 to the progress scale, a share
 * of the video stream's duration (0: MPG_GetImage; any other position fails for a
 * stream of unknown duration). */
MPG_API uint8_t MPG_CALL MPG_GetImageP(int32_t imageFormat, const char *inputPath, const char *outputPath,
                                       int32_t position, int32_t height, int32_t quality) MPG_NOEXCEPT;
/* A picture near seconds (0 or more), as a complete 24-bit BMP file image in memory
 * (top row first): decoding from the key frame before the second, every 20th picture
 * is looked at, and the last one before the second is taken (the first one looked at
 * when that is already at or past it; the last one when the input ends first).
 * Returns the buffer, allocated with malloc, and its size in bytes in *size; the
 * caller releases it with free(). NULL on failure, with *size set to 0; NULL without
 * touching anything for a NULL size. Writes no file. */
MPG_API uint8_t *MPG_CALL MPG_GetImageBMP(const char *inputPath, int32_t seconds, uint32_t *size,
                                          int32_t height) MPG_NOEXCEPT;
/* As MPG_GetImageBMP, but takes the first picture looked at that lies at or past the
 * second (the last one when the input ends first) and writes it to outputPath as a
 * JPEG of quality 20. 1 on success, 0 on failure (also for seconds below 0). */
MPG_API uint8_t MPG_CALL MPG_GetImageJPG(const char *inputPath, const char *outputPath, int32_t seconds,
                                         int32_t height) MPG_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif


/* ---- Layout checks: these records are a binary contract with hosts ---------------- */
#ifdef __cplusplus
#define MPG_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define MPG_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif
#define MPG_PTR_SIZE sizeof(void *)
MPG_STATIC_ASSERT(offsetof(ProgressReport, user) == MPG_PTR_SIZE, "ProgressReport.user");
MPG_STATIC_ASSERT(offsetof(ProgressReport, text) == 2 * MPG_PTR_SIZE, "ProgressReport.text");
MPG_STATIC_ASSERT(sizeof(ProgressReport) == 3 * MPG_PTR_SIZE, "ProgressReport size");
MPG_STATIC_ASSERT(sizeof(MergeOpResult) == 8 && offsetof(MergeOpResult, kind) == 4, "MergeOpResult");
MPG_STATIC_ASSERT(offsetof(MergeOp2Result, extension) == 8, "MergeOp2Result.extension");
MPG_STATIC_ASSERT(offsetof(MergeOp2Result, altExtension) == 40, "MergeOp2Result.altExtension");
MPG_STATIC_ASSERT(sizeof(MergeOp2Result) == 72, "MergeOp2Result size");
MPG_STATIC_ASSERT(offsetof(MpgMediaInfo, containerBitRate) == 8, "MpgMediaInfo.containerBitRate");
MPG_STATIC_ASSERT(offsetof(MpgMediaInfo, videoStreamCount) == 16, "MpgMediaInfo.videoStreamCount");
MPG_STATIC_ASSERT(offsetof(MpgMediaInfo, width) == 20, "MpgMediaInfo.width");
MPG_STATIC_ASSERT(offsetof(MpgMediaInfo, height) == 24, "MpgMediaInfo.height");
MPG_STATIC_ASSERT(offsetof(MpgMediaInfo, videoBitRate) == 32, "MpgMediaInfo.videoBitRate");
MPG_STATIC_ASSERT(offsetof(MpgMediaInfo, frameRate) == 40, "MpgMediaInfo.frameRate");
MPG_STATIC_ASSERT(offsetof(MpgMediaInfo, videoStreamDuration) == 48, "MpgMediaInfo.videoStreamDuration");
MPG_STATIC_ASSERT(offsetof(MpgMediaInfo, videoCodec) == 56, "MpgMediaInfo.videoCodec");
MPG_STATIC_ASSERT(offsetof(MpgMediaInfo, videoSampleFormat) == 120, "MpgMediaInfo.videoSampleFormat");
MPG_STATIC_ASSERT(offsetof(MpgMediaInfo, audioStreamCount) == 184, "MpgMediaInfo.audioStreamCount");
MPG_STATIC_ASSERT(offsetof(MpgMediaInfo, channels) == 188, "MpgMediaInfo.channels");
MPG_STATIC_ASSERT(offsetof(MpgMediaInfo, audioBitRate) == 192, "MpgMediaInfo.audioBitRate");
MPG_STATIC_ASSERT(offsetof(MpgMediaInfo, sampleRate) == 200, "MpgMediaInfo.sampleRate");
MPG_STATIC_ASSERT(offsetof(MpgMediaInfo, audioStreamDuration) == 208, "MpgMediaInfo.audioStreamDuration");
MPG_STATIC_ASSERT(offsetof(MpgMediaInfo, audioCodec) == 216, "MpgMediaInfo.audioCodec");
MPG_STATIC_ASSERT(offsetof(MpgMediaInfo, audioSampleFormat) == 280, "MpgMediaInfo.audioSampleFormat");
MPG_STATIC_ASSERT(offsetof(MpgMediaInfo, subtitleStreamCount) == 344, "MpgMediaInfo.subtitleStreamCount");
MPG_STATIC_ASSERT(offsetof(MpgMediaInfo, subtitleDuration) == 352, "MpgMediaInfo.subtitleDuration");
MPG_STATIC_ASSERT(offsetof(MpgMediaInfo, subtitleCodec) == 360, "MpgMediaInfo.subtitleCodec");
MPG_STATIC_ASSERT(sizeof(MpgMediaInfo) == 424, "MpgMediaInfo size");
MPG_STATIC_ASSERT(offsetof(TranscodeParams, audioCodecChoice) == 4, "TranscodeParams.audioCodecChoice");
MPG_STATIC_ASSERT(offsetof(TranscodeParams, videoCodecChoice) == 20, "TranscodeParams.videoCodecChoice");
MPG_STATIC_ASSERT(offsetof(TranscodeParams, scalePercent) == 32, "TranscodeParams.scalePercent");
MPG_STATIC_ASSERT(offsetof(TranscodeParams, frameTimeDen) == 44, "TranscodeParams.frameTimeDen");
MPG_STATIC_ASSERT(sizeof(TranscodeParams) == 48, "TranscodeParams size");
MPG_STATIC_ASSERT(offsetof(MpgString, text) == MPG_PTR_SIZE, "MpgString.text");
MPG_STATIC_ASSERT(offsetof(MpgString, size) == MPG_PTR_SIZE + 16, "MpgString.size");
MPG_STATIC_ASSERT(offsetof(MpgString, capacity) == 2 * MPG_PTR_SIZE + 16, "MpgString.capacity");
MPG_STATIC_ASSERT(sizeof(MpgString) == 3 * MPG_PTR_SIZE + 16, "MpgString size");

MPG_STATIC_ASSERT(offsetof(MpgFinishSubtitle, isDefault) == 4, "MpgFinishSubtitle.isDefault");
MPG_STATIC_ASSERT(offsetof(MpgFinishSubtitle, path) == 8, "MpgFinishSubtitle.path");
MPG_STATIC_ASSERT(offsetof(MpgFinishSubtitle, language) == 8 + MPG_PTR_SIZE, "MpgFinishSubtitle.language");
MPG_STATIC_ASSERT(sizeof(MpgFinishSubtitle) == 8 + 2 * MPG_PTR_SIZE, "MpgFinishSubtitle size");
MPG_STATIC_ASSERT(offsetof(MpgFinishTag, key) == MPG_PTR_SIZE, "MpgFinishTag.key");
MPG_STATIC_ASSERT(offsetof(MpgFinishTag, value) == 2 * MPG_PTR_SIZE, "MpgFinishTag.value");
MPG_STATIC_ASSERT(sizeof(MpgFinishTag) == 3 * MPG_PTR_SIZE, "MpgFinishTag size");
MPG_STATIC_ASSERT(offsetof(MpgFinishChapter, title) == MPG_PTR_SIZE, "MpgFinishChapter.title");
MPG_STATIC_ASSERT(offsetof(MpgFinishChapter, startMs) == 2 * MPG_PTR_SIZE, "MpgFinishChapter.startMs");
MPG_STATIC_ASSERT(offsetof(MpgFinishChapter, endMs) == 2 * MPG_PTR_SIZE + 8, "MpgFinishChapter.endMs");
MPG_STATIC_ASSERT(sizeof(MpgFinishChapter) == 2 * MPG_PTR_SIZE + 16, "MpgFinishChapter size");
MPG_STATIC_ASSERT(offsetof(MpgFinishJob, audioCount) == 4, "MpgFinishJob.audioCount");
MPG_STATIC_ASSERT(offsetof(MpgFinishJob, videoPath) == 8, "MpgFinishJob.videoPath");
MPG_STATIC_ASSERT(offsetof(MpgFinishJob, audioPaths) == 8 + MPG_PTR_SIZE, "MpgFinishJob.audioPaths");
MPG_STATIC_ASSERT(offsetof(MpgFinishJob, container) == 8 + 7 * MPG_PTR_SIZE, "MpgFinishJob.container");
MPG_STATIC_ASSERT(offsetof(MpgFinishJob, subtitleCount) == 8 + 8 * MPG_PTR_SIZE, "MpgFinishJob.subtitleCount");
MPG_STATIC_ASSERT(offsetof(MpgFinishJob, reserved) == 20 + 8 * MPG_PTR_SIZE, "MpgFinishJob.reserved");
MPG_STATIC_ASSERT(sizeof(MpgFinishJob) == 24 + 8 * MPG_PTR_SIZE, "MpgFinishJob size");

#ifdef __cplusplus
#include "mpg_string.hpp"
#endif

#endif /* MPG_H */

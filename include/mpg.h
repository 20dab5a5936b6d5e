/*
 * libmpg: media post-processing for a download manager.
 *
 * Merges a separately downloaded video file and audio file, joins the segments of a
 * segmented stream, transcodes, converts audio to MP3, inspects files, grabs still
 * pictures, and remuxes, trims, shifts audio and repairs FLV heads.
 *
 * Every call runs to completion on the caller's thread. Calls may run on several
 * threads at once, each on its own files. The progress scale (MPG_SetPercent100) is
 * process-wide; the error text of MPG_GetErrorText is kept per thread. A progress
 * callback runs on the thread that made the call; it must not call back into the
 * library and must not throw. Paths are NUL-terminated 8-bit strings handed to
 * FFmpeg unchanged (UTF-8 on Linux).
 */
#ifndef MPG_H
#define MPG_H

#include <stddef.h>
#include <stdint.h>

#if defined(MPG_BUILDING_LIBRARY)
#define MPG_API __attribute__((visibility("default")))
#else
#define MPG_API
#endif

#ifdef __cplusplus
#define MPG_NOEXCEPT noexcept
extern "C" {
#else
#define MPG_NOEXCEPT
#endif

/* ---- Status codes ------------------------------------------------------------
 * Operation exports return 0 on success, a negative FFmpeg AVERROR code when an
 * FFmpeg call failed, or one of the library's own codes below. MPG_GetErrorText
 * turns any of them into text. */
#define MPG_OK 0
#define MPG_AUDIO_CODEC_NOT_FOUND ((int32_t)0xC0000001)  /* "Audio codec not found" */
#define MPG_VIDEO_CODEC_NOT_FOUND ((int32_t)0xC0000002)  /* "Video codec not found" */
#define MPG_AUDIO_STREAM_NOT_FOUND ((int32_t)0xC0000003) /* "Audio stream not found" */
#define MPG_VIDEO_STREAM_NOT_FOUND ((int32_t)0xC0000004) /* "Video stream not found" */
#define MPG_SAME_FILE ((int32_t)0xC0000005) /* "Output file is the same as an input file" */
#define MPG_BAD_PARAMETER ((int32_t)0xC0000006) /* empty path or out-of-range choice */

/* ---- Progress ----------------------------------------------------------------
 * value: progress from 0 to the progress scale (MPG_SetPercent100, 100 at load),
 *        or -1 for a text report.
 * user:  the user value given to the export, unchanged.
 * text:  NULL for progress; for a text report a NUL-terminated message that is
 *        valid only during the call. */
typedef struct ProgressReport {
  int32_t value;
  uintptr_t user;
  const char *text;
} ProgressReport;

/* Return non-zero to go on, zero to stop the job. A stopped job finishes its
 * output file (trailer written) and the export returns 0. */
typedef uint8_t (*ProgressCallback)(const ProgressReport *report);

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
  char extension[32];     /* output file extension, without the dot */
  char altExtension[32];  /* alternative extension for the same output */
} MergeOp2Result;

/* ---- Media information (424 bytes) --------------------------------------------
 * Text fields are NUL-terminated, cut to 63 characters and upper-cased. */
typedef struct MpgMediaInfo {
  int64_t duration;            /* whole seconds, truncated: the longer of the video and
                                  audio, each from its first timestamp to the end of its
                                  last packet (a start at 10 s or near the MPEG-TS clock
                                  wrap does not count) */
  int64_t containerBitRate;    /* bit/s */
  int32_t videoStreamCount;    /* cover pictures included; the other video fields
                                  describe the moving video when there is one */
  int32_t width;
  int32_t height;
  int32_t reserved1;
  int64_t videoBitRate;        /* bit/s */
  double frameRate;
  int64_t videoStreamDuration; /* in the video stream's own time base */
  char videoCodec[64];
  char videoSampleFormat[64];
  int32_t audioStreamCount;
  int32_t channels;
  int64_t audioBitRate;        /* bit/s */
  int32_t sampleRate;          /* Hz */
  int32_t reserved2;
  int64_t audioStreamDuration; /* in the audio stream's own time base */
  char audioCodec[64];
  char audioSampleFormat[64];
  int32_t subtitleStreamCount;
  int32_t reserved3;
  int64_t subtitleDuration;    /* end of the last cue, whole seconds */
  char subtitleCodec[64];
} MpgMediaInfo;

/* ---- Transcode parameters (48 bytes); 0 keeps the input's value ------------------ */
typedef struct TranscodeParams {
  int32_t outputFormat;        /* OutputFormatId, see MPG_GetDefExt */
  int32_t audioCodecChoice;    /* 1 MP3, 2 AAC, 3 AMR-NB, 4 AMR-WB */
  int32_t audioBitRateRequest; /* bit/s */
  int32_t audioSampleRate;     /* Hz */
  int32_t audioChannels;       /* 1 mono, 2 stereo */
  int32_t videoCodecChoice;    /* 0 to 6 */
  int32_t width;
  int32_t height;
  int32_t scalePercent;        /* share of the input size, in progress-scale units */
  int32_t videoBitRateRequest; /* bit/s, or kbit/s below 1000 */
  int32_t frameTimeNum;        /* frame duration numerator */
  int32_t frameTimeDen;        /* frame duration denominator */
} TranscodeParams;

/* The library's string object as it crosses the boundary: the layout of
 * Str::basic_string<char> (see below for C++). The library reads only the text and
 * the size: the text is inline in buf while capacity < 16, else behind ptr. */
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
#define MPG_IMAGE_PPM 0
#define MPG_IMAGE_BMP 1
#define MPG_IMAGE_JPEG 2

/* ---- Housekeeping --------------------------------------------------------------- */
/* Sets the number that stands for a hundred percent (100 at load). Values of 0 or
 * below are ignored. */
MPG_API void MPG_SetPercent100(int32_t value) MPG_NOEXCEPT;
MPG_API void MPG_TestParams(void) MPG_NOEXCEPT;
/* Text of a status code. For FFmpeg codes the text is kept per thread: the pointer
 * stays valid until the same thread's next MPG_GetErrorText call (or its exit). */
MPG_API const char *MPG_GetErrorText(int32_t code) MPG_NOEXCEPT;
/* Extension of an output format id: 0 3gp, 1 aac, 2 avi, 3 mp3, 4 mp4, 5 mpg,
 * 6 ts, 7 webm, 8 wmv; any other id gives "mp4". */
MPG_API const char *MPG_GetDefExt(int32_t outputFormatId) MPG_NOEXCEPT;

/* ---- Probes ------------------------------------------------------------------------ */
MPG_API uint8_t MPG_IsThisGoodFile(const char *path) MPG_NOEXCEPT;
MPG_API uint8_t MPG_GetMediaInfo(const char *path, MpgMediaInfo *info) MPG_NOEXCEPT;
/* The first usable audio stream's stated duration in its own time base when that
 * fits in 32 bits; otherwise (a long MP3 counts 14112000 ticks a second), and for a
 * stream that states none, its measured length in whole seconds. */
MPG_API uint32_t MPG_GetAudioDuration(const char *path) MPG_NOEXCEPT;

/* ---- Container choice ------------------------------------------------------------- */
MPG_API int32_t MPG_MergeOP(const char *videoPath, const char *audioPath,
                            MergeOpResult *result) MPG_NOEXCEPT;
MPG_API int32_t MPG_MergeOP2(const char *videoPath, const char *audioPath,
                             MergeOp2Result *result) MPG_NOEXCEPT;
/* Writes the extension a merge of this file would get, or an empty string. */
MPG_API void MPG_GetDefExtension(const char *path, char *buffer, int32_t bufferSize) MPG_NOEXCEPT;

/* ---- Merging ----------------------------------------------------------------------- */
/* Writes the container MPG_MergeOP2 names. With the audio re-encoded to AAC, both
 * streams start at 0 (keeping their offset) and end where the shorter input ends;
 * undecodable audio frames are skipped, and a long run of them fails the merge. */
MPG_API int32_t MPG_MergeAV(const char *videoPath, const char *audioPath, const char *outputPath,
                            ProgressCallback callback, uintptr_t user) MPG_NOEXCEPT;
/* segments: NULL-terminated array of paths. An output named .ts, .m2ts, .mts, .m2t
 * or .m4t gives MPEG-TS, any other MP4. The output's timeline starts at 0. Each
 * segment moves as a whole, keeping its audio and video together: one whose
 * timestamps jump back (an HLS discontinuity, an MPEG-TS clock wrap, the same
 * segment twice) continues where the output ended; a gap ahead stays unless
 * rebaseTimestamps asks to close it. */
MPG_API int32_t MPG_Merge(const char *const *segments, const char *outputPath, int32_t deleteSegments,
                          uint8_t rebaseTimestamps, ProgressCallback callback,
                          uintptr_t user) MPG_NOEXCEPT;

/* ---- Conversion -------------------------------------------------------------------- */
/* Rewrites a file into the container params->outputFormat names. Fields left 0
 * copy the input's streams; a stream the container cannot hold as it is (FLAC,
 * PCM, ADPCM, AMR or WMA audio in MP4; VP6F or WMV3 video in MP4) is re-encoded to
 * the container's usual codec instead, as is a stream to re-encode whose codec
 * has no encoder: AAC and H.264 for MP4, AMR-NB and H.263 for 3GP, MP3 and
 * MPEG-4 Part 2 for AVI, Opus and VP9 for WebM, MP2 and MPEG-2 for MPEG-TS, MP2
 * and MPEG-1 for MPEG-PS, WMA and MS-MPEG4 for WMV, AAC for .aac, MP3 for .mp3.
 * Picture sizes are rounded to the encoder's steps (even for 4:2:0). A cover
 * picture (ID3 or M4A art) is not video. When the input has moving video and
 * the container takes video, the output holds it or the call fails. Outputs
 * start at 0. MPG_AUDIO_STREAM_NOT_FOUND for an input without audio;
 * MPG_BAD_PARAMETER for a codec choice out of range. Undecodable audio packets
 * are skipped and their time kept as silence; a long run of them in a row fails
 * the call. A failure deletes the output; a stop leaves a finished, shorter file
 * and returns 0. */
MPG_API int32_t MPG_Transcode(const MpgString *inputPath, const MpgString *outputPath,
                              const TranscodeParams *params, ProgressCallback callback,
                              uintptr_t user) MPG_NOEXCEPT;
/* bitRate in bit/s; 0 or below: no cap. Undecodable packets are skipped; a long
 * run of them in a row fails the call. A failure leaves what was written, except
 * when not one audio frame decoded (a truncated download): that call fails with
 * AVERROR_INVALIDDATA and leaves no file. */
MPG_API int32_t MP3_Convert(const char *inputPath, const char *outputPath, int32_t bitRate,
                            ProgressCallback callback, uintptr_t user) MPG_NOEXCEPT;

/* ---- Edits --------------------------------------------------------------------------
 * Crop (a remux into the input's own container kind), trim and audio shift need
 * moving video and audio: a cover picture (ID3 art, an M4A cover) is not taken for
 * the video, so a song gives MPG_VIDEO_STREAM_NOT_FOUND. Copied streams need no
 * encoder (WMV3, VP6F copy too), and outputs start at 0 however late the input's
 * timeline starts. Trim re-encodes the video with the input's codec when this build
 * encodes it and the container takes it, else with the container's usual one. */
MPG_API int32_t MPG_ShiftAudio(const char *inputPath, const char *outputPath, int32_t shiftMs,
                               ProgressCallback callback, uintptr_t user) MPG_NOEXCEPT;
MPG_API int32_t MPG_Crop(const char *inputPath, const char *outputPath) MPG_NOEXCEPT;
MPG_API int32_t MPG_SaveTrimmedVideo(const char *inputPath, const char *outputPath,
                                     int32_t startSeconds, int32_t endSeconds) MPG_NOEXCEPT;
MPG_API int32_t FLV_FixDuration(const char *path) MPG_NOEXCEPT;

/* ---- Still images --------------------------------------------------------------------
 * The picture comes from the first moving video stream, decoded from the key frame
 * before the asked time up to it; the first picture from there that is not one
 * colour is taken, or the first picture when all of them are. A file whose only
 * picture is its cover (a song) gives the cover. */
MPG_API uint8_t MPG_GetImage(int32_t imageFormat, const char *inputPath, const char *outputPath,
                             int32_t height, int32_t quality) MPG_NOEXCEPT;
/* position in progress-scale units of the file's duration. */
MPG_API uint8_t MPG_GetImageP(int32_t imageFormat, const char *inputPath, const char *outputPath,
                              int32_t position, int32_t height, int32_t quality) MPG_NOEXCEPT;
/* Returns a BMP file image allocated with malloc (release it with free), or NULL. */
MPG_API uint8_t *MPG_GetImageBMP(const char *inputPath, int32_t seconds, uint32_t *size,
                                 int32_t height) MPG_NOEXCEPT;
MPG_API uint8_t MPG_GetImageJPG(const char *inputPath, const char *outputPath, int32_t seconds,
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

#ifdef __cplusplus
#include "mpg_string.hpp"
#endif

#endif /* MPG_H */

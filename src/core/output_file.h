// The one output file of a job: the muxer context, the file it writes, its header,
// every packet write, the trailer with the check that every byte reached the
// disk, and what becomes of the file when the job fails.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/av_ptr.h"
#include "core/status.h"

namespace mpg {

// SameFile when outputPath names an existing file that is also one of inputs (by
// device and inode, through links and other spellings); Ok otherwise. Call it
// before anything is opened for writing, so an input is never truncated.
Status RefuseOutputNamingInput(const char *outputPath, std::span<const char *const> inputs) noexcept;

// A muxer refuses single packets now and then (a timestamp it cannot store); such
// a packet is dropped, and a job ends only after this many in one file.
inline constexpr int kMaxRefusedPackets = 25;

// The file at a path that a job writes. A file this object opened and that was
// not finished is removed when the object goes away, so a failed job leaves no
// half-written file behind; a path it never opened is never touched, so a call
// that fails before writing leaves whatever stood there as it was.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;
  ~OutputFile();

  // Makes the muxer context for format, named after path; nothing is opened yet.
  // kNoMuxer for a null format; the FFmpeg error otherwise.
  Status Create(const AVOutputFormat *format, const char *path) noexcept;
  // The same for a muxer named by its short name ("mp4", "matroska").
  Status Create(const char *muxerName, const char *path) noexcept;

  // Opens the file (unless the muxer writes none) and writes the header with the
  // given muxer options, which may be null. From here on the file is the job's.
  // Before the header, every stream whose packets come in a form the muxer does not
  // store gets FFmpeg's bitstream filter to it (see Write), and the stream's codec
  // parameters become the filter's output parameters.
  Status WriteHeader(AVDictionary **options = nullptr) noexcept;

  // Writes pkt in interleaved order through WritePacket, which takes its reference.
  // H.264 and H.265 copied out of MP4, Matroska or FLV carry length-prefixed NAL
  // units; into AVI, ASF, MPEG-TS, MPEG-PS and the raw streams they go through
  // h264_mp4toannexb or hevc_mp4toannexb first, since those containers store
  // start codes. An I/O error on the file ends the job with that error; a packet the
  // muxer or the filter refuses is dropped, up to kMaxRefusedPackets, after which
  // its error is returned.
  Status Write(AVPacket *pkt) noexcept;

  // Writes what the filters still hold, then the trailer, and flushes: Ok only when
  // every byte reached the file. The file is kept from then on.
  Status Finish() noexcept;

  AVFormatContext *get() const noexcept { return ctx_.get(); }
  AVFormatContext *operator->() const noexcept { return ctx_.get(); }
  explicit operator bool() const noexcept { return ctx_ != nullptr; }
  const std::string &Path() const noexcept { return path_; }

 private:
  Status IoError() const noexcept;
  Status OpenStreamFilters() noexcept;
  Status WriteFiltered(AVBSFContext *filter, AVPacket *pkt) noexcept;
  Status WriteToMuxer(AVPacket *pkt) noexcept;

  OutputFormatPtr ctx_;
  std::vector<BsfPtr> filters_;  // by output stream index; empty where packets go as they come
  std::string path_;
  bool opened_ = false;         // this object opened path for writing
  bool headerWritten_ = false;  // the muxer has been initialised
  bool finished_ = false;       // the trailer was written and every byte reached the file
  int refusedPackets_ = 0;
};

}  // namespace mpg

// The one header through which library code includes FFmpeg, and the owning
// pointers for every FFmpeg object a job holds. A raw AVFormatContext* or
// AVCodecContext* parameter anywhere else is a borrowed pointer.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/avutil.h>
#include <libavutil/base64.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/imgutils.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <memory>

namespace mpg {

struct InputFormatDeleter {
  void operator()(AVFormatContext *p) const noexcept { avformat_close_input(&p); }
};
struct OutputFormatDeleter {
  void operator()(AVFormatContext *p) const noexcept {
    // The muxer owns no file when it declares AVFMT_NOFILE; otherwise close ours.
    if (p->oformat && !(p->oformat->flags & AVFMT_NOFILE)) avio_closep(&p->pb);
    avformat_free_context(p);
  }
};
struct CodecContextDeleter {
  void operator()(AVCodecContext *p) const noexcept { avcodec_free_context(&p); }
};
struct BsfDeleter {
  void operator()(AVBSFContext *p) const noexcept { av_bsf_free(&p); }
};
struct PacketDeleter {
  void operator()(AVPacket *p) const noexcept { av_packet_free(&p); }
};
struct FrameDeleter {
  void operator()(AVFrame *p) const noexcept { av_frame_free(&p); }
};
struct SwrDeleter {
  void operator()(SwrContext *p) const noexcept { swr_free(&p); }
};
struct SwsDeleter {
  void operator()(SwsContext *p) const noexcept { sws_freeContext(p); }
};
struct AudioFifoDeleter {
  void operator()(AVAudioFifo *p) const noexcept { av_audio_fifo_free(p); }
};
struct CodecParametersDeleter {
  void operator()(AVCodecParameters *p) const noexcept { avcodec_parameters_free(&p); }
};
struct DictDeleter {
  void operator()(AVDictionary *p) const noexcept { av_dict_free(&p); }
};
struct AvBufferDeleter {
  void operator()(void *p) const noexcept { av_free(p); }
};
struct IoContextDeleter {
  void operator()(AVIOContext *p) const noexcept {
    // FFmpeg may have replaced the buffer we gave it: free the one it holds now.
    av_freep(&p->buffer);
    avio_context_free(&p);
  }
};

using InputFormatPtr = std::unique_ptr<AVFormatContext, InputFormatDeleter>;
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using BsfPtr = std::unique_ptr<AVBSFContext, BsfDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;
using CodecParametersPtr = std::unique_ptr<AVCodecParameters, CodecParametersDeleter>;
using DictPtr = std::unique_ptr<AVDictionary, DictDeleter>;
using AvBufferPtr = std::unique_ptr<void, AvBufferDeleter>;
using IoContextPtr = std::unique_ptr<AVIOContext, IoContextDeleter>;

// Factories return an empty pointer when FFmpeg cannot allocate.
[[nodiscard]] inline PacketPtr MakePacket() { return PacketPtr(av_packet_alloc()); }
[[nodiscard]] inline FramePtr MakeFrame() { return FramePtr(av_frame_alloc()); }

}  // namespace mpg

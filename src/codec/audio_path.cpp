#include "codec/audio_path.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <type_traits>

#include "core/codec_loop.h"
#include "core/timebase.h"

namespace mpg {

namespace {

// MPEG-1, MPEG-2 and MPEG-2.5 audio sample rates, ascending.
constexpr std::array<int32_t, 9> kMp3SampleRates = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
// The bit rates a request snaps up to, ascending; 144000 comes from the MPEG-2
// layer III set, and the MPEG-1 step 40000 is left out.
constexpr std::array<int32_t, 17> kMp3BitRates = {8000,   16000,  24000,  32000,  48000,  56000,
                                                   64000,  80000,  96000,  112000, 128000, 144000,
                                                   160000, 192000, 224000, 256000, 320000};
// Frame length for encoders that take any number of samples per frame.
constexpr int kAnyFrameSizeSamples = 1024;

template <size_t N>
int32_t SnapUp(const std::array<int32_t, N> &table, int32_t value) noexcept {
  auto it = std::lower_bound(table.begin(), table.end(), value);
  return it == table.end() ? table.back() : *it;
}

// A sample buffer in one format and channel count, as av_samples_alloc lays it out.
struct SampleBuffer {
  uint8_t **data = nullptr;
  ~SampleBuffer() {
    if (data) av_freep(&data[0]);
    av_freep(&data);
  }
  int Allocate(int channels, int samples, AVSampleFormat fmt) noexcept {
    return av_samples_alloc_array_and_samples(&data, nullptr, channels, samples, fmt, 0);
  }
};

// The input side the resampler was made for; a frame that differs would be read
// with the wrong plane count or sample size.
bool FrameMatchesResampler(const AVFrame *frame, SwrContext *swr) noexcept {
  int64_t fmt = 0, rate = 0;
  AVChannelLayout layout{};
  if (av_opt_get_int(swr, "in_sample_fmt", 0, &fmt) < 0 || av_opt_get_int(swr, "in_sample_rate", 0, &rate) < 0 ||
      av_opt_get_chlayout(swr, "in_chlayout", 0, &layout) < 0) {
    return false;
  }
  const bool same = frame->format == fmt && frame->sample_rate == rate &&
                    frame->ch_layout.nb_channels == layout.nb_channels;
  av_channel_layout_uninit(&layout);
  return same;
}

// ---- Full scale ------------------------------------------------------------------
// FFmpeg's float and double samples are at full scale at -1 and 1. A damaged stream
// can decode to anything: NaN, infinities, values a million times full scale. LAME
// aborts the process on those (an assertion in its bit allocation), the AAC encoder
// refuses them, and the resampler's float-to-integer conversion turns a huge positive
// value into the most negative integer. Integer samples are within full scale by
// their nature.

// Calls onPlane(values, count) with each plane of a float or double buffer, as
// float* or double*; does nothing for the other formats.
template <class OnPlane>
void ForEachFloatPlane(uint8_t *const *data, int channels, int samples, AVSampleFormat fmt, OnPlane &&onPlane) {
  const AVSampleFormat packed = av_get_packed_sample_fmt(fmt);
  if (packed != AV_SAMPLE_FMT_FLT && packed != AV_SAMPLE_FMT_DBL) return;
  const bool planar = av_sample_fmt_is_planar(fmt) != 0;
  const int planes = planar ? channels : 1;
  const int count = planar ? samples : samples * channels;
  for (int p = 0; p < planes; ++p) {
    if (packed == AV_SAMPLE_FMT_FLT) {
      onPlane(reinterpret_cast<float *>(data[p]), count);
    } else {
      onPlane(reinterpret_cast<double *>(data[p]), count);
    }
  }
}

// Whether every sample is a number within full scale.
bool WithinFullScale(uint8_t *const *data, int channels, int samples, AVSampleFormat fmt) noexcept {
  bool within = true;
  ForEachFloatPlane(data, channels, samples, fmt, [&](const auto *values, int count) {
    // NaN fails both comparisons.
    for (int i = 0; i < count && within; ++i) within = values[i] >= -1 && values[i] <= 1;
  });
  return within;
}

// Clips every sample to full scale; NaN becomes silence.
void ClipToFullScale(uint8_t *const *data, int channels, int samples, AVSampleFormat fmt) noexcept {
  ForEachFloatPlane(data, channels, samples, fmt, [](auto *values, int count) {
    using Sample = std::remove_reference_t<decltype(*values)>;
    for (int i = 0; i < count; ++i) {
      const Sample x = values[i];
      values[i] = std::isnan(x) ? Sample{0} : std::clamp<Sample>(x, -1, 1);
    }
  });
}

// A decoded frame within full scale: the resampler then mixes, resamples and
// converts numbers it can represent. The decoder's buffer is copied first when
// others share it.
Status ClipDecodedFrame(AVFrame *frame) noexcept {
  const auto fmt = static_cast<AVSampleFormat>(frame->format);
  const int channels = frame->ch_layout.nb_channels;
  if (WithinFullScale(frame->extended_data, channels, frame->nb_samples, fmt)) return Status::Ok;
  const int ret = av_frame_make_writable(frame);
  if (ret < 0) return StatusFromAv(ret, Status::NoMemory);
  ClipToFullScale(frame->extended_data, channels, frame->nb_samples, fmt);
  return Status::Ok;
}

// Converts frame's samples (null: the samples the resampler still holds) and
// appends them to fifo, clipped to full scale: mixing channels down and resampling
// can overshoot it even from samples within it, and every encoder is fed from fifo.
Status ConvertAndStore(AVAudioFifo *fifo, SwrContext *swr, const AVCodecContext *encCtx, AVFrame *frame) noexcept {
  if (frame) {
    const Status st = ClipDecodedFrame(frame);
    if (!IsOk(st)) return st;
  }
  const int inSamples = frame ? frame->nb_samples : 0;
  // Room for everything this call can give, delayed samples included: with less,
  // the resampler keeps the rest and a rate increase would lose it at the end.
  const int capacity = swr_get_out_samples(swr, inSamples);
  if (capacity < 0) return StatusFromAv(capacity);
  if (capacity == 0) return Status::Ok;
  SampleBuffer converted;
  const auto outFmt = encCtx->sample_fmt;
  int ret = converted.Allocate(encCtx->ch_layout.nb_channels, capacity, outFmt);
  if (ret < 0) return StatusFromAv(ret, Status::NoMemory);
  const uint8_t **in = frame ? const_cast<const uint8_t **>(frame->extended_data) : nullptr;
  ret = swr_convert(swr, converted.data, capacity, in, inSamples);
  if (ret < 0) return StatusFromAv(ret);
  if (ret == 0) return Status::Ok;
  ClipToFullScale(converted.data, encCtx->ch_layout.nb_channels, ret, outFmt);
  if (av_audio_fifo_write(fifo, reinterpret_cast<void **>(converted.data), ret) < ret) return kShortFifo;
  return Status::Ok;
}

}  // namespace

int32_t SnapMp3SampleRate(int32_t rate) noexcept { return SnapUp(kMp3SampleRates, rate); }

int32_t SnapMp3BitRate(int32_t bitRate) noexcept { return SnapUp(kMp3BitRates, bitRate); }

int AudioFrameSamples(const AVCodecContext *encCtx) noexcept {
  return encCtx->frame_size > 0 ? encCtx->frame_size : kAnyFrameSizeSamples;
}

Status OpenAudioResampler(const AVCodecContext *decCtx, const AVCodecContext *encCtx, SwrPtr &swr,
                          AudioFifoPtr &fifo) noexcept {
  swr.reset();
  fifo.reset();
  // Default layouts of the two channel counts: decoders often leave the order
  // unspecified, and the default tells the resampler how to mix down.
  AVChannelLayout inLayout{}, outLayout{};
  av_channel_layout_default(&inLayout, decCtx->ch_layout.nb_channels);
  av_channel_layout_default(&outLayout, encCtx->ch_layout.nb_channels);
  SwrContext *raw = nullptr;
  int ret = swr_alloc_set_opts2(&raw, &outLayout, encCtx->sample_fmt, encCtx->sample_rate, &inLayout,
                                decCtx->sample_fmt, decCtx->sample_rate, 0, nullptr);
  av_channel_layout_uninit(&inLayout);
  av_channel_layout_uninit(&outLayout);
  SwrPtr owned(raw);
  if (ret < 0 || !owned) return StatusFromAv(ret, Status::NoMemory);
  ret = swr_init(owned.get());
  if (ret < 0) return StatusFromAv(ret);
  // Room for one sample; every write grows it.
  AudioFifoPtr queue(av_audio_fifo_alloc(encCtx->sample_fmt, encCtx->ch_layout.nb_channels, 1));
  if (!queue) return Status::NoMemory;
  swr = std::move(owned);
  fifo = std::move(queue);
  return Status::Ok;
}

Status DecodeAudioPacket(AVAudioFifo *fifo, AVCodecContext *decCtx, const AVCodecContext *encCtx, SwrContext *swr,
                         const AVPacket *pkt, DecodeErrorRun &errors, bool &rejected) noexcept {
  rejected = false;
  FramePtr frame = MakeFrame();
  if (!frame) return Status::NoMemory;
  Status frameStatus = Status::Ok;
  const Status st = DecodePacket(decCtx, pkt, frame.get(), [&](AVFrame *decoded) {
    frameStatus = FrameMatchesResampler(decoded, swr) ? ConvertAndStore(fifo, swr, encCtx, decoded)
                                                      : Status::InvalidData;
    return frameStatus;
  });
  // What goes wrong after the decoder gave a frame is no rejection of the packet.
  if (!IsOk(frameStatus)) return frameStatus;
  rejected = !IsOk(st);
  const Status judged = errors.Judge(Code(st));
  if (!IsOk(judged) || pkt) return judged;
  return ConvertAndStore(fifo, swr, encCtx, nullptr);
}

Status QueueSilence(AVAudioFifo *fifo, const AVCodecContext *encCtx, int samples) noexcept {
  if (samples <= 0) return Status::Ok;
  SampleBuffer silence;
  const int channels = encCtx->ch_layout.nb_channels;
  const int ret = silence.Allocate(channels, samples, encCtx->sample_fmt);
  if (ret < 0) return StatusFromAv(ret, Status::NoMemory);
  av_samples_set_silence(silence.data, 0, samples, channels, encCtx->sample_fmt);
  if (av_audio_fifo_write(fifo, reinterpret_cast<void **>(silence.data), samples) < samples) return kShortFifo;
  return Status::Ok;
}

Status LoadQueuedFrame(AVAudioFifo *fifo, const AVCodecContext *encCtx, FramePtr &loaded) noexcept {
  loaded.reset();
  const int samples = std::min(AudioFrameSamples(encCtx), av_audio_fifo_size(fifo));
  if (samples <= 0) return Status::Ok;
  FramePtr frame = MakeFrame();
  if (!frame) return Status::NoMemory;
  frame->nb_samples = samples;
  frame->format = encCtx->sample_fmt;
  frame->sample_rate = encCtx->sample_rate;
  int ret = av_channel_layout_copy(&frame->ch_layout, &encCtx->ch_layout);
  if (ret < 0) return StatusFromAv(ret);
  ret = av_frame_get_buffer(frame.get(), 0);
  if (ret < 0) return StatusFromAv(ret);
  if (av_audio_fifo_read(fifo, reinterpret_cast<void **>(frame->extended_data), samples) < samples) return kShortFifo;
  // An encoder that takes only whole frames gets the last one padded with silence.
  const int full = encCtx->frame_size;
  const int caps = encCtx->codec ? encCtx->codec->capabilities : 0;
  if (samples < full && !(caps & (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE))) {
    FramePtr padded = MakeFrame();
    if (!padded) return Status::NoMemory;
    padded->nb_samples = full;
    padded->format = frame->format;
    padded->sample_rate = frame->sample_rate;
    ret = av_channel_layout_copy(&padded->ch_layout, &frame->ch_layout);
    if (ret >= 0) ret = av_frame_get_buffer(padded.get(), 0);
    if (ret < 0) return StatusFromAv(ret);
    const int channels = frame->ch_layout.nb_channels;
    const auto fmt = static_cast<AVSampleFormat>(frame->format);
    av_samples_copy(padded->extended_data, frame->extended_data, 0, 0, samples, channels, fmt);
    av_samples_set_silence(padded->extended_data, samples, full - samples, channels, fmt);
    frame = std::move(padded);
  }
  loaded = std::move(frame);
  return Status::Ok;
}

}  // namespace mpg

// The audio path's framing and timestamps, observed in what a muxer receives: an
// encoder rig writes through the path into FFmpeg's framecrc muxer, whose lines
// (stream, dts, pts, duration, size) are read back. The MP3 sample-rate and
// bit-rate tables are pinned at their edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/streams.h"
#include "support/media.h"
#include "codec/audio_path.h"

namespace mpg {
namespace {

struct SnapCase {
  int32_t in;
  int32_t out;
};

class SnapMp3SampleRateTable : public ::testing::TestWithParam<SnapCase> {};
TEST_P(SnapMp3SampleRateTable, MapsUpToAnMpegRate) { EXPECT_EQ(SnapMp3SampleRate(GetParam().in), GetParam().out); }
INSTANTIATE_TEST_SUITE_P(Edges, SnapMp3SampleRateTable,
                         ::testing::Values(SnapCase{-1, 8000}, SnapCase{0, 8000}, SnapCase{7999, 8000},
                                           SnapCase{8000, 8000}, SnapCase{8001, 11025}, SnapCase{11024, 11025},
                                           SnapCase{11025, 11025}, SnapCase{11026, 12000}, SnapCase{12001, 16000},
                                           SnapCase{16001, 22050}, SnapCase{22049, 22050}, SnapCase{22051, 24000},
                                           SnapCase{24001, 32000}, SnapCase{32001, 44100}, SnapCase{44099, 44100},
                                           SnapCase{44100, 44100}, SnapCase{44101, 48000}, SnapCase{48000, 48000},
                                           SnapCase{96000, 48000}));

class SnapMp3BitRateTable : public ::testing::TestWithParam<SnapCase> {};
TEST_P(SnapMp3BitRateTable, MapsUpToAnMp3Rate) { EXPECT_EQ(SnapMp3BitRate(GetParam().in), GetParam().out); }
INSTANTIATE_TEST_SUITE_P(Edges, SnapMp3BitRateTable,
                         ::testing::Values(SnapCase{0, 8000}, SnapCase{7999, 8000}, SnapCase{8000, 8000},
                                           SnapCase{8001, 16000}, SnapCase{32001, 48000},
                                           SnapCase{40000, 48000},  // no 40000 step
                                           SnapCase{48001, 56000}, SnapCase{127999, 128000},
                                           SnapCase{128000, 128000}, SnapCase{128001, 144000},
                                           SnapCase{160001, 192000}, SnapCase{256000, 256000},
                                           SnapCase{256001, 320000}, SnapCase{2000000, 320000}));

// Two-channel audio streams of 64 and 128 kbit/s, then two that declare no rate.
std::string TwoMp3Streams() {
  return mpgtest::MakeFixture("two_mp3_streams.mka",
                              "-f lavfi -i sine=f=440:sample_rate=44100:duration=1 "
                              "-f lavfi -i sine=f=660:sample_rate=44100:duration=1 -map 0 -map 1 -ac 2 "
                              "-c:a libmp3lame -b:a:0 64k -b:a:1 128k -fflags +bitexact");
}
std::string TwoFlacStreams() {
  return mpgtest::MakeFixture("two_flac_streams.mka",
                              "-f lavfi -i sine=f=440:sample_rate=44100:duration=1 "
                              "-f lavfi -i sine=f=660:sample_rate=44100:duration=1 -map 0 -map 1 "
                              "-c:a flac -fflags +bitexact");
}

struct BestStreamCase {
  const char *name;
  std::string (*fixture)();
  int expected;
};
class FindBestAudioStreamTable : public ::testing::TestWithParam<BestStreamCase> {};
TEST_P(FindBestAudioStreamTable, PicksTheRichestAudio) {
  InputFormatPtr in;
  ASSERT_TRUE(IsOk(OpenInputFile(GetParam().fixture().c_str(), in)));
  EXPECT_EQ(FindBestAudioStream(in.get()), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Files, FindBestAudioStreamTable,
    ::testing::Values(BestStreamCase{"HigherBitRateSecond", TwoMp3Streams, 1},
                      BestStreamCase{"NoDeclaredRatesLaterWins", TwoFlacStreams, 1},
                      BestStreamCase{"VideoOnlyHasNone", mpgtest::fx::H264Video10s, -1}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(FindBestAudioStream, NullContextHasNone) { EXPECT_EQ(FindBestAudioStream(nullptr), -1); }

// A damaged stream: runs of rejected packets up to the bound pass, the last one of
// a full run fails the job, and a decoded packet starts the count again. Out of
// memory is never a rejection.
TEST(DecodeErrorRun, ARunOfTheBoundFailsAndASuccessRestartsIt) {
  DecodeErrorRun run;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i + 1 < kMaxDecodeErrorsInARow; ++i) {
      ASSERT_EQ(run.Judge(AVERROR_INVALIDDATA), Status::Ok) << i;
    }
    ASSERT_EQ(run.Judge(0), Status::Ok);
  }
  for (int i = 0; i + 1 < kMaxDecodeErrorsInARow; ++i) run.Judge(AVERROR_PATCHWELCOME);
  EXPECT_EQ(run.Judge(AVERROR_INVALIDDATA), Status::InvalidData);
  DecodeErrorRun fresh;
  EXPECT_EQ(fresh.Judge(AVERROR(ENOMEM)), Status::NoMemory);
}

// One line of the framecrc muxer.
struct WrittenPacket {
  int64_t dts, pts, duration, size;
};

// A PCM encoder that writes through the audio path into a framecrc file. PCM
// encoders take any frame length, so each written packet's size tells the frame's
// sample count; the frame size is set to 1152 as an MP3 encoder's would be.
class EncoderRig {
 public:
  static constexpr int kRate = 48000;
  static constexpr int kFrameSize = 1152;

  explicit EncoderRig(const std::string &path) : path_(path) {
    EXPECT_TRUE(IsOk(out.Create("framecrc", path.c_str())));
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_PCM_S16LE);
    enc.reset(avcodec_alloc_context3(codec));
    enc->sample_fmt = AV_SAMPLE_FMT_S16;
    enc->sample_rate = kRate;
    enc->ch_layout = AV_CHANNEL_LAYOUT_MONO;
    enc->time_base = AVRational{1, kRate};
    EXPECT_GE(avcodec_open2(enc.get(), codec, nullptr), 0);
    enc->frame_size = kFrameSize;
    AVStream *st = avformat_new_stream(out.get(), nullptr);
    avcodec_parameters_from_context(st->codecpar, enc.get());
    st->time_base = enc->time_base;
    EXPECT_TRUE(IsOk(out.WriteHeader()));
    fifo.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_S16, 1, 1));
    timing.outStream = st;
    timing.inStream = st;
    timing.ptsRescaled = true;  // as after the first input packet was read
  }

  void Queue(int samples) {
    std::vector<int16_t> silence(samples, 0);
    void *planes[] = {silence.data()};
    ASSERT_EQ(av_audio_fifo_write(fifo.get(), planes, samples), samples);
  }

  std::vector<WrittenPacket> Finish() {
    EXPECT_TRUE(IsOk(out.Finish()));
    std::vector<WrittenPacket> packets;
    std::ifstream in(path_);
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      std::replace(line.begin(), line.end(), ',', ' ');
      std::istringstream fields(line);
      int stream = 0;
      WrittenPacket p{};
      fields >> stream >> p.dts >> p.pts >> p.duration >> p.size;
      packets.push_back(p);
    }
    return packets;
  }

  OutputFile out;
  CodecContextPtr enc;
  AudioFifoPtr fifo;
  AudioTiming timing;

 private:
  std::string path_;
};

TEST(AudioFifoFraming, LastFrameCarriesOnlyTheSamplesLeft) {
  EncoderRig rig(mpgtest::Out("framing.crc"));
  rig.timing.nextFramePts = 0;
  rig.Queue(EncoderRig::kFrameSize + 300);
  ASSERT_TRUE(IsOk(LoadEncodeWrite(rig.fifo.get(), rig.out, rig.enc.get(), rig.timing)));
  ASSERT_TRUE(IsOk(LoadEncodeWrite(rig.fifo.get(), rig.out, rig.enc.get(), rig.timing)));
  EXPECT_EQ(av_audio_fifo_size(rig.fifo.get()), 0);
  const auto packets = rig.Finish();
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].size, EncoderRig::kFrameSize * 2);  // 16-bit mono
  EXPECT_EQ(packets[1].size, 300 * 2);
  EXPECT_EQ(rig.timing.encodedDuration, EncoderRig::kFrameSize + 300);
}

TEST(AudioFifoFraming, TwoFramesFromOnePacketGetIncreasingPts) {
  EncoderRig rig(mpgtest::Out("pts.crc"));
  rig.timing.nextFramePts = 4800;  // one input packet read, nothing since
  rig.Queue(2 * EncoderRig::kFrameSize);
  ASSERT_TRUE(IsOk(LoadEncodeWrite(rig.fifo.get(), rig.out, rig.enc.get(), rig.timing)));
  ASSERT_TRUE(IsOk(LoadEncodeWrite(rig.fifo.get(), rig.out, rig.enc.get(), rig.timing)));
  const auto packets = rig.Finish();
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].pts, 4800);
  EXPECT_EQ(packets[1].pts, 4801);
  EXPECT_GT(packets[1].dts, packets[0].dts);
}

TEST(AudioFifoFraming, PacketRepeatingTheLastDtsIsRaisedByOne) {
  EncoderRig rig(mpgtest::Out("dts.crc"));
  // A packet at 4800 was written; the encoder now returns another at 4800.
  rig.timing.lastPacketDts = 4800;
  rig.timing.nextFramePts = 4800;
  rig.Queue(EncoderRig::kFrameSize);
  ASSERT_TRUE(IsOk(LoadEncodeWrite(rig.fifo.get(), rig.out, rig.enc.get(), rig.timing)));
  const auto packets = rig.Finish();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].dts, 4801);
  EXPECT_EQ(packets[0].pts, 4801);
}

TEST(AudioFifoFraming, EmptyFifoWritesNothing) {
  EncoderRig rig(mpgtest::Out("empty.crc"));
  ASSERT_TRUE(IsOk(LoadEncodeWrite(rig.fifo.get(), rig.out, rig.enc.get(), rig.timing)));
  EXPECT_TRUE(rig.Finish().empty());
}

}  // namespace
}  // namespace mpg

// Audio extraction on every real file that has audio: the output is the file named
// stem + the extension the call returns, its one stream's packets are those of an
// audio stream of the input (ADTS headers aside, which M4A keeps in its set-up; PCM
// compared as one byte run, since WAV cuts it into packets of its own size), its
// decoded length is the input stream's within one codec frame, and it decodes
// cleanly. Then what a caller meets at the edges: no audio, an output that would
// be the input, a small buffer, a stop.
extern "C" {
#include <libavformat/avformat.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <map>
#include <string>
#include <vector>

#include "mpg.h"
#include "support/media.h"

using namespace mpgtest;
using namespace mpgtest::fx;
namespace fs = std::filesystem;

namespace {

const std::string kDir = fs::weakly_canonical(std::string(MPG_SOURCE_DIR) + "/../shared/media/realworld").string();

struct AudioTrack {
  AVCodecID codec = AV_CODEC_ID_NONE;
  std::vector<std::string> packets;  // payloads, in file order
  size_t leadingHidden = 0;          // how many of the first packets an edit list hides
};

bool IsWaveCoding(AVCodecID id) { return id >= AV_CODEC_ID_PCM_S16LE && id < AV_CODEC_ID_AMR_NB; }

// An AAC packet's raw frame: an ADTS header (7 bytes, 9 with its CRC) is taken off.
std::string RawAac(const std::string &p) {
  if (p.size() < 7 || uint8_t(p[0]) != 0xFF || (uint8_t(p[1]) & 0xF6) != 0xF0) return p;
  return p.substr((uint8_t(p[1]) & 1) ? 7 : 9);
}

// Every audio stream of a file with its packets' payloads, by stream index.
std::map<int, AudioTrack> AudioTracks(const std::string &path) {
  std::map<int, AudioTrack> tracks;
  AVFormatContext *ctx = nullptr;
  if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) return tracks;
  if (avformat_find_stream_info(ctx, nullptr) >= 0) {
    for (unsigned i = 0; i < ctx->nb_streams; ++i)
      if (ctx->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) tracks[int(i)].codec = ctx->streams[i]->codecpar->codec_id;
    AVPacket *pkt = av_packet_alloc();
    while (av_read_frame(ctx, pkt) >= 0) {
      auto t = tracks.find(pkt->stream_index);
      if (t != tracks.end()) {
        const bool hidden = pkt->flags & AV_PKT_FLAG_DISCARD;
        if (hidden && t->second.leadingHidden == t->second.packets.size()) ++t->second.leadingHidden;
        std::string payload(reinterpret_cast<const char *>(pkt->data), size_t(pkt->size));
        t->second.packets.push_back(t->second.codec == AV_CODEC_ID_AAC ? RawAac(payload) : payload);
      }
      av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
  }
  avformat_close_input(&ctx);
  return tracks;
}

std::string Joined(const std::vector<std::string> &packets) {
  std::string all;
  for (const std::string &p : packets) all += p;
  return all;
}

// Samples a stream decodes to (ffprobe's frames, after any skipping the file asks
// for) and the largest frame, which is the tolerance.
struct Decoded {
  long samples = 0;
  long largestFrame = 0;
};
Decoded DecodedLength(const std::string &path, int streamIndex) {
  std::string out;
  Run("ffprobe -v error -select_streams " + std::to_string(streamIndex) +
          " -show_entries frame=nb_samples -of csv=p=0 " + Quote(path),
      &out);
  Decoded d;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    const long n = std::stol(line);
    d.samples += n, d.largestFrame = std::max(d.largestFrame, n);
  }
  return d;
}

std::string ExpectedExtension(AVCodecID codec) {
  static const std::map<AVCodecID, std::string> own = {{AV_CODEC_ID_AAC, "m4a"},  {AV_CODEC_ID_OPUS, "opus"},
                                                       {AV_CODEC_ID_VORBIS, "ogg"}, {AV_CODEC_ID_MP3, "mp3"},
                                                       {AV_CODEC_ID_FLAC, "flac"}};
  const auto it = own.find(codec);
  return it != own.end() ? it->second : IsWaveCoding(codec) ? "wav" : "mka";
}

std::vector<std::string> RealFilesWithAudio() {
  std::vector<std::string> names;
  if (!fs::is_directory(kDir)) return {"absent"};
  for (const auto &e : fs::directory_iterator(kDir)) {
    const std::string name = e.path().filename().string();
    if (e.is_regular_file() && name != "SOURCES.tsv" && !AudioTracks(e.path().string()).empty()) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string TestName(const ::testing::TestParamInfo<std::string> &info) {
  std::string n = info.param;
  for (char &c : n)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return n;
}

class ExtractRealAudio : public ::testing::TestWithParam<std::string> {};

TEST_P(ExtractRealAudio, CopiesTheStreamAsItCame) {
  if (!fs::is_directory(kDir)) GTEST_SKIP() << "../shared/media/realworld is absent";
  const std::string in = kDir + "/" + GetParam();
  const std::string stem = Out("extract_" + TestName({GetParam(), 0}));
  char extension[MPG_EXTENSION_SIZE] = "x";
  ProgressLog log;
  const int32_t status =
      MPG_ExtractAudio(in.c_str(), stem.c_str(), extension, sizeof extension, ProgressLog::Callback, log.User());
  const std::map<int, AudioTrack> input = AudioTracks(in);
  const bool anyPacket = std::any_of(input.begin(), input.end(), [](const auto &t) { return !t.second.packets.empty(); });
  if (!anyPacket) {  // a download cut off before its audio: refused, no file
    EXPECT_EQ(status, MPG_AUDIO_STREAM_NOT_FOUND);
    EXPECT_FALSE(FileExists(stem + "." + extension));
    return;
  }
  ASSERT_EQ(status, MPG_OK);
  const std::string out = stem + "." + extension;
  ASSERT_TRUE(FileExists(out)) << out;
  ASSERT_FALSE(log.values.empty());
  EXPECT_EQ(log.values.back(), 100);

  const std::map<int, AudioTrack> written = AudioTracks(out);
  ASSERT_EQ(written.size(), 1u) << "one audio stream";
  const AudioTrack &got = written.begin()->second;
  // The packets are those of one of the input's audio streams, but for packets its
  // edit list hides before its start, which only an M4A output keeps (an MPEG audio
  // stream a container calls MP3 may read back as the MP2 it is).
  int source = -1;
  for (const auto &[index, track] : input) {
    for (size_t from = 0; from <= track.leadingHidden && from <= track.packets.size(); ++from) {
      const std::vector<std::string> played(track.packets.begin() + long(from), track.packets.end());
      if (IsWaveCoding(got.codec) ? Joined(played) == Joined(got.packets) : played == got.packets) source = index;
    }
  }
  ASSERT_GE(source, 0) << "no input stream has the output's packets (" << got.packets.size() << " packets)";
  EXPECT_EQ(extension, ExpectedExtension(input.at(source).codec));

  const Decoded before = DecodedLength(in, source), after = DecodedLength(out, 0);
  EXPECT_NEAR(after.samples, before.samples, std::max(before.largestFrame, 1L));
  // Damage in the input's audio stays damage; a clean input gives a clean output.
  std::string errors;
  if (DecodesCleanly(in)) {
    EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
  }
}

INSTANTIATE_TEST_SUITE_P(RealWorld, ExtractRealAudio, ::testing::ValuesIn(RealFilesWithAudio()), TestName);

TEST(ExtractAudio, RefusalsTouchNothing) {
  char extension[MPG_EXTENSION_SIZE] = "x";
  const std::string aac = AacAudio10s();
  // An output stem that makes the input's own name: refused, the input kept.
  const std::string copy = Out("extract_self.m4a");
  WriteBytes(copy, ReadBytes(aac));
  const std::string stem = copy.substr(0, copy.size() - 4);
  EXPECT_EQ(MPG_ExtractAudio(copy.c_str(), stem.c_str(), extension, sizeof extension, nullptr, 0), MPG_SAME_FILE);
  EXPECT_EQ(ReadBytes(copy), ReadBytes(aac));
  // No audio: no file.
  const std::string videoStem = Out("extract_video_only");
  EXPECT_EQ(MPG_ExtractAudio(H264Video10s().c_str(), videoStem.c_str(), extension, sizeof extension, nullptr, 0),
            MPG_AUDIO_STREAM_NOT_FOUND);
  EXPECT_STREQ(extension, "");
  for (const char *ext : {".m4a", ".mka", ".mp3"}) EXPECT_FALSE(FileExists(videoStem + ext));
  // A buffer too small for every extension, a missing input, no stem.
  const std::string small = Out("extract_small");
  EXPECT_EQ(MPG_ExtractAudio(aac.c_str(), small.c_str(), extension, MPG_EXTENSION_SIZE - 1, nullptr, 0),
            MPG_BAD_PARAMETER);
  EXPECT_FALSE(FileExists(small + ".m4a"));
  EXPECT_EQ(MPG_ExtractAudio((aac + ".missing").c_str(), small.c_str(), extension, sizeof extension, nullptr, 0),
            AVERROR(ENOENT));
  EXPECT_EQ(MPG_ExtractAudio(aac.c_str(), "", extension, sizeof extension, nullptr, 0), MPG_BAD_PARAMETER);
}

TEST(ExtractAudio, AStopFinishesAPlayableFile) {
  char extension[MPG_EXTENSION_SIZE] = {};
  const std::string stem = Out("extract_stopped");
  ProgressLog log;
  log.stopAtValue = 1;
  MPG_SetPercent100(1000);
  const int32_t status =
      MPG_ExtractAudio(H264Aac10s().c_str(), stem.c_str(), extension, sizeof extension, ProgressLog::Callback, log.User());
  MPG_SetPercent100(100);
  ASSERT_EQ(status, MPG_OK);
  EXPECT_EQ(log.values.size(), 1u) << "nothing is reported after the stop";
  const std::string out = stem + "." + extension;
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
  EXPECT_LT(ProbeDuration(out), 9.0);
}

TEST(ExtractAudio, FreeReleasesTheBmpBuffer) {
  uint32_t size = 0;
  uint8_t *bmp = MPG_GetImageBMP(H264Aac10s().c_str(), 1, &size, 0);
  ASSERT_NE(bmp, nullptr);
  EXPECT_EQ(bmp[0], 'B');
  MPG_Free(bmp);
  MPG_Free(nullptr);
}

}  // namespace

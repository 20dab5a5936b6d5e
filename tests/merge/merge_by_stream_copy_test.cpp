// MPG_MergeAV by stream copy: the container chosen for each codec pair, the
// stream order and interleaving of the output, progress, stop and text reports,
// and the refusals (missing streams, an output that names an input).
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "core/av_ptr.h"
#include "core/input.h"
#include "merge/merge_by_stream_copy.h"
#include "support/media.h"

using namespace mpgtest;

namespace {

const std::string kAudio = "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=";
const std::string kExact = " -fflags +bitexact -flags:a +bitexact -threads 1 ";

// AAC of the lengths of the VP9 and AV1 fixtures, so each pair has one length.
std::string AacAudio5s() { return MakeFixture("aac_5s.m4a", kAudio + "5 -ac 2" + kExact + "-c:a aac -b:a 96k"); }
std::string AacAudio3s() { return MakeFixture("aac_3s.m4a", kAudio + "3 -ac 2" + kExact + "-c:a aac -b:a 96k"); }

struct PairCase {
  const char *name;
  std::string (*video)();
  std::string (*audio)();
  const char *extension;
  const char *formatName;  // as ffprobe names the output's container
  const char *videoCodec;
  const char *audioCodec;
};

const PairCase kPairs[] = {
    {"H264AacIntoMp4", fx::H264Video10s, fx::AacAudio10s, "mp4", "mov,mp4,m4a,3gp,3g2,mj2", "h264", "aac"},
    {"Vp9OpusIntoWebm", fx::Vp9Video5s, fx::OpusAudio5s, "webm", "matroska,webm", "vp9", "opus"},
    {"Vp9AacIntoAvi", fx::Vp9Video5s, AacAudio5s, "avi", "avi", "vp9", "aac"},
    {"Av1AacIntoMp4", fx::Av1Video3s, AacAudio3s, "mp4", "mov,mp4,m4a,3gp,3g2,mj2", "av1", "aac"},
};

// The time a stream's packets span, as ffprobe reads them (Matroska states no
// duration per stream).
double StreamSpan(const std::string &path, const std::string &selector) {
  double first = 1e300, end = -1e300;
  for (const auto &p : ProbePackets(path, selector)) {
    const double pts = std::stod(p["pts_time"].get<std::string>());
    const double duration = p.contains("duration_time") ? std::stod(p["duration_time"].get<std::string>()) : 0.0;
    first = std::min(first, pts);
    end = std::max(end, pts + duration);
  }
  return end - first;
}

double PacketTime(const nlohmann::json &pkt) {
  if (pkt.contains("dts_time")) return std::stod(pkt["dts_time"].get<std::string>());
  return std::stod(pkt["pts_time"].get<std::string>());
}

class MergePairs : public ::testing::TestWithParam<PairCase> {};

TEST_P(MergePairs, CopiesBothStreamsWholeIntoTheChosenContainer) {
  const PairCase &c = GetParam();
  const std::string video = c.video();
  const std::string audio = c.audio();
  const std::string out = Out(std::string("merged.") + c.extension);
  ProgressLog log;
  ASSERT_EQ(MPG_MergeAV(video.c_str(), audio.c_str(), out.c_str(), ProgressLog::Callback, log.User()), 0);

  const nlohmann::json info = Probe(out);
  ASSERT_TRUE(info.contains("streams"));
  ASSERT_EQ(info["streams"].size(), 2u);
  EXPECT_EQ(info["format"]["format_name"], c.formatName);
  EXPECT_EQ(info["streams"][0]["codec_type"], "video");
  EXPECT_EQ(info["streams"][0]["codec_name"], c.videoCodec);
  EXPECT_EQ(info["streams"][1]["codec_type"], "audio");
  EXPECT_EQ(info["streams"][1]["codec_name"], c.audioCodec);
  EXPECT_NEAR(StreamSpan(out, "v:0"), StreamSpan(video, "v:0"), 0.1);
  EXPECT_NEAR(StreamSpan(out, "a:0"), StreamSpan(audio, "a:0"), 0.1);
  EXPECT_NEAR(StreamSpan(out, "v:0"), ProbeDuration(video), 0.1);
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;

  // Every packet of both inputs arrives, the first ones (read ahead for the
  // first-dts reports) included.
  EXPECT_EQ(ProbePackets(out, "v:0").size(), ProbePackets(video, "v:0").size());
  EXPECT_EQ(ProbePackets(out, "a:0").size(), ProbePackets(audio, "a:0").size());
}

// In file order, no packet lies far behind one already stored: the two streams
// are interleaved by time, not one after the other.
TEST_P(MergePairs, InterleavesPacketsByTime) {
  const PairCase &c = GetParam();
  const std::string out = Out(std::string("merged.") + c.extension);
  ASSERT_EQ(MPG_MergeAV(c.video().c_str(), c.audio().c_str(), out.c_str(), nullptr, 0), 0);
  nlohmann::json packets = ProbePackets(out);
  ASSERT_GT(packets.size(), 20u);
  std::vector<std::pair<int64_t, double>> byPos;
  for (const auto &p : packets) byPos.emplace_back(std::stoll(p["pos"].get<std::string>()), PacketTime(p));
  std::sort(byPos.begin(), byPos.end());
  double latest = byPos.front().second;
  for (const auto &[pos, t] : byPos) {
    EXPECT_GT(t, latest - 1.0) << "packet at byte " << pos << " stored " << latest - t << " s late";
    latest = std::max(latest, t);
  }
}

// Progress rises, stays within the scale and ends with the scale.
TEST_P(MergePairs, ProgressRisesWithinTheScaleToItsEnd) {
  const PairCase &c = GetParam();
  ProgressLog log;
  ASSERT_EQ(MPG_MergeAV(c.video().c_str(), c.audio().c_str(), Out(std::string("m.") + c.extension).c_str(),
                        ProgressLog::Callback, log.User()),
            0);
  ASSERT_FALSE(log.values.empty());
  EXPECT_TRUE(std::is_sorted(log.values.begin(), log.values.end()));
  EXPECT_GT(log.values.front(), 0);
  EXPECT_LE(*std::max_element(log.values.begin(), log.values.end()), 100);
  EXPECT_EQ(log.values.back(), 100);
  for (uintptr_t user : log.users) EXPECT_EQ(user, log.User());
}

INSTANTIATE_TEST_SUITE_P(Merge, MergePairs, ::testing::ValuesIn(kPairs),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Merge, StopAtFirstReportLeavesFinishedFile) {
  const std::string out = Out("stopped.mp4");
  ProgressLog log;
  log.stopAtValue = 1;
  ASSERT_EQ(MPG_MergeAV(fx::H264Video10s().c_str(), fx::AacAudio10s().c_str(), out.c_str(), ProgressLog::Callback,
                        log.User()),
            0);
  EXPECT_EQ(log.values.size(), 1u);
  const nlohmann::json info = Probe(out);
  ASSERT_TRUE(info.contains("streams"));
  EXPECT_EQ(info["streams"].size(), 2u);
  EXPECT_LT(ProbeDuration(out, 0), 5.0);
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
}

TEST(Merge, NullCallbackRunsToTheEnd) {
  const std::string out = Out("quiet.mp4");
  ASSERT_EQ(MPG_MergeAV(fx::H264Video10s().c_str(), fx::AacAudio10s().c_str(), out.c_str(), nullptr, 7), 0);
  EXPECT_NEAR(ProbeDuration(out, 0), 10.0, 0.1);
}

TEST(Merge, FinalReportCarriesALargerScale) {
  MPG_SetPercent100(1000);
  ProgressLog log;
  const int32_t rc = MPG_MergeAV(fx::H264Video10s().c_str(), fx::AacAudio10s().c_str(), Out("scale.mp4").c_str(),
                                 ProgressLog::Callback, log.User());
  MPG_SetPercent100(100);
  ASSERT_EQ(rc, 0);
  ASSERT_FALSE(log.values.empty());
  EXPECT_EQ(log.values.back(), 1000);
  EXPECT_LE(*std::max_element(log.values.begin(), log.values.end()), 1000);
  EXPECT_GT(log.values.size(), 5u);
}

// The first-dts reports give each input's first dts and its time, as ffprobe reads
// them, and none for an input that starts at 0. Audio comes first.
TEST(Merge, ReportsTheFirstDtsOfEachInputThatDoesNotStartAtZero) {
  const std::string video = fx::H264Video10s();
  const std::string audio = fx::AacAudio10s();
  std::vector<std::string> expected;
  for (const auto &[kind, path, selector] : {std::tuple{"audio", audio, "a:0"}, std::tuple{"video", video, "v:0"}}) {
    const nlohmann::json packets = ProbePackets(path, selector);
    ASSERT_FALSE(packets.empty());
    const int64_t dts = packets[0]["dts"].get<int64_t>();
    const nlohmann::json st = Probe(path)["streams"][0];
    const std::string tb = st["time_base"].get<std::string>();
    const double den = std::stod(tb.substr(tb.find('/') + 1));
    if (dts == 0) continue;
    char text[96];
    std::snprintf(text, sizeof text, "%s.first_dts=%" PRId64 " time=%g", kind, dts, dts / den);
    expected.emplace_back(text);
  }
  ASSERT_FALSE(expected.empty()) << "the AAC fixture should start before 0 (encoder priming)";
  ProgressLog log;
  ASSERT_EQ(MPG_MergeAV(video.c_str(), audio.c_str(), Out("dts.mp4").c_str(), ProgressLog::Callback, log.User()),
            0);
  EXPECT_EQ(log.texts, expected);
}

// A merge of inputs shorter than a second has no length to count progress by: it
// sends no values until the final one.
TEST(Merge, UnmeasurableLengthSendsOnlyTheFinalReport) {
  const std::string video =
      MakeFixture("h264_0.8s.mp4", "-f lavfi -i testsrc2=size=320x240:rate=25:duration=0.8" + kExact +
                                       "-c:v libx264 -preset ultrafast -pix_fmt yuv420p");
  const std::string audio = MakeFixture("aac_0.8s.m4a", kAudio + "0.8 -ac 2" + kExact + "-c:a aac -b:a 96k");
  ProgressLog log;
  ASSERT_EQ(MPG_MergeAV(video.c_str(), audio.c_str(), Out("short.mp4").c_str(), ProgressLog::Callback, log.User()),
            0);
  EXPECT_EQ(log.values, std::vector<int32_t>{100});
}

// Ogg gives up with invalid data when it finds no page within 64 KiB. As with the
// ffmpeg tool, that ends the audio with what was read: the video is still copied
// to its end and the file finished.
TEST(Merge, InvalidDataEndsTheAudioAndTheFileIsFinished) {
  const std::string vorbis = MakeFixture("vorbis_10s.ogg", kAudio + "10 -ac 2" + kExact + "-c:a libvorbis");
  std::string bytes = ReadBytes(vorbis);
  ASSERT_GT(bytes.size(), 20000u);
  bytes.insert(bytes.size() / 2, std::string(70000, 'x'));
  const std::string audio = Out("damaged.ogg");
  WriteBytes(audio, bytes);
  const std::string out = Out("damaged.mp4");
  EXPECT_EQ(MPG_MergeAV(fx::H264Video10s().c_str(), audio.c_str(), out.c_str(), nullptr, 0), 0);
  EXPECT_NEAR(StreamSpan(out, "v:0"), 10.0, 0.1);
  const double audioSpan = StreamSpan(out, "a:0");
  EXPECT_GT(audioSpan, 1.0);
  EXPECT_LT(audioSpan, 9.0);
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(out, &errors)) << errors;
}

// Every write to /dev/full fails once the output buffer is flushed: the merge ends
// at once with the write error, never with success, and the device stays.
TEST(Merge, WriteFailuresEndTheMergeWithTheWriteError) {
  EXPECT_EQ(MPG_MergeAV(fx::H264Video10s().c_str(), fx::AacAudio10s().c_str(), "/dev/full", nullptr, 0),
            AVERROR(ENOSPC));
  EXPECT_TRUE(FileExists("/dev/full"));
}

// A video download cut off halfway: the merge keeps what could be read, as the
// ffmpeg tool does, and finishes the file.
TEST(Merge, CutOffVideoFinishesWithWhatWasRead) {
  const std::string whole = MakeFixture("h264_10s_faststart.mp4",
                                        "-f lavfi -i testsrc2=size=320x240:rate=25:duration=10" + kExact +
                                            "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -movflags +faststart");
  const std::string bytes = ReadBytes(whole);
  const std::string video = Out("cut.mp4");
  WriteBytes(video, bytes.substr(0, bytes.size() / 2));
  const std::string out = Out("from_cut.mp4");
  ASSERT_EQ(MPG_MergeAV(video.c_str(), fx::AacAudio10s().c_str(), out.c_str(), nullptr, 0), 0);
  const size_t videoPackets = ProbePackets(out, "v:0").size();
  EXPECT_GT(videoPackets, 50u);
  EXPECT_LT(videoPackets, 250u);
  EXPECT_NEAR(StreamSpan(out, "a:0"), 10.0, 0.1);
}

struct RefusalCase {
  const char *name;
  std::string (*video)();
  std::string (*audio)();
  int32_t expected;
};

const RefusalCase kRefusals[] = {
    // The container choice finds no codec before any merging starts.
    {"VideoFileWithoutVideo", fx::AacAudio10s, fx::AacAudio10s, MPG_VIDEO_CODEC_NOT_FOUND},
    {"AudioFileWithoutAudio", fx::H264Video10s, fx::H264Video10s, MPG_AUDIO_CODEC_NOT_FOUND},
    {"MissingVideoFile", [] { return Out("none.mp4"); }, fx::AacAudio10s, MPG_VIDEO_CODEC_NOT_FOUND},
    {"TextAsAudio", fx::H264Video10s, fx::TextFile, MPG_AUDIO_CODEC_NOT_FOUND},
    // A song's cover picture is no video: refused once the streams are chosen.
    {"CoverPictureAsVideo", fx::Mp3WithCover5s, fx::AacAudio10s, MPG_VIDEO_STREAM_NOT_FOUND},
};

class MergeRefusals : public ::testing::TestWithParam<RefusalCase> {};

// A call that fails before it opens the output leaves a file standing there as it was.
TEST_P(MergeRefusals, ReturnsTheCodeAndLeavesTheOutputPathAlone) {
  const RefusalCase &c = GetParam();
  const std::string out = Out("refused.mp4");
  EXPECT_EQ(MPG_MergeAV(c.video().c_str(), c.audio().c_str(), out.c_str(), nullptr, 0), c.expected);
  EXPECT_FALSE(FileExists(out));
  const std::string earlier = "an earlier download";
  WriteBytes(out, earlier);
  EXPECT_EQ(MPG_MergeAV(c.video().c_str(), c.audio().c_str(), out.c_str(), nullptr, 0), c.expected);
  EXPECT_EQ(ReadBytes(out), earlier);
}

INSTANTIATE_TEST_SUITE_P(Merge, MergeRefusals, ::testing::ValuesIn(kRefusals),
                         [](const auto &info) { return std::string(info.param.name); });

mpg::InputFormatPtr OpenInput(const std::string &path) {
  mpg::InputFormatPtr in;
  EXPECT_EQ(mpg::OpenInputFile(path.c_str(), in), mpg::Status::Ok) << path;
  return in;
}

// The stream makers tell a missing video stream from a missing usable audio
// stream and add nothing then; a song's cover picture is not taken for the video.
TEST(Merge, CopyStreamMakersReportTheMissingStream) {
  mpg::OutputFormatPtr out;
  AVFormatContext *raw = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr), 0);
  out.reset(raw);
  AVStream *st = nullptr;
  EXPECT_EQ(mpg::AddVideoCopyStream(out.get(), OpenInput(fx::AacAudio10s()).get(), st),
            mpg::Status::VideoStreamNotFound);
  EXPECT_EQ(mpg::AddVideoCopyStream(out.get(), OpenInput(fx::Mp3WithCover5s()).get(), st),
            mpg::Status::VideoStreamNotFound);
  EXPECT_EQ(mpg::AddAudioCopyStream(out.get(), OpenInput(fx::H264Video10s()).get(), st),
            mpg::Status::AudioStreamNotFound);
  EXPECT_EQ(st, nullptr);
  EXPECT_EQ(out->nb_streams, 0u);
  EXPECT_EQ(mpg::AddVideoCopyStream(out.get(), OpenInput(fx::H264Video10s()).get(), st), mpg::Status::Ok);
  ASSERT_NE(st, nullptr);
  EXPECT_EQ(st->codecpar->codec_id, AV_CODEC_ID_H264);
  EXPECT_EQ(st->codecpar->codec_tag, 0u);
}

// An MP4 whose head lists video frames that its body no longer holds (the download
// was cut right after the head) yields no video packet: the merge fails instead of
// returning success with the audio alone.
TEST(Merge, VideoWithoutAReadablePacketFailsInsteadOfWritingAudioAlone) {
  const std::string whole = MakeFixture("h264_2s_faststart.mp4", "-f lavfi -i testsrc2=size=320x240:rate=25:duration=2" +
                                                                     kExact +
                                                                     "-c:v libx264 -preset ultrafast -pix_fmt yuv420p "
                                                                     "-movflags +faststart");
  std::string bytes = ReadBytes(whole);
  const size_t mdat = bytes.find("mdat");
  ASSERT_NE(mdat, std::string::npos);
  const std::string video = Out("head_only.mp4");
  WriteBytes(video, bytes.substr(0, mdat + 4));
  EXPECT_EQ(MPG_MergeAV(video.c_str(), fx::AacAudio10s().c_str(), Out("audio_only.mp4").c_str(), nullptr, 0),
            MPG_VIDEO_STREAM_NOT_FOUND);
}

// An output path naming either input is refused before anything is opened for
// writing, so the input keeps every byte.
TEST(Merge, OutputNamingAnInputIsRefusedAndTheInputKept) {
  const std::string video = Out("video.mp4");
  const std::string audio = Out("audio.m4a");
  WriteBytes(video, ReadBytes(fx::H264Video10s()));
  WriteBytes(audio, ReadBytes(fx::AacAudio10s()));
  const std::string videoBytes = ReadBytes(video);
  const std::string audioBytes = ReadBytes(audio);
  EXPECT_EQ(MPG_MergeAV(video.c_str(), audio.c_str(), video.c_str(), nullptr, 0), MPG_SAME_FILE);
  EXPECT_EQ(MPG_MergeAV(video.c_str(), audio.c_str(), audio.c_str(), nullptr, 0), MPG_SAME_FILE);
  // Another spelling of the same file.
  const std::string dotted = OutputDir() + "/./audio.m4a";
  EXPECT_EQ(MPG_MergeAV(video.c_str(), audio.c_str(), dotted.c_str(), nullptr, 0), MPG_SAME_FILE);
  EXPECT_EQ(ReadBytes(video), videoBytes);
  EXPECT_EQ(ReadBytes(audio), audioBytes);
}

TEST(Merge, NullOutputPathIsABadParameter) {
  EXPECT_EQ(MPG_MergeAV(fx::H264Video10s().c_str(), fx::AacAudio10s().c_str(), nullptr, nullptr, 0),
            MPG_BAD_PARAMETER);
  EXPECT_EQ(MPG_MergeAV(fx::H264Video10s().c_str(), fx::AacAudio10s().c_str(), "", nullptr, 0), MPG_BAD_PARAMETER);
}

}  // namespace

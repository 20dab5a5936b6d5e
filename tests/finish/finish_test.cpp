// The finishing pass, one row per output: each is judged by ffprobe and a full
// decode against what went in. Its moving video and audio packets must be the
// inputs' byte for byte; its subtitles, read back as SubRip, must hold every cue
// within 1 ms with its text (markup removed); its one cover must be the cover file
// (a WebP one: a JPEG of its size); its chapters must start (and, where the container
// stores ends, end) within 1 ms with their 300-byte titles whole, or cut at a
// character where the container limits them; its tags must be the job's. Finishing
// the output again must give the same streams, cover and chapters. A combination the
// container cannot hold must fail with its status and leave the file at the output
// path as it was.
extern "C" {
#include <libavutil/error.h>
}

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "mpg.h"
#include "support/media.h"
#include "support/table_host.h"

using namespace mpgtest;
using namespace mpgtest::fx;
using nlohmann::json;

namespace {

const std::string kReal = std::string(MPG_SOURCE_DIR) + "/../shared/media/realworld/";

struct Cue {
  int64_t startMs, endMs;
  std::string text;
};
// The cues every subtitle file holds, in SubRip, WebVTT (settings, an identifier and
// tags) and ASS (override tags) form.
const std::vector<Cue> kCues = {{500, 1250, "日本語の字幕"}, {2000, 3000, "二行目 テスト"}, {3500, 4200, "三つ目🎉"}};

std::string SubtitleFile(const std::string &format) {
  std::ostringstream s;
  const auto t = [](int64_t ms, const char *sep) {
    char b[32];
    std::snprintf(b, sizeof b, "%02d:%02d:%02d%s%03d", int(ms / 3600000), int(ms / 60000 % 60), int(ms / 1000 % 60), sep,
                  int(ms % 1000));
    return std::string(b);
  };
  if (format == "srt")
    for (size_t i = 0; i < kCues.size(); ++i)
      s << i + 1 << "\n" << t(kCues[i].startMs, ",") << " --> " << t(kCues[i].endMs, ",") << "\n<i>" << kCues[i].text
        << "</i>\n\n";
  if (format == "vtt") {
    s << "WEBVTT\n\n";
    for (size_t i = 0; i < kCues.size(); ++i)
      s << "c" << i << "\n" << t(kCues[i].startMs, ".") << " --> " << t(kCues[i].endMs, ".")
        << " align:start position:10%\n<b>" << kCues[i].text << "</b>\n\n";
  }
  if (format == "ass") {
    s << "[Script Info]\nScriptType: v4.00+\n\n[V4+ Styles]\nFormat: Name, Fontname, Fontsize, PrimaryColour, "
         "SecondaryColour, OutlineColour, BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, "
         "Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\nStyle: Default,Arial,20,"
         "&H00FFFFFF,&H000000FF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,1,0,2,10,10,10,1\n\n[Events]\nFormat: "
         "Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n";
    for (const Cue &c : kCues)
      s << "Dialogue: 0," << t(c.startMs, ".").substr(1, 10) << "," << t(c.endMs, ".").substr(1, 10)
        << ",Default,,0,0,0,,{\\i1}" << c.text << "{\\i0}\n";
  }
  const std::string path = Out("sub." + format);
  WriteBytes(path, s.str());
  return path;
}

// 300 bytes of CJK and emoji, whole characters.
std::string Title(int i) {
  std::string t = std::to_string(i);
  while (t.size() < 299) t += "🎬章節名";  // 4 + 9 bytes
  return t;
}
const std::vector<std::pair<std::string, std::string>> kTags = {
    {"title", "完成した動画 🎞"}, {"artist", "Artist"},       {"album", "Album"},        {"date", "2024-05-01"},
    {"comment", "a comment"},   {"description", "説明文"},   {"url", "https://x.test/v"}, {"genre", "Documentary"},
    {"copyright", "(c) CC"},    {"download_source", "site"}};

struct Row {
  const char *name;
  std::string (*video)();
  std::vector<std::string (*)()> audio;
  std::vector<const char *> subs;  // "srt", "vtt", "ass"
  const char *cover;               // "jpg", "webp", "text" (no picture) or ""
  const char *container;           // also the output's extension
  int32_t status = MPG_OK;
};

std::string None() { return ""; }
std::string Jpeg() { return MakeFixture("cover.jpg", "-f lavfi -i testsrc2=size=200x150 -frames:v 1 -q:v 3"); }
std::string Webp() { return MakeFixture("cover.webp", "-f lavfi -i testsrc2=size=200x150 -frames:v 1 -c:v libwebp"); }
std::string Real(const char *n) { return kReal + n; }
std::string RealH264Aac() { return Real("ax_sample_h264_aac.mp4"); }
std::string RealVp9Vorbis() { return Real("ax_vp9_vorbis6ch.webm"); }
std::string RealMp3WithCover() { return Real("ax_bear_id3.mp3"); }
std::string RealOggOpus() { return Real("mm_opus.ogg"); }
std::string RealSsaMkv() { return Real("ax_ssa.mkv"); }

bool MpegFour(const std::string &c) { return c == "mp4" || c == "m4a"; }

// The job, its records kept alive beside it.
struct Job {
  std::string video, cover, out, container;
  std::vector<std::string> audio, subs;
  std::vector<const char *> audioPtrs;
  std::vector<MpgFinishSubtitle> subRecs;
  std::vector<MpgFinishTag> tagRecs;
  std::vector<MpgFinishChapter> chapRecs;
  std::vector<std::string> titles;
  MpgFinishJob rec{};

  int32_t Run() {
    Build();
    return TableHost::Get() ? RunInDll() : MPG_Finish(&rec, nullptr, 0);
  }
  // The same job through mpg.dll (support/table_host.h): container, video, cover and
  // output, then "a" path, "s" language default path, "t" key value and "h" start
  // end title groups.
  int32_t RunInDll() const {
    const auto path = [](const std::string &p) { return p.empty() ? p : TableHost::WindowsPath(p); };
    std::string line = "utf8\tfinish\t" + container + "\t" + path(video) + "\t" + path(cover) + "\t" + path(out);
    for (const std::string &a : audio) line += "\ta\t" + path(a);
    for (const MpgFinishSubtitle &sub : subRecs)
      line += "\ts\t" + std::string(sub.language) + "\t" + std::to_string(sub.isDefault) + "\t" + path(sub.path);
    for (const MpgFinishTag &t : tagRecs) line += "\tt\t" + std::string(t.key) + "\t" + t.value;
    for (const MpgFinishChapter &c : chapRecs)
      line += "\th\t" + std::to_string(c.startMs) + "\t" + std::to_string(c.endMs) + "\t" + c.title;
    const std::vector<std::string> f = TableHost::Fields(TableHost::Get()->Send(line));
    EXPECT_TRUE(f.size() >= 2 && f[0] == "=") << "job_host: " << f[0] << (f.size() > 1 ? " " + f[1] : "");
    return f.size() >= 2 && f[0] == "=" ? int32_t(std::stol(f[1])) : INT32_MIN;
  }
  void Build() {
    static const char *langs[] = {"jpn", "eng", "fra"};
    for (const std::string &a : audio) audioPtrs.push_back(a.c_str());
    for (size_t i = 0; i < subs.size(); ++i)
      subRecs.push_back({sizeof(MpgFinishSubtitle), i == 0, subs[i].c_str(), langs[i % 3]});
    for (const auto &[k, v] : kTags) tagRecs.push_back({sizeof(MpgFinishTag), k.c_str(), v.c_str()});
    for (int i = 0; i < 3; ++i) titles.push_back(Title(i));
    for (int i = 0; i < 3; ++i) chapRecs.push_back({sizeof(MpgFinishChapter), titles[i].c_str(), i * 1500, i * 1500 + 1500});
    rec = {sizeof(MpgFinishJob), int32_t(audio.size()), video.empty() ? nullptr : video.c_str(), audioPtrs.data(),
           subRecs.data(), cover.empty() ? nullptr : cover.c_str(), tagRecs.data(), chapRecs.data(), out.c_str(),
           container.c_str(), int32_t(subRecs.size()), int32_t(tagRecs.size()), int32_t(chapRecs.size()), 0};
  }
};

std::string Strip(const std::string &s) {
  return std::regex_replace(std::regex_replace(s, std::regex("<[^>]*>|\\{[^}]*\\}"), ""), std::regex("\\s+$"), "");
}

// A subtitle stream read back as SubRip: each cue's times and text.
std::vector<Cue> CuesOf(const std::string &path, int n) {
  std::string srt;
  mpgtest::Run("ffmpeg -v error -copyts -i " + Quote(path) + " -map 0:s:" + std::to_string(n) + " -f srt - 2>/dev/null", &srt);
  std::vector<Cue> cues;
  std::regex cue(R"((\d+):(\d+):(\d+),(\d+) --> (\d+):(\d+):(\d+),(\d+)\r?\n([^\r\n]*))");
  for (std::sregex_iterator i(srt.begin(), srt.end(), cue), e; i != e; ++i) {
    const auto ms = [&](int k) {
      return ((std::stoll((*i)[k]) * 60 + std::stoll((*i)[k + 1])) * 60 + std::stoll((*i)[k + 2])) * 1000 +
             std::stoll((*i)[k + 3]);
    };
    cues.push_back({ms(1), ms(5), Strip((*i)[9])});
  }
  return cues;
}

bool IsCover(const json &s) { return s["disposition"].value("attached_pic", 0) == 1; }

// The output's streams in a comparable form: type, codec, language, cover or not.
std::vector<std::string> StreamList(const json &probe) {
  std::vector<std::string> v;
  for (const auto &s : probe["streams"])
    v.push_back(s.value("codec_type", "") + "/" + s.value("codec_name", "") + "/" +
                s.value("tags", json::object()).value("language", "") + (IsCover(s) ? "/cover" : ""));
  return v;
}

json Chapters(const std::string &path) {
  std::string out;
  mpgtest::Run("ffprobe -v error -show_chapters -of json " + Quote(path) + " 2>/dev/null", &out);
  return json::parse(out, nullptr, false).value("chapters", json::array());
}

std::string Lower(std::string s) {
  for (char &c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

class Finish : public ::testing::TestWithParam<Row> {};

TEST_P(Finish, OutputHoldsEveryAdditionAndTheInputsPackets) {
  const Row &row = GetParam();
  Job job;
  job.video = row.video();
  for (auto a : row.audio) job.audio.push_back(a());
  for (const char *f : row.subs) job.subs.push_back(SubtitleFile(f));
  const std::string kind = row.cover;
  const std::string cover = kind == "jpg" ? Jpeg() : kind == "webp" ? Webp() : kind == "text" ? TextFile() : "";
  job.cover = cover;
  job.container = row.container;
  job.out = Out(std::string("out.") + row.container);
  if (row.status != MPG_OK) {
    WriteBytes(job.out, "a file of the user's");
    EXPECT_EQ(job.Run(), row.status);
    EXPECT_EQ(ReadBytes(job.out), "a file of the user's");
    return;
  }
  ASSERT_EQ(job.Run(), MPG_OK);
  // A full decode: clean, unless an input itself does not decode cleanly.
  bool inputsClean = job.video.empty() || DecodesCleanly(job.video);
  for (const std::string &a : job.audio) inputsClean = inputsClean && DecodesCleanly(a);
  std::string errors;
  EXPECT_TRUE(DecodesCleanly(job.out, &errors) || !inputsClean) << errors;
  const json probe = Probe(job.out);
  const std::string c = row.container;

  // Streams: the inputs' video and audio, then the subtitles, then at most the cover.
  std::vector<std::pair<std::string, int>> media;  // input file, stream index
  if (!job.video.empty()) {
    const json in = Probe(job.video);
    for (const auto &s : in["streams"])
      if ((s["codec_type"] == "video" && !IsCover(s)) || (s["codec_type"] == "audio" && job.audio.empty()))
        media.emplace_back(job.video, s["index"].get<int>());
  }
  for (const std::string &a : job.audio) {
    const json in = Probe(a);
    for (const auto &s : in["streams"])
      if (s["codec_type"] == "audio") {
        media.emplace_back(a, s["index"].get<int>());
        break;
      }
  }
  int covers = 0, subs = 0, moving = 0;
  for (const auto &s : probe["streams"]) {
    const std::string type = s.value("codec_type", "");
    EXPECT_TRUE(type == "video" || type == "audio" || type == "subtitle") << "stray " << type << " stream";
    if (IsCover(s)) {
      ++covers;
      std::string bytes;
      mpgtest::Run("ffmpeg -v error -i " + Quote(job.out) + " -map 0:" + std::to_string(s["index"].get<int>()) +
                       " -c copy -f image2pipe - 2>/dev/null",
                   &bytes);
      if (row.cover == std::string("jpg")) {
        EXPECT_EQ(bytes, ReadBytes(cover));
      }
      EXPECT_EQ(bytes.substr(0, 3), "\xFF\xD8\xFF");
      EXPECT_EQ(s.value("width", 0), 200);
    } else if (type == "subtitle") {
      ++subs;
    } else {
      ASSERT_LT(moving, int(media.size()));
      const auto &[file, index] = media[moving++];
      EXPECT_EQ(PacketHashes(job.out, std::to_string(s["index"].get<int>())), PacketHashes(file, std::to_string(index))) << "stream " << s["index"];
    }
  }
  EXPECT_EQ(moving, int(media.size()));
  // Where the container moved every stream later (Matroska beside an Opus pre-skip),
  // the additions must have moved with the media: times are judged against the
  // first copied stream's move.
  double shift = 0;
  const bool matroska = c == "mkv" || c == "mka" || c == "webm";
  for (const auto &s : probe["streams"])
    if (matroska && !IsCover(s) && s.value("codec_type", "") != "subtitle") {
      const json in = Probe(media[0].first);
      shift = std::stod(s.value("start_time", "0")) -
              std::stod(in["streams"][media[0].second].value("start_time", "0"));
      break;
    }
  const int64_t shiftMs = std::llround(shift * 1000);
  EXPECT_EQ(covers, *row.cover ? 1 : 0);
  ASSERT_EQ(subs, int(row.subs.size()));
  for (int i = 0; i < subs; ++i) {
    const std::vector<Cue> cues = CuesOf(job.out, i);
    ASSERT_EQ(cues.size(), kCues.size()) << "subtitle " << i;
    for (size_t k = 0; k < cues.size(); ++k) {
      EXPECT_NEAR(cues[k].startMs, kCues[k].startMs + shiftMs, 1);
      EXPECT_NEAR(cues[k].endMs, kCues[k].endMs + shiftMs, 1);
      EXPECT_EQ(cues[k].text, kCues[k].text);
    }
  }

  // Chapters: MP4 keeps 255 bytes of a title, cut at a character; the Vorbis and
  // Nero forms state no end.
  const json chapters = Chapters(job.out);
  ASSERT_EQ(chapters.size(), 3u);
  const bool endsStored = !MpegFour(c) && c != "flac" && c != "opus";
  for (int i = 0; i < 3; ++i) {
    std::string want = Title(i);
    if (MpegFour(c)) {
      want.resize(255);
      while ((static_cast<unsigned char>(Title(i)[want.size()]) & 0xC0) == 0x80) want.pop_back();
    }
    EXPECT_EQ(chapters[i]["tags"].value("title", ""), want);
    EXPECT_NEAR(std::stod(chapters[i].value("start_time", "0")), i * 1.5 + shift, 0.001);
    if (endsStored) {
      EXPECT_NEAR(std::stod(chapters[i].value("end_time", "0")), i * 1.5 + 1.5 + shift, 0.001);
    }
  }

  // Tags: MP4 keeps those its iTunes atoms name; Ogg keeps them on its stream.
  json tags = probe["format"].value("tags", json::object());
  if (c == "opus" || c == "ogg") tags = probe["streams"][0].value("tags", json::object());
  std::map<std::string, std::string> got;
  for (const auto &[k, v] : tags.items()) got[Lower(k)] = v.get<std::string>();
  // Vorbis comments keep a description in their one comment field.
  const bool vorbis = c == "flac" || c == "opus";
  for (const auto &[k, v] : kTags)
    if ((!MpegFour(c) || (k != "url" && k != "download_source")) && !(vorbis && k == "comment")) {
      EXPECT_EQ(got[vorbis && k == "description" ? "comment" : k], v) << k;
    }

  // Again on its own output: the same streams, cover and chapters, nothing doubled.
  Job again;
  if (job.video.empty()) {
    again.audio.push_back(job.out);
  } else {
    again.video = job.out;
  }
  again.subs = job.subs;
  again.cover = cover;
  again.container = c;
  again.out = Out(std::string("again.") + c);
  ASSERT_EQ(again.Run(), MPG_OK);
  EXPECT_EQ(StreamList(Probe(again.out)), StreamList(probe));
  const auto marks = [&](const json &list) {
    std::vector<std::string> v;
    for (const auto &ch : list)
      v.push_back(ch.value("start_time", "") + (endsStored ? "-" + ch.value("end_time", "") : "") + " " +
                  ch["tags"].value("title", ""));
    return v;
  };
  EXPECT_EQ(marks(Chapters(again.out)), marks(chapters));
}

const Row kRows[] = {
    {"Mp4", H264Video10s, {AacAudio10s}, {"srt", "vtt", "ass"}, "webp", "mp4"},
    {"M4aAudioOnly", None, {AacAudio10s}, {"srt"}, "jpg", "m4a"},
    {"Matroska", H264Video10s, {OpusAudio5s, AacAudio10s}, {"srt", "vtt", "ass"}, "jpg", "mkv"},
    {"MkaAudioOnly", None, {AacAudio10s}, {"ass"}, "webp", "mka"},
    {"Webm", Vp9Video5s, {OpusAudio5s}, {"srt", "vtt"}, "", "webm"},
    {"Mp3", None, {Mp3Audio5s}, {}, "webp", "mp3"},
    {"Flac", None, {FlacAudio5s}, {}, "jpg", "flac"},
    {"Opus", None, {OpusAudio5s}, {}, "webp", "opus"},
    {"RealMp4WithItsAudio", RealH264Aac, {}, {"vtt"}, "jpg", "mp4"},
    {"RealWebmVorbis", RealVp9Vorbis, {}, {"vtt"}, "", "webm"},
    {"RealMatroskaSubtitlesReplaced", RealSsaMkv, {}, {"srt"}, "webp", "mkv"},
    {"RealMp3CoverReplaced", None, {RealMp3WithCover}, {}, "jpg", "mp3"},
    {"RealOggOpus", None, {RealOggOpus}, {}, "jpg", "opus"},
    // What the container cannot hold is refused before anything is written.
    {"RefusedAssInWebm", Vp9Video5s, {OpusAudio5s}, {"ass"}, "", "webm", AVERROR_EXIT},
    {"RefusedCoverInWebm", Vp9Video5s, {OpusAudio5s}, {}, "jpg", "webm", AVERROR_EXIT},
    {"RefusedH264InWebm", H264Video10s, {OpusAudio5s}, {}, "", "webm", AVERROR_EXIT},
    {"RefusedSubtitlesInMp3", None, {Mp3Audio5s}, {"srt"}, "", "mp3", AVERROR_EXIT},
    {"RefusedOpusInM4a", None, {OpusAudio5s}, {}, "", "m4a", AVERROR_EXIT},
    {"RefusedCoverThatIsNoPicture", None, {AacAudio10s}, {}, "text", "m4a", AVERROR_INVALIDDATA},
};

// Malformed jobs are refused whole, before anything is read or written; a stop
// finishes the file with what was copied.
TEST(FinishJob, MalformedRecordsAreRefusedAndAStopFinishesTheFile) {
  const auto fresh = [] {
    Job job;
    job.video = H264Video10s();
    job.audio = {AacAudio10s()};
    job.container = "mkv";
    job.out = Out("job.mkv");
    return job;
  };
  const std::vector<std::pair<const char *, void (*)(Job &)>> broken = {
      {"job size", [](Job &j) { j.rec.size = 8; }},
      {"tag size", [](Job &j) { j.tagRecs[0].size = 4; }},
      {"chapter ends before it starts", [](Job &j) { j.chapRecs[1].endMs = j.chapRecs[1].startMs; }},
      {"negative count", [](Job &j) { j.rec.subtitleCount = -1; }},
      {"unknown container", [](Job &j) { j.rec.container = "avi"; }},
      {"neither video nor audio", [](Job &j) { j.rec.videoPath = nullptr, j.rec.audioCount = 0; }},
      {"empty output path", [](Job &j) { j.rec.outputPath = ""; }},
  };
  for (const auto &[what, breakIt] : broken) {
    Job job = fresh();
    WriteBytes(job.out, "kept");
    job.Build();
    breakIt(job);
    EXPECT_EQ(MPG_Finish(&job.rec, nullptr, 0), MPG_BAD_PARAMETER) << what;
    EXPECT_EQ(ReadBytes(job.out), "kept") << what;
  }
  EXPECT_EQ(MPG_Finish(nullptr, nullptr, 0), MPG_BAD_PARAMETER);
  // An output that names an input, the cover included, is refused before it is opened.
  for (const std::string &input : {AacAudio10s(), Jpeg()}) {
    Job job = fresh();
    job.cover = Jpeg();
    job.out = input;
    const std::string before = ReadBytes(input);
    EXPECT_EQ(job.Run(), MPG_SAME_FILE);
    EXPECT_EQ(ReadBytes(input), before);
  }

  Job job = fresh();
  job.Build();
  ProgressLog log;
  log.stopAtValue = 1;
  ASSERT_EQ(MPG_Finish(&job.rec, ProgressLog::Callback, log.User()), MPG_OK);
  EXPECT_EQ(log.values.size(), 1u);
  EXPECT_TRUE(DecodesCleanly(job.out));
  EXPECT_LT(ProbeDuration(job.out), 9.0);
}

INSTANTIATE_TEST_SUITE_P(Outputs, Finish, ::testing::ValuesIn(kRows),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace

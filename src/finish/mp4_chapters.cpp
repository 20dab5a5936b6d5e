// The "chpl" box, as FFmpeg's MP4 reader takes it: version 1, flags 0, four unknown
// bytes, a count byte, then per chapter its start in 100 ns units (64 bits) and its
// title behind a length byte. All numbers big-endian.
#include "finish/mp4_chapters.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "platform/platform.h"

namespace mpg {

namespace {

struct FileCloser {
  void operator()(std::FILE *f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

void PutBe(std::string &out, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint32_t GetBe32(const unsigned char *p) noexcept {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

std::string NeroChapterBox(const std::vector<FinishChapter> &chapters) {
  std::string body = "chpl";
  PutBe(body, 0x01000000, 4);
  PutBe(body, 0, 4);
  body.push_back(static_cast<char>(chapters.size()));
  for (const FinishChapter &c : chapters) {
    PutBe(body, static_cast<uint64_t>(c.startMs) * 10000, 8);
    const std::string title = CutAtCharacter(c.title, kMaxNeroTitleBytes);
    body.push_back(static_cast<char>(title.size()));
    body += title;
  }
  std::string box;
  PutBe(box, body.size() + 4, 4);
  return box + body;
}

struct Box {
  int64_t pos = -1;
  uint64_t size = 0;
  uint32_t headerSize = 0;
  char type[4] = {};
};

// The box that ends the range from `from` to `end`, walking box by box; pos -1 when
// the range does not hold whole boxes.
Box LastBox(std::FILE *f, int64_t from, int64_t end) noexcept {
  Box last;
  for (int64_t pos = from; pos < end;) {
    unsigned char head[16];
    if (!platform::SeekFile(f, pos, SEEK_SET) || std::fread(head, 1, 8, f) != 8) return {};
    Box box;
    box.pos = pos;
    box.size = GetBe32(head);
    box.headerSize = 8;
    std::copy(head + 4, head + 8, box.type);
    if (box.size == 1) {
      if (std::fread(head + 8, 1, 8, f) != 8) return {};
      box.size = (uint64_t{GetBe32(head + 8)} << 32) | GetBe32(head + 12);
      box.headerSize = 16;
    } else if (box.size == 0) {
      box.size = static_cast<uint64_t>(end - pos);
    }
    if (box.size < box.headerSize || box.size > static_cast<uint64_t>(end - pos)) return {};
    pos += static_cast<int64_t>(box.size);
    last = box;
  }
  return last;
}

bool IsType(const Box &b, const char *type) noexcept { return b.pos >= 0 && std::equal(b.type, b.type + 4, type); }

bool WriteAt(std::FILE *f, int64_t pos, const std::string &bytes) noexcept {
  return platform::SeekFile(f, pos, SEEK_SET) && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
}

bool GrowBox(std::FILE *f, const Box &b, uint64_t by) noexcept {
  std::string size;
  PutBe(size, b.size + by, 4);
  return b.headerSize == 8 && b.size + by <= UINT32_MAX && WriteAt(f, b.pos, size);
}

}  // namespace

std::string CutAtCharacter(const std::string &text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  size_t end = maxBytes;
  // Back to the first byte of the character the cut falls in: continuation bytes are 10xxxxxx.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

Status AppendNeroChapters(const char *path, const std::vector<FinishChapter> &chapters) noexcept {
  try {
    FilePtr f(platform::OpenForUpdate(path));
    if (!f || !platform::SeekFile(f.get(), 0, SEEK_END)) return StatusFromAv(AVERROR(EIO));
    const int64_t fileEnd = platform::TellFile(f.get());
    const Box moov = LastBox(f.get(), 0, fileEnd);
    if (!IsType(moov, "moov") || moov.headerSize != 8) return Status::InvalidData;
    const Box lastChild = LastBox(f.get(), moov.pos + 8, fileEnd);
    std::string added = NeroChapterBox(chapters);
    const bool intoUdta = IsType(lastChild, "udta");
    if (!intoUdta) {
      std::string udta;
      PutBe(udta, added.size() + 8, 4);
      added = udta + "udta" + added;
    }
    const bool ok = WriteAt(f.get(), fileEnd, added) && (!intoUdta || GrowBox(f.get(), lastChild, added.size())) &&
                    GrowBox(f.get(), moov, added.size()) && std::fflush(f.get()) == 0;
    FILE *raw = f.release();
    return (std::fclose(raw) == 0 && ok) ? Status::Ok : StatusFromAv(AVERROR(EIO));
  } catch (...) {
    return Status::NoMemory;
  }
}

}  // namespace mpg

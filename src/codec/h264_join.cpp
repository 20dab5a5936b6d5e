#include "codec/h264_join.h"

#include <algorithm>
#include <vector>

extern "C" {
#include <libavcodec/packet.h>
}

namespace mpg {

namespace {

// The NAL units between Annex B start codes (00 00 01, or 00 00 00 01).
std::vector<std::string_view> SplitAnnexB(std::string_view data) {
  std::vector<std::string_view> units;
  size_t i = 0, start = std::string_view::npos;
  while (i + 2 < data.size()) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      if (start != std::string_view::npos) {
        size_t end = i;
        while (end > start && data[end - 1] == 0) --end;  // a 4-byte code's leading zero
        units.push_back(data.substr(start, end - start));
      }
      i += 3;
      start = i;
    } else {
      ++i;
    }
  }
  if (start != std::string_view::npos && start < data.size()) units.push_back(data.substr(start));
  return units;
}

int NalType(std::string_view unit) noexcept { return unit.empty() ? -1 : static_cast<uint8_t>(unit[0]) & 0x1F; }
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;

void PutSized(std::string &out, std::string_view unit) {
  out += static_cast<char>(unit.size() >> 8);
  out += static_cast<char>(unit.size() & 0xFF);
  out += unit;
}

// One list of an avcC record: its count (in count's low bits), then each unit
// with a 16-bit size. False when the record ends inside it.
bool ReadUnits(std::string_view avcc, size_t &at, int countMask, std::vector<std::string_view> &units) {
  if (at >= avcc.size()) return false;
  const int count = static_cast<uint8_t>(avcc[at++]) & countMask;
  for (int k = 0; k < count; ++k) {
    if (at + 2 > avcc.size()) return false;
    const size_t size = (size_t{static_cast<uint8_t>(avcc[at])} << 8) | static_cast<uint8_t>(avcc[at + 1]);
    at += 2;
    if (at + size > avcc.size()) return false;
    units.push_back(avcc.substr(at, size));
    at += size;
  }
  return true;
}

}  // namespace

bool IsAvcConfig(std::string_view extradata) noexcept { return extradata.size() >= 7 && extradata[0] == 1; }

int AvcLengthSize(std::string_view avcConfig) noexcept {
  if (!IsAvcConfig(avcConfig)) return 0;
  const int size = (static_cast<uint8_t>(avcConfig[4]) & 3) + 1;
  return size == 3 ? 0 : size;
}

std::string JoinAvcConfigs(std::string_view copied, std::string_view encoded) {
  if (!IsAvcConfig(copied)) return {};
  std::vector<std::string_view> sps, pps;
  size_t at = 5;
  if (!ReadUnits(copied, at, 0x1F, sps) || !ReadUnits(copied, at, 0xFF, pps)) return {};
  const std::string_view extension = copied.substr(at);  // chroma and bit depth of the high profiles
  const size_t copiedSps = sps.size(), copiedPps = pps.size();
  for (std::string_view unit : SplitAnnexB(encoded)) {
    if (NalType(unit) == kNalSps) sps.push_back(unit);
    if (NalType(unit) == kNalPps) pps.push_back(unit);
  }
  if (sps.size() == copiedSps || pps.size() == copiedPps || sps.size() > 31 || pps.size() > 255) return {};
  std::string out(copied.substr(0, 5));
  out += static_cast<char>(0xE0 | sps.size());
  for (std::string_view unit : sps) PutSized(out, unit);
  out += static_cast<char>(pps.size());
  for (std::string_view unit : pps) PutSized(out, unit);
  out += extension;
  return out;
}

Status AnnexBToLengthPrefixed(AVPacket *pkt, int lengthSize) noexcept {
  try {
    const std::string_view data(reinterpret_cast<const char *>(pkt->data), static_cast<size_t>(pkt->size));
    std::string out;
    out.reserve(data.size() + 16);
    for (std::string_view unit : SplitAnnexB(data)) {
      if (lengthSize < 4 && unit.size() >> (8 * lengthSize) != 0) return Status::InvalidData;
      for (int b = lengthSize - 1; b >= 0; --b) out += static_cast<char>((unit.size() >> (8 * b)) & 0xFF);
      out += unit;
    }
    if (av_packet_make_writable(pkt) < 0) return Status::NoMemory;
    if (out.size() > static_cast<size_t>(pkt->size)) {
      const int grow = av_grow_packet(pkt, static_cast<int>(out.size()) - pkt->size);
      if (grow < 0) return Status::NoMemory;
    } else {
      av_shrink_packet(pkt, static_cast<int>(out.size()));
    }
    std::copy(out.begin(), out.end(), reinterpret_cast<char *>(pkt->data));
    return Status::Ok;
  } catch (...) {
    return Status::NoMemory;
  }
}

}  // namespace mpg

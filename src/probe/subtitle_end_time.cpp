// Reads a subtitle file whole (within a size cap) and takes the end time of its
// last cue. Nothing is written; every failure reads as 0.
#include "probe/subtitle_end_time.h"

#include "platform/platform.h"

namespace mpg {

namespace {

// The arrow between a cue's start and end times in SubRip and WebVTT.
constexpr std::string_view kCueArrow = " --> ";
// White space that ends the end time: cue settings follow it after a space
// (WebVTT "align:start", SubRip's "X1:..." box), and the line ends in LF or CR LF.
constexpr std::string_view kWhiteSpace = " \t\r\n\f\v";
// A field above this many seconds, minutes or hours is held at it, so the sum
// cannot overflow whatever digits a hostile file writes.
constexpr int64_t kFieldCap = 999999999;

// The leading decimal number of text, the way atoi reads it (white space, then a
// sign, then digits up to the first other character), held within ±kFieldCap.
int64_t LeadingNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && kWhiteSpace.find(text[i]) != std::string_view::npos) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kFieldCap) value = kFieldCap;
  }
  return negative ? -value : value;
}

// hh:mm:ss.fff or mm:ss.fff in whole seconds; anything after the seconds' first
// dot (milliseconds) is ignored, and a comma stops the number by itself. 0 for a
// token of any other shape.
int64_t CueTimeToSeconds(std::string_view token) {
  std::vector<std::string> fields;
  SplitTokens(token, ":", fields);
  int64_t hours = 0;
  int64_t minutes = 0;
  const std::string *secondsField = nullptr;
  if (fields.size() == 3) {
    hours = LeadingNumber(fields[0]);
    minutes = LeadingNumber(fields[1]);
    secondsField = &fields[2];
  } else if (fields.size() == 2) {  // WebVTT leaves the hours out below one hour
    minutes = LeadingNumber(fields[0]);
    secondsField = &fields[1];
  } else {
    return 0;
  }
  std::vector<std::string> secondsParts;
  const int64_t seconds = SplitTokens(*secondsField, ".", secondsParts) ? LeadingNumber(secondsParts[0]) : 0;
  return hours * 3600 + minutes * 60 + seconds;
}

}  // namespace

bool SplitTokens(std::string_view text, std::string_view separators, std::vector<std::string> &pieces) {
  pieces.clear();
  size_t pos = 0;
  while ((pos = text.find_first_not_of(separators, pos)) != std::string_view::npos) {
    const size_t end = text.find_first_of(separators, pos);
    pieces.emplace_back(text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
    if (end == std::string_view::npos) break;
    pos = end;
  }
  return !pieces.empty();
}

int64_t ReadSubtitleEndTime(const char *path) {
  if (!path || platform::GetFileKind(path) != platform::FileKind::Regular) return 0;
  std::string bytes;
  if (platform::ReadWholeFile(path, kMaxSubtitleFileBytes, bytes) != platform::ReadResult::Ok) return 0;
  // The text is a C string: whatever follows a NUL byte is not part of it.
  std::string_view text(bytes);
  text = text.substr(0, text.find('\0'));
  // The bytes need no conversion to be searched, whatever the file's encoding: the
  // arrow and the digits are ASCII, which never occurs inside a multi-byte UTF-8
  // sequence nor as the second byte of a character of the Windows code pages.
  const size_t arrow = text.rfind(kCueArrow);
  if (arrow == std::string_view::npos) return 0;
  std::string_view endTime = text.substr(arrow + kCueArrow.size());
  endTime = endTime.substr(0, endTime.find_first_of(kWhiteSpace));
  return CueTimeToSeconds(endTime);
}

}  // namespace mpg

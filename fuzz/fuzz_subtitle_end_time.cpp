// Fuzzes the subtitle end-time reader on arbitrary bytes written to a file, and the
// tokenizer it is built on directly on the same bytes. The first byte picks the
// separator set handed to the tokenizer, so runs see both the reader's own
// separators and arbitrary ones taken from the input.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "probe/subtitle_end_time.h"

namespace {

// The pieces promise: none is empty and none holds a separator.
void CheckPieces(const std::vector<std::string> &pieces, std::string_view separators, bool found) {
  if (found != !pieces.empty()) __builtin_trap();
  for (const std::string &piece : pieces) {
    if (piece.empty()) __builtin_trap();
    if (!separators.empty() && piece.find_first_of(separators) != std::string::npos) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string path = fuzz::WriteInput("cues.srt", data, size);
  // Fields are held at 999999999 each, so hours, minutes and seconds together stay
  // far inside int64_t whatever sign or digits the file writes.
  const int64_t seconds = mpg::ReadSubtitleEndTime(path.c_str());
  constexpr int64_t kLimit = 999999999LL * (3600 + 60 + 1);
  if (seconds > kLimit || seconds < -kLimit) __builtin_trap();
  fuzz::Remove(path);

  const std::string_view text(reinterpret_cast<const char *>(data), size);
  static constexpr std::string_view kCommon[] = {"\n", "\r\n", " ", " -->", ":,.", ""};
  std::vector<std::string> pieces;
  {
    const std::string_view separators = kCommon[size ? data[0] % std::size(kCommon) : 0];
    const bool found = mpg::SplitTokens(text, separators, pieces);
    CheckPieces(pieces, separators, found);
  }
  if (size > 4) {
    // Separators taken from the input itself, with pieces already in the list.
    const std::string_view separators = text.substr(1, data[0] % 4);
    const bool found = mpg::SplitTokens(text.substr(1 + separators.size()), separators, pieces);
    CheckPieces(pieces, separators, found);
  }
  return 0;
}

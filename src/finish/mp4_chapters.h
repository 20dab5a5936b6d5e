// Nero chapters ("chpl") for an MP4 file: the one chapter form FFmpeg reads back
// from MP4 without a stream. FFmpeg's MP4 writer puts every chapter list into a
// QuickTime text track too, which readers list as a data stream, so the pass gives
// the writer no chapters and adds the box to the finished file itself.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/status.h"
#include "finish/finish.h"

namespace mpg {

// The box holds a count byte and a length byte per title.
inline constexpr size_t kMaxNeroChapters = 255;
inline constexpr size_t kMaxNeroTitleBytes = 255;

// text cut to at most maxBytes, at the end of a whole UTF-8 character.
std::string CutAtCharacter(const std::string &text, size_t maxBytes);

// Appends the chapters' "chpl" box to the "udta" box at the end of the "moov" box
// that ends the MP4 file at path (a new "udta" when the last box of "moov" is no
// "udta"), and corrects the sizes of the boxes it grows. InvalidData when the file
// does not end with a "moov" box of 32-bit size; EIO when it cannot be rewritten.
Status AppendNeroChapters(const char *path, const std::vector<FinishChapter> &chapters) noexcept;

}  // namespace mpg

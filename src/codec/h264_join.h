// H.264 pictures encoded here joined with pictures copied from an input, in one
// stream: the copied pictures keep their parameter sets (numbered 0 by encoders),
// the encoded ones bring theirs under other numbers (see VideoReencodeRequest::
// betweenCopies), and containers that keep parameter sets in the stream's
// configuration (MP4's and Matroska's avcC) get both sets there.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/status.h"

struct AVPacket;

namespace mpg {

// True when extradata is an avcC record (MP4, Matroska), false for Annex B start
// codes (MPEG-TS) or none.
bool IsAvcConfig(std::string_view extradata) noexcept;

// The avcC record of copied holding, after its own parameter sets, those of the
// encoder's Annex B configuration encoded; its profile, level and NAL length size
// stay copied's. Empty when either cannot be read.
std::string JoinAvcConfigs(std::string_view copied, std::string_view encoded);

// The NAL length size (1, 2 or 4) of an avcC record; 0 when it cannot be read.
int AvcLengthSize(std::string_view avcConfig) noexcept;

// Rewrites pkt's Annex B NAL units as NAL units prefixed by their length in
// lengthSize bytes, as avcC streams store them. NoMemory, or InvalidData when a
// unit does not fit the length size.
Status AnnexBToLengthPrefixed(AVPacket *pkt, int lengthSize) noexcept;

}  // namespace mpg

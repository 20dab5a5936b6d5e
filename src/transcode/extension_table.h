// Output format ids: the container of a transcode and the extension the host gives
// its output file.
#pragma once

#include <cstdint>

namespace mpg {

struct ExtensionTableRow {
  int32_t outputFormatId;
  const char *extension;
  const char *muxerName;
};

// Rows in lookup order, ended by a row whose muxer name is null. Id 5 has two rows;
// a lookup takes the first.
extern const ExtensionTableRow DefaultExtensionTable[];

// The first row for id, or null.
const ExtensionTableRow *FindOutputFormat(int32_t outputFormatId) noexcept;

}  // namespace mpg

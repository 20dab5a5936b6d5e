#include "transcode/extension_table.h"

namespace mpg {

const ExtensionTableRow DefaultExtensionTable[] = {
    {0, "3gp", "3gp"},   {1, "aac", "aac"},   {2, "avi", "avi"},   {3, "mp3", "mp3"},
    {4, "mp4", "mp4"},   {5, "mpg", "mpeg"},  {5, "mpeg", "mpeg"}, {6, "ts", "mpegts"},
    {8, "wmv", "wmv"},   {7, "webm", "webm"}, {0, nullptr, nullptr},
};

const ExtensionTableRow *FindOutputFormat(int32_t outputFormatId) noexcept {
  for (const ExtensionTableRow *row = DefaultExtensionTable; row->muxerName; ++row) {
    if (row->outputFormatId == outputFormatId) return row;
  }
  return nullptr;
}

}  // namespace mpg

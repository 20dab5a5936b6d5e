#include "core/status.h"

namespace mpg {

std::string AvErrorText(int averr) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(averr, buf, sizeof buf);
  return buf;
}

}  // namespace mpg

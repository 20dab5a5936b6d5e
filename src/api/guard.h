// The C boundary: no exception may unwind into the host. Library code reports media
// failures as Status values; the guard exists for the standard library's throws.
#pragma once

#include <cstdint>
#include <new>

#include "core/packet_write.h"
#include "core/status.h"

namespace mpg {

// Runs the body of an export that returns a status code.
template <class F>
int32_t Guard(F &&body) noexcept {
  BeginExportCall();
  try {
    return Code(body());
  } catch (const std::bad_alloc &) {
    return Code(Status::NoMemory);
  } catch (...) {
    return Code(Status::Unknown);
  }
}

// Runs the body of an export that returns a value (a flag, a number, a buffer);
// fallback is the answer when it throws.
template <class T, class F>
T GuardOr(T fallback, F &&body) noexcept {
  BeginExportCall();
  try {
    return body();
  } catch (...) {
    return fallback;
  }
}

}  // namespace mpg

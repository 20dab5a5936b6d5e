// Writing what a re-encode engine (VideoReencoder, AudioReencoder) has finished.
#pragma once

#include "core/av_ptr.h"
#include "core/output_file.h"
#include "core/status.h"

namespace mpg {

// Writes every packet engine has finished through out. Ok or the writer's error.
template <class Engine>
Status WriteFinishedPackets(Engine &engine, OutputFile &out) noexcept {
  PacketPtr pkt = MakePacket();
  if (!pkt) return Status::NoMemory;
  while (engine.TakePacket(pkt.get())) {
    const Status st = out.Write(pkt.get());
    if (!IsOk(st)) return st;
  }
  return Status::Ok;
}

}  // namespace mpg

/*
 * av_interleaved41.dll for the host test: a packet writer a host may put beside its
 * program. It takes every packet, writes nothing, and counts the calls, so the test
 * sees that the library found it through the system's loader and sends it packets.
 * Build: <arch>-w64-mingw32-gcc -shared -static-libgcc -o av_interleaved41.dll packet_writer.c
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

static volatile LONG calls;

__declspec(dllexport) int __cdecl av_interleaved_write_frame_4_1_1(void *format_context, void *packet) {
  (void)format_context;
  (void)packet;
  InterlockedIncrement(&calls);
  return 0;
}

__declspec(dllexport) LONG __cdecl packet_writer_calls(void) { return calls; }

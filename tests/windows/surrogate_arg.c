/* Runs "mpg.exe info" on a name holding an unpaired surrogate, which no Unix shell
 * can pass through Wine (it would arrive as U+FFFD), and exits with mpg.exe's exit
 * status. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

int main(void) {
  wchar_t cmd[] = L"mpg.exe info x\xD800y.mp4";
  STARTUPINFOW si;
  PROCESS_INFORMATION pi;
  DWORD code = 99;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  if (!CreateProcessW(NULL, cmd, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
    return 99;
  WaitForSingleObject(pi.hProcess, INFINITE);
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return (int)code;
}

/* Smoke test for running Windows console programs under Wine.
 *
 * Prints the pointer size and the ANSI/OEM code pages the process got, then
 * creates, writes, reads back and deletes a file whose name holds a
 * non-ASCII character (cafe with an acute e, in the current directory)
 * through the wide-character file API.  With an argument, also reports how
 * that argument reached the program: its ANSI bytes and UTF-16 code units.
 *
 * Build:  i686-w64-mingw32-gcc -O2 -municode -o smoke32.exe wine-smoke.c
 *         x86_64-w64-mingw32-gcc -O2 -municode -o smoke64.exe wine-smoke.c
 * Exit code: 0 when the file round trip worked, 1 otherwise.
 */
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

static int file_round_trip(void)
{
    /* The process id keeps parallel runs in one directory apart. */
    wchar_t name[64];
    _snwprintf(name, 64, L"caf\u00e9-smoke-%lu.txt", GetCurrentProcessId());
    static const char payload[] = "round trip through a non-ASCII name\n";
    char back[sizeof payload];
    DWORD done = 0;

    HANDLE h = CreateFileW(name, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        printf("create failed: error %lu\n", GetLastError());
        return 1;
    }
    BOOL ok = WriteFile(h, payload, sizeof payload - 1, &done, NULL);
    CloseHandle(h);
    if (!ok || done != sizeof payload - 1) {
        printf("write failed: error %lu\n", GetLastError());
        return 1;
    }

    h = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        printf("reopen failed: error %lu\n", GetLastError());
        return 1;
    }
    memset(back, 0, sizeof back);
    ok = ReadFile(h, back, sizeof back, &done, NULL);
    CloseHandle(h);
    DeleteFileW(name);
    if (!ok || done != sizeof payload - 1 || memcmp(back, payload, done) != 0) {
        printf("read back mismatch (%lu bytes)\n", done);
        return 1;
    }
    printf("file round trip: ok\n");
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    printf("pointer size: %u\n", (unsigned)sizeof(void *));
    printf("ACP: %u\n", GetACP());
    printf("OEMCP: %u\n", GetOEMCP());

    if (argc > 1) {
        /* What a program reading its command line in ANSI would see. */
        char ansi[MAX_PATH];
        int n = WideCharToMultiByte(CP_ACP, 0, argv[1], -1, ansi, sizeof ansi,
                                    NULL, NULL);
        printf("arg ansi bytes:");
        for (int i = 0; i + 1 < n; i++) printf(" %02x", (unsigned char)ansi[i]);
        printf("\narg utf-16:");
        for (const wchar_t *p = argv[1]; *p; p++) printf(" %04x", (unsigned)*p);
        printf("\n");
    }
    return file_round_trip();
}

// tarnwick-hold-file PATH MILLISECONDS: holds PATH open as an editor that
// shares it for reading only would (no other writer, no deletion), says "held"
// on standard output, and lets go after MILLISECONDS. tests/windows/run
// corrects a file so held.

#include <cstdio>
#include <cwchar>

#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    HANDLE file =
        ::CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    std::puts("held");
    std::fflush(stdout);
    ::Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
    ::CloseHandle(file);
    return 0;
}

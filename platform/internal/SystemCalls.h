#pragma once

// The system calls that change what a file system holds, and those whose
// failures cannot always be provoked for real (a flush or a rename failing on
// a healthy disk). The engine calls them through this table; tests swap an
// entry to inject a failure, or to record every change a run makes, and put
// it back afterwards.

#include <cstddef>

#ifndef _WIN32
#include <sys/types.h>

namespace tarnwick::os {

struct SystemCalls {
    ssize_t (*write)(int fd, const void* data, std::size_t size);
    int (*fsync)(int fd);
    int (*renameat)(int fromFolder, const char* from, int toFolder, const char* to);
    int (*linkat)(int fromFolder, const char* existing, int toFolder, const char* link, int flags);
    int (*openat)(int folder, const char* name, int flags, mode_t mode);
    int (*unlinkat)(int folder, const char* name, int flags);
    int (*renameat2)(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags);
    int (*mkdirat)(int folder, const char* name, mode_t mode);
    int (*fchmod)(int fd, mode_t mode);
    int (*flock)(int fd, int operation);
};

SystemCalls& Sys();

}  // namespace tarnwick::os
#else
#include <windows.h>

namespace tarnwick::os {

struct SystemCalls {
    BOOL(WINAPI* writeFile)(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);
    BOOL(WINAPI* flushFileBuffers)(HANDLE file);
    BOOL(WINAPI* moveFileEx)(LPCWSTR from, LPCWSTR to, DWORD flags);
    BOOL(WINAPI* createHardLink)(LPCWSTR link, LPCWSTR existing, LPSECURITY_ATTRIBUTES security);
    BOOL(WINAPI* replaceFile)
    (LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup, DWORD flags, LPVOID exclude, LPVOID reserved);
};

SystemCalls& Sys();

}  // namespace tarnwick::os
#endif

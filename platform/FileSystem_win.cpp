// The engine's file operations on Windows (wide-character API, long paths).

#include "platform/FileSystem.h"
#include "platform/CodePage.h"
#include "SystemCalls.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <cstdio>
#include <random>
#include <string>

#include <windows.h>

#include <aclapi.h>
#include <restartmanager.h>
#include <winternl.h>

namespace tarnwick::os {

SystemCalls& Sys() {
    static SystemCalls calls{::WriteFile, ::FlushFileBuffers, ::MoveFileExW, ::CreateHardLinkW, ::ReplaceFileW};
    return calls;
}

namespace {

// Windows error codes with their text in UTF-8 (the wide FormatMessage,
// converted), never in the ANSI code page, so that it can join UTF-8 paths.
class Utf8SystemCategory : public std::error_category {
public:
    const char* name() const noexcept override { return "windows"; }
    std::string message(int code) const override {
        wchar_t* text = nullptr;
        const DWORD n = ::FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
            static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        std::wstring wide(text ? text : L"", n);
        if (text) ::LocalFree(text);
        while (!wide.empty() &&
               (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' ' || wide.back() == L'.'))
            wide.pop_back();
        if (wide.empty()) return "error " + std::to_string(code);
        const int size =
            ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
        std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), size, nullptr,
                              nullptr);
        return out;
    }
};

const std::error_category& SystemCategory() {
    static const Utf8SystemCategory category;
    return category;
}

// The system's reason, as the portable condition where there is one, so that
// callers can tell "missing" or "exists" the same way on every platform.
std::error_code ErrorOf(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH: return std::make_error_code(std::errc::no_such_file_or_directory);
    case ERROR_ACCESS_DENIED: return std::make_error_code(std::errc::permission_denied);
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return std::make_error_code(std::errc::device_or_resource_busy);
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return std::make_error_code(std::errc::file_exists);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return std::make_error_code(std::errc::no_space_on_device);
    case ERROR_FILENAME_EXCED_RANGE: return std::make_error_code(std::errc::filename_too_long);
    case ERROR_NOT_SAME_DEVICE: return std::make_error_code(std::errc::cross_device_link);
    case ERROR_WRITE_PROTECT: return std::make_error_code(std::errc::read_only_file_system);
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER: return std::make_error_code(std::errc::invalid_argument);
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION: return std::make_error_code(std::errc::not_supported);
    case ERROR_CANT_RESOLVE_FILENAME: return std::make_error_code(std::errc::too_many_symbolic_link_levels);
    default: return {static_cast<int>(error), SystemCategory()};
    }
}

std::error_code LastError() { return ErrorOf(::GetLastError()); }

// Another program holding a file (an antivirus scan, an indexer, an editor
// that opened it without sharing it) mostly lets go within moments. What it
// stops is tried again for up to 2 seconds, each wait twice the last (up to a
// quarter of a second), as git's and Go's file operations on Windows do:
// sharing and lock violations always; when a file is replaced, renamed or
// removed, also the refusals such a holder causes there (access denied, the
// replaced file not removable).
constexpr DWORD kHeldRetryMs = 2000;

bool HeldByAnother(DWORD error, bool replacing) {
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return true;
    return replacing && (error == ERROR_ACCESS_DENIED || error == ERROR_UNABLE_TO_REMOVE_REPLACED ||
                         error == ERROR_UNABLE_TO_MOVE_REPLACEMENT);
}

// Runs `attempt` (the system's error, 0 for success) again while another program holds the file.
template <typename Attempt>
DWORD WhileHeld(bool replacing, Attempt&& attempt) {
    DWORD error = attempt();
    for (DWORD wait = 1, waited = 0; error && HeldByAnother(error, replacing) && waited < kHeldRetryMs;
         wait = std::min<DWORD>(wait * 2, 250)) {
        ::Sleep(wait);
        waited += wait;
        error = attempt();
    }
    return error;
}

// The error of a call that returned `ok`.
DWORD ErrorUnless(bool ok) { return ok ? 0 : ::GetLastError(); }

// The form of a path that the wide API accepts at any length: absolute paths
// get the \\?\ prefix (\\?\UNC\ for network paths).
std::wstring Long(const Path& path) {
    const std::wstring& raw = path.native();
    if (raw.rfind(L"\\\\?\\", 0) == 0 || raw.empty()) return raw;
    std::error_code ec;
    std::wstring full = Absolute(path, ec).native();
    if (ec || full.size() < 2) return raw;
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    if (full[1] == L':') return L"\\\\?\\" + full;
    return raw;
}

std::int64_t Ns(FILETIME t) { return (static_cast<std::int64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime) * 100; }

std::error_code FillFromHandle(HANDLE handle, FileInfo& info) {
    BY_HANDLE_FILE_INFORMATION data{};
    if (!::GetFileInformationByHandle(handle, &data)) return LastError();
    const DWORD type = ::GetFileType(handle);
    info.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    info.regular = !info.directory && type == FILE_TYPE_DISK;
    info.symlink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    info.readOnly = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    info.size = static_cast<std::uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    info.device = data.dwVolumeSerialNumber;
    info.inode = static_cast<std::uint64_t>(data.nFileIndexHigh) << 32 | data.nFileIndexLow;
    info.modifiedNs = Ns(data.ftLastWriteTime);
    info.mode = data.dwFileAttributes;
    info.links = data.nNumberOfLinks;
    return {};
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens the entry `name` of the open folder `folder` through that handle (no
// path is walked again); with `noLink` a link or junction there is opened as
// itself, not followed.
std::error_code OpenIn(HANDLE folder, const Path& name, ACCESS_MASK access, ULONG share, ULONG options, bool noLink,
                       HANDLE& handle) {
    const std::wstring& text = name.native();
    UNICODE_STRING unicode;
    unicode.Buffer = const_cast<wchar_t*>(text.c_str());
    unicode.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
    unicode.MaximumLength = unicode.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicode, OBJ_CASE_INSENSITIVE, folder, nullptr);
    const DWORD error = WhileHeld(false, [&]() -> DWORD {
        IO_STATUS_BLOCK io{};
        const NTSTATUS status =
            ::NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr, 0, share, FILE_OPEN,
                           options | FILE_SYNCHRONOUS_IO_NONALERT | (noLink ? FILE_OPEN_REPARSE_POINT : 0), nullptr, 0);
        return status < 0 ? ::RtlNtStatusToDosError(status) : 0;
    });
    if (error) {
        handle = nullptr;
        return ErrorOf(error);
    }
    return {};
}

// Whether the open handle is a link or a junction (a reparse point that names another place).
bool IsNameLink(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) return false;
    return (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(tag.ReparseTag);
}

std::error_code LinkFound() { return std::make_error_code(std::errc::too_many_symbolic_link_levels); }

// The path the system gives an open handle now, in the plain form where it fits.
std::error_code FinalPath(HANDLE handle, Path& path) {
    std::wstring buffer(32768, L'\0');
    const DWORD n = ::GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    if (n == 0 || n >= buffer.size()) return LastError();
    buffer.resize(n);
    if (buffer.rfind(L"\\\\?\\UNC\\", 0) == 0) buffer = L"\\\\" + buffer.substr(8);
    else if (buffer.rfind(L"\\\\?\\", 0) == 0 && buffer.size() < MAX_PATH + 4) buffer = buffer.substr(4);
    path = buffer;
    return {};
}

}  // namespace

std::error_code Stat(const Path& path, FileInfo& info, bool followLinks) {
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE handle =
        ::CreateFileW(Long(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastError();
    const auto ec = FillFromHandle(handle, info);
    ::CloseHandle(handle);
    return ec;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = other.handle_;
        other.handle_ = nullptr;
    }
    return *this;
}

File::~File() { Close(); }

std::error_code File::OpenRead(const Path& path, File& file) {
    // Folders open too (and are then refused by their information); devices never block.
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (const DWORD error = WhileHeld(false, [&] {
            handle = ::CreateFileW(Long(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
            return ErrorUnless(handle != INVALID_HANDLE_VALUE);
        }))
        return ErrorOf(error);
    file = File();
    file.handle_ = handle;
    return {};
}

std::error_code File::Info(FileInfo& info) const { return FillFromHandle(handle_, info); }

std::error_code File::Read(char* data, std::size_t size, std::size_t& got) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!::ReadFile(handle_, data, want, &n, nullptr)) {
        got = 0;
        return ::GetLastError() == ERROR_HANDLE_EOF ? std::error_code() : LastError();
    }
    got = n;
    return {};
}

std::error_code File::ReadAt(std::uint64_t offset, char* data, std::size_t size, std::size_t& got) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!::ReadFile(handle_, data, want, &n, &at)) {
        got = 0;
        return ::GetLastError() == ERROR_HANDLE_EOF ? std::error_code() : LastError();
    }
    got = n;
    return {};
}

std::error_code File::WriteAll(const char* data, std::size_t size) {
    while (size > 0) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        if (!Sys().writeFile(handle_, data, want, &n, nullptr)) return LastError();
        if (n == 0) return std::make_error_code(std::errc::no_space_on_device);
        data += n;
        size -= n;
    }
    return {};
}

std::error_code File::Flush() {
    if (!Sys().flushFileBuffers(handle_)) return LastError();
    return {};
}

void File::StartFlush() {}

std::error_code File::CopyAccessFrom(const FileInfo& like) {
    // The original's hidden, system and archive attributes; never read-only,
    // since only files that may be written are corrected.
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandleEx(handle_, FileBasicInfo, &basic, sizeof basic)) return LastError();
    DWORD attributes = like.mode & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    if (!::SetFileInformationByHandle(handle_, FileBasicInfo, &basic, sizeof basic)) return LastError();
    return {};
}

std::error_code File::CopyTimesFrom(const File& from) {
    FILE_BASIC_INFO times{}, basic{};
    if (!::GetFileInformationByHandleEx(from.handle_, FileBasicInfo, &times, sizeof times)) return LastError();
    if (!::GetFileInformationByHandleEx(handle_, FileBasicInfo, &basic, sizeof basic)) return LastError();
    basic.CreationTime = times.CreationTime;
    basic.LastWriteTime = times.LastWriteTime;
    basic.ChangeTime.QuadPart = 0;  // (0: left as the system keeps it)
    if (!::SetFileInformationByHandle(handle_, FileBasicInfo, &basic, sizeof basic)) return LastError();
    return {};
}

std::error_code File::CopyAccessFrom(const File& from, const FileInfo& like) {
    if (auto ec = CopyAccessFrom(like)) return ec;
    // The original's access list, so the new file is never open to more than
    // it was, even before the replacement keeps the original's own.
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL dacl = nullptr;
    DWORD error = ::GetSecurityInfo(from.handle_, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                    nullptr, &sd);
    if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION) return {};  // a file system without them
    if (error != ERROR_SUCCESS) return ErrorOf(error);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(sd, &control, &revision);
    const SECURITY_INFORMATION what =
        DACL_SECURITY_INFORMATION |
        ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
    error = dacl ? ::SetSecurityInfo(handle_, SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr) : ERROR_SUCCESS;
    ::LocalFree(sd);
    return error == ERROR_SUCCESS ? std::error_code() : ErrorOf(error);
}

bool File::TryLock() {
    // Windows locks keep others from reading what they cover: lock one byte far
    // beyond any real content instead.
    OVERLAPPED at{};
    at.Offset = 0xFFFFFFFE;
    at.OffsetHigh = 0x7FFFFFFF;
    if (::LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return true;
    const DWORD error = ::GetLastError();
    return error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING;
}

std::uint64_t File::LockHolder() const { return 0; }

bool File::IsOpen() const { return handle_ != nullptr; }

std::error_code File::Rewind() {
    LARGE_INTEGER zero{};
    if (!::SetFilePointerEx(handle_, zero, nullptr, FILE_BEGIN)) return LastError();
    return {};
}

std::error_code File::Close() {
    if (!handle_) return {};
    const BOOL ok = ::CloseHandle(handle_);
    handle_ = nullptr;
    if (!ok) return LastError();
    return {};
}

namespace {

std::error_code Rename(const Path& from, const Path& to) {
    const std::wstring source = Long(from), target = Long(to);
    if (const DWORD error = WhileHeld(true, [&] {
            return ErrorUnless(
                Sys().moveFileEx(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
        }))
        return ErrorOf(error);
    return {};
}

std::error_code HardLink(const Path& existing, const Path& link) {
    if (!Sys().createHardLink(Long(link).c_str(), Long(existing).c_str(), nullptr)) return LastError();
    return {};
}

std::error_code Remove(const Path& path) {
    const std::wstring name = Long(path);
    if (const DWORD error = WhileHeld(true, [&] { return ErrorUnless(::DeleteFileW(name.c_str())); }))
        return ErrorOf(error);
    return {};
}

}  // namespace

std::error_code CheckWritable(const Path& path) {
    const DWORD attributes = ::GetFileAttributesW(Long(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
    if (attributes & FILE_ATTRIBUTE_READONLY) return std::make_error_code(std::errc::permission_denied);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return {};
    // The access rights, and no other program holding it against writers.
    HANDLE handle = ::CreateFileW(Long(path).c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastError();
    ::CloseHandle(handle);
    return {};
}

std::error_code ResolveLinks(const Path& path, Path& resolved) {
    const DWORD attributes = ::GetFileAttributesW(Long(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        resolved = path;
        return {};
    }
    HANDLE handle = ::CreateFileW(Long(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastError();
    const auto ec = FinalPath(handle, resolved);
    ::CloseHandle(handle);
    return ec;
}

Folder::Folder(Folder&& other) noexcept : handle_(other.handle_), path_(std::move(other.path_)) {
    other.handle_ = nullptr;
}

Folder& Folder::operator=(Folder&& other) noexcept {
    if (this != &other) {
        if (handle_) ::CloseHandle(handle_);
        handle_ = other.handle_;
        path_ = std::move(other.path_);
        other.handle_ = nullptr;
    }
    return *this;
}

Folder::~Folder() {
    if (handle_) ::CloseHandle(handle_);
}

namespace {

constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_TRAVERSE;

// Opens a folder by `path`; without FILE_SHARE_DELETE nobody can rename or
// remove it while it is open (another program holding it open for deletion:
// still opened, unpinned).
HANDLE OpenFolderByPath(const Path& path, DWORD flags) {
    const Path where = path.empty() ? Path(L".") : path;
    HANDLE handle = ::CreateFileW(Long(where).c_str(), kFolderAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_SHARING_VIOLATION)
        handle = ::CreateFileW(Long(where).c_str(), kFolderAccess, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

// The subfolder `name` of the open folder `parent`, never through a link or junction.
std::error_code OpenSubfolder(HANDLE parent, const Path& name, HANDLE& child) {
    auto ec = OpenIn(parent, name, kFolderAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_DIRECTORY_FILE, true, child);
    if (ec == std::errc::device_or_resource_busy)
        ec = OpenIn(parent, name, kFolderAccess, kShareAll, FILE_DIRECTORY_FILE, true, child);
    if (ec) return ec;
    if (IsNameLink(child)) {
        ::CloseHandle(child);
        child = nullptr;
        return LinkFound();
    }
    return {};
}

}  // namespace

std::error_code Folder::Open(const Path& path, Folder& folder, bool followLast) {
    HANDLE handle = OpenFolderByPath(path, followLast ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    if (!handle) return LastError();
    if (!followLast && IsNameLink(handle)) {
        ::CloseHandle(handle);
        return LinkFound();
    }
    folder = Folder();
    folder.handle_ = handle;
    folder.path_ = path;
    return {};
}

std::error_code Folder::OpenWithoutLinks(const Path& path, Folder& folder) {
    if (!path.has_root_path()) return std::make_error_code(std::errc::invalid_argument);
    HANDLE at = OpenFolderByPath(path.root_path(), 0);
    if (!at) return LastError();
    for (const Path& part : path.relative_path()) {
        if (part.empty() || part == L".") continue;
        HANDLE next = nullptr;
        const auto ec =
            part == L".." ? std::make_error_code(std::errc::invalid_argument) : OpenSubfolder(at, part, next);
        ::CloseHandle(at);
        if (ec) return ec;
        at = next;
    }
    folder = Folder();
    folder.handle_ = at;
    folder.path_ = path;
    return {};
}

bool Folder::IsOpen() const { return handle_ != nullptr; }

std::error_code Folder::Info(FileInfo& info) const { return FillFromHandle(handle_, info); }

std::error_code Folder::Duplicate(Folder& copy) const {
    HANDLE process = ::GetCurrentProcess(), handle = nullptr;
    if (!::DuplicateHandle(process, handle_, process, &handle, 0, FALSE, DUPLICATE_SAME_ACCESS)) return LastError();
    copy = Folder();
    copy.handle_ = handle;
    copy.path_ = path_;
    return {};
}

std::error_code Folder::OpenFolder(const Path& name, Folder& child) const {
    HANDLE handle = nullptr;
    if (auto ec = OpenSubfolder(handle_, name, handle)) return ec;
    child = Folder();
    child.handle_ = handle;
    child.path_ = path_ / name;
    return {};
}

namespace {

// Calls `each(entry)` for every entry of the open folder, read through its handle.
template <typename Each>
std::error_code ForEachEntryOf(HANDLE folder, Each&& each) {
    std::vector<char> buffer(64 * 1024);
    for (FILE_INFO_BY_HANDLE_CLASS what = FileIdBothDirectoryRestartInfo;; what = FileIdBothDirectoryInfo) {
        if (!::GetFileInformationByHandleEx(folder, what, buffer.data(), static_cast<DWORD>(buffer.size()))) {
            const DWORD error = ::GetLastError();
            return error == ERROR_NO_MORE_FILES ? std::error_code() : ErrorOf(error);
        }
        for (std::size_t at = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data() + at);
            each(*entry, std::wstring_view(entry->FileName, entry->FileNameLength / sizeof(wchar_t)));
            if (entry->NextEntryOffset == 0) break;
            at += entry->NextEntryOffset;
        }
    }
}

}  // namespace

std::error_code Folder::List(std::vector<FolderEntry>& entries, bool folders, bool hidden, std::uint8_t* rules) const {
    entries.clear();
    if (rules) *rules = 0;
    FileInfo self;
    if (auto ec = Info(self)) return ec;
    return ForEachEntryOf(handle_, [&](const FILE_ID_BOTH_DIR_INFO& entry, std::wstring_view name) {
        const DWORD a = entry.FileAttributes;
        if (rules && !name.empty() && name[0] == L'.')
            *rules |= name == L".gitignore" ? kHasGitIgnore
                      : name == L".ignore"  ? kHasIgnore
                      : name == L".git"     ? kHasRepository
                                            : 0;
        if ((!hidden && (a & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))) || name == L"." || name == L".." ||
            IsTemporaryName(name) || IsVersionControlName(name, (a & FILE_ATTRIBUTE_DIRECTORY) != 0))
            return;
        FileInfo itself;
        const bool link =
            (a & FILE_ATTRIBUTE_REPARSE_POINT) && !Stat(Path(std::wstring(name)), itself, false) && itself.symlink;
        if (a & FILE_ATTRIBUTE_DIRECTORY) {
            // A junction or a link to a folder is no folder of this one.
            if (folders && !link)
                entries.push_back({std::wstring(name), FolderEntry::Kind::Folder, self.device,
                                   static_cast<std::uint64_t>(entry.FileId.QuadPart)});
            return;
        }
        if (!link) {
            entries.push_back({std::wstring(name), FolderEntry::Kind::File});
            return;
        }
        // A link counts when it leads to a file.
        FileInfo target;
        if (!Stat(Path(std::wstring(name)), target, true) && target.regular)
            entries.push_back({std::wstring(name), FolderEntry::Kind::Link});
    });
}

std::error_code Folder::ListTemporaries(std::vector<Path::string_type>& names) const {
    names.clear();
    return ForEachEntryOf(handle_, [&](const FILE_ID_BOTH_DIR_INFO& entry, std::wstring_view name) {
        if (!(entry.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name.rfind(L".~tarnwick-", 0) == 0)
            names.emplace_back(name);
    });
}

std::error_code Folder::ListNames(std::vector<Path::string_type>& names) const {
    names.clear();
    return ForEachEntryOf(handle_, [&](const FILE_ID_BOTH_DIR_INFO&, std::wstring_view name) {
        if (name != L"." && name != L"..") names.emplace_back(name);
    });
}

std::error_code Folder::Resolve(const Path& name, Path& resolved) const {
    HANDLE handle = nullptr;
    if (auto ec = OpenIn(handle_, name, FILE_READ_ATTRIBUTES, kShareAll, 0, false, handle)) return ec;
    const auto ec = FinalPath(handle, resolved);
    ::CloseHandle(handle);
    return ec;
}

std::error_code Folder::Stat(const Path& name, FileInfo& info, bool followLinks) const {
    HANDLE handle = nullptr;
    if (auto ec = OpenIn(handle_, name, FILE_READ_ATTRIBUTES, kShareAll, 0, !followLinks, handle)) return ec;
    const auto ec = FillFromHandle(handle, info);
    if (!followLinks) info.symlink = IsNameLink(handle);
    ::CloseHandle(handle);
    return ec;
}

std::error_code Folder::OpenReadLast(const Path& path, File& file, bool followLinks) const {
    return OpenRead(path.filename(), file, followLinks);
}

std::error_code Folder::OpenRead(const Path& name, File& file, bool followLinks) const {
    // Folders open too (and are then refused by their information); devices never block.
    HANDLE handle = nullptr;
    if (auto ec = OpenIn(handle_, name, GENERIC_READ, kShareAll, FILE_SEQUENTIAL_ONLY, !followLinks, handle)) return ec;
    if (!followLinks && IsNameLink(handle)) {
        ::CloseHandle(handle);
        return LinkFound();
    }
    file = File();
    file.handle_ = handle;
    return {};
}

std::error_code Folder::CheckWritable(const Path& name) const {
    FileInfo info;
    if (auto ec = Stat(name, info, false)) return ec;
    if (info.readOnly) return std::make_error_code(std::errc::permission_denied);
    if (info.directory) return {};
    // The access rights, and no other program holding it against writers.
    HANDLE handle = nullptr;
    if (auto ec = OpenIn(handle_, name, GENERIC_WRITE, kShareAll, 0, true, handle)) return ec;
    ::CloseHandle(handle);
    return {};
}

Path Folder::Full(const Path& name) const {
    // The folder where it is now, whatever was renamed above it (it cannot be renamed itself while open).
    Path now;
    if (FinalPath(handle_, now)) return path_ / name;
    return now / name;
}

std::error_code Folder::CreateNew(const Path& name, File& file) const {
    // Hidden until it takes the original's place, so no listing ever shows it.
    // WRITE_DAC: the creator may give it the original's access list.
    HANDLE handle =
        ::CreateFileW(Long(Full(name)).c_str(), GENERIC_WRITE | FILE_WRITE_ATTRIBUTES | READ_CONTROL | WRITE_DAC,
                      FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastError();
    file = File();
    file.handle_ = handle;
    return {};
}

std::error_code Folder::Rename(const Path& from, const Path& to) const { return os::Rename(Full(from), Full(to)); }

std::error_code Folder::Replace(const Path& from, const Path& to) const {
    // The system's own replacement keeps what belongs to the file rather than
    // to its content: security descriptor, attributes, alternate data streams,
    // creation time; a failure to keep them fails it (no IGNORE flags).
    const std::wstring replaced = Long(Full(to)), replacement = Long(Full(from));
    if (const DWORD error = WhileHeld(true, [&] {
            return ErrorUnless(Sys().replaceFile(replaced.c_str(), replacement.c_str(), nullptr, 0, nullptr, nullptr));
        })) {
        // A file system that cannot do it (FAT keeps no security): a plain rename there.
        if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED) return os::Rename(Full(from), Full(to));
        return ErrorOf(error);
    }
    // It has no write-through of its own: flushing the file commits the change of name with it.
    HANDLE file = ::CreateFileW(replaced.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        Sys().flushFileBuffers(file);
        ::CloseHandle(file);
    }
    return {};
}

std::error_code Folder::RenameNoReplace(const Path& from, const Path& to) const {
    const std::wstring source = Long(Full(from)), target = Long(Full(to));
    if (const DWORD error = WhileHeld(true, [&] {
            return ErrorUnless(Sys().moveFileEx(source.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH));
        }))
        return ErrorOf(error);
    return {};
}

std::error_code Folder::LinkFrom(const Folder& from, const Path& fromName, const Path& name) const {
    return HardLink(from.Full(fromName), Full(name));
}

std::error_code Folder::Remove(const Path& name) const { return os::Remove(Full(name)); }

std::error_code Folder::RemoveFolder(const Path& name) const {
    // (A link or junction in its place is removed as the link, never followed.)
    if (!::RemoveDirectoryW(Full(name).c_str())) return ErrorOf(::GetLastError());
    return {};
}

void Folder::Flush() const {}

std::error_code Folder::CheckReplaceable(const File&, const FileInfo&) const { return {}; }

const Path::string_type& MachineTag() {
    // Process numbers mean something only on the machine that gave them.
    static const std::wstring tag = [] {
        wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
        DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
        if (!::GetComputerNameW(computer, &size)) size = 0;
        std::uint32_t hash = 2166136261u;  // FNV-1a
        for (DWORD i = 0; i < size; ++i) hash = (hash ^ static_cast<std::uint16_t>(computer[i])) * 16777619u;
        wchar_t hex[16];
        std::swprintf(hex, 16, L"%08x", hash);
        return std::wstring(hex);
    }();
    return tag;
}

bool ProcessRunning(std::uint64_t process) {
    if (process == 0 || process > 0xFFFFFFFFu) return false;
    HANDLE handle = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(process));
    if (!handle) return ::GetLastError() != ERROR_INVALID_PARAMETER;  // no such process
    DWORD code = 0;
    const bool running = !::GetExitCodeProcess(handle, &code) || code == STILL_ACTIVE;
    ::CloseHandle(handle);
    return running;
}

Path TemporaryFileName() {
    static std::atomic<unsigned> counter{0};
    static const unsigned salt = std::random_device{}();
    wchar_t name[80];
    std::swprintf(name, 80, L".~tarnwick-%lu-%ls-%08x-%u", static_cast<unsigned long>(::GetCurrentProcessId()),
                  MachineTag().c_str(), salt, counter.fetch_add(1));
    return name;
}

namespace {

// Calls `each(entry)` for every entry of `folder` whose name matches `pattern`.
template <typename Each>
std::error_code ForEachEntry(const Path& folder, const wchar_t* pattern, bool many, Each&& each) {
    const std::wstring search = Long(folder.empty() ? Path(L".") : folder) + L"\\" + pattern;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileExW(search.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                     many ? FIND_FIRST_EX_LARGE_FETCH : 0);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? std::error_code() : ErrorOf(error);
    }
    do each(data);
    while (::FindNextFileW(find, &data));
    const DWORD error = ::GetLastError();
    ::FindClose(find);
    return error == ERROR_NO_MORE_FILES ? std::error_code() : ErrorOf(error);
}

}  // namespace

std::error_code ListTemporaries(const Path& folder, std::vector<Path::string_type>& names) {
    names.clear();
    return ForEachEntry(folder, L".~tarnwick-*", false, [&](const WIN32_FIND_DATAW& data) {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.emplace_back(data.cFileName);
    });
}

bool IsPlainNamePart(const Path::string_type& name) {
    if (name.empty() || name.find_first_of(std::wstring_view(L"/\\:\0", 4)) != Path::string_type::npos) return false;
    return name.back() != L'.' && name.back() != L' ';
}

bool OpenFilesReplaceable() { return false; }
bool OpenFilesReplaceable(const Folder&) { return false; }

bool WaitsOnServer(const Folder& folder) {
    const std::wstring path = Long(folder.path_);
    std::wstring root(path.size() + 2, L'\0');
    if (!::GetVolumePathNameW(path.c_str(), root.data(), static_cast<DWORD>(root.size()))) return false;
    return ::GetDriveTypeW(root.c_str()) == DRIVE_REMOTE;
}

bool ReadFilesFlushable() { return false; }

Path Absolute(const Path& path, std::error_code& ec) {
    ec.clear();
    const std::wstring given = Path(path).make_preferred().native();
    if (given.empty()) return std::filesystem::current_path(ec);
    std::wstring full(std::max<std::size_t>(given.size() + 1, MAX_PATH), L'\0');
    for (;;) {
        const DWORD n = ::GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0) {
            ec = LastError();
            return path;
        }
        if (n < full.size()) {
            full.resize(n);
            return Path(std::move(full));
        }
        full.resize(n);
    }
}

bool OutcomeUnknown(const std::error_code& ec) {
    if (ec == std::errc::io_error) return true;
    if (ec.category() != SystemCategory()) return false;
    switch (static_cast<DWORD>(ec.value())) {
    case ERROR_NETNAME_DELETED:
    case ERROR_UNEXP_NET_ERR:
    case ERROR_SEM_TIMEOUT:
    case ERROR_CONNECTION_ABORTED:
    case ERROR_IO_DEVICE: return true;
    default: return false;
    }
}

std::tm CalendarTime(std::int64_t seconds, bool local) {
    const auto time = static_cast<std::time_t>(seconds);
    std::tm broken{};
    if (local) localtime_s(&broken, &time);
    else gmtime_s(&broken, &time);
    return broken;
}

bool IsInstalledProgramFolder(const Path& folder, const Path&) {
    FileInfo info;
    return !Stat(folder / L"installed.txt", info) && info.regular;
}

std::string LocalTimeText(std::int64_t nanoseconds) {
    const std::time_t seconds = static_cast<std::time_t>(nanoseconds / 1'000'000'000);
    std::tm local{}, utc{};
    localtime_s(&local, &seconds);
    gmtime_s(&utc, &seconds);
    // The zone's offset: the local time read as if it were UTC, less the time itself.
    const long offset = static_cast<long>(_mkgmtime(&local) - _mkgmtime(&utc)) / 60;
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%09lld %c%02ld%02ld",
                  static_cast<long long>(nanoseconds % 1'000'000'000), offset < 0 ? '-' : '+',
                  (offset < 0 ? -offset : offset) / 60, (offset < 0 ? -offset : offset) % 60);
    return text;
}

std::string_view NewLine() { return "\r\n"; }

namespace {

// `name`, capitalized as programs here name their folders, in the folder the
// environment variable `base` names; empty when it names none.
Path ProgramFolderIn(const wchar_t* base, std::string_view name) {
    const wchar_t* root = _wgetenv(base);
    if (!root || !*root || name.empty()) return {};
    std::wstring folder(name.begin(), name.end());
    if (folder[0] >= L'a' && folder[0] <= L'z') folder[0] = static_cast<wchar_t>(folder[0] - L'a' + L'A');
    return Path(root) / folder;
}

}  // namespace

Path UserConfigFolder(std::string_view name) { return ProgramFolderIn(L"APPDATA", name); }

std::uint64_t ProcessId() { return ::GetCurrentProcessId(); }

Path UserStateFolder(std::string_view name) { return ProgramFolderIn(L"LOCALAPPDATA", name); }

std::error_code CreateFolder(const Path& folder) {
    if (!::CreateDirectoryW(folder.c_str(), nullptr)) return LastError();
    return {};
}

std::error_code CreateFolders(const Path& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    return ec;
}

std::error_code MakePrivateFolder(const Path& folder, Privacy& why) {
    std::error_code ec;
    why = Privacy::Private;
    std::filesystem::create_directories(folder, ec);
    if (ec) return ec;
    if (!std::filesystem::is_directory(folder, ec)) {
        why = Privacy::NotFolder;
        return ec ? ec : std::make_error_code(std::errc::permission_denied);
    }
    return {};
}

std::error_code CheckPrivate(const Path& path, bool folder, Privacy& why) {
    FileInfo info;
    why = Privacy::Private;
    if (auto ec = Stat(path, info, false)) return ec;
    if (folder != info.directory) {
        why = folder ? Privacy::NotFolder : Privacy::NotFile;
        return std::make_error_code(std::errc::permission_denied);
    }
    return {};
}

// Handles have no low per-process limit on Windows.
std::vector<std::string> ProgramsHolding(const Path& file) {
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (::RmStartSession(&session, 0, key) != ERROR_SUCCESS) return {};
    std::vector<std::string> names;
    std::error_code ec;
    const std::wstring full = Absolute(file, ec).native();
    LPCWSTR files[] = {full.c_str()};
    if (::RmRegisterResources(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS) {
        std::vector<RM_PROCESS_INFO> found;
        UINT needed = 0, count = 0;
        DWORD reasons = 0;
        // (Asked again while more came meanwhile.)
        for (DWORD rc = ERROR_MORE_DATA; rc == ERROR_MORE_DATA && found.size() < 64;) {
            found.resize(needed);
            count = needed;
            rc = ::RmGetList(session, &needed, &count, found.data(), &reasons);
            if (rc == ERROR_SUCCESS) found.resize(count);
            else if (rc != ERROR_MORE_DATA) found.clear();
        }
        for (const RM_PROCESS_INFO& holder : found) {
            const std::wstring_view name(holder.strAppName);
            const std::u16string_view wide(reinterpret_cast<const char16_t*>(name.data()), name.size());
            names.push_back(Utf16ToUtf8(wide).value_or("?") + " (PID " + std::to_string(holder.Process.dwProcessId) +
                            ")");
        }
    }
    ::RmEndSession(session);
    return names;
}

Path ProgramFile() {
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD got = ::GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (got == 0) return {};
        if (got < name.size()) return Path(name.substr(0, got));
        if (name.size() >= 32768) return {};
        name.resize(name.size() * 2);
    }
}

std::size_t OpenFilesLeft() { return 1u << 16; }

std::uint32_t DefaultNewFileMode() { return FILE_ATTRIBUTE_NORMAL; }

}  // namespace tarnwick::os

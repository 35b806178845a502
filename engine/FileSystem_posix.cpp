#include "FileSystem.h"
#include "SystemCalls.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarnwick::os {

SystemCalls& Sys() {
    static SystemCalls calls{::write, ::fsync, ::rename, ::link};
    return calls;
}

namespace {

std::error_code LastError() { return {errno, std::generic_category()}; }

void Fill(const struct stat& st, FileInfo& info) {
    info.regular = S_ISREG(st.st_mode);
    info.directory = S_ISDIR(st.st_mode);
    info.symlink = S_ISLNK(st.st_mode);
    info.size = static_cast<std::uint64_t>(st.st_size);
    info.device = static_cast<std::uint64_t>(st.st_dev);
    info.inode = static_cast<std::uint64_t>(st.st_ino);
    info.modifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    info.mode = st.st_mode & 07777;
    info.owner = st.st_uid;
    info.group = st.st_gid;
}

}  // namespace

std::error_code Stat(const Path& path, FileInfo& info, bool followLinks) {
    struct stat st {};
    const int rc = followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    if (rc != 0) return LastError();
    Fill(st, info);
    return {};
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

File::~File() { Close(); }

std::error_code File::OpenRead(const Path& path, File& file) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return LastError();
    file = File();
    file.fd_ = fd;
    return {};
}

std::error_code File::CreateNew(const Path& path, File& file) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) return LastError();
    file = File();
    file.fd_ = fd;
    return {};
}

std::error_code File::Info(FileInfo& info) const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return LastError();
    Fill(st, info);
    return {};
}

std::error_code File::Read(char* data, std::size_t size, std::size_t& got) {
    for (;;) {
        const ssize_t n = ::read(fd_, data, size);
        if (n >= 0) {
            got = static_cast<std::size_t>(n);
            return {};
        }
        if (errno != EINTR) return LastError();
    }
}

std::error_code File::ReadAt(std::uint64_t offset, char* data, std::size_t size, std::size_t& got) {
    for (;;) {
        const ssize_t n = ::pread(fd_, data, size, static_cast<off_t>(offset));
        if (n >= 0) {
            got = static_cast<std::size_t>(n);
            return {};
        }
        if (errno != EINTR) return LastError();
    }
}

std::error_code File::WriteAll(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = Sys().write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return LastError();
        }
        if (n == 0) return std::make_error_code(std::errc::no_space_on_device);
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return {};
}

std::error_code File::Flush() {
    if (Sys().fsync(fd_) != 0) return LastError();
    return {};
}

void File::StartFlush() {
#ifdef SYNC_FILE_RANGE_WRITE
    (void)::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

std::error_code File::CopyAccessFrom(const FileInfo& like) {
    // Keep the owner where we may (running as root); otherwise the file is ours.
    if (::geteuid() == 0) (void)::fchown(fd_, like.owner, like.group);
    if (::fchmod(fd_, like.mode) != 0) return LastError();
    return {};
}

std::error_code File::Close() {
    if (fd_ < 0) return {};
    const int rc = ::close(fd_);
    fd_ = -1;
    // After close() the descriptor is gone whatever it says; EINTR is no failure.
    if (rc != 0 && errno != EINTR) return LastError();
    return {};
}

std::error_code Rename(const Path& from, const Path& to) {
    if (Sys().rename(from.c_str(), to.c_str()) != 0) return LastError();
    return {};
}

std::error_code HardLink(const Path& existing, const Path& link) {
    if (Sys().link(existing.c_str(), link.c_str()) != 0) return LastError();
    return {};
}

std::error_code Remove(const Path& path) {
    if (::unlink(path.c_str()) != 0) return LastError();
    return {};
}

std::error_code CheckWritable(const Path& path) {
    // The kernel's own answer: it refuses immutable files even to root.
    if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return LastError();
    return {};
}

std::error_code ResolveLinks(const Path& path, Path& resolved) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return LastError();
    if (!S_ISLNK(st.st_mode)) {
        resolved = path;
        return {};
    }
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return LastError();
    resolved = real;
    std::free(real);
    return {};
}

void FlushFolder(const Path& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)Sys().fsync(fd);
    ::close(fd);
}

Path TemporaryName(const Path& folder) {
    static std::atomic<unsigned> counter{0};
    static const unsigned salt = std::random_device{}();
    char name[64];
    std::snprintf(name, sizeof name, ".~tarnwick-%ld-%08x-%u", static_cast<long>(::getpid()), salt,
                  counter.fetch_add(1));
    return folder / name;
}

std::uint32_t DefaultNewFileMode() {
    static const std::uint32_t mode = [] {
        const mode_t mask = ::umask(022);
        ::umask(mask);
        return 0666u & ~static_cast<std::uint32_t>(mask);
    }();
    return mode;
}

std::error_code ListVisibleFiles(const Path& folder, std::vector<Path>& names) {
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return LastError();
    names.clear();
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (!entry) break;
        if (entry->d_name[0] == '.') continue;
        bool regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            // Follows links: a link to a file is listed, a dangling or looping one is not.
            struct stat st {};
            regular = ::fstatat(::dirfd(dir), entry->d_name, &st, 0) == 0 && S_ISREG(st.st_mode);
        }
        if (regular) names.emplace_back(entry->d_name);
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError) return {readError, std::generic_category()};
    return {};
}

}  // namespace tarnwick::os

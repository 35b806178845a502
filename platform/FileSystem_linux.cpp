#include "platform/FileSystem.h"
#include "SystemCalls.h"

#include <atomic>
#include <ctime>
#include <cerrno>
#include <climits>
#include <limits>
#include <map>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <cstring>
#include <string>
#include <string_view>

#include <dirent.h>
#include <csignal>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>

namespace tarnwick::os {

SystemCalls& Sys() {
    static SystemCalls calls{
        ::write,
        ::fsync,
        ::renameat,
        ::linkat,
        [](int folder, const char* name, int flags, mode_t mode) { return ::openat(folder, name, flags, mode); },
        ::unlinkat,
        ::renameat2,
        ::mkdirat,
        ::fchmod,
        ::flock,
    };
    return calls;
}

namespace {

std::error_code LastError() { return {errno, std::generic_category()}; }

// Runs `attempt` (a system call: 0 for success) again while an SMB server
// refuses to replace or remove a file still open (EBUSY). Through FUSE, a
// file's close returns before its file system has closed it on the server, so
// a rename or an unlink just after it can meet the handle; the server lets go
// within moments.
template <typename Attempt>
std::error_code WhileClosing(const Folder& folder, Attempt&& attempt) {
    constexpr int kRetryMs = 2000;
    if (attempt() == 0) return {};
    int error = errno;
    for (int wait = 1, waited = 0; error == EBUSY && waited < kRetryMs && !OpenFilesReplaceable(folder);
         wait = std::min(wait * 2, 250)) {
        ::usleep(static_cast<useconds_t>(wait) * 1000);
        waited += wait;
        if (attempt() == 0) return {};
        error = errno;
    }
    return {error, std::generic_category()};
}

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
    info.links = static_cast<std::uint32_t>(st.st_nlink);
}

// Calls `each(folder's descriptor, entry)` for every entry of `folder`, "." and ".." included.
template <typename Each>
std::error_code ForEachEntry(const Path& folder, Each&& each) {
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return LastError();
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (!entry) break;
        each(::dirfd(dir), *entry);
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError) return {readError, std::generic_category()};
    return {};
}

// Calls `each(folder's descriptor, entry)` for every entry of the open folder
// `fd`, read through a handle of its own (so the folder's stays where it was).
template <typename Each>
std::error_code ForEachEntryOf(int fd, Each&& each) {
    const int own = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (own < 0) return LastError();
    DIR* dir = ::fdopendir(own);
    if (!dir) {
        const std::error_code ec = LastError();
        ::close(own);
        return ec;
    }
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (!entry) break;
        each(fd, *entry);
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError) return {readError, std::generic_category()};
    return {};
}

// Calls `each(fd, entry)` for every entry of the open folder `fd`, read
// through that very handle from its start: a listing saves the calls a
// handle of its own costs (open, the checks fdopendir makes, close), a third
// of those a small folder took. The handle must be one no other thread lists
// at the same time.
template <typename Each>
std::error_code ForEachEntryAt(int fd, Each&& each) {
    // A folder that may be read but not entered is refused, as a handle of
    // its own could not be opened in it: its entries could not be reached.
    struct stat st {};
    if (::fstatat(fd, ".", &st, 0) != 0) return LastError();
    // (A folder opened only to be entered is listed as ForEachEntryOf lists it, and refused the same way.)
    if (::lseek(fd, 0, SEEK_SET) < 0)
        return errno == EBADF ? ForEachEntryOf(fd, std::forward<Each>(each)) : LastError();
    thread_local std::vector<char> buffer(std::size_t{1} << 15);
    for (;;) {
        const ssize_t got = ::getdents64(fd, buffer.data(), buffer.size());
        if (got < 0) return LastError();
        if (got == 0) return {};
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer.data() + at);
            each(fd, *entry);
            at += entry->d_reclen;
        }
    }
}

// Opens the folder `name` in `at`; one that may be entered but not read is
// still reachable by its entries.
int OpenFolderAt(int at, const char* name, bool followLast) {
    const int nofollow = followLast ? 0 : O_NOFOLLOW;
    int fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | nofollow);
    if (fd < 0 && errno == EACCES) fd = ::openat(at, name, O_PATH | O_DIRECTORY | O_CLOEXEC | nofollow);
    return fd;
}

// Opens the folder at `path` a part at a time, for a path longer than the
// system takes at once; with `links` false no part may be a symbolic link.
int OpenFolderByParts(const Path& path, bool links, bool followLast) {
    int at = ::open(path.is_absolute() ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    std::vector<Path> parts;
    for (const Path& part : path.relative_path())
        if (!part.empty() && part != ".") parts.push_back(part);
    for (std::size_t i = 0; i < parts.size() && at >= 0; ++i) {
        const bool last = i + 1 == parts.size();
        if (!links && parts[i] == "..") {
            ::close(at);
            errno = EINVAL;
            return -1;
        }
        const bool follow = links && (!last || followLast);
        const int next =
            last ? OpenFolderAt(at, parts[i].c_str(), follow)
                 : ::openat(at, parts[i].c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
        const int saved = errno;
        ::close(at);
        errno = saved;
        at = next;
    }
    return at;
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
        knownSize_ = other.knownSize_, readSoFar_ = other.readSoFar_;
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

std::error_code File::Info(FileInfo& info) const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return LastError();
    Fill(st, info);
    knownSize_ = info.size;
    return {};
}

std::error_code File::Read(char* data, std::size_t size, std::size_t& got) {
    for (;;) {
        const ssize_t n = ::read(fd_, data, size);
        if (n > 0 || (n == 0 && (size == 0 || readSoFar_ >= knownSize_))) {
            got = static_cast<std::size_t>(n);
            readSoFar_ += got;
            return {};
        }
        if (n == 0) {
            // An end short of the size the file had: where it still has that
            // size, the read failed (sshfs answers so once its connection is
            // gone), and what was read is not the file's content. Where it
            // shrank meanwhile, the end stands: the change shows later.
            struct stat st {};
            const off_t at = ::lseek(fd_, 0, SEEK_CUR);
            if (::fstat(fd_, &st) == 0 && at >= 0 && st.st_size > at) return std::make_error_code(std::errc::io_error);
            got = 0;
            knownSize_ = 0;
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
    if (Sys().fchmod(fd_, like.mode) != 0) return LastError();
    return {};
}

namespace {

// What a file system can do, asked once per file system (device): the first
// time by `ask`, then from what it answered.
class PerFileSystem {
public:
    template <typename Ask>
    bool Of(std::uint64_t device, Ask&& ask) {
        std::lock_guard lock(mutex_);
        if (const auto found = known_.find(device); found != known_.end()) return found->second;
        return known_.emplace(device, ask()).first->second;
    }

private:
    std::mutex mutex_;
    std::map<std::uint64_t, bool> known_;
};

// Whether the file system of `fd` holds extended attributes at all, asked
// once per file system: by getting a name no file has (ENOTSUP: none). A
// listing does not always tell: the FUSE SMB client smbnetfs answers it with
// EIO, and then fails every call on the share for a second or so.
bool HoldsAttributes(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return true;
    static PerFileSystem holds;
    return holds.Of(st.st_dev, [&] {
        char none = 0;
        return !(::fgetxattr(fd, "user.tarnwick-none", &none, 0) < 0 && (errno == ENOTSUP || errno == ENOSYS));
    });
}

// The attribute flags of `fd` (chattr's), on a file system (`device`) that
// has them at all; whether one has them is asked once (through FUSE, each
// asking opens and closes the file on the server).
bool FlagsOf(int fd, std::uint64_t device, int& flags) {
    static PerFileSystem holdsFlags;
    bool asked = false, got = false;
    const bool holds = holdsFlags.Of(device, [&] {
        asked = true;
        got = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        return got || !(errno == ENOTTY || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL);
    });
    if (holds && !asked) got = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    return got;
}

// Gives `to` the attribute flags of `from` a file's owner sets with chattr
// and a new file may take: no dump, no access times, synchronous writes,
// compression. (Append-only and immutable files are never replaced.)
std::error_code CopyFlags(int from, int to) {
    constexpr int kKept = FS_NODUMP_FL | FS_NOATIME_FL | FS_SYNC_FL | FS_COMPR_FL | FS_NOCOMP_FL | FS_NOTAIL_FL;
    struct stat st {};
    int had = 0, has = 0;
    if (::fstat(from, &st) != 0 || !FlagsOf(from, st.st_dev, had) || (had & kKept) == 0) return {};
    if (::ioctl(to, FS_IOC_GETFLAGS, &has) != 0) return LastError();
    const int wanted = (has & ~kKept) | (had & kKept);
    if (wanted != has && ::ioctl(to, FS_IOC_SETFLAGS, &wanted) != 0) return LastError();
    return {};
}

// Copies every extended attribute of `from` that this process can read onto
// `to` (the POSIX ACL is one of them), and takes away an access ACL `to` has
// and `from` has not.
std::error_code CopyExtendedAttributes(int from, int to) {
    if (!HoldsAttributes(from)) return {};
    std::vector<char> names;
    for (;;) {
        const ssize_t size = ::flistxattr(from, nullptr, 0);
        if (size < 0) return errno == ENOTSUP ? std::error_code() : LastError();
        names.resize(static_cast<std::size_t>(size));
        const ssize_t got = size ? ::flistxattr(from, names.data(), names.size()) : 0;
        if (got >= 0) {
            names.resize(static_cast<std::size_t>(got));
            break;
        }
        if (errno != ERANGE) return LastError();  // grew meanwhile: again
    }
    const auto valueOf = [](int fd, const char* name, std::string& value) {
        for (;;) {
            const ssize_t size = ::fgetxattr(fd, name, nullptr, 0);
            if (size < 0) return false;
            value.resize(static_cast<std::size_t>(size));
            const ssize_t got = size ? ::fgetxattr(fd, name, value.data(), value.size()) : 0;
            if (got >= 0) {
                value.resize(static_cast<std::size_t>(got));
                return true;
            }
            if (errno != ERANGE) return false;
        }
    };
    constexpr std::string_view kAccessAcl = "system.posix_acl_access";
    bool hasAcl = false;
    std::string value, already;
    for (std::size_t at = 0; at < names.size();) {
        const char* name = names.data() + at;
        at += std::strlen(name) + 1;
        hasAcl = hasAcl || name == kAccessAcl;
        if (!valueOf(from, name, value)) {
            if (errno == ENODATA) continue;  // removed meanwhile
            return LastError();
        }
        if (::fsetxattr(to, name, value.data(), value.size(), 0) == 0) continue;
        const std::error_code refused = LastError();
        // One the new file already has as it is (a security label given by default) needs no setting.
        if (!(valueOf(to, name, already) && already == value)) return refused;
    }
    // Asked first: a removal is a change of the file even where there is nothing to remove.
    if (!hasAcl && ::fgetxattr(to, kAccessAcl.data(), nullptr, 0) >= 0 && ::fremovexattr(to, kAccessAcl.data()) != 0)
        return LastError();
    return {};
}

}  // namespace

std::error_code File::CopyTimesFrom(const File& from) {
    struct stat st {};
    if (::fstat(from.fd_, &st) != 0) return LastError();
    // (The access time is the run's own by now: its read set it.)
    const struct timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
    if (::futimens(fd_, times) != 0) return LastError();
    return {};
}

std::error_code File::CopyAccessFrom(const File& from, const FileInfo& like) {
    // The owner where we may (as root); the group wherever the user may give
    // it. Not asked where the new file has them already (on a share, each
    // change is a round trip).
    FileInfo now;
    if (auto ec = Info(now)) return ec;
    const bool root = ::geteuid() == 0;
    if (now.group != like.group || (root && now.owner != like.owner)) {
        if (root) (void)::fchown(fd_, like.owner, like.group);
        else (void)::fchown(fd_, static_cast<uid_t>(-1), like.group);
        if (auto ec = Info(now)) return ec;
    }
    // Another group with the same group rights would let other users in.
    if (now.group != like.group && (like.mode & 070) != 0)
        return std::make_error_code(std::errc::operation_not_permitted);
    // The ACL and the attributes first, while the file is still its owner's
    // alone (made 0600; an ACL inherited from the folder is masked by that):
    // the permission bits open it only to whom the original's ACL lets in.
    if (auto ec = CopyExtendedAttributes(from.fd_, fd_)) return ec;
    if (auto ec = CopyFlags(from.fd_, fd_)) return ec;
    if (Sys().fchmod(fd_, like.mode) != 0) return LastError();
    return {};
}

bool File::TryLock() {
    if (Sys().flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
    // Where the file system has no locks, there is nothing to wait for.
    return errno != EWOULDBLOCK;
}

namespace {

// The process /proc/locks names as holding a lock on the file `st` describes; 0 where none.
std::uint64_t LockHolderOf(const struct stat& st) {
    std::FILE* locks = std::fopen("/proc/locks", "re");
    if (!locks) return 0;
    std::uint64_t holder = 0;
    char line[256];
    while (!holder && std::fgets(line, sizeof line, locks)) {
        char kind[16], mode[16], access[16];
        long pid = 0;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(line, "%*d: %15s %15s %15s %ld %x:%x:%llu", kind, mode, access, &pid, &major, &minor, &inode) ==
                7 &&
            std::string_view(kind) == "FLOCK" && inode == st.st_ino && major == ::major(st.st_dev) &&
            minor == ::minor(st.st_dev) && pid > 0 && pid != ::getpid())
            holder = static_cast<std::uint64_t>(pid);
    }
    std::fclose(locks);
    return holder;
}

}  // namespace

std::uint64_t File::LockHolder() const {
    // Linux lists the locks and who took them: "1: FLOCK ADVISORY WRITE PID MAJOR:MINOR:INODE 0 EOF".
    // The list is read a part at a time by position: a lock another process
    // lets go meanwhile can make the one sought slip by, so it is read again.
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return 0;
    std::uint64_t holder = 0;
    for (int attempt = 0; attempt < 4 && !holder; ++attempt) holder = LockHolderOf(st);
    return holder;
}

bool File::IsOpen() const { return fd_ >= 0; }

std::error_code File::Rewind() {
    if (::lseek(fd_, 0, SEEK_SET) != 0) return LastError();
    readSoFar_ = 0;
    return {};
}

std::error_code File::Close() {
    if (fd_ < 0) return {};
    const int rc = ::close(fd_);
    fd_ = -1;
    knownSize_ = readSoFar_ = 0;
    // After close() the descriptor is gone whatever it says; EINTR is no failure.
    if (rc != 0 && errno != EINTR) return LastError();
    return {};
}

Folder::Folder(Folder&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) { other.fd_ = -1; }

Folder& Folder::operator=(Folder&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
    }
    return *this;
}

Folder::~Folder() {
    if (fd_ >= 0) ::close(fd_);
}

std::error_code Folder::Open(const Path& path, Folder& folder, bool followLast) {
    // A folder that may be written but not read: its entries are still reachable.
    int fd = OpenFolderAt(AT_FDCWD, path.empty() ? "." : path.c_str(), followLast);
    if (fd < 0 && errno == ENAMETOOLONG) fd = OpenFolderByParts(path, true, followLast);
    if (fd < 0) return LastError();
    folder = Folder();
    folder.fd_ = fd;
    folder.path_ = path;
    return {};
}

std::error_code Folder::OpenWithoutLinks(const Path& path, Folder& folder) {
    if (!path.is_absolute()) return std::make_error_code(std::errc::invalid_argument);
    const int fd = OpenFolderByParts(path, false, false);
    if (fd < 0) return LastError();
    folder = Folder();
    folder.fd_ = fd;
    folder.path_ = path;
    return {};
}

bool Folder::IsOpen() const { return fd_ >= 0; }

std::error_code Folder::Info(FileInfo& info) const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return LastError();
    Fill(st, info);
    return {};
}

std::error_code Folder::Duplicate(Folder& copy) const {
    const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return LastError();
    copy = Folder();
    copy.fd_ = fd;
    copy.path_ = path_;
    return {};
}

std::error_code Folder::OpenFolder(const Path& name, Folder& child) const {
    const int fd = OpenFolderAt(fd_, name.c_str(), false);
    if (fd < 0) return LastError();
    child = Folder();
    child.fd_ = fd;
    child.path_ = path_ / name;
    return {};
}

std::error_code Folder::List(std::vector<FolderEntry>& entries, bool folders, bool hidden, std::uint8_t* rules) const {
    entries.clear();
    if (rules) *rules = 0;
    return ForEachEntryAt(fd_, [&](int dir, const auto& entry) {
        const std::string_view name = entry.d_name;
        if (rules && name[0] == '.')
            *rules |= name == ".gitignore" ? kHasGitIgnore
                      : name == ".ignore"  ? kHasIgnore
                      : name == ".git"     ? kHasRepository
                                           : 0;
        if (name == "." || name == ".." || (!hidden && name[0] == '.') || IsTemporaryName(name)) return;
        unsigned char type = entry.d_type;
        struct stat st {};
        const bool known = type != DT_UNKNOWN && !(type == DT_DIR && folders);
        if (!known) {
            if (::fstatat(dir, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
            type = S_ISREG(st.st_mode) ? DT_REG : S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : 0;
        }
        if (IsVersionControlName(name, type == DT_DIR)) return;
        if (type == DT_DIR && folders) {
            entries.push_back({entry.d_name, FolderEntry::Kind::Folder, static_cast<std::uint64_t>(st.st_dev),
                               static_cast<std::uint64_t>(st.st_ino)});
        } else if (type == DT_REG) {
            entries.push_back({entry.d_name, FolderEntry::Kind::File});
        } else if (type == DT_LNK) {
            // A link to a file counts; a dangling or looping one does not, and
            // a link to a folder is no folder of this one.
            if (::fstatat(dir, entry.d_name, &st, 0) == 0 && S_ISREG(st.st_mode))
                entries.push_back({entry.d_name, FolderEntry::Kind::Link});
        }
    });
}

std::error_code Folder::ListTemporaries(std::vector<Path::string_type>& names) const {
    names.clear();
    return ForEachEntryOf(fd_, [&](int, const dirent& entry) {
        if (std::strncmp(entry.d_name, ".~tarnwick-", 11) == 0) names.emplace_back(entry.d_name);
    });
}

std::error_code Folder::ListNames(std::vector<Path::string_type>& names) const {
    names.clear();
    return ForEachEntryOf(fd_, [&](int, const dirent& entry) {
        const std::string_view name = entry.d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    });
}

std::error_code Folder::Resolve(const Path& name, Path& resolved) const {
    // Through the handle where the system shows it as a path: the folder as it
    // is now, wherever it was moved.
    char handle[64];
    std::snprintf(handle, sizeof handle, "/proc/self/fd/%d", fd_);
    struct stat st {};
    const Path through = ::stat(handle, &st) == 0 ? Path(handle) / name : path_ / name;
    char* real = ::realpath(through.c_str(), nullptr);
    if (!real) return LastError();
    resolved = real;
    std::free(real);
    return {};
}

std::error_code Folder::Stat(const Path& name, FileInfo& info, bool followLinks) const {
    struct stat st {};
    if (::fstatat(fd_, name.c_str(), &st, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) != 0) return LastError();
    Fill(st, info);
    return {};
}

namespace {

// The descriptor Folder::OpenRead opens the entry `name` of `folder` with (-1, errno set, where it cannot).
int OpenForReading(int folder, const char* name, bool followLinks) {
    return ::openat(folder, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (followLinks ? 0 : O_NOFOLLOW));
}

}  // namespace

std::error_code Folder::OpenRead(const Path& name, File& file, bool followLinks) const {
    const int fd = OpenForReading(fd_, name.c_str(), followLinks);
    if (fd < 0) return LastError();
    file = File();
    file.fd_ = fd;
    return {};
}

std::error_code Folder::OpenReadLast(const Path& path, File& file, bool followLinks) const {
    const std::string& whole = path.native();
    const std::size_t slash = whole.find_last_of('/');
    const int fd = OpenForReading(fd_, whole.c_str() + (slash == std::string::npos ? 0 : slash + 1), followLinks);
    if (fd < 0) return LastError();
    file = File();
    file.fd_ = fd;
    return {};
}

std::error_code Folder::CreateNew(const Path& name, File& file) const {
    const int fd = Sys().openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) return LastError();
    file = File();
    file.fd_ = fd;
    return {};
}

std::error_code Folder::Rename(const Path& from, const Path& to) const {
    return WhileClosing(*this, [&] { return Sys().renameat(fd_, from.c_str(), fd_, to.c_str()); });
}

std::error_code Folder::Replace(const Path& from, const Path& to) const { return Rename(from, to); }

std::error_code Folder::RenameNoReplace(const Path& from, const Path& to) const {
    const auto ec =
        WhileClosing(*this, [&] { return Sys().renameat2(fd_, from.c_str(), fd_, to.c_str(), RENAME_NOREPLACE); });
    if (!ec) return {};
    if (ec.value() != EINVAL && ec.value() != ENOSYS) return ec;
    // A file system without the flag (FUSE, network shares): a second name, then the first goes.
    if (Sys().linkat(fd_, from.c_str(), fd_, to.c_str(), 0) == 0) return Remove(from);
    if (errno == EEXIST) return LastError();
    struct stat st {};
    if (::fstatat(fd_, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return std::make_error_code(std::errc::file_exists);
    return Rename(from, to);
}

std::error_code Folder::LinkFrom(const Folder& from, const Path& fromName, const Path& name) const {
    if (Sys().linkat(from.fd_, fromName.c_str(), fd_, name.c_str(), 0) != 0) return LastError();
    return {};
}

std::error_code Folder::Remove(const Path& name) const {
    return WhileClosing(*this, [&] { return Sys().unlinkat(fd_, name.c_str(), 0); });
}

std::error_code Folder::RemoveFolder(const Path& name) const {
    if (Sys().unlinkat(fd_, name.c_str(), AT_REMOVEDIR) != 0) return LastError();
    return {};
}

void Folder::Flush() const { (void)Sys().fsync(fd_); }

std::error_code Folder::CheckReplaceable(const File& file, const FileInfo& info) const {
    struct stat folder {};
    if (::fstat(fd_, &folder) != 0) return LastError();
    // File systems without these attributes cannot have them set either.
    const auto locked = [](int fd, std::uint64_t device) {
        int flags = 0;
        return FlagsOf(fd, device, flags) && (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
    };
    const auto denied = std::make_error_code(std::errc::operation_not_permitted);
    if (locked(fd_, folder.st_dev) || locked(file.fd_, info.device)) return denied;
    const uid_t me = ::geteuid();
    if ((folder.st_mode & S_ISVTX) && me != 0 && info.owner != me && folder.st_uid != me) return denied;
    return {};
}

std::error_code Folder::CheckWritable(const Path& name) const {
    // The kernel's own answer: it refuses immutable files even to root.
    if (::faccessat(fd_, name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) return LastError();
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

const Path::string_type& MachineTag() {
    // The host's name and the process-number namespace: a process number means
    // something only within both.
    static const std::string tag = [] {
        std::string what(256, '\0');
        if (::gethostname(what.data(), what.size()) != 0) what.clear();
        what.resize(std::strlen(what.c_str()));
        char ns[64] = {};
        if (::readlink("/proc/self/ns/pid", ns, sizeof ns - 1) > 0) what.append("/").append(ns);
        std::uint32_t hash = 2166136261u;  // FNV-1a
        for (const char c : what) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08x", hash);
        return std::string(hex);
    }();
    return tag;
}

bool ProcessRunning(std::uint64_t process) {
    if (process == 0 || process > static_cast<std::uint64_t>(std::numeric_limits<pid_t>::max())) return false;
    return ::kill(static_cast<pid_t>(process), 0) == 0 || errno != ESRCH;
}

Path TemporaryFileName() {
    static std::atomic<unsigned> counter{0};
    static const unsigned salt = std::random_device{}();
    char name[80];
    std::snprintf(name, sizeof name, ".~tarnwick-%ld-%s-%08x-%u", static_cast<long>(::getpid()), MachineTag().c_str(),
                  salt, counter.fetch_add(1));
    return name;
}

std::error_code ListTemporaries(const Path& folder, std::vector<Path::string_type>& names) {
    names.clear();
    return ForEachEntry(folder, [&](int, const dirent& entry) {
        if (std::strncmp(entry.d_name, ".~tarnwick-", 11) == 0) names.emplace_back(entry.d_name);
    });
}

bool IsPlainNamePart(const Path::string_type& name) {
    return !name.empty() && name.find_first_of(std::string_view("/\0", 2)) == Path::string_type::npos;
}

bool OpenFilesReplaceable() { return true; }

bool OpenFilesReplaceable(const Folder& folder) {
    FileInfo info;
    if (folder.Info(info)) return true;
    static PerFileSystem replaceable;
    return replaceable.Of(info.device, [&] {
        constexpr unsigned long kFuse = 0x65735546;  // FUSE_SUPER_MAGIC
        struct statfs fs {};
        return !(folder.fd_ >= 0 && ::fstatfs(folder.fd_, &fs) == 0 && static_cast<unsigned long>(fs.f_type) == kFuse);
    });
}

bool WaitsOnServer(const Folder& folder) {
    FileInfo info;
    if (folder.Info(info)) return false;
    static PerFileSystem remote;
    return remote.Of(info.device, [&] {
        struct statfs fs {};
        if (folder.fd_ < 0 || ::fstatfs(folder.fd_, &fs) != 0) return false;
        switch (static_cast<unsigned long>(fs.f_type)) {
        case 0x65735546:  // FUSE
        case 0x6969:      // NFS
        case 0x517B:      // SMB
        case 0xFF534D42:  // CIFS
        case 0xFE534D42:  // SMB2
        case 0x01021997:  // 9P
        case 0x00C36400:  // Ceph
        case 0x5346414F:  // AFS
            return true;
        default: return false;
        }
    });
}

bool ReadFilesFlushable() { return true; }

Path Absolute(const Path& path, std::error_code& ec) { return std::filesystem::absolute(path, ec).lexically_normal(); }

bool OutcomeUnknown(const std::error_code& ec) {
    if (ec.category() != std::generic_category() && ec.category() != std::system_category()) return false;
    switch (ec.value()) {
    case EIO:
    case ETIMEDOUT:
    case ECONNRESET:
    case ECONNABORTED:
    case ENETRESET: return true;
    default: return false;
    }
}

std::string LocalTimeText(std::int64_t nanoseconds) {
    const std::time_t seconds = static_cast<std::time_t>(nanoseconds / 1'000'000'000);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    char zone[8] = "+0000";
    std::strftime(zone, sizeof zone, "%z", &local);
    std::snprintf(text + n, sizeof text - n, ".%09lld %s", static_cast<long long>(nanoseconds % 1'000'000'000), zone);
    return text;
}

std::tm CalendarTime(std::int64_t seconds, bool local) {
    const auto time = static_cast<std::time_t>(seconds);
    std::tm broken{};
    if (local) ::localtime_r(&time, &broken);
    else ::gmtime_r(&time, &broken);
    return broken;
}

bool IsInstalledProgramFolder(const Path& folder, const Path& bindir) {
    const Path normal = folder.lexically_normal();
    const auto within = [&](const Path& prefix) {
        const Path relative = normal.lexically_relative(prefix);
        return !relative.empty() && *relative.begin() != "..";
    };
    return within("/usr") || within("/bin") || within("/sbin") ||
           (!bindir.empty() && normal == bindir.lexically_normal());
}

std::string_view NewLine() { return "\n"; }

Path UserConfigFolder(std::string_view name) {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') return Path(config) / name;
    if (const char* home = std::getenv("HOME"); home && *home) return Path(home) / ".config" / name;
    return {};
}

std::uint64_t ProcessId() { return static_cast<std::uint64_t>(::getpid()); }

Path UserStateFolder(std::string_view name) {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/') return Path(state) / name;
    if (const char* home = std::getenv("HOME"); home && *home) return Path(home) / ".local" / "state" / name;
    return {};
}

std::error_code CreateFolder(const Path& folder) {
    if (Sys().mkdirat(AT_FDCWD, folder.c_str(), 0700) != 0) return LastError();
    return {};
}

std::error_code CreateFolders(const Path& folder) {
    std::error_code ec;
    if (folder.empty() || std::filesystem::is_directory(folder, ec)) return {};
    if (folder.has_parent_path() && folder.parent_path() != folder)
        if (auto up = CreateFolders(folder.parent_path())) return up;
    auto made = CreateFolder(folder);
    if (made == std::errc::file_exists && std::filesystem::is_directory(folder, ec)) return {};
    return made;
}

std::error_code MakePrivateFolder(const Path& folder, Privacy& why) {
    std::error_code ec;
    if (folder.has_parent_path() && !std::filesystem::exists(folder, ec))
        if (auto made = CreateFolders(folder); made && made != std::errc::file_exists) return made;
    return CheckPrivate(folder, true, why);
}

std::error_code CheckPrivate(const Path& path, bool folder, Privacy& why) {
    struct stat st {};
    why = Privacy::Private;
    if (::lstat(path.c_str(), &st) != 0) return LastError();
    const auto refuse = [&](Privacy reason) {
        why = reason;
        return std::make_error_code(std::errc::permission_denied);
    };
    if (folder && !S_ISDIR(st.st_mode)) return refuse(Privacy::NotFolder);
    if (!folder && !S_ISREG(st.st_mode)) return refuse(Privacy::NotFile);
    if (st.st_uid != ::geteuid()) return refuse(Privacy::OtherOwner);
    if (st.st_mode & (S_IWGRP | S_IWOTH)) return refuse(Privacy::OthersMayWrite);
    return {};
}

std::vector<std::string> ProgramsHolding(const Path&) { return {}; }

Path ProgramFile() {
    std::error_code ec;
    Path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? Path() : self;
}

std::size_t OpenFilesLeft() {
    constexpr std::size_t kPlenty = 1u << 16;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= kPlenty)
        return kPlenty;
    // Counting the open descriptors costs a listing: only where the limit is low.
    std::size_t open = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') ++open;
        ::closedir(dir);
        --open;  // the listing's own
    } else {
        open = 16;
    }
    const auto total = static_cast<std::size_t>(limit.rlim_cur);
    return total > open ? total - open : 0;
}

std::uint32_t DefaultNewFileMode() {
    static const std::uint32_t mode = [] {
        const mode_t mask = ::umask(022);
        ::umask(mask);
        return 0666u & ~static_cast<std::uint32_t>(mask);
    }();
    return mode;
}

}  // namespace tarnwick::os

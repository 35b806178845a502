#include "Trace.h"

#include "SystemCalls.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarnwick::crash {

namespace {

Recorder* active = nullptr;
os::SystemCalls real;
std::mutex mutex;  // one call and its record at a time: the trace is the order they happened in

std::pair<std::uint64_t, std::uint64_t> IdentityOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// The path a descriptor of a folder was opened at.
std::string FolderOf(int fd) {
    if (fd == AT_FDCWD) return std::filesystem::current_path().string();
    char link[64], target[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n < 0) throw std::runtime_error("cannot tell the folder of a descriptor");
    return std::string(target, static_cast<std::size_t>(n));
}

std::string PathAt(int folder, const char* name) {
    if (name[0] == '/') return std::filesystem::path(name).lexically_normal().string();
    return (std::filesystem::path(FolderOf(folder)) / name).lexically_normal().string();
}

int NumberOf(int fd) {
    struct stat st {};
    ::fstat(fd, &st);
    auto& numbers = active->Numbers();
    const auto found = numbers.find(IdentityOf(st));
    if (found != numbers.end()) return found->second;
    // A file this trace did not see made (opened by its own path): numbered now.
    const int n = active->next++;
    numbers[IdentityOf(st)] = n;
    active->Recorded().identity[n] = IdentityOf(st);
    return n;
}

void Add(Op op) { active->Recorded().ops.push_back(std::move(op)); }

ssize_t Write(int fd, const void* data, std::size_t size) {
    std::lock_guard lock(mutex);
    const off_t offset = ::lseek(fd, 0, SEEK_CUR);
    const ssize_t n = real.write(fd, data, size);
    if (n > 0) {
        Op op = Op::Of(Op::Write);
        op.inode = NumberOf(fd);
        op.offset = static_cast<std::uint64_t>(offset);
        op.data.assign(static_cast<const char*>(data), static_cast<std::size_t>(n));
        Add(std::move(op));
    }
    return n;
}

int Fsync(int fd) {
    std::lock_guard lock(mutex);
    const int rc = real.fsync(fd);
    if (rc == 0) {
        struct stat st {};
        ::fstat(fd, &st);
        Op op = Op::Of(S_ISDIR(st.st_mode) ? Op::FolderFlush : Op::FileFlush);
        if (op.kind == Op::FolderFlush) {
            op.path = FolderOf(fd);
        } else {
            op.inode = NumberOf(fd);
            op.mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
        }
        Add(std::move(op));
    }
    return rc;
}

int RenameAt2(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) {
    std::lock_guard lock(mutex);
    const int rc = real.renameat2(fromFolder, from, toFolder, to, flags);
    if (rc == 0) {
        Op op = Op::Of(Op::Rename, PathAt(fromFolder, from), PathAt(toFolder, to));
        op.noReplace = (flags & RENAME_NOREPLACE) != 0;
        Add(std::move(op));
    }
    return rc;
}

int RenameAt(int fromFolder, const char* from, int toFolder, const char* to) {
    return RenameAt2(fromFolder, from, toFolder, to, 0);
}

int LinkAt(int fromFolder, const char* existing, int toFolder, const char* link, int flags) {
    std::lock_guard lock(mutex);
    if (active->RefusesLinks()) {
        errno = EPERM;
        return -1;
    }
    const int rc = real.linkat(fromFolder, existing, toFolder, link, flags);
    if (rc == 0) Add(Op::Of(Op::Link, PathAt(fromFolder, existing), PathAt(toFolder, link)));
    return rc;
}

int OpenAt(int folder, const char* name, int flags, mode_t mode) {
    std::lock_guard lock(mutex);
    const int fd = real.openat(folder, name, flags, mode);
    if (fd >= 0 && (flags & O_CREAT)) {
        struct stat st {};
        ::fstat(fd, &st);
        Op op = Op::Of(Op::Create, PathAt(folder, name));
        op.inode = active->next++;
        op.mode = st.st_mode & 07777;
        active->Numbers()[IdentityOf(st)] = op.inode;
        active->Recorded().identity[op.inode] = IdentityOf(st);
        Add(std::move(op));
    }
    return fd;
}

int UnlinkAt(int folder, const char* name, int flags) {
    std::lock_guard lock(mutex);
    const int rc = real.unlinkat(folder, name, flags);
    if (rc == 0) Add(Op::Of(Op::Unlink, PathAt(folder, name)));
    return rc;
}

int MkdirAt(int folder, const char* name, mode_t mode) {
    std::lock_guard lock(mutex);
    const int rc = real.mkdirat(folder, name, mode);
    if (rc == 0) Add(Op::Of(Op::MakeFolder, PathAt(folder, name)));
    return rc;
}

int Fchmod(int fd, mode_t mode) {
    std::lock_guard lock(mutex);
    const int rc = real.fchmod(fd, mode);
    if (rc == 0) {
        Op op = Op::Of(Op::Chmod);
        op.inode = NumberOf(fd);
        op.mode = mode & 07777;
        Add(std::move(op));
    }
    return rc;
}

int Flock(int fd, int operation) {
    std::lock_guard lock(mutex);
    const int rc = real.flock(fd, operation);
    if (rc == 0 && (operation & LOCK_EX)) {
        Op op = Op::Of(Op::Lock);
        op.inode = NumberOf(fd);
        Add(std::move(op));
    }
    return rc;
}

void PutString(std::ostream& out, const std::string& s) {
    const std::uint64_t size = s.size();
    out.write(reinterpret_cast<const char*>(&size), sizeof size);
    out.write(s.data(), static_cast<std::streamsize>(s.size()));
}

std::string GetString(std::istream& in) {
    std::uint64_t size = 0;
    in.read(reinterpret_cast<char*>(&size), sizeof size);
    std::string s(size, '\0');
    in.read(s.data(), static_cast<std::streamsize>(size));
    return s;
}

template <typename T>
void Put(std::ostream& out, T value) {
    out.write(reinterpret_cast<const char*>(&value), sizeof value);
}

template <typename T>
T Get(std::istream& in) {
    T value{};
    in.read(reinterpret_cast<char*>(&value), sizeof value);
    return value;
}

}  // namespace

Recorder::Recorder(Trace& trace, std::map<std::pair<std::uint64_t, std::uint64_t>, int> known)
    : trace_(trace), numbers_(std::move(known)) {
    for (const auto& [identity, number] : numbers_) {
        trace_.identity[number] = identity;
        next = std::max(next, number + 1);
    }
    real = os::Sys();
    active = this;
    os::SystemCalls& calls = os::Sys();
    calls.write = Write;
    calls.fsync = Fsync;
    calls.renameat = RenameAt;
    calls.renameat2 = RenameAt2;
    calls.linkat = LinkAt;
    calls.openat = OpenAt;
    calls.unlinkat = UnlinkAt;
    calls.mkdirat = MkdirAt;
    calls.fchmod = Fchmod;
    calls.flock = Flock;
}

Recorder::~Recorder() {
    os::Sys() = real;
    active = nullptr;
}

Recorder* Recorder::Active() { return active; }

void Recorder::Told(const std::string& path, const std::string& content) {
    std::lock_guard lock(mutex);
    Op op = Op::Of(Op::Told, std::filesystem::path(path).lexically_normal().string());
    op.data = content;
    trace_.ops.push_back(std::move(op));
}

void Recorder::Mark(const std::string& what) {
    std::lock_guard lock(mutex);
    trace_.ops.push_back(Op::Of(Op::Mark, what));
}

void Trace::Save(const std::string& file) const {
    std::ofstream out(file, std::ios::binary);
    Put<std::uint64_t>(out, identity.size());
    for (const auto& [number, id] : identity) {
        Put(out, number);
        Put(out, id.first);
        Put(out, id.second);
    }
    Put<std::uint64_t>(out, ops.size());
    for (const Op& op : ops) {
        Put(out, op.kind);
        PutString(out, op.path);
        PutString(out, op.to);
        PutString(out, op.data);
        Put(out, op.inode);
        Put(out, op.offset);
        Put(out, op.mode);
        Put(out, op.mtime);
        Put(out, op.noReplace);
    }
    if (!out) throw std::runtime_error("cannot write the trace " + file);
}

Trace Trace::Load(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("no trace " + file);
    Trace t;
    for (auto n = Get<std::uint64_t>(in); n > 0; --n) {
        const int number = Get<int>(in);
        const auto device = Get<std::uint64_t>(in);
        t.identity[number] = {device, Get<std::uint64_t>(in)};
    }
    for (auto n = Get<std::uint64_t>(in); n > 0 && in; --n) {
        Op op;
        op.kind = Get<Op::Kind>(in);
        op.path = GetString(in);
        op.to = GetString(in);
        op.data = GetString(in);
        op.inode = Get<int>(in);
        op.offset = Get<std::uint64_t>(in);
        op.mode = Get<std::uint32_t>(in);
        op.mtime = Get<std::int64_t>(in);
        op.noReplace = Get<bool>(in);
        t.ops.push_back(std::move(op));
    }
    if (!in) throw std::runtime_error("the trace " + file + " is cut short");
    return t;
}

}  // namespace tarnwick::crash

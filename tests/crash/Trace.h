#pragma once

// What a run did to the file system, operation by operation, as the system
// calls of the platform layer saw it: recorded in the process that runs it,
// read back by the checker.

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick::crash {

struct Op {
    enum Kind : std::uint8_t {
        Create,       // `path` made as a new empty file `inode` (mode 0600)
        Write,        // `data` into `inode` at `offset`
        Chmod,        // `inode` gets permission bits `mode`
        FileFlush,    // `inode`'s data durable; `mtime` its modification time then
        Rename,       // `path` to `to`, replacing what is there unless `noReplace`
        Link,         // `to` made a second name of `path`
        Unlink,       // the name `path` removed (a file's, or an empty folder's)
        MakeFolder,   // the folder `path` made
        FolderFlush,  // the entries of the folder `path` durable
        Lock,         // not a change: `inode` locked against other runs of the program
        Told,         // not an operation: the run said that `path` now holds `data`
        Mark,         // not an operation: the run reached the point named `path`
    };
    Kind kind{};
    std::string path, to, data;
    int inode = -1;
    std::uint64_t offset = 0;
    std::uint32_t mode = 0;
    std::int64_t mtime = 0;
    bool noReplace = false;

    static Op Of(Kind kind, std::string path = {}, std::string to = {}) {
        Op op;
        op.kind = kind;
        op.path = std::move(path);
        op.to = std::move(to);
        return op;
    }
    bool ChangesState() const {
        return kind != FileFlush && kind != FolderFlush && kind != Lock && kind != Told && kind != Mark;
    }
};

struct Trace {
    std::vector<Op> ops;
    // Each file's system identity (device, inode) by its number in the trace.
    std::map<int, std::pair<std::uint64_t, std::uint64_t>> identity;

    void Save(const std::string& file) const;
    static Trace Load(const std::string& file);
};

// Records every change made through the system-call table while it lives.
// `known` numbers the files there before it (by device and inode).
class Recorder {
public:
    Recorder(Trace& trace, std::map<std::pair<std::uint64_t, std::uint64_t>, int> known);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // What the run tells, in its place among the operations.
    void Told(const std::string& path, const std::string& content);
    void Mark(const std::string& what);
    // Hard links are refused (EPERM), as on file systems without them.
    void RefuseLinks(bool refuse) { refuseLinks_ = refuse; }
    bool RefusesLinks() const { return refuseLinks_; }

    static Recorder* Active();
    Trace& Recorded() { return trace_; }
    std::map<std::pair<std::uint64_t, std::uint64_t>, int>& Numbers() { return numbers_; }
    int next = 0;

private:
    Trace& trace_;
    std::map<std::pair<std::uint64_t, std::uint64_t>, int> numbers_;
    bool refuseLinks_ = false;
};

}  // namespace tarnwick::crash

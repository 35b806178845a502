#pragma once

// A file system as a trace says it is, and the states a power cut can leave
// it in. The persistence model is the least POSIX promises: a file's data is
// durable only once the file is flushed, a change of names (create, rename,
// link, unlink, a new folder) only once its folder is flushed (a rename: both
// folders); what is not yet durable may or may not have reached the disk, in
// any combination, each operation whole or not at all.

#include "Trace.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tarnwick::crash {

struct Inode {
    std::string data;
    std::uint32_t mode = 0600;
    std::int64_t mtime = 0;
};

struct Entry {
    enum Kind { File, Folder, Symlink } kind = File;
    int inode = -1;      // a file's
    std::string target;  // a symbolic link's
};

struct State {
    std::map<std::string, Entry> entries;  // by absolute path
    std::vector<Inode> inodes;             // by number

    // The file a path leads to (through symbolic links), or null.
    const Inode* FileAt(const std::string& path) const;
    // What tells two states apart: names, what they lead to, contents, modes.
    std::string Key() const;
    // The names in `folder`, directly.
    std::vector<std::string> NamesIn(const std::string& folder) const;
};

// The tree under `root` as it is now; its files numbered in `numbers` by device and inode.
State Snapshot(const std::filesystem::path& root, std::map<std::pair<std::uint64_t, std::uint64_t>, int>& numbers);

// `op` carried out on `state`; nothing where the names it needs are not there.
void Apply(State& state, const Op& op);

struct Limits {
    std::size_t exhaustive = 10;  // every subset of up to this many operations not yet durable
    std::size_t samples = 160;    // beyond: this many random subsets, and all and none
};

struct Counts {
    std::size_t points = 0;   // crash points (every prefix of the trace)
    std::size_t states = 0;   // crash states enumerated
    std::size_t sampled = 0;  // points where the subsets were sampled
};

// Every crash state of `trace` from `start`: the prefix it cut the run at
// (`point` operations done) and the state on disk.
Counts ForEachCrashState(const State& start, const Trace& trace, const Limits& limits,
                         const std::function<void(std::size_t point, const State& state)>& each);

// Makes the tree of `state` under its root (removing what is there first):
// each file once, its other names as hard links, its bits and time. Returns
// the new device and inode of each file by number.
std::map<int, std::pair<std::uint64_t, std::uint64_t>> Materialize(const State& state, const std::string& root);

}  // namespace tarnwick::crash

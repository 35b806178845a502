#include "Model.h"

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <set>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace tarnwick::crash {

namespace fs = std::filesystem;

namespace {

std::string Parent(const std::string& path) { return fs::path(path).parent_path().string(); }

bool IsFolder(const State& s, const std::string& path) {
    const auto found = s.entries.find(path);
    return found != s.entries.end() && found->second.kind == Entry::Folder;
}

// The folders whose entries an operation changes.
std::vector<std::string> FoldersOf(const Op& op) {
    switch (op.kind) {
    case Op::Create:
    case Op::Unlink:
    case Op::MakeFolder: return {Parent(op.path)};
    case Op::Link: return {Parent(op.to)};
    case Op::Rename: return {Parent(op.path), Parent(op.to)};
    default: return {};
    }
}

// For each operation, the first one after it that makes it durable (ops.size() for none).
std::vector<std::size_t> DurableAfter(const std::vector<Op>& ops) {
    std::vector<std::size_t> at(ops.size(), ops.size());
    for (std::size_t i = 0; i < ops.size(); ++i) {
        const Op& op = ops[i];
        if (!op.ChangesState()) continue;
        if (op.kind == Op::Write || op.kind == Op::Chmod) {
            for (std::size_t j = i + 1; j < ops.size(); ++j)
                if (ops[j].kind == Op::FileFlush && ops[j].inode == op.inode) {
                    at[i] = j;
                    break;
                }
            continue;
        }
        std::size_t latest = 0;
        for (const std::string& folder : FoldersOf(op)) {
            std::size_t first = ops.size();
            for (std::size_t j = i + 1; j < ops.size(); ++j)
                if (ops[j].kind == Op::FolderFlush && ops[j].path == folder) {
                    first = j;
                    break;
                }
            latest = std::max(latest, first);
        }
        at[i] = latest;
    }
    return at;
}

}  // namespace

const Inode* State::FileAt(const std::string& path) const {
    std::string at = path;
    for (int hops = 0; hops < 8; ++hops) {
        const auto found = entries.find(at);
        if (found == entries.end()) return nullptr;
        if (found->second.kind == Entry::File) return &inodes[static_cast<std::size_t>(found->second.inode)];
        if (found->second.kind != Entry::Symlink) return nullptr;
        const fs::path target(found->second.target);
        at = (target.is_absolute() ? target : fs::path(Parent(at)) / target).lexically_normal().string();
    }
    return nullptr;
}

std::string State::Key() const {
    std::string key;
    std::map<int, int> label;  // files by first name, so that numbers do not matter
    for (const auto& [path, e] : entries) {
        key += path;
        key += '\0';
        key += static_cast<char>('0' + e.kind);
        if (e.kind == Entry::Symlink) key += e.target;
        if (e.kind != Entry::File) continue;
        const auto [it, fresh] = label.try_emplace(e.inode, static_cast<int>(label.size()));
        key += std::to_string(it->second);
        if (!fresh) continue;
        const Inode& i = inodes[static_cast<std::size_t>(e.inode)];
        key += '\0' + std::to_string(i.mode) + '\0' + std::to_string(i.data.size()) + '\0';
        key += i.data;
    }
    return key;
}

std::vector<std::string> State::NamesIn(const std::string& folder) const {
    std::vector<std::string> names;
    for (const auto& [path, e] : entries)
        if (Parent(path) == folder && path != folder) names.push_back(fs::path(path).filename().string());
    return names;
}

State Snapshot(const fs::path& root, std::map<std::pair<std::uint64_t, std::uint64_t>, int>& numbers) {
    State s;
    const auto add = [&](const fs::path& path) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) throw std::runtime_error("cannot see " + path.string());
        Entry e;
        if (S_ISDIR(st.st_mode)) {
            e.kind = Entry::Folder;
        } else if (S_ISLNK(st.st_mode)) {
            e.kind = Entry::Symlink;
            e.target = fs::read_symlink(path).string();
        } else {
            const std::pair<std::uint64_t, std::uint64_t> id{st.st_dev, st.st_ino};
            const auto [it, fresh] = numbers.try_emplace(id, static_cast<int>(s.inodes.size()));
            e.inode = it->second;
            if (fresh) {
                Inode i;
                std::ifstream in(path, std::ios::binary);
                i.data.assign(std::istreambuf_iterator<char>(in), {});
                i.mode = st.st_mode & 07777;
                i.mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
                s.inodes.push_back(std::move(i));
            }
        }
        s.entries[path.lexically_normal().string()] = e;
    };
    add(root);
    for (const auto& item : fs::recursive_directory_iterator(root)) add(item.path());
    return s;
}

void Apply(State& s, const Op& op) {
    const auto has = [&](const std::string& path) { return s.entries.count(path) != 0; };
    const auto inode = [&](int n) -> Inode& {
        if (static_cast<std::size_t>(n) >= s.inodes.size()) s.inodes.resize(static_cast<std::size_t>(n) + 1);
        return s.inodes[static_cast<std::size_t>(n)];
    };
    switch (op.kind) {
    case Op::Create:
        inode(op.inode).mode = op.mode;
        if (!has(op.path) && IsFolder(s, Parent(op.path))) s.entries[op.path] = Entry{Entry::File, op.inode, {}};
        break;
    case Op::Write: {
        Inode& i = inode(op.inode);
        if (i.data.size() < op.offset + op.data.size()) i.data.resize(op.offset + op.data.size(), '\0');
        std::copy(op.data.begin(), op.data.end(), i.data.begin() + static_cast<std::ptrdiff_t>(op.offset));
        break;
    }
    case Op::Chmod: inode(op.inode).mode = op.mode; break;
    case Op::FileFlush: inode(op.inode).mtime = op.mtime; break;
    case Op::Rename: {
        const auto from = s.entries.find(op.path);
        if (from == s.entries.end() || !IsFolder(s, Parent(op.to))) break;
        const auto to = s.entries.find(op.to);
        if (to != s.entries.end() && op.noReplace) break;
        // Two names of one file: POSIX leaves both.
        if (to != s.entries.end() && to->second.kind == Entry::File && to->second.inode == from->second.inode) break;
        const Entry moved = from->second;
        s.entries.erase(from);
        s.entries[op.to] = moved;
        if (moved.kind != Entry::Folder) break;
        // A folder takes what is in it along.
        const std::string inside = op.path + "/";
        std::vector<std::pair<std::string, Entry>> along;
        for (auto it = s.entries.lower_bound(inside); it != s.entries.end() && it->first.rfind(inside, 0) == 0;)
            along.emplace_back(op.to + it->first.substr(op.path.size()), it->second), it = s.entries.erase(it);
        for (auto& [path, e] : along) s.entries[path] = e;
        break;
    }
    case Op::Link: {
        const auto from = s.entries.find(op.path);
        if (from != s.entries.end() && !has(op.to) && IsFolder(s, Parent(op.to))) s.entries[op.to] = from->second;
        break;
    }
    case Op::Unlink: s.entries.erase(op.path); break;
    case Op::MakeFolder:
        if (!has(op.path) && IsFolder(s, Parent(op.path))) s.entries[op.path] = Entry{Entry::Folder, -1, {}};
        break;
    default: break;
    }
}

Counts ForEachCrashState(const State& start, const Trace& trace, const Limits& limits,
                         const std::function<void(std::size_t, const State&)>& each) {
    const std::vector<Op>& ops = trace.ops;
    const std::vector<std::size_t> durableAfter = DurableAfter(ops);
    std::mt19937_64 random(20261208);
    Counts counts;
    for (std::size_t point = 0; point <= ops.size(); ++point) {
        // Operations done by then and not yet durable: each may or may not be on disk.
        std::vector<std::size_t> open;
        for (std::size_t i = 0; i < point; ++i)
            if (ops[i].ChangesState() && durableAfter[i] >= point) open.push_back(i);
        std::vector<std::vector<bool>> subsets;
        if (open.size() <= limits.exhaustive) {
            for (std::uint64_t mask = 0; mask < (std::uint64_t{1} << open.size()); ++mask) {
                std::vector<bool> in(open.size());
                for (std::size_t b = 0; b < open.size(); ++b) in[b] = (mask >> b) & 1;
                subsets.push_back(std::move(in));
            }
        } else {
            ++counts.sampled;
            subsets.emplace_back(open.size(), false);
            subsets.emplace_back(open.size(), true);
            for (std::size_t n = 0; n < limits.samples; ++n) {
                std::vector<bool> in(open.size());
                for (std::size_t b = 0; b < open.size(); ++b) in[b] = random() & 1;
                subsets.push_back(std::move(in));
            }
        }
        ++counts.points;
        for (const std::vector<bool>& in : subsets) {
            State s = start;
            std::size_t next = 0;
            for (std::size_t i = 0; i < point; ++i) {
                const bool isOpen = next < open.size() && open[next] == i;
                if (isOpen) ++next;
                if (!ops[i].ChangesState() && ops[i].kind != Op::FileFlush) continue;
                if (isOpen && !in[next - 1]) continue;
                Apply(s, ops[i]);
            }
            ++counts.states;
            each(point, s);
        }
    }
    return counts;
}

std::map<int, std::pair<std::uint64_t, std::uint64_t>> Materialize(const State& state, const std::string& root) {
    std::error_code ec;
    fs::remove_all(root, ec);
    std::map<int, std::pair<std::uint64_t, std::uint64_t>> made;
    std::map<int, std::string> firstName;
    // Folders first (a parent sorts before its children), then files and links.
    for (const auto& [path, e] : state.entries)
        if (e.kind == Entry::Folder && ::mkdir(path.c_str(), 0700) != 0)
            throw std::runtime_error("cannot make " + path);
    for (const auto& [path, e] : state.entries) {
        if (e.kind == Entry::Symlink) {
            if (::symlink(e.target.c_str(), path.c_str()) != 0) throw std::runtime_error("cannot link " + path);
            continue;
        }
        if (e.kind != Entry::File) continue;
        const auto [it, fresh] = firstName.try_emplace(e.inode, path);
        if (!fresh) {
            if (::link(it->second.c_str(), path.c_str()) != 0) throw std::runtime_error("cannot link " + path);
            continue;
        }
        const Inode& i = state.inodes[static_cast<std::size_t>(e.inode)];
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 || ::write(fd, i.data.data(), i.data.size()) != static_cast<ssize_t>(i.data.size()))
            throw std::runtime_error("cannot write " + path);
        ::fchmod(fd, i.mode);
        const timespec times[2] = {{0, UTIME_OMIT}, {i.mtime / 1'000'000'000, i.mtime % 1'000'000'000}};
        if (i.mtime) ::futimens(fd, times);
        struct stat st {};
        ::fstat(fd, &st);
        ::close(fd);
        made[e.inode] = {st.st_dev, st.st_ino};
    }
    return made;
}

}  // namespace tarnwick::crash

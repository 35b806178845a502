#include "engine/undo/RecordFile.h"

#include "platform/CodePage.h"
#include "engine/content/ContentHash.h"
#include "platform/Digest.h"
#include "engine/rewrite/FileCopy.h"
#include "platform/DurableFile.h"
#include "platform/FlushSites.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <fstream>
#include <iterator>
#include <ctime>
#include <sstream>
#include <type_traits>
#include <unordered_map>

namespace tarnwick::record {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kHeader = "tarnwick-undo-record ";  // and the version

// Text as one field: bytes outside printable ASCII, and '%', as %XX.
std::string Escape(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b > 0x20 && b < 0x7F && b != '%') {
            out += c;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", b);
            out += hex;
        }
    }
    return out.empty() ? "%" : out;  // a lone "%" is the empty text
}

std::optional<std::string> Unescape(std::string_view field) {
    if (field == "%") return std::string();
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '%') {
            out += field[i];
            continue;
        }
        unsigned value = 0;
        const char* digits = field.data() + i + 1;
        if (i + 2 >= field.size() || std::from_chars(digits, digits + 2, value, 16).ptr != digits + 2)
            return std::nullopt;
        out += static_cast<char>(value);
        i += 2;
    }
    return out;
}

// Whether Unescape reads the field, without making its text.
bool Unescapes(std::string_view field) {
    if (field == "%") return true;
    for (std::size_t i = field.find('%'); i != std::string_view::npos; i = field.find('%', i + 3)) {
        if (i + 2 >= field.size() || !std::isxdigit(static_cast<unsigned char>(field[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(field[i + 2])))
            return false;
    }
    return true;
}

std::string PathField(const fs::path& path) { return Escape(PathText(path)); }

std::optional<fs::path> PathOfField(std::string_view field) {
    auto text = Unescape(field);
    if (!text) return std::nullopt;
    return PathFromText(*text);
}

// The fields of a record's line, separated by spaces, read as numbers or text.
class Fields {
public:
    explicit Fields(std::string_view line) : rest_(line) {}

    bool Next(std::string_view& field) {
        const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
        std::size_t start = 0;
        while (start < rest_.size() && space(rest_[start])) ++start;
        if (start == rest_.size()) return false;
        std::size_t end = start;
        while (end < rest_.size() && !space(rest_[end])) ++end;
        field = rest_.substr(start, end - start);
        rest_.remove_prefix(end);
        return true;
    }
    bool Next(std::string& text) {
        std::string_view field;
        if (!Next(field)) return false;
        text = field;
        return true;
    }
    template <class Number>
    requires std::is_arithmetic_v<Number>
    bool Next(Number& number) {
        std::string_view field;
        if (!Next(field)) return false;
        const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), number);
        return ec == std::errc() && end == field.data() + field.size();
    }
    // What is left of the line, without its leading spaces.
    std::string Rest() {
        const std::size_t start = rest_.find_first_not_of(" \t");
        return start == std::string_view::npos ? std::string() : std::string(rest_.substr(start));
    }
    template <class... Values>
    bool Read(Values&... values) {
        return (Next(values) && ...);
    }

private:
    std::string_view rest_;
};

// A record's text taken apart as its lines come: its header, and each file
// once its line is done, in the run's order. Only the files whose lines were
// read and not yet done or dropped are held (a run has a few in flight), so a
// record of any length is read in little memory.
struct Parsed {
    UndoRecord record;
    bool ended = false;
    // With files: each file's entry, told as it is done (UndoEntry whole).
    std::function<void(UndoEntry&&)> done;
    // By token (tokens count from 1): 0 no line, 'p' its line read, 'd' done, 'x' dropped.
    std::vector<std::uint8_t> state;
    struct Pending {
        bool kept = false;
        std::uint64_t size = 0;
        std::string path;  // its path's field, as written
        fs::path made;
        UndoEntry entry;  // with files
    };
    // The backup copies the done files' runs made, where asked for.
    std::vector<MadeBackup>* backupsMade = nullptr;
    std::string summaryOf;  // a summary: the size and time of the record it sums up
    bool counted = false;   // ...and its counts were read
    bool summary = false;   // a summary is read
    std::unordered_map<std::size_t, Pending> pending;
    std::size_t last = 0;    // version 1: the file whose line came last (done when the next comes)
    std::size_t length = 0;  // the length of the text read as whole lines
    std::size_t bound = 0;   // no token of a record this long is larger
    bool Has(std::size_t token) const { return token < state.size() && state[token]; }
    // The file `token` is done: counted, and told.
    void Done(std::size_t token) {
        const auto found = pending.find(token);
        state[token] = 'd';
        if (found == pending.end()) return;
        Pending& line = found->second;
        ++record.fileCount;
        if (line.kept) record.keptBytes += DiskBytes(line.size);
        if (!line.made.empty()) {
            // How the backup's name ends after its file's: a run asks only of
            // files whose names end so (any file, where it is named otherwise).
            const fs::path::string_type name = PathOfField(line.path).value_or(fs::path()).filename().native();
            const fs::path::string_type made = line.made.filename().native();
            record.backupSuffixes.insert(made.size() > name.size() && made.compare(0, name.size(), name) == 0
                                             ? PathText(fs::path(made.substr(name.size())))
                                             : std::string(kAnyName));
            if (backupsMade) backupsMade->push_back({line.made, line.entry.madeBackupOver});
        }
        if (done) done(std::move(line.entry));
        pending.erase(found);
    }
    // Version 1: a file's line is a done file.
    void DoneLast() {
        if (record.version < 2 && last) Done(std::exchange(last, 0));
    }
};

// A digest field as the record's version writes it.
bool DigestField(std::string_view field, int version) {
    if (version == 1) {
        std::uint64_t value = 0;
        const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
        return ec == std::errc() && end == field.data() + field.size();
    }
    return field.size() == 64 && std::all_of(field.begin(), field.end(),
                                             [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// A file's line of a record (after its key) into `p`. False when a field is
// missing or unreadable.
bool ReadFileLine(Fields& fields, Parsed& p) {
    p.DoneLast();
    UndoEntry e;
    std::string_view path, how, where, writtenHash, originalHash;
    os::FileInfo &w = e.written, &o = e.original;
    if (p.record.version >= 2 && !fields.Read(e.token)) return false;
    if (p.record.version < 2) e.token = p.state.empty() ? 1 : p.state.size();
    if (e.token == 0 || e.token > p.bound || p.Has(e.token)) return false;
    if (!fields.Read(path, w.device, w.inode, w.size, w.modifiedNs, writtenHash, o.device, o.inode, o.size, o.mode,
                     o.owner, o.group, originalHash, how, where))
        return false;
    // Only read through here, the paths are not made until they are wanted.
    if (!Unescapes(path) || !Unescapes(where) || (how != "kept" && how != "backup") ||
        !DigestField(writtenHash, p.record.version) || !DigestField(originalHash, p.record.version))
        return false;
    if (p.state.size() <= e.token) p.state.resize(e.token + 1);
    p.state[e.token] = 'p';
    Parsed::Pending& line = p.pending[e.token];
    line.kept = how == "kept";
    line.size = o.size;
    line.path = path;
    if (p.record.version < 2) p.last = e.token;
    if (!p.done) return true;
    e.path = *PathOfField(path);
    (how == "kept" ? e.kept : e.backup) = *PathOfField(where);
    e.writtenHash = writtenHash;
    e.originalHash = originalHash;
    line.entry = std::move(e);
    return true;
}

// One line of a record into `p`; false when it cannot be read.
bool ReadLine(std::string_view line, Parsed& p) {
    // Every field is written in printable ASCII (Escape): another byte is damage.
    if (std::any_of(line.begin(), line.end(), [](char c) { return c < 0x20 || c > 0x7E; })) return false;
    UndoRecord& r = p.record;
    Fields fields(line);
    std::string_view key, value;
    fields.Next(key);
    const auto text = [&]() -> std::optional<std::string> {
        if (!fields.Next(value)) return std::nullopt;
        return Unescape(value);
    };
    // A line about file `token`, whose own line was read and which is not done yet.
    const auto pending = [&](std::size_t token) {
        const auto found = p.pending.find(token);
        return found == p.pending.end() ? nullptr : &found->second;
    };
    std::size_t token = 0;
    if (key == "end") {
        p.DoneLast();
        p.ended = true;
    } else if (key == "id") {
        fields.Next(r.id);
    } else if (key == "time") {
        fields.Next(r.time);
    } else if (key == "undoes") {
        fields.Next(r.undoes);
    } else if (key == "restored") {
        fields.Next(r.restored);
    } else if (key == "stopped") {
        r.completed = true;
    } else if (key == "patterns") {
        r.patterns = true;
    } else if (key == "ignore-case") {
        r.ignoreCase = true;
    } else if (key == "word") {
        r.word = true;
    } else if (key == "preserve-case") {
        r.preserveCase = true;
    } else if (key == "lost") {
        ++r.notUndoable;
    } else if (key == "summary-of") {
        p.summaryOf = fields.Rest();
    } else if (key == "counts") {
        if (!fields.Read(r.fileCount, r.keptBytes, r.notUndoable)) return false;
        p.counted = true;
    } else if (key == "suffix") {
        auto t = text();
        if (!t) return false;
        r.backupSuffixes.insert(*t);
    } else if (key == "list") {
        auto t = text();
        if (!t) return false;
        r.list = *t;
    } else if (key == "listed") {
        fields.Next(r.listed);
    } else if (key == "search" || key == "replace" || key == "path") {
        auto t = text();
        if (!t) return false;
        if (key == "search") r.pairs.emplace_back(*t, "");
        else if (key == "path") r.paths.push_back(*t);
        else if (r.pairs.empty()) return false;
        else r.pairs.back().second = *t;
    } else if (key == "folder" && p.summary) {
        // Summaries hold no folders: they grow with the run, and only an
        // undo wants them, reading the record through. An older summary
        // with them is made again.
        return false;
    } else if (key == "root" || key == "folder") {
        fields.Next(value);
        const auto path = PathOfField(value);
        if (!path) return false;
        (key == "root" ? r.roots : r.folders).push_back(*path);
    } else if (key == "made" || key == "made-over" || key == "removed") {
        if (r.version >= 2 && !fields.Read(token)) return false;
        if (r.version < 2) token = p.last;
        fields.Next(value);
        const auto path = PathOfField(value);
        Parsed::Pending* file = pending(token);
        if (!path || !file) return false;
        if (key == "removed") {
            file->entry.removedBackup = *path;
        } else {
            file->made = *path;
            file->entry.madeBackup = *path;
            file->entry.madeBackupOver = key == "made-over";
        }
    } else if (key == "done" || key == "drop") {
        if (!fields.Read(token) || !pending(token)) return false;
        // A done line may say the time the file system gave the file once named.
        std::string_view time;
        if (key == "done" && fields.Next(time)) {
            std::int64_t ns = 0;
            const auto [end, ec] = std::from_chars(time.data(), time.data() + time.size(), ns);
            if (ec != std::errc() || end != time.data() + time.size()) return false;
            pending(token)->entry.written.modifiedNs = ns;
        }
        if (key == "done") p.Done(token);
        else p.state[token] = 'x', p.pending.erase(token);
    } else if (key == "file") {
        return ReadFileLine(fields, p);
    } else {
        return false;  // no line of this version: damage
    }
    return true;
}

// Reads a record's lines from its start: a whole line at a time, each only
// once its end is read. Lines may be read from text already in memory too.
class LineReader {
public:
    explicit LineReader(os::File* file) : file_(file) {}
    explicit LineReader(std::string_view text) : text_(text) {}

    // The next whole line, without its end; false at the end, or where
    // reading failed (Failure()).
    bool Next(std::string_view& line) {
        for (;;) {
            const std::size_t end = text_.find('\n', at_);
            if (end != std::string_view::npos) {
                line = text_.substr(at_, end - at_);
                at_ = end + 1;
                return true;
            }
            if (!file_ || done_) return false;
            // The part of a line read so far to the front, then more.
            constexpr std::size_t kChunk = std::size_t{1} << 18;
            used_ += at_;
            buffer_.erase(0, at_);
            at_ = 0;
            const std::size_t have = buffer_.size();
            buffer_.resize(have + kChunk);
            std::size_t got = 0;
            failure_ = file_->Read(buffer_.data() + have, kChunk, got);
            buffer_.resize(have + got);
            text_ = buffer_;
            done_ = failure_ || got == 0;
        }
    }
    // The length of the text read as whole lines so far.
    std::size_t Used() const { return used_ + at_; }
    std::error_code Failure() const { return failure_; }

private:
    os::File* file_ = nullptr;
    std::string buffer_;
    std::string_view text_;
    std::size_t at_ = 0, used_ = 0;
    bool done_ = false;
    std::error_code failure_;
};

// Reads `lines` into `p` to the record's end; false when a line cannot be
// read. `unended`: a stopped run's, whose last line may be torn.
bool Parse(LineReader& lines, Parsed& p, bool unended) {
    std::string_view line;
    if (!lines.Next(line) || line.substr(0, kHeader.size()) != kHeader) return false;
    const std::string_view version = line.substr(kHeader.size());
    if (version == "1") p.record.version = 1;
    else if (version == "2") p.record.version = 2;
    else return false;
    p.length = lines.Used();
    while (!p.ended && lines.Next(line)) {
        if (!ReadLine(line, p)) {
            if (unended) break;  // a torn last line of a stopped run
            return false;
        }
        p.length = lines.Used();
    }
    return !lines.Failure() && (p.ended || unended);
}

std::optional<std::string> ReadWhole(const fs::path& file) {
    os::File in;
    os::FileInfo info;
    if (os::File::OpenRead(file, in) || in.Info(info) || !info.regular) return std::nullopt;
    std::string whole(static_cast<std::size_t>(info.size), '\0');
    std::size_t at = 0;
    for (std::size_t got = 1; got && at < whole.size(); at += got)
        if (in.Read(whole.data() + at, whole.size() - at, got)) return std::nullopt;
    whole.resize(at);
    return whole;
}

// Removes the entry `name` of `parent` and, where it is a folder (never a
// link to one), everything in it, each folder reached through its parent's handle.
void RemoveTree(const os::Folder& parent, const fs::path& name, int depth = 0) {
    os::FileInfo entry;
    if (parent.Stat(name, entry, false)) return;
    if (entry.directory && !entry.symlink && depth < 64) {
        {
            os::Folder open;
            std::vector<fs::path::string_type> names;
            if (!parent.OpenFolder(name, open) && !open.ListNames(names))
                for (const auto& inner : names) RemoveTree(open, inner, depth + 1);
        }  // (closed before it goes: Windows removes no open folder)
        parent.RemoveFolder(name);
        return;
    }
    parent.Remove(name);
}

}  // namespace

// Removes a record folder and what it holds (files only: a record folder holds no folders).
void RemoveFolder(const fs::path& folder) {
    os::Folder parent;
    if (os::Folder::Open(folder.parent_path(), parent)) return;
    RemoveTree(parent, folder.filename());
}

// Removes a record folder unless another process holds its record (an undo
// of it under way); false then.
bool RemoveRecord(const fs::path& folder) {
    os::Folder open;
    os::File lock;
    if (!os::Folder::Open(folder, open) && !open.OpenRead(kRecordName, lock, false) && !lock.TryLock()) return false;
    // (Where an open file cannot be removed, it is let go first.)
    if (!os::OpenFilesReplaceable()) lock.Close();
    RemoveFolder(folder);
    // A tombstone, so that asking for the run later says what became of it;
    // the oldest go once there are many.
    constexpr std::uintmax_t kLargest = 64 * 1024;
    const fs::path dropped = folder.parent_path() / kDroppedName;
    std::error_code ec;
    if (fs::file_size(dropped, ec) > kLargest && !ec) {
        std::ifstream in(dropped, std::ios::binary);
        std::string all((std::istreambuf_iterator<char>(in)), {});
        const std::size_t cut = all.find('\n', all.size() / 2);
        const fs::path fresh = folder.parent_path() / "dropped.new";
        if (cut != std::string::npos && std::ofstream(fresh, std::ios::binary | std::ios::trunc) << all.substr(cut + 1))
            fs::rename(fresh, dropped, ec);
    }
    std::ofstream(dropped, std::ios::binary | std::ios::app)
        << PathText(folder.filename()) << ' ' << static_cast<std::int64_t>(std::time(nullptr)) << '\n';
    return true;
}

std::optional<std::int64_t> DroppedAt(const fs::path& store, std::string_view id) {
    std::ifstream in(store / kDroppedName, std::ios::binary);
    std::optional<std::int64_t> when;
    std::string name;
    for (std::int64_t time = 0; in >> name >> time;)
        if (name == id) when = time;
    return when;
}

// A new record folder, and its name: the time to the millisecond (UTC), and
// a number where two runs share one. Made while the records it may replace
// still stand, so no name is used twice. The folder is made under a hidden
// temporary name with the file that names its process, and only then given
// its name: a record folder another run sees always tells whose it is. One a
// power cut left without that file (or under its temporary name) is a stopped
// run's leftover, removed by Records(): no flush is needed for that.
std::string NewRecordFolder(const fs::path& store) {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
    const std::time_t now = static_cast<std::time_t>(ms / 1000);
    const std::tm utc = os::CalendarTime(now, false);
    char stamp[40];
    const std::size_t length = std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
    std::snprintf(stamp + length, sizeof stamp - length, "-%03d", static_cast<int>(ms % 1000));
    os::Folder folder;
    const fs::path temporary = os::TemporaryFileName();
    if (os::Folder::Open(store, folder) || os::CreateFolder(store / temporary)) return {};
    {
        os::Folder made;
        os::File process;
        const std::string pid = std::to_string(os::ProcessId()) + "\n";
        if (os::Folder::Open(store / temporary, made) || made.CreateNew(kProcessName, process) ||
            process.WriteAll(pid.data(), pid.size()) || process.Close()) {
            RemoveFolder(store / temporary);
            return {};
        }
    }  // (closed: Windows renames no open folder)
    for (int n = 1;; ++n) {
        std::string id = n == 1 ? std::string(stamp) : std::string(stamp) + "-" + std::to_string(n);
        const std::error_code ec = folder.RenameNoReplace(temporary, id);
        if (!ec) return id;
        if (ec != std::errc::file_exists || n > 1000) {
            RemoveFolder(store / temporary);
            return {};
        }
    }
}

// The process a record folder names as its maker; 0 where none is named.
std::uint64_t ProcessOf(const fs::path& folder) {
    const auto text = ReadWhole(folder / kProcessName);
    std::uint64_t pid = 0;
    if (text) std::from_chars(text->data(), text->data() + text->size(), pid);
    return pid;
}

// The names in `folder` (none where it cannot be listed).
std::vector<fs::path::string_type> NamesIn(const os::Folder& folder) {
    std::vector<fs::path::string_type> names;
    if (folder.ListNames(names)) names.clear();
    return names;
}

bool Exists(const fs::path& path) {
    os::FileInfo info;
    return !os::Stat(path, info, false);
}

namespace {

// The record file in `folder` open for reading, and its size.
bool OpenRecord(const fs::path& folder, os::File& file, std::uint64_t& size) {
    os::FileInfo info;
    if (os::File::OpenRead(folder / kRecordName, file) || file.Info(info) || !info.regular) return false;
    size = info.size;
    return true;
}

}  // namespace

namespace {

// The record in `folder` read through; with the backup copies its run made, where asked for.
std::optional<UndoRecord> ReadWholeRecord(const fs::path& folder, std::uint64_t& size,
                                          std::vector<MadeBackup>* backupsMade = nullptr) {
    // Read as it comes, counting: a record may name a few hundred thousand files.
    os::File file;
    Parsed p;
    p.backupsMade = backupsMade;
    if (!OpenRecord(folder, file, size)) return std::nullopt;
    p.bound = static_cast<std::size_t>(size / 16 + 1);  // (a file's line is longer than that)
    LineReader lines(&file);
    if (!Parse(lines, p, false) || p.record.id.empty() || folder.filename() != p.record.id) return std::nullopt;
    p.record.folder = folder;
    return std::move(p.record);
}

// The summary of `folder`'s record, where one was written for a record of
// `size` bytes changed at `time` and no one else could have written it;
// nothing otherwise.
std::optional<UndoRecord> ReadSummary(const fs::path& folder, const std::string& version) {
    const fs::path path = folder / kSummaryName;
    os::Privacy why;
    const auto content = Exists(path) && !os::CheckPrivate(path, false, why) ? ReadWhole(path) : std::nullopt;
    if (!content) return std::nullopt;
    Parsed p;
    p.summary = true;
    LineReader lines(*content);
    if (!Parse(lines, p, false) || p.summaryOf != version || !p.counted || folder.filename() != p.record.id)
        return std::nullopt;
    p.record.folder = folder;
    return std::move(p.record);
}

// Which version of a record a summary sums up: its size and time.
std::string VersionOf(const os::FileInfo& record) {
    return std::to_string(record.size) + ' ' + std::to_string(record.modifiedNs);
}

// The summary of `r`, a record as `version` says: what it holds but its
// files' lines and the folders where its run began to write. Those grow with
// the run, and every run's start reads every summary.
std::string SummaryText(const UndoRecord& r, const std::string& version) {
    std::string text = HeaderText(r);
    text += "summary-of " + version + '\n';
    text += "counts " + std::to_string(r.fileCount) + ' ' + std::to_string(r.keptBytes) + ' ' +
            std::to_string(r.notUndoable) + '\n';
    for (const std::string& suffix : r.backupSuffixes) text += "suffix " + Escape(suffix) + '\n';
    if (r.IsUndo()) text += "restored " + std::to_string(r.restored) + '\n';
    if (!r.list.empty()) text += "listed " + std::to_string(r.listed) + '\n';
    if (r.completed) text += "stopped\n";
    return text + "end\n";
}

}  // namespace

std::optional<UndoRecord> ReadRecord(const fs::path& folder, bool summarize) {
    // Every run reads every record when it starts: from its summary, a few
    // lines, where there is one for the record as it is.
    os::FileInfo info;
    if (os::Stat(folder / kRecordName, info, false) || !info.regular) return std::nullopt;
    const std::string version = VersionOf(info);
    if (auto summary = ReadSummary(folder, version)) return summary;
    std::uint64_t size = 0;
    auto record = ReadWholeRecord(folder, size);
    if (!record || !summarize || size != info.size) return record;
    // Written once, for the next readers. Not flushed: one a power cut took
    // or tore is not read, and is written again.
    os::Folder open;
    DurableFile out;
    const std::string text = SummaryText(*record, version);
    if (!os::Folder::Open(folder, open) && !out.Create(open) && !out.Out().WriteAll(text.data(), text.size()))
        out.Place(kSummaryName);
    return record;
}

std::vector<MadeBackup> BackupsMadeBy(const fs::path& folder) {
    std::vector<MadeBackup> made;
    std::uint64_t size = 0;
    if (!ReadWholeRecord(folder, size, &made)) made.clear();
    return made;
}

}  // namespace tarnwick::record

namespace tarnwick {

using namespace record;

struct RecordFiles::Reader {
    os::File file;
    LineReader lines{&file};
    Parsed parsed;
    std::deque<UndoEntry> ready;
};

RecordFiles::RecordFiles(RecordFiles&&) noexcept = default;
RecordFiles& RecordFiles::operator=(RecordFiles&&) noexcept = default;
RecordFiles::~RecordFiles() = default;

std::optional<RecordFiles> RecordFiles::Open(const UndoRecord& record) {
    // Read through once first: a record that cannot be read to its end is
    // refused before any file is put back.
    std::uint64_t size = 0;
    const auto whole = ReadWholeRecord(record.folder, size);
    if (!whole) return std::nullopt;
    RecordFiles files;
    files.reader_ = std::make_unique<Reader>();
    Reader& r = *files.reader_;
    std::uint64_t now = 0;
    if (!OpenRecord(record.folder, r.file, now) || now != size) return std::nullopt;
    r.parsed.bound = static_cast<std::size_t>(size / 16 + 1);
    r.parsed.done = [&ready = r.ready](UndoEntry&& entry) { ready.push_back(std::move(entry)); };
    files.record_ = *whole;
    std::string_view line;
    if (!r.lines.Next(line) || line.substr(0, kHeader.size()) != kHeader) return std::nullopt;
    r.parsed.record.version = whole->version;
    return files;
}

bool RecordFiles::Next(UndoEntry& entry) {
    Reader& r = *reader_;
    std::string_view line;
    while (r.ready.empty() && !r.parsed.ended && r.lines.Next(line))
        if (!ReadLine(line, r.parsed)) failed_ = true;
    if (r.lines.Failure() || (r.ready.empty() && !r.parsed.ended)) failed_ = true;
    if (failed_ || r.ready.empty()) return false;
    entry = std::move(r.ready.front());
    r.ready.pop_front();
    return true;
}

}  // namespace tarnwick

namespace tarnwick::record {

// A record a stopped run left unended, completed from what it holds: each
// file whose line was written before its replacement counts (done or not:
// an undo finds a file that was never replaced as it was and leaves it), the
// record ends and takes its name. A live run's (its record held, its process
// running) is left alone; one that cannot be read is a leftover.
Unfinished Complete(const fs::path& folder) {
    os::Folder open;
    os::File fresh;
    if (os::Folder::Open(folder, open) || open.OpenRead(kFreshName, fresh, false)) return Unfinished::Leftover;
    if (!fresh.TryLock()) return Unfinished::Live;
    if (const std::uint64_t pid = ProcessOf(folder); pid && os::ProcessRunning(pid)) return Unfinished::Live;
    const auto content = ReadWhole(folder / kFreshName);
    if (!content) return Unfinished::Leftover;
    Parsed p;
    p.bound = content->size() / 16 + 1;
    std::set<fs::path> keptNames;
    p.done = [&](UndoEntry&& e) {
        if (!e.kept.empty()) keptNames.insert(e.kept);
    };
    LineReader lines(*content);
    if (!Parse(lines, p, true) || p.record.id != folder.filename().string() || p.record.version < 2)
        return Unfinished::Leftover;
    std::string ended = content->substr(0, p.length);
    std::vector<std::size_t> left;
    for (const auto& [token, line] : p.pending) left.push_back(token);
    std::sort(left.begin(), left.end());
    for (const std::size_t token : left) {
        ended += "done " + std::to_string(token) + "\n";
        if (const UndoEntry& e = p.pending[token].entry; !e.kept.empty()) keptNames.insert(e.kept);
    }
    if (ended.find("\nfile ") == std::string::npos) return Unfinished::Leftover;
    // A stopped undo: the files it told done are as before the run it undid.
    if (p.record.IsUndo()) ended += "restored " + std::to_string(p.record.fileCount) + "\n";
    ended += "stopped\nend\n";
    // Written whole and flushed under a name of its own, then named: whole or absent.
    DurableFile out;
    open.Remove(kEndedName);
    if (out.CreateAs(open, kEndedName) || out.Out().WriteAll(ended.data(), ended.size()) ||
        out.Seal(FlushSite::RecordData) || out.Place(kRecordName))
        return Unfinished::Live;  // (tried again next time)
    FlushAt(FlushSite::RecordFolder, open);
    // What no line names any more: originals of files that were never replaced.
    for (const fs::path name : NamesIn(open))
        if (name != kRecordName && !keptNames.count(name)) open.Remove(name);
    return Unfinished::Completed;
}

// The record's first lines: what the run was.
std::string HeaderText(const UndoRecord& r) {
    std::ostringstream text;
    text << kHeader << kVersion << "\nid " << r.id << "\ntime " << r.time << '\n';
    if (r.IsUndo()) text << "undoes " << r.undoes << '\n';
    for (const auto& [search, replace] : r.pairs)
        text << "search " << Escape(search) << "\nreplace " << Escape(replace) << '\n';
    if (r.patterns) text << "patterns\n";
    if (r.ignoreCase) text << "ignore-case\n";
    if (r.word) text << "word\n";
    if (r.preserveCase) text << "preserve-case\n";
    for (const std::string& path : r.paths) text << "path " << Escape(path) << '\n';
    for (const fs::path& root : r.roots) text << "root " << PathField(root) << '\n';
    if (!r.list.empty()) text << "list " << Escape(r.list) << '\n';
    return text.str();
}

// One file's line of a record.
std::string EntryLine(const UndoEntry& e) {
    std::ostringstream text;
    const os::FileInfo &w = e.written, &o = e.original;
    text << "file " << e.token << ' ' << PathField(e.path) << ' ' << w.device << ' ' << w.inode << ' ' << w.size << ' '
         << w.modifiedNs << ' ' << e.writtenHash << ' ' << o.device << ' ' << o.inode << ' ' << o.size << ' ' << o.mode
         << ' ' << o.owner << ' ' << o.group << ' ' << e.originalHash << ' '
         << (e.kept.empty() ? "backup " + PathField(e.backup) : "kept " + PathField(e.kept)) << '\n';
    if (!e.madeBackup.empty()) text << MadeLine(e.token, e.madeBackup, e.madeBackupOver);
    return text.str();
}

std::string MadeLine(std::size_t token, const fs::path& backup, bool over) {
    return (over ? "made-over " : "made ") + std::to_string(token) + ' ' + PathField(backup) + '\n';
}

std::string RemovedLine(std::size_t token, const fs::path& backup) {
    return "removed " + std::to_string(token) + ' ' + PathField(backup) + '\n';
}

std::string FolderLine(const fs::path& folder) { return "folder " + PathField(folder) + "\n"; }

std::string LostLine(const fs::path& file) { return "lost " + PathField(file) + "\n"; }

}  // namespace tarnwick::record

#include "Undo.h"

#include "CodePage.h"
#include "FileCopy.h"
#include "FlushSites.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <type_traits>

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kHeader = "tarnwick-undo-record 1";
const fs::path kRecordName = "record";
const fs::path kProcessName = "process";   // the number of the process writing the record
const fs::path kFreshName = "record.new";  // the record until it is complete

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

void RemoveRecord(const fs::path& folder) {
    std::error_code ec;
    fs::remove_all(folder, ec);
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
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
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
            RemoveRecord(store / temporary);
            return {};
        }
    }  // (closed: Windows renames no open folder)
    for (int n = 1;; ++n) {
        std::string id = n == 1 ? std::string(stamp) : std::string(stamp) + "-" + std::to_string(n);
        const std::error_code ec = folder.RenameNoReplace(temporary, id);
        if (!ec) return id;
        if (ec != std::errc::file_exists || n > 1000) {
            RemoveRecord(store / temporary);
            return {};
        }
    }
}

// A record read from its folder, with its files or only their count and size.
std::optional<UndoRecord> ReadRecord(const fs::path& folder, bool withFiles);

void AddBackupsMade(const UndoRecord& record, std::set<fs::path>& made) {
    for (const fs::path& backup : record.backupsMade) made.insert(backup.lexically_normal());
}

}  // namespace

fs::path UndoStore::DefaultFolder() {
    const fs::path state = os::UserStateFolder("tarnwick");
    return state.empty() ? fs::path() : state / "undo";
}

std::variant<UndoStore, std::string> UndoStore::Open(const fs::path& folder) {
    if (folder.empty()) return std::string("no folder for undo records (neither XDG_STATE_HOME nor HOME is set)");
    std::string why;
    if (auto ec = os::MakePrivateFolder(folder, why)) {
        if (why.empty()) why = "cannot be made: " + ec.message();
        return "the undo record folder " + PathText(folder) + " " + why;
    }
    return UndoStore(folder);
}

std::set<fs::path> UndoStore::BackupsMadeIn(const fs::path& folder) {
    std::set<fs::path> made;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (auto record = ReadRecord(it->path(), false)) AddBackupsMade(*record, made);
    return made;
}

std::vector<UndoRecord> UndoStore::Records() const {
    std::vector<UndoRecord> records;
    std::error_code ec;
    for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_directory(ec)) continue;
        if (auto record = ReadRecord(it->path(), false)) {
            records.push_back(std::move(*record));
            continue;
        }
        // A record this program cannot read (another version's) is left alone.
        if (std::error_code none; fs::exists(it->path() / kRecordName, none)) continue;
        // A run that was stopped before its record was written: its
        // originals are of no use once its process is gone. (A folder gets
        // its name only once the file naming its process is written; where
        // that file is empty or missing, a power cut took it.)
        std::ifstream process(it->path() / kProcessName);
        std::uint64_t pid = 0;
        process >> pid;
        const fs::path name = it->path().filename();
        if (name.string().rfind(".~tarnwick-", 0) == 0 ? os::IsStoppedRunsName(name.native())
                                                       : !os::ProcessRunning(pid))
            RemoveRecord(it->path());
    }
    std::sort(records.begin(), records.end(), [](const UndoRecord& a, const UndoRecord& b) {
        return a.time != b.time ? a.time > b.time : a.id > b.id;
    });
    return records;
}

std::optional<UndoRecord> UndoStore::Load(const UndoRecord& record) { return ReadRecord(record.folder, true); }

UndoState UndoStore::StateOf(const UndoRecord& record, const std::vector<UndoRecord>& all) {
    std::size_t restored = 0;
    for (const UndoRecord& later : all)
        if (later.undoes == record.id && StateOf(later, all) != UndoState::Undone)
            restored = std::max(restored, later.restored);
    if (restored == 0) return UndoState::Undoable;
    return restored >= record.fileCount ? UndoState::Undone : UndoState::Partly;
}

const UndoRecord* UndoStore::NewestUndoable(const std::vector<UndoRecord>& all) {
    for (const UndoRecord& record : all) {
        if (record.IsUndo()) continue;
        const bool undone = std::any_of(all.begin(), all.end(), [&](const UndoRecord& later) {
            return later.undoes == record.id && StateOf(later, all) != UndoState::Undone;
        });
        if (!undone) return &record;
    }
    return nullptr;
}

namespace {

// The record's first lines: what the run was.
std::string HeaderText(const UndoRecord& r) {
    std::ostringstream text;
    text << kHeader << "\nid " << r.id << "\ntime " << r.time << '\n';
    if (r.IsUndo()) text << "undoes " << r.undoes << '\n';
    for (const auto& [search, replace] : r.pairs)
        text << "search " << Escape(search) << "\nreplace " << Escape(replace) << '\n';
    for (const std::string& path : r.paths) text << "path " << Escape(path) << '\n';
    return text.str();
}

// One file's line of a record.
std::string EntryLine(const UndoEntry& e) {
    std::ostringstream text;
    const os::FileInfo &w = e.written, &o = e.original;
    text << "file " << PathField(e.path) << ' ' << w.device << ' ' << w.inode << ' ' << w.size << ' ' << w.modifiedNs
         << ' ' << e.writtenHash << ' ' << o.device << ' ' << o.inode << ' ' << o.size << ' ' << o.mode << ' '
         << o.owner << ' ' << o.group << ' ' << e.originalHash << ' '
         << (e.kept.empty() ? "backup " + PathField(e.backup) : "kept " + PathField(e.kept)) << '\n';
    if (!e.madeBackup.empty()) text << "made " << PathField(e.madeBackup) << '\n';
    return text.str();
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
    template <class... Values>
    bool Read(Values&... values) {
        return (Next(values) && ...);
    }

private:
    std::string_view rest_;
};

// A file's line of a record (after its key) into `r`: counted, and with
// `withFiles` kept whole. False when a field is missing or unreadable.
bool ReadFileLine(Fields& fields, UndoRecord& r, bool withFiles) {
    UndoEntry e;
    std::string_view path, how, where;
    os::FileInfo &w = e.written, &o = e.original;
    if (!fields.Read(path, w.device, w.inode, w.size, w.modifiedNs, e.writtenHash, o.device, o.inode, o.size, o.mode,
                     o.owner, o.group, e.originalHash, how, where))
        return false;
    // Only read through here, the paths are not made until they are wanted.
    if (!Unescapes(path) || !Unescapes(where) || (how != "kept" && how != "backup")) return false;
    ++r.fileCount;
    if (how == "kept") r.keptBytes += o.size;
    if (!withFiles) return true;
    e.path = *PathOfField(path);
    (how == "kept" ? e.kept : e.backup) = *PathOfField(where);
    r.files.push_back(std::move(e));
    return true;
}

std::optional<UndoRecord> ReadRecord(const fs::path& folder, bool withFiles) {
    // Read whole and taken apart in place: a record may name a few hundred
    // thousand files, and every run reads every record when it starts.
    std::ostringstream whole;
    if (std::ifstream in(folder / kRecordName, std::ios::binary); !in || !(whole << in.rdbuf())) return std::nullopt;
    const std::string content = std::move(whole).str();
    std::string_view rest = content;
    const auto nextLine = [&](std::string_view& line) {
        if (rest.empty()) return false;
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        return true;
    };
    std::string_view line;
    if (!nextLine(line) || line != kHeader) return std::nullopt;
    UndoRecord r;
    r.folder = folder;
    bool ended = false;
    while (!ended && nextLine(line)) {
        Fields fields(line);
        std::string_view key, value;
        fields.Next(key);
        const auto text = [&]() -> std::optional<std::string> {
            if (!fields.Next(value)) return std::nullopt;
            return Unescape(value);
        };
        if (key == "end") {
            ended = true;
        } else if (key == "id") {
            fields.Next(r.id);
        } else if (key == "time") {
            fields.Next(r.time);
        } else if (key == "undoes") {
            fields.Next(r.undoes);
        } else if (key == "restored") {
            fields.Next(r.restored);
        } else if (key == "search" || key == "replace" || key == "path") {
            auto t = text();
            if (!t) return std::nullopt;
            if (key == "search") r.pairs.emplace_back(*t, "");
            else if (key == "path") r.paths.push_back(*t);
            else if (r.pairs.empty()) return std::nullopt;
            else r.pairs.back().second = *t;
        } else if (key == "made") {
            fields.Next(value);
            const auto made = PathOfField(value);
            if (!made) return std::nullopt;
            r.backupsMade.push_back(*made);
            if (withFiles && !r.files.empty()) r.files.back().madeBackup = *made;
        } else if (key == "file" && !ReadFileLine(fields, r, withFiles)) {
            return std::nullopt;
        }
    }
    if (!ended || r.id.empty() || folder.filename() != r.id) return std::nullopt;
    return r;
}

}  // namespace

std::variant<std::shared_ptr<UndoKeeper>, std::string> UndoKeeper::Start(const UndoStore& store, UndoRecord record,
                                                                         UndoBudget budget) {
    std::vector<UndoRecord> older = store.Records();
    std::set<fs::path> backupsMade;
    for (const UndoRecord& r : older) AddBackupsMade(r, backupsMade);
    std::reverse(older.begin(), older.end());  // oldest first
    // The run an undo puts back is never made room for: its originals are in use.
    std::erase_if(older, [&](const UndoRecord& r) { return !record.undoes.empty() && r.id == record.undoes; });
    record.id = NewRecordFolder(store.Folder());
    if (record.id.empty()) return "cannot make a record folder in " + PathText(store.Folder());
    // Room for this run among the runs kept.
    while (!older.empty() && older.size() >= budget.runs) {
        RemoveRecord(older.front().folder);
        older.erase(older.begin());
    }
    std::uint64_t used = 0;
    for (const UndoRecord& r : older) used += r.keptBytes;
    record.folder = store.Folder() / record.id;
    record.time = static_cast<std::int64_t>(std::time(nullptr));
    std::shared_ptr<UndoKeeper> keeper(new UndoKeeper(std::move(record), budget.bytes, used, std::move(older)));
    keeper->backupsMadeBefore_ = std::move(backupsMade);
    // The record is written as the run goes, under another name until it is complete.
    const auto failed = [&](std::error_code ec) {
        return "cannot write a record in " + PathText(keeper->record_.folder) + ": " + ec.message();
    };
    if (auto ec = os::Folder::Open(keeper->record_.folder, keeper->folder_)) return failed(ec);
    if (auto ec = keeper->folder_.CreateNew(kFreshName, keeper->out_)) return failed(ec);
    const std::string header = HeaderText(keeper->record_);
    if (auto ec = keeper->out_.WriteAll(header.data(), header.size())) return failed(ec);
    return keeper;
}

UndoKeeper::UndoKeeper(UndoRecord record, std::uint64_t budget, std::uint64_t used, std::vector<UndoRecord> older)
    : record_(std::move(record)), budget_(budget), used_(used), older_(std::move(older)) {}

bool UndoKeeper::MakeRoom(std::uint64_t size) {
    while (used_ + size > budget_ && !older_.empty()) {
        used_ -= std::min(used_, older_.front().keptBytes);
        RemoveRecord(older_.front().folder);
        older_.erase(older_.begin());
    }
    return used_ + size <= budget_;
}

std::optional<std::size_t> UndoKeeper::Keep(const fs::path& file, const os::Folder& folder, const fs::path& name,
                                            const os::FileInfo& before, std::uint64_t hash, os::File& in,
                                            const fs::path& backup, std::vector<char>& buffer) {
    Held held;
    UndoEntry& entry = held.entry;
    entry.path = file;
    entry.original = before;
    entry.originalHash = hash;
    entry.madeBackup = backup;
    bool room = false;
    std::size_t token = 0;
    {
        std::lock_guard lock(mutex_);
        room = MakeRoom(before.size);
        if (room) used_ += before.size;
        token = ++counter_;
    }
    std::string keptName = std::to_string(token);
    keptName.insert(keptName.begin(), 'f');  // (GCC 12 warns wrongly about "f" + to_string)
    entry.kept = keptName;
    // A second name of the very file that was read; else the backup; else a copy.
    os::FileInfo linked;
    bool kept = room && !folder_.LinkFrom(folder, name, entry.kept) && !folder_.Stat(entry.kept, linked) &&
                linked.SameFileAs(before);
    if (room && !kept) {
        folder_.Remove(entry.kept);
        if (backup.empty()) kept = !CopyInto(in, before.size, before, folder_, entry.kept, buffer);
    }
    std::lock_guard lock(mutex_);
    if (!kept) {
        if (room) used_ -= before.size;
        entry.kept.clear();
        if (backup.empty()) {
            notUndoable_.push_back(file);
            return std::nullopt;
        }
        entry.backup = backup;
    }
    held_.emplace(token, std::move(held));
    return token;
}

void UndoKeeper::Replaced(std::size_t kept, const os::FileInfo& written, std::uint64_t writtenHash) {
    std::lock_guard lock(mutex_);
    Held& held = held_.at(kept);
    held.entry.written = written;
    held.entry.writtenHash = writtenHash;
    held.replaced = true;
}

void UndoKeeper::Confirm(std::size_t kept) {
    std::lock_guard lock(mutex_);
    const auto found = held_.find(kept);
    if (found == held_.end()) return;
    if (found->second.replaced) Append(found->second.entry);
    held_.erase(found);
}

void UndoKeeper::Forget(std::size_t kept) {
    std::lock_guard lock(mutex_);
    const auto found = held_.find(kept);
    if (found == held_.end()) return;
    const UndoEntry& e = found->second.entry;
    if (!e.kept.empty()) {
        folder_.Remove(e.kept);
        used_ -= std::min(used_, e.original.size);
    }
    held_.erase(found);
}

void UndoKeeper::Append(const UndoEntry& entry) {
    const std::string line = EntryLine(entry);
    if (!writeFailure_) writeFailure_ = out_.WriteAll(line.data(), line.size());
    ++files_;
}

std::error_code UndoKeeper::Commit() {
    std::lock_guard lock(mutex_);
    for (auto& [token, held] : held_)
        if (held.replaced) Append(held.entry);
    held_.clear();
    if (files_ == 0 && !record_.IsUndo()) {
        // Nothing was changed: nothing to undo. (On Windows an open folder cannot be removed.)
        out_.Close();
        folder_ = os::Folder();
        RemoveRecord(record_.folder);
        return {};
    }
    // Complete, flushed, then named: a record is whole or absent.
    std::error_code ec = writeFailure_;
    const std::string end = (record_.IsUndo() ? "restored " + std::to_string(record_.restored) + "\n" : "") + "end\n";
    if (!ec) ec = out_.WriteAll(end.data(), end.size());
    if (!ec) ec = FlushAt(FlushSite::RecordData, out_);
    if (!ec) ec = out_.Close();
    if (!ec) ec = folder_.Rename(kFreshName, kRecordName);
    if (ec) {
        out_.Close();
        return ec;
    }
    FlushAt(FlushSite::RecordFolder, folder_);
    // The record folder's own name, given when the run began.
    if (os::Folder store; !os::Folder::Open(record_.folder.parent_path(), store))
        FlushAt(FlushSite::RecordStore, store);
    folder_.Remove(kProcessName);
    written_ = true;
    return {};
}

std::vector<fs::path> UndoKeeper::NotUndoable() const {
    std::lock_guard lock(mutex_);
    return notUndoable_;
}

}  // namespace tarnwick

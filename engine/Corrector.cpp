#include "Corrector.h"

#include "ContentHash.h"
#include "FileSystem.h"
#include "Replace.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <utility>

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kOutputBufferSize = std::size_t{1} << 16;

bool IsMissing(const std::error_code& ec) {
    return ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory;
}

FailureKind OpenFailureKind(const std::error_code& ec) {
    return IsMissing(ec) ? FailureKind::Missing : FailureKind::Open;
}

// Copies the first `size` bytes of `in` into a new file `copy` of `folder` and
// flushes it; used for backups where a hard link cannot be made.
std::error_code CopyInto(os::File& in, std::uint64_t size, const os::FileInfo& like, const os::Folder& folder,
                         const fs::path& copy, std::vector<char>& buffer) {
    os::File out;
    if (auto ec = folder.CreateNew(copy, out)) return ec;
    std::error_code ec;
    for (std::uint64_t offset = 0; offset < size && !ec;) {
        std::size_t got = 0;
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - offset));
        ec = in.ReadAt(offset, buffer.data(), want, got);
        if (!ec && got == 0) ec = std::make_error_code(std::errc::io_error);  // shrank meanwhile
        if (!ec) ec = out.WriteAll(buffer.data(), got);
        offset += got;
    }
    if (!ec) ec = out.CopyAccessFrom(like);
    if (!ec) ec = out.Flush();
    if (!ec) ec = out.Close();
    if (ec) {
        out.Close();
        folder.Remove(copy);
    }
    return ec;
}

}  // namespace

fs::path BackupPathOf(const fs::path& file, const BackupPolicy& backup) {
    fs::path::string_type name = file.native();
    name += fs::path::value_type('.');
    name += backup.extension;
    return fs::path(std::move(name));
}

bool IsUsable(const BackupPolicy& backup) {
    if (!backup.enabled) return true;
    const auto& ext = backup.extension;
    if (ext.empty()) return false;
    for (const auto c : ext) {
        if (c == 0 || c == '/') return false;
#ifdef _WIN32
        if (c == '\\' || c == ':') return false;
#endif
    }
#ifdef _WIN32
    // Windows drops trailing dots and spaces: the backup would be the file itself.
    if (ext.back() == L'.' || ext.back() == L' ') return false;
#endif
    return true;
}

Corrector::Corrector(std::string search, std::string replace, BackupPolicy backup, std::size_t chunkSize)
    : search_(std::move(search)),
      replace_(std::move(replace)),
      backup_(std::move(backup)),
      chunkSize_(std::max<std::size_t>(chunkSize, 1)) {}

CheckResult Corrector::CheckFile(const fs::path& file) {
    const auto failed = [&](FailureKind kind, std::error_code ec = {}) {
        return CheckResult{FileVerdict::Unknown, Failure{kind, file, ec, {}}};
    };
    // Opening never blocks (not even on a FIFO); what was opened is then checked.
    os::File in;
    if (auto ec = os::File::OpenRead(file, in)) return failed(OpenFailureKind(ec), ec);
    os::FileInfo info;
    if (auto ec = in.Info(info)) return failed(FailureKind::Open, ec);
    if (!info.regular) return failed(FailureKind::NotRegularFile);
    std::error_code ec;
    const FileVerdict verdict = Scan(in, info.size, true, ec);
    if (ec) return failed(FailureKind::Read, ec);
    return {verdict, std::nullopt};
}

FileVerdict Corrector::Scan(os::File& in, std::uint64_t size, bool emptySearchOccurs, std::error_code& ec) {
    // Keep the last bytes of each chunk so that an occurrence across the
    // boundary is still seen whole in the next window.
    const std::size_t longest = std::max(Search().size(), Replace().size());
    const std::size_t overlap = longest ? longest - 1 : 0;
    const bool searchCounts = !Search().empty() || emptySearchOccurs;
    buffer_.resize(overlap + chunkSize_);
    std::size_t carry = 0;
    bool replaceFound = false;
    // Reading stops at the size the file had when opened: a file that grows
    // meanwhile is judged by what it held then, and the last empty read is saved.
    for (std::uint64_t total = 0; total < size || size == 0;) {
        std::size_t got = 0;
        if ((ec = in.Read(buffer_.data() + carry, chunkSize_, got))) return FileVerdict::Unknown;
        if (got == 0) break;
        total += got;
        const std::string_view window(buffer_.data(), carry + got);
        // The empty string is found at once in any non-empty window.
        if (searchCounts) {
            if (ByteSearcher::FindWatching(search_, replace_, window, replaceFound) != ByteSearcher::npos)
                return FileVerdict::ToCorrect;
        } else if (!replaceFound) {
            replaceFound = replace_.Find(window) != ByteSearcher::npos;
        }
        carry = std::min(overlap, window.size());
        std::memmove(buffer_.data(), window.data() + window.size() - carry, carry);
    }
    return replaceFound ? FileVerdict::AlreadyCorrected : FileVerdict::Unknown;
}

// One file between the two steps of its rewrite: the corrected content is
// written to the temporary file, not yet flushed, and nothing else has changed.
struct Corrector::Pending {
    fs::path file;              // as given
    fs::path target;            // the file a symbolic link leads to, or the file itself
    fs::path targetName;        // its name in `folder`
    os::Folder folder;          // the target's folder, as opened
    os::Folder ownBackupFolder; // the backup's folder, when it is another one
    fs::path backupName;        // with backups on: its name in BackupFolder()
    bool hasOldBackup = false;
    os::FileInfo before;        // the file as it was opened
    os::File in;
    os::File out;
    fs::path temporary;         // the corrected content's name in `folder`, until it replaces the file
    std::uint64_t replacements = 0;
    ContentHash read;           // of everything the rewrite read

    const os::Folder& BackupFolder() const { return ownBackupFolder.IsOpen() ? ownBackupFolder : folder; }
};

std::error_code Corrector::Rewrite(Pending& p, bool& readFailed) {
    const std::string_view replace = Replace();
    const std::size_t overlap = Search().empty() ? 0 : Search().size() - 1;
    buffer_.resize(overlap + chunkSize_);
    output_.resize(kOutputBufferSize);
    std::size_t pending = 0;
    std::error_code ec;

    const auto emit = [&](const char* data, std::size_t size) {
        if (ec || size == 0) return;
        if (pending + size > output_.size()) {
            ec = p.out.WriteAll(output_.data(), pending);
            pending = 0;
            if (ec) return;
            if (size >= output_.size()) {
                ec = p.out.WriteAll(data, size);
                return;
            }
        }
        std::memcpy(output_.data() + pending, data, size);
        pending += size;
    };

    std::size_t carry = 0;
    for (;;) {
        std::size_t got = 0;
        if (auto readError = p.in.Read(buffer_.data() + carry, chunkSize_, got)) {
            readFailed = true;
            return readError;
        }
        p.read.Add(buffer_.data() + carry, got);
        const bool last = got == 0;
        const std::string_view window(buffer_.data(), carry + got);
        const std::size_t consumed = ReplaceWindow(window, last, search_, replace, p.replacements, emit);
        if (ec) return ec;
        // What may still begin an occurrence leads the next window.
        carry = window.size() - consumed;
        std::memmove(buffer_.data(), window.data() + consumed, carry);
        if (last) break;
    }
    if (pending) ec = p.out.WriteAll(output_.data(), pending);
    return ec;
}

bool Corrector::StillHolds(Pending& p) {
    if (p.in.Rewind()) return false;
    ContentHash now;
    buffer_.resize(std::max(buffer_.size(), chunkSize_));
    for (;;) {
        std::size_t got = 0;
        if (p.in.Read(buffer_.data(), buffer_.size(), got)) return false;
        if (got == 0) break;
        now.Add(buffer_.data(), got);
        if (now.Length() > p.read.Length()) return false;
    }
    return now.Length() == p.read.Length() && now.Value() == p.read.Value();
}

ProcessResult Corrector::ProcessFile(const fs::path& file) {
    Pending pending;
    bool deferred = false;
    if (auto result = Begin(file, pending, {}, deferred)) return std::move(*result);
    ProcessResult result = Finish(pending);
    if (result.Corrected()) {
        pending.folder.Flush();
        if (pending.ownBackupFolder.IsOpen()) pending.ownBackupFolder.Flush();
    }
    return result;
}

void Corrector::ProcessFiles(const std::vector<fs::path>& files,
                             const std::function<void(std::size_t, const ProcessResult&)>& done) {
    // Files go in groups: each group's new contents are written first and their
    // writeback started together, so that the flushes that follow share the
    // file system's commits instead of paying for one each. The group's folders
    // are flushed once, after its renames, before its results are told.
    constexpr std::size_t kGroup = 32;
    for (std::size_t first = 0; first < files.size(); first += kGroup) {
        const std::size_t count = std::min(kGroup, files.size() - first);
        std::vector<Pending> pending(count);
        std::vector<std::optional<ProcessResult>> results(count);
        std::vector<bool> deferred(count, false);
        for (std::size_t k = 0; k < count; ++k) {
            // The same file under two names of this group is held once.
            const auto twin = [&](const Pending& p) -> const Pending* {
                for (std::size_t j = 0; j < k; ++j)
                    if (!results[j] && !deferred[j] && pending[j].before.SameFileAs(p.before)) return &pending[j];
                return nullptr;
            };
            bool later = false;
            results[k] = Begin(files[first + k], pending[k], twin, later);
            deferred[k] = later;
            if (!results[k] && !later) pending[k].out.StartFlush();
        }
        std::vector<const os::Folder*> touched;
        const auto touch = [&](const os::Folder& folder) {
            for (const os::Folder* f : touched)
                if (f->Location() == folder.Location()) return;
            touched.push_back(&folder);
        };
        for (std::size_t k = 0; k < count; ++k) {
            // A second hard link of a file of this group: its twin is done by now.
            if (deferred[k]) results[k] = ProcessFile(files[first + k]);
            if (results[k]) continue;
            results[k] = Finish(pending[k]);
            if (results[k]->Corrected()) {
                touch(pending[k].folder);
                if (pending[k].ownBackupFolder.IsOpen()) touch(pending[k].ownBackupFolder);
            }
        }
        for (const os::Folder* folder : touched) folder->Flush();
        if (done)
            for (std::size_t k = 0; k < count; ++k) done(first + k, *results[k]);
    }
}

std::optional<ProcessResult> Corrector::Begin(const fs::path& file, Pending& p,
                                              const std::function<const Pending*(const Pending&)>& twin,
                                              bool& deferred) {
    const auto failed = [&](FailureKind kind, std::error_code ec = {}, fs::path other = {}) {
        p.out.Close();
        if (!p.temporary.empty()) p.folder.Remove(p.temporary);
        p.temporary.clear();
        p.in.Close();
        ProcessResult result;
        result.failure = Failure{kind, file, ec, std::move(other)};
        return result;
    };
    p.file = file;
    if (!IsUsable(backup_)) return failed(FailureKind::BadBackupName);

    // Refuse what cannot be corrected before anything is written.
    if (auto ec = os::ResolveLinks(file, p.target)) return failed(OpenFailureKind(ec), ec);
    // Another run of the program may hold the file; once it lets go, the name
    // may lead to its corrected file instead, which is then the one to read.
    for (int attempt = 0;; ++attempt) {
        if (auto ec = os::File::OpenRead(p.target, p.in)) return failed(OpenFailureKind(ec), ec);
        if (auto ec = p.in.Info(p.before)) return failed(FailureKind::Open, ec);
        if (!p.before.regular) return failed(FailureKind::NotRegularFile);
        if (twin) {
            if (const Pending* other = twin(p)) {
                p.in.Close();
                if (p.target != p.file || other->target != other->file) {
                    ProcessResult same;
                    same.sameAs = other->file;
                    return same;
                }
                deferred = true;
                return std::nullopt;
            }
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLockWaitMs);
        bool locked = p.in.TryLock();
        for (int nap = 1; !locked && std::chrono::steady_clock::now() < until; nap = std::min(nap * 2, 50)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(nap));
            locked = p.in.TryLock();
        }
        if (!locked) return failed(FailureKind::Busy);
        os::FileInfo byName;
        if (!os::Stat(p.target, byName) && byName.SameFileAs(p.before)) break;
        if (attempt == 8) return failed(FailureKind::Changed);
        p.in.Close();
    }
    if (auto ec = os::CheckWritable(p.target)) return failed(FailureKind::NotWritable, ec);

    p.targetName = p.target.filename();
    if (auto ec = os::Folder::Open(p.target.parent_path(), p.folder)) return failed(FailureKind::CreateTemporary, ec);
    if (auto ec = p.folder.CheckReplaceable(p.in, p.before)) return failed(FailureKind::NotReplaceable, ec);

    if (backup_.enabled) {
        const fs::path backupPath = BackupPathOf(file, backup_);
        p.backupName = backupPath.filename();
        if (backupPath.parent_path() != p.target.parent_path()) {
            if (auto ec = os::Folder::Open(backupPath.parent_path(), p.ownBackupFolder))
                return failed(FailureKind::Backup, ec, backupPath);
            if (auto ec = p.ownBackupFolder.CheckReplaceable(p.in, p.before))
                return failed(FailureKind::NotReplaceable, ec, backupPath);
        }
        os::FileInfo old;
        const auto ec = p.BackupFolder().Stat(p.backupName, old);
        if (!ec && !old.regular && !old.symlink) return failed(FailureKind::BackupNotFile, {}, backupPath);
        // A link of the file under the backup's name: replacing it would leave no copy.
        if (!ec && old.SameFileAs(p.before)) return failed(FailureKind::BackupIsFile, {}, backupPath);
        // A read-only old backup would have to lose its attribute to be replaced: left alone.
        if (!ec && old.readOnly)
            return failed(FailureKind::Backup, std::make_error_code(std::errc::permission_denied), backupPath);
        if (ec && !IsMissing(ec)) return failed(FailureKind::Backup, ec, backupPath);
        p.hasOldBackup = !ec;
    }

    // Nothing is written for a file without the search string.
    std::error_code scanError;
    const FileVerdict verdict = Scan(p.in, p.before.size, false, scanError);
    if (scanError) return failed(FailureKind::Read, scanError);
    if (verdict != FileVerdict::ToCorrect) {
        p.in.Close();
        ProcessResult result;
        result.verdict = verdict;
        return result;
    }
    if (auto ec = p.in.Rewind()) return failed(FailureKind::Read, ec);

    for (int attempt = 0;; ++attempt) {
        p.temporary = os::TemporaryFileName();
        const auto ec = p.folder.CreateNew(p.temporary, p.out);
        if (!ec) break;
        p.temporary.clear();
        if (ec != std::errc::file_exists || attempt == 16) return failed(FailureKind::CreateTemporary, ec);
    }
    bool readFailed = false;
    if (auto ec = Rewrite(p, readFailed))
        return failed(readFailed ? FailureKind::Read : FailureKind::Write, ec, readFailed ? fs::path() : p.temporary);
    // The occurrence seen a moment ago is gone: another program is writing.
    if (p.replacements == 0) return failed(FailureKind::Changed);
    if (auto ec = p.out.CopyAccessFrom(p.before)) return failed(FailureKind::Write, ec, p.temporary);
    return std::nullopt;
}

ProcessResult Corrector::Finish(Pending& p) {
    const os::Folder& folder = p.folder;
    const os::Folder& backupFolder = p.BackupFolder();
    const fs::path backupPath = backup_.enabled ? BackupPathOf(p.file, backup_) : fs::path();
    // Everything made from here on is undone on failure, newest first.
    fs::path newBackup;       // the content that was read, under a temporary name
    fs::path kept;            // the old backup, kept under a second name until the end
    bool keptMoved = false;   // kept by renaming (its only name), not by a second link
    bool placed = false;      // the new backup stands at the backup's name
    os::FileInfo placedAs;    // which file that is
    const auto failed = [&](FailureKind kind, std::error_code ec = {}, fs::path other = {}) {
        p.out.Close();
        if (placed) {
            // Only this run's own backup is taken away again; whatever another
            // program put there meanwhile stays.
            os::FileInfo now;
            if (!backupFolder.Stat(p.backupName, now) && now.SameFileAs(placedAs)) {
                if (!kept.empty()) backupFolder.Rename(kept, p.backupName);
                else backupFolder.Remove(p.backupName);
                kept.clear();
            } else if (keptMoved) {
                kept.clear();  // the old backup's only copy is left under its temporary name
            }
        } else if (keptMoved) {
            backupFolder.Rename(kept, p.backupName);
            kept.clear();
        }
        if (!kept.empty()) backupFolder.Remove(kept);
        if (!newBackup.empty()) backupFolder.Remove(newBackup);
        if (!p.temporary.empty()) folder.Remove(p.temporary);
        p.in.Close();
        ProcessResult result;
        result.failure = Failure{kind, p.file, ec, std::move(other)};
        return result;
    };

    if (auto ec = p.out.Flush()) return failed(FailureKind::Flush, ec, p.temporary);
    if (auto ec = p.out.Close()) return failed(FailureKind::Write, ec, p.temporary);

    if (backup_.enabled) {
        if (p.hasOldBackup) {
            // Keep the old backup under a second name until the file is replaced,
            // so that a failure can put it back.
            kept = os::TemporaryFileName();
            if (backupFolder.LinkFrom(backupFolder, p.backupName, kept)) {
                if (auto ec = backupFolder.Rename(p.backupName, kept)) {
                    kept.clear();
                    return failed(FailureKind::Backup, ec, backupPath);
                }
                keptMoved = true;
            }
        }
        // The backup is the very file that was read: a second name of it when
        // the name still leads there, else a copy from the open file.
        newBackup = os::TemporaryFileName();
        bool made = !backupFolder.LinkFrom(folder, p.targetName, newBackup) &&
                    !backupFolder.Stat(newBackup, placedAs) && placedAs.SameFileAs(p.before);
        if (!made) {
            backupFolder.Remove(newBackup);
            if (auto ec = CopyInto(p.in, p.before.size, p.before, backupFolder, newBackup, buffer_)) {
                newBackup.clear();
                return failed(FailureKind::Backup, ec, backupPath);
            }
            if (auto ec = backupFolder.Stat(newBackup, placedAs)) return failed(FailureKind::Backup, ec, backupPath);
        }
        if (auto ec = backupFolder.Rename(newBackup, p.backupName)) return failed(FailureKind::Backup, ec, backupPath);
        newBackup.clear();
        placed = true;
    }

    // Another program may have written to the file since it was read: the same
    // file, size and time are not enough where times are whole seconds, so
    // its content is read again.
    os::FileInfo byHandle, byName;
    if (p.in.Info(byHandle) || folder.Stat(p.targetName, byName) || !byHandle.SameVersionAs(p.before) ||
        !byName.SameVersionAs(p.before) || !StillHolds(p))
        return failed(FailureKind::Changed);
#ifdef _WIN32
    // Windows replaces no file that is still open.
    p.in.Close();
#endif
    if (auto ec = folder.Rename(p.temporary, p.targetName)) return failed(FailureKind::Replace, ec);
    p.temporary.clear();
    if (!kept.empty()) backupFolder.Remove(kept);
    p.in.Close();
    ProcessResult result;
    result.replacements = p.replacements;
    return result;
}

}  // namespace tarnwick

#include "Corrector.h"

#include "FileSystem.h"
#include "Replace.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
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

// Copies the first `size` bytes of `in` into a new file at `copy` and flushes
// it; used for backups where hard links are not supported.
std::error_code CopyInto(os::File& in, std::uint64_t size, const os::FileInfo& like, const fs::path& copy,
                         std::vector<char>& buffer) {
    os::File out;
    if (auto ec = os::File::CreateNew(copy, out)) return ec;
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
        os::Remove(copy);
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

    // Keep the last bytes of each chunk so that an occurrence across the
    // boundary is still seen whole in the next window.
    const std::size_t longest = std::max(Search().size(), Replace().size());
    const std::size_t overlap = longest ? longest - 1 : 0;
    buffer_.resize(overlap + chunkSize_);
    std::size_t carry = 0;
    bool replaceFound = false;
    // Reading stops at the size the file had when opened: a file that grows
    // meanwhile is judged by what it held then, and the last empty read is saved.
    for (std::uint64_t total = 0; total < info.size || info.size == 0;) {
        std::size_t got = 0;
        if (auto ec = in.Read(buffer_.data() + carry, chunkSize_, got)) return failed(FailureKind::Read, ec);
        if (got == 0) break;
        total += got;
        const std::string_view window(buffer_.data(), carry + got);
        // The empty string is found at once in any non-empty window.
        if (ByteSearcher::FindWatching(search_, replace_, window, replaceFound) != ByteSearcher::npos)
            return {FileVerdict::ToCorrect, std::nullopt};
        carry = std::min(overlap, window.size());
        std::memmove(buffer_.data(), window.data() + window.size() - carry, carry);
    }
    return {replaceFound ? FileVerdict::AlreadyCorrected : FileVerdict::Unknown, std::nullopt};
}

std::error_code Corrector::Rewrite(os::File& in, os::File& out, bool& readFailed, std::uint64_t& replacements) {
    const std::string_view replace = Replace();
    const std::size_t overlap = Search().empty() ? 0 : Search().size() - 1;
    buffer_.resize(overlap + chunkSize_);
    output_.resize(kOutputBufferSize);
    std::size_t pending = 0;
    std::error_code ec;

    const auto emit = [&](const char* data, std::size_t size) {
        if (ec || size == 0) return;
        if (pending + size > output_.size()) {
            ec = out.WriteAll(output_.data(), pending);
            pending = 0;
            if (ec) return;
            if (size >= output_.size()) {
                ec = out.WriteAll(data, size);
                return;
            }
        }
        std::memcpy(output_.data() + pending, data, size);
        pending += size;
    };

    std::size_t carry = 0;
    for (;;) {
        std::size_t got = 0;
        if (auto readError = in.Read(buffer_.data() + carry, chunkSize_, got)) {
            readFailed = true;
            return readError;
        }
        const bool last = got == 0;
        const std::string_view window(buffer_.data(), carry + got);
        const std::size_t consumed = ReplaceWindow(window, last, search_, replace, replacements, emit);
        if (ec) return ec;
        // What may still begin an occurrence leads the next window.
        carry = window.size() - consumed;
        std::memmove(buffer_.data(), window.data() + consumed, carry);
        if (last) break;
    }
    if (pending) ec = out.WriteAll(output_.data(), pending);
    return ec;
}

// One file between the two steps of its rewrite: the corrected content is
// written to the temporary file, not yet flushed, and nothing else has changed.
struct Corrector::Pending {
    fs::path file;           // as given
    fs::path target;         // the file a symbolic link leads to, or the file itself
    fs::path backupPath;     // with backups on
    bool hasOldBackup = false;
    os::FileInfo before;     // the file as it was read
    os::File in;
    os::File out;
    fs::path temporary;      // the corrected content, until it replaces the file
    std::uint64_t replacements = 0;
};

ProcessResult Corrector::ProcessFile(const fs::path& file) {
    Pending pending;
    if (auto failure = Begin(file, pending)) return {0, std::move(failure)};
    return Finish(pending);
}

void Corrector::ProcessFiles(const std::vector<fs::path>& files,
                             const std::function<void(std::size_t, const ProcessResult&)>& done) {
    // Files go in groups: each group's new contents are written first and their
    // writeback started together, so that the flushes that follow share the
    // file system's commits instead of paying for one each.
    constexpr std::size_t kGroup = 32;
    for (std::size_t first = 0; first < files.size(); first += kGroup) {
        const std::size_t count = std::min(kGroup, files.size() - first);
        std::vector<Pending> pending(count);
        std::vector<std::optional<Failure>> begun(count);
        for (std::size_t k = 0; k < count; ++k) {
            begun[k] = Begin(files[first + k], pending[k]);
            if (!begun[k]) pending[k].out.StartFlush();
        }
        for (std::size_t k = 0; k < count; ++k) {
            const ProcessResult result = begun[k] ? ProcessResult{0, std::move(begun[k])} : Finish(pending[k]);
            if (done) done(first + k, result);
        }
    }
}

std::optional<Failure> Corrector::Begin(const fs::path& file, Pending& p) {
    const auto failed = [&](FailureKind kind, std::error_code ec = {}, fs::path other = {}) {
        p.out.Close();
        if (!p.temporary.empty()) os::Remove(p.temporary);
        p.temporary.clear();
        return Failure{kind, file, ec, std::move(other)};
    };
    p.file = file;
    if (!IsUsable(backup_)) return failed(FailureKind::BadBackupName);

    // Refuse what cannot be corrected before anything is written.
    if (auto ec = os::ResolveLinks(file, p.target)) return failed(OpenFailureKind(ec), ec);
    if (auto ec = os::Stat(p.target, p.before)) return failed(OpenFailureKind(ec), ec);
    if (!p.before.regular) return failed(FailureKind::NotRegularFile);
    if (auto ec = os::CheckWritable(p.target)) return failed(FailureKind::NotWritable, ec);

    if (backup_.enabled) {
        p.backupPath = BackupPathOf(file, backup_);
        os::FileInfo old;
        const auto ec = os::Stat(p.backupPath, old, false);
        if (!ec && !old.regular && !old.symlink) return failed(FailureKind::BackupNotFile, {}, p.backupPath);
        // A read-only old backup would have to lose its attribute to be replaced: left alone.
        if (!ec && old.readOnly)
            return failed(FailureKind::Backup, std::make_error_code(std::errc::permission_denied), p.backupPath);
        if (ec && !IsMissing(ec)) return failed(FailureKind::Backup, ec, p.backupPath);
        p.hasOldBackup = !ec;
    }

    if (auto ec = os::File::OpenRead(p.target, p.in)) return failed(OpenFailureKind(ec), ec);
    os::FileInfo opened;
    if (auto ec = p.in.Info(opened)) return failed(FailureKind::Open, ec);
    if (!opened.regular) return failed(FailureKind::NotRegularFile);
    if (!opened.SameVersionAs(p.before)) return failed(FailureKind::Changed);

    const fs::path folder = p.target.parent_path();
    for (int attempt = 0;; ++attempt) {
        p.temporary = os::TemporaryName(folder);
        const auto ec = os::File::CreateNew(p.temporary, p.out);
        if (!ec) break;
        p.temporary.clear();
        if (ec != std::errc::file_exists || attempt == 16) return failed(FailureKind::CreateTemporary, ec);
    }
    bool readFailed = false;
    if (auto ec = Rewrite(p.in, p.out, readFailed, p.replacements))
        return failed(readFailed ? FailureKind::Read : FailureKind::Write, ec, readFailed ? fs::path() : p.temporary);
    if (auto ec = p.out.CopyAccessFrom(p.before)) return failed(FailureKind::Write, ec, p.temporary);
    return std::nullopt;
}

ProcessResult Corrector::Finish(Pending& p) {
    // Everything made from here on is undone on failure, newest first.
    fs::path newBackup;           // the current content under a temporary name
    fs::path keptBackup;          // the old backup, kept aside until the end
    bool oldBackupMoved = false;  // kept by renaming, not by a second link
    bool backupPlaced = false;
    const auto failed = [&](FailureKind kind, std::error_code ec = {}, fs::path other = {}) {
        p.out.Close();
        if (backupPlaced) {
            if (!keptBackup.empty()) {
                os::Rename(keptBackup, p.backupPath);
                keptBackup.clear();
            } else {
                os::Remove(p.backupPath);
            }
        }
        if (oldBackupMoved && !keptBackup.empty()) os::Rename(keptBackup, p.backupPath);
        else if (!keptBackup.empty()) os::Remove(keptBackup);
        if (!newBackup.empty()) os::Remove(newBackup);
        if (!p.temporary.empty()) os::Remove(p.temporary);
        return ProcessResult{0, Failure{kind, p.file, ec, std::move(other)}};
    };

    if (auto ec = p.out.Flush()) return failed(FailureKind::Flush, ec, p.temporary);
    if (auto ec = p.out.Close()) return failed(FailureKind::Write, ec, p.temporary);

    if (backup_.enabled) {
        const fs::path backupFolder = p.backupPath.parent_path();
        if (p.hasOldBackup) {
            // Keep the old backup under a second name until the file is replaced,
            // so that a failure can put it back.
            keptBackup = os::TemporaryName(backupFolder);
            if (os::HardLink(p.backupPath, keptBackup)) {
                if (auto ec = os::Rename(p.backupPath, keptBackup)) {
                    keptBackup.clear();
                    return failed(FailureKind::Backup, ec, p.backupPath);
                }
                oldBackupMoved = true;
            }
        }
        newBackup = os::TemporaryName(backupFolder);
        if (os::HardLink(p.target, newBackup)) {
            if (auto ec = CopyInto(p.in, p.before.size, p.before, newBackup, buffer_)) {
                newBackup.clear();
                return failed(FailureKind::Backup, ec, p.backupPath);
            }
        }
        if (auto ec = os::Rename(newBackup, p.backupPath)) return failed(FailureKind::Backup, ec, p.backupPath);
        newBackup.clear();
        backupPlaced = true;
        oldBackupMoved = false;
    }

    // Another program may have written to the file since it was read.
    os::FileInfo byHandle, byName;
    if (p.in.Info(byHandle) || os::Stat(p.target, byName) || !byHandle.SameVersionAs(p.before) ||
        !byName.SameVersionAs(p.before))
        return failed(FailureKind::Changed);
    // Windows replaces no file that is still open.
    p.in.Close();
    if (auto ec = os::Rename(p.temporary, p.target)) return failed(FailureKind::Replace, ec);
    p.temporary.clear();
    if (!keptBackup.empty()) os::Remove(keptBackup);
    return ProcessResult{p.replacements, std::nullopt};
}

}  // namespace tarnwick

#include "engine/rewrite/Corrector.h"

#include "engine/content/ContentHash.h"
#include "engine/rewrite/FileCopy.h"
#include "engine/rewrite/FileLock.h"
#include "platform/FileSystem.h"
#include "platform/FlushSites.h"
#include "platform/Leftovers.h"
#include "engine/rewrite/StagedRewrite.h"
#include "engine/undo/Undo.h"

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kOutputBufferSize = std::size_t{1} << 16;

bool IsMissing(const std::error_code& ec) {
    return ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory;
}

// A result that is only a failure.
ProcessResult Failed(Failure failure) {
    ProcessResult result;
    result.failure = std::move(failure);
    return result;
}

ProcessResult Failed(const fs::path& file, FailureKind kind, std::error_code ec = {}, fs::path other = {},
                     std::string detail = {}) {
    return Failed(Failure{kind, file, ec, std::move(other), std::move(detail)});
}

FailureKind OpenFailureKind(const std::error_code& ec) {
    return IsMissing(ec) ? FailureKind::Missing : FailureKind::Open;
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
    // Where trailing dots and spaces are dropped the backup would be the file itself.
    return os::IsPlainNamePart(backup.extension);
}

bool LinkRule::Takes(const fs::path& target) const {
    if (any) return true;
    const auto inside = [&](const fs::path& root) {
        auto t = target.begin();
        for (auto r = root.begin(); r != root.end(); ++r, ++t)
            if (t == target.end() || (*r != *t && !r->empty())) return false;
        return true;
    };
    return std::any_of(roots.begin(), roots.end(), inside);
}

Corrector::Corrector(StringForms forms, BackupPolicy backup, std::size_t chunkSize)
    : rules_(std::move(forms), chunkSize), backup_(std::move(backup)) {}

// The other pages' rules, for every copy of a corrector: made once (their
// tables are shared), numbered in the order made, the same in every copy.
struct Corrector::PageCache {
    std::mutex mutex;
    std::vector<TextPair> pairs;
    std::deque<std::pair<std::string, ContentRules>> made;  // by number - 1: the page's label, its rules
    std::deque<CodePage> pages;                             // ...and the page
};

void Corrector::UsePatterns(std::vector<Pattern> patterns, const std::optional<CodePage>& legacy) {
    rules_.UsePatterns(std::move(patterns), legacy);
}

void Corrector::DecidePages(PagePreference preference, std::vector<TextPair> pairs) {
    pageCache_ = std::make_shared<PageCache>();
    pageCache_->pairs = pairs;
    pages_.emplace(std::move(preference), std::move(pairs));
    pages_->AnyText(rules_.UsesPatterns());
    pageRules_.clear();
}

std::size_t Corrector::PageRules(const CodePage& page) {
    const std::string label = EncodingLabel(page);
    std::lock_guard lock(pageCache_->mutex);
    auto& made = pageCache_->made;
    for (std::size_t i = 0; i < made.size(); ++i)
        if (made[i].first == label) return i + 1;
    ContentRules rules(StringForms::Candidates(pageCache_->pairs, page, rules_.Forms().AsciiFiles()),
                       rules_.ChunkSize());
    rules.TakeBinaryFiles(rules_.TakesBinaryFiles());
    rules.WatchUtf8(true);
    if (rules_.UsesPatterns()) rules.UsePatterns(rules_.Patterns(), page);
    made.emplace_back(label, std::move(rules));
    pageCache_->pages.push_back(page);
    return made.size();
}

ContentRules& Corrector::RulesOf(const Findings& found) {
    if (!found.page) return rules_;
    if (pageRules_.size() < found.page) pageRules_.resize(found.page);
    std::optional<ContentRules>& rules = pageRules_[found.page - 1];
    if (!rules) {
        std::lock_guard lock(pageCache_->mutex);
        rules = pageCache_->made[found.page - 1].second;  // (a copy shares the tables)
    }
    return *rules;
}

FilePage Corrector::PageOf(const Findings& found) const {
    FilePage page;
    if (found.page) {
        std::lock_guard lock(pageCache_->mutex);
        page.label = pageCache_->made[found.page - 1].first;
    }
    page.guess = found.pageGuess;
    page.notInPage = found.notInPage;
    return page;
}

std::optional<Failure> Corrector::Scan(const fs::path& file, os::File& in, std::uint64_t size, bool emptySearchOccurs,
                                       Findings& found) {
    auto failure = ScanInPage(file, in, size, emptySearchOccurs, found);
    if (!failure && found.tooMuchWork) failure = Failure{FailureKind::PatternWork, file};
    return failure;
}

std::optional<Failure> Corrector::ScanInPage(const fs::path& file, os::File& in, std::uint64_t size,
                                             bool emptySearchOccurs, Findings& found) {
    std::error_code ec;
    found = rules_.Scan(in, size, emptySearchOccurs, ec);
    if (ec) return Failure{FailureKind::Read, file, ec};
    // A file of bytes that is not UTF-8 is in some legacy code page: the one its
    // bytes show, where that matters (a string not ASCII, or an occurrence an
    // East Asian page might hold inside a character).
    if (!pages_ || found.layout != ContentRules::Layout::Bytes || !found.notUtf8 || found.binaryTaken)
        return std::nullopt;
    // (Patterns match a file of UTF-8 with a few stray bytes as UTF-8: no page is read there.)
    if (rules_.UsesPatterns() && found.text != Encoding::Legacy) return std::nullopt;
    // (A pattern's text is any text: `\\w`, a class.)
    const bool textMatters =
        !pages_->NonAscii().empty() || found.verdict == FileVerdict::ToCorrect || rules_.UsesPatterns();
    if (!textMatters) return std::nullopt;
    std::string& head = pageHead_;
    head.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size, PageDecider::kLooked)));
    std::size_t got = 0;
    if ((ec = in.Rewind())) return Failure{FailureKind::Read, file, ec};
    for (std::size_t n = 1; n && got < head.size(); got += n)
        if ((ec = in.Read(head.data() + got, head.size() - got, n))) return Failure{FailureKind::Read, file, ec};
    head.resize(got);
    const PageDecider::ReadMore more = [&](std::string& piece) {
        piece.resize(std::size_t{1} << 20);
        std::size_t n = 0;
        const std::error_code error = in.Read(piece.data(), piece.size(), n);
        piece.resize(error ? 0 : n);
        return error;
    };
    PageDecision decision = pages_->Decide(head, size <= PageDecider::kLooked, more);
    if (decision.error) return Failure{FailureKind::Read, file, decision.error};
    if (!decision.ambiguous.empty()) {
        std::string pages;
        for (std::size_t i = 0; i < decision.ambiguous.size(); ++i)
            pages += (i == 0 ? "" : i + 1 == decision.ambiguous.size() ? " or " : ", ") + decision.ambiguous[i];
        return Failure{decision.amongNamed ? FailureKind::AmbiguousNamedPage : FailureKind::AmbiguousPage,
                       file,
                       {},
                       {},
                       std::move(pages)};
    }
    if (!decision.page) return std::nullopt;
    const bool own = EncodingLabel(*decision.page) == rules_.Forms().Name(Encoding::Legacy);
    if (!own) {
        Findings page;
        page.page = PageRules(*decision.page);
        if ((ec = in.Rewind())) return Failure{FailureKind::Read, file, ec};
        found = RulesOf(page).Scan(in, size, emptySearchOccurs, ec);
        if (ec) return Failure{FailureKind::Read, file, ec};
        found.page = page.page;
    }
    found.pageGuess = decision.guess;
    // A guess that cannot hold a search string: told, so that no file is
    // corrected in part without a word.
    if (decision.guess && !rules_.UsesPatterns())
        for (const std::size_t pair : pages_->NonAscii())
            if (!RulesOf(found).Forms().Search(pair, Encoding::Legacy)) found.notInPage.push_back(pair);
    return std::nullopt;
}

namespace {

// The failure of opening a file or folder a walk listed, where a link now stands.
FailureKind WalkFailureKind(const std::error_code& ec) {
    if (ec == std::errc::too_many_symbolic_link_levels) return FailureKind::BecameLink;
    return OpenFailureKind(ec);
}

fs::path FolderPathOf(const fs::path& file) { return file.has_parent_path() ? file.parent_path() : fs::path("."); }

}  // namespace

std::optional<Failure> Corrector::Home(const fs::path& file, const FilePlace& place, os::Folder& opened,
                                       const os::Folder*& home) const {
    home = &opened;
    if (place.folder && place.folder->IsOpen()) {
        home = place.folder;
        return std::nullopt;
    }
    // Named as a path: its folder as the path leads. Listed by a walk: only
    // the very folder the walk listed, reached again by its path.
    const fs::path folder = FolderPathOf(file);
    if (auto ec = os::Folder::Open(folder, opened))
        return Failure{place.listed ? WalkFailureKind(ec) : OpenFailureKind(ec), place.listed ? folder : file, ec};
    os::FileInfo now;
    if (place.listed && (opened.Info(now) || now.device != place.device || now.inode != place.inode))
        return Failure{FailureKind::FolderSwapped, folder};
    return std::nullopt;
}

std::optional<Failure> Corrector::Target(const fs::path& file, const FilePlace& place, const os::Folder& home,
                                         os::Folder& folder, fs::path& name, fs::path& target, bool& viaLink) const {
    name = file.filename();
    target = file;
    viaLink = false;
    os::FileInfo entry;
    if (auto ec = home.Stat(name, entry, false)) return Failure{OpenFailureKind(ec), file, ec};
    if (!entry.symlink) return std::nullopt;
    // A walk found a file here: a link in its place now was swapped in.
    if (place.listed && !place.link) return Failure{FailureKind::BecameLink, file};
    fs::path resolved;
    if (auto ec = home.Resolve(name, resolved)) return Failure{OpenFailureKind(ec), file, ec};
    if (place.listed && !links_.Takes(resolved)) return Failure{FailureKind::LinkOutside, file, {}, resolved};
    // The target's folder through real folders only, and the link still leading there.
    if (auto ec = os::Folder::OpenWithoutLinks(resolved.parent_path(), folder))
        return Failure{WalkFailureKind(ec), file, ec};
    os::FileInfo byLink, there;
    if (home.Stat(name, byLink, true) || folder.Stat(resolved.filename(), there, false) || !byLink.SameFileAs(there))
        return Failure{FailureKind::Changed, file};
    name = resolved.filename();
    target = std::move(resolved);
    viaLink = true;
    return std::nullopt;
}

std::optional<Failure> Corrector::OpenChecked(const fs::path& file, const FilePlace& place, os::File& in,
                                              fs::path& linked) const {
    // Opening never blocks (not even on a FIFO); what was opened is then checked.
    if (!place.listed && !place.folder) {
        if (auto ec = os::File::OpenRead(file, in)) return Failure{OpenFailureKind(ec), file, ec};
        // (Where a link named led: asked only of links.)
        if (os::FileInfo name; !os::Stat(file, name, false) && name.symlink) os::ResolveLinks(file, linked);
        return std::nullopt;
    }
    // A file a walk listed as one: by its name in the folder held open, not followed if a link now.
    if (place.folder && place.folder->IsOpen() && !place.link) {
        if (auto ec = place.folder->OpenReadLast(file, in, false)) return Failure{WalkFailureKind(ec), file, ec};
        return std::nullopt;
    }
    os::Folder opened, linkedFolder;
    const os::Folder* home = nullptr;
    if (auto failure = Home(file, place, opened, home)) return failure;
    fs::path name, target;
    bool viaLink = false;
    if (auto failure = Target(file, place, *home, linkedFolder, name, target, viaLink)) return failure;
    if (auto ec = (viaLink ? linkedFolder : *home).OpenRead(name, in, false))
        return Failure{WalkFailureKind(ec), file, ec};
    if (viaLink) linked = std::move(target);
    return std::nullopt;
}

std::optional<Failure> Corrector::OpenAndScan(const fs::path& file, const FilePlace& place, os::File& in,
                                              bool emptySearchOccurs, Findings& found, CheckResult* check) {
    const auto failed = [&](FailureKind kind, std::error_code ec = {}) { return Failure{kind, file, ec, {}}; };
    fs::path target;
    if (auto failure = OpenChecked(file, place, in, target)) return failure;
    os::FileInfo info;
    if (auto ec = in.Info(info)) return failed(FailureKind::Open, ec);
    if (check)
        check->device = info.device, check->inode = info.inode, check->size = info.size,
        check->target = std::move(target);
    if (!info.regular) return failed(FailureKind::NotRegularFile);
    if (mostSize_ && info.size > *mostSize_)
        return Failure{FailureKind::TooLarge, file, {}, {}, std::to_string(*mostSize_)};
    return Scan(file, in, info.size, emptySearchOccurs, found);
}

CheckResult Corrector::CheckFile(const fs::path& file, const FilePlace& place) {
    os::File in;
    Findings found;
    CheckResult check;
    if (auto failure = OpenAndScan(file, place, in, true, found, &check)) {
        check.failure = std::move(failure);
        return check;
    }
    check.verdict = found.verdict;
    check.encodings = found.encodings;
    check.notUtf8 = found.notUtf8;
    check.page = PageOf(found);
    return check;
}

std::error_code Corrector::Rewrite(StagedRewrite& p, bool& readFailed) {
    output_.resize(kOutputBufferSize);
    std::size_t pending = 0;
    std::error_code ec;
    const auto write = [&](const char* data, std::size_t size) {
        if (undo_) p.writtenDigest.Add(data, size);  // what undo will find there
        return p.corrected.Out().WriteAll(data, size);
    };
    const auto emit = [&](const char* data, std::size_t size) {
        if (ec || size == 0) return;
        if (pending + size > output_.size()) {
            ec = write(output_.data(), pending);
            pending = 0;
            if (ec) return;
            if (size >= output_.size()) {
                ec = write(data, size);
                return;
            }
        }
        std::memcpy(output_.data() + pending, data, size);
        pending += size;
    };
    // A review's choice: the occurrences it left are written as they were.
    const OccurrenceChoice* choice = p.choice && p.choice->kind == OccurrenceChoice::Kind::Chosen ? p.choice : nullptr;
    std::size_t occurrence = 0;
    p.left = 0;
    const auto streamed = RulesOf(p.found).Stream(
        p.in, p.found, p.replacements, PairCounters(p.pairCounts), p.blocked,
        [&](std::string_view kept) { emit(kept.data(), kept.size()); },
        [&](std::string_view found, std::string_view replacement) {
            const bool take = !choice || (occurrence < choice->taken.size() && choice->taken[occurrence]);
            ++occurrence;
            if (!take) ++p.left;
            const std::string_view written = take ? replacement : found;
            emit(written.data(), written.size());
        },
        [&](const char* data, std::size_t size) {
            p.read.Add(data, size);
            if (undo_) p.readDigest.Add(data, size);
            return !ec;
        });
    if (streamed) {
        readFailed = !p.blocked;
        return streamed;
    }
    if (!ec && pending) ec = write(output_.data(), pending);
    if (choice) {
        // (Counted by pair, the occurrences taken cannot be told apart from those left.)
        p.replacements -= p.left;
        if (p.left) p.pairCounts.clear();
    }
    return ec;
}

std::uint64_t* Corrector::PairCounters(std::vector<std::uint64_t>& counts) const {
    if (Forms().PairCount() < 2) {
        counts.clear();
        return nullptr;
    }
    counts.assign(Forms().PairCount(), 0);
    return counts.data();
}

ProcessResult Corrector::Preview(const fs::path& file, const Keep& keep, const Swap& swap) {
    return Preview(file, keep, swap, {});
}

ProcessResult Corrector::Preview(const fs::path& file, const Keep& keep, const Swap& swap,
                                 const std::function<void(const Findings&)>& scanned) {
    ProcessResult result;
    os::File in;
    Findings found;
    if (auto failure = OpenAndScan(file, {}, in, false, found)) {
        result.failure = std::move(failure);
        return result;
    }
    const auto failed = [&](FailureKind kind, std::error_code ec = {}, std::string detail = {}) {
        result.failure = Failure{kind, file, ec, {}, std::move(detail)};
        result.replacements = 0;
        result.pairCounts.clear();
        return result;
    };
    std::error_code ec;
    result.verdict = found.verdict;
    result.encodings = found.encodings;
    if (found.verdict != FileVerdict::ToCorrect) return result;
    if ((ec = in.Rewind())) return failed(FailureKind::Read, ec);
    std::optional<Encoding> blocked;
    result.page = PageOf(found);
    if (scanned) scanned(found);
    if ((ec = RulesOf(found).Stream(in, found, result.replacements, PairCounters(result.pairCounts), blocked, keep,
                                    swap, {}))) {
        if (auto failure = PatternFailure(file, found)) {
            result = {};
            result.failure = std::move(failure);
            return result;
        }
        return blocked ? failed(FailureKind::NotRepresentable, {}, RulesOf(found).Forms().Name(*blocked))
                       : failed(FailureKind::Read, ec);
    }
    return result;
}

ProcessResult Corrector::Show(const fs::path& file, OccurrenceChoice& shown, std::vector<ShownChange>* changes) {
    // Which file is shown: a name that leads elsewhere by the time of writing is another file.
    os::FileInfo shownFile;
    const bool identified = !os::Stat(file, shownFile);
    ContentHash seen;
    std::uint64_t occurrences = 0;
    std::optional<ShownChanges> text;
    ProcessResult result = Preview(
        file,
        [&](std::string_view kept) {
            seen.Add(kept.data(), kept.size());
            if (text) text->Keep(kept);
        },
        [&](std::string_view found, std::string_view replacement) {
            seen.Add(found.data(), found.size());
            ++occurrences;
            if (text) text->Swap(found, replacement);
        },
        [&](const Findings& found) {
            if (!changes) return;
            const Encoding layout = found.layout == ContentRules::Layout::Utf16LE   ? Encoding::Utf16LE
                                    : found.layout == ContentRules::Layout::Utf16BE ? Encoding::Utf16BE
                                                                                    : Encoding::Utf8;
            std::optional<CodePage> page = legacy_;
            if (found.page) {
                std::lock_guard lock(pageCache_->mutex);
                page = pageCache_->pages[found.page - 1];
            }
            text.emplace(layout, std::move(page));
        });
    if (changes) *changes = text ? text->Finish() : std::vector<ShownChange>();
    shown = {};
    if (result.failure || result.verdict != FileVerdict::ToCorrect) {
        shown.kind = OccurrenceChoice::Kind::None;
        return result;
    }
    shown.kind = OccurrenceChoice::Kind::Chosen;
    shown.taken.assign(occurrences, true);
    shown.length = seen.Length();
    shown.hash = seen.Value();
    if (identified) shown.device = shownFile.device, shown.inode = shownFile.inode;
    return result;
}

std::optional<Failure> Corrector::PatternFailure(const fs::path& file, const Findings& found) {
    ContentRules& rules = RulesOf(found);
    if (!rules.UsesPatterns() || rules.LastPatternPass().Done()) return std::nullopt;
    const PatternPass& pass = rules.LastPatternPass();
    if (pass.tooMuchWork) return Failure{FailureKind::PatternWork, file};
    Failure failure{FailureKind::CharacterNotWritable, file};
    failure.detail = Utf16ToUtf8(pass.notWritable).value_or("?");
    failure.encoding = rules.Forms().Name(found.text);
    return failure;
}

bool Corrector::StillHolds(StagedRewrite& p, std::error_code& ec) {
    ContentHash now;
    bool longer = false;
    ec = ReadFromStart(p.in, rules_.Buffer(), rules_.ChunkSize(), [&](const char* data, std::size_t size) {
        now.Add(data, size);
        longer = now.Length() > p.read.Length();
        return !longer;
    });
    return !ec && !longer && now.Length() == p.read.Length() && now.Value() == p.read.Value();
}

LeftoverCounts Corrector::CleanFolderOf(const fs::path& file, const FilePlace& place) {
    os::Folder opened;
    const os::Folder* home = nullptr;
    os::FileInfo id;
    if (Home(file, place, opened, home) || home->Info(id) || !cleanedFolders_.insert({id.device, id.inode}).second)
        return {};
    return CleanLeftovers(*home);
}

ProcessResult Corrector::ProcessFile(const fs::path& file, const FilePlace& place, const OccurrenceChoice* choice) {
    CleanFolderOf(file, place);
    StagedRewrite pending;
    pending.choice = choice;
    Begun begun = Begin(file, place, pending, true);
    if (auto* done = std::get_if<ProcessResult>(&begun)) return std::move(*done);
    if (auto failed = Place(pending)) return std::move(*failed);
    // The backup's name is on disk before the file's goes to the new content.
    if (pending.placed.backup) FlushAt(FlushSite::BackupFolder, pending.BackupFolder());
    ProcessResult result = Finish(pending);
    if (result.Corrected()) {
        FlushAt(FlushSite::CorrectedFolder, pending.folder);
        ConfirmKept(pending);
    }
    return result;
}

void Corrector::ConfirmKept(const StagedRewrite& staged) {
    if (staged.kept) undo_->Confirm(*staged.kept);
}

Corrector::Begun Corrector::Begin(const fs::path& file, const FilePlace& place, StagedRewrite& p, bool wait) {
    p.file = file;
    const auto failed = [&](Failure failure) -> Begun {
        p.Discard();
        return Failed(std::move(failure));
    };
    if (!IsUsable(backup_)) return failed({FailureKind::BadBackupName, file});
    // The file's folder, and the file itself (where a link leads): every later
    // step is taken there, through the folders opened now.
    os::Folder home, linked;
    const os::Folder* homeHeld = nullptr;
    if (auto failure = Home(file, place, home, homeHeld)) return failed(std::move(*failure));
    if (homeHeld != &home)
        if (auto ec = homeHeld->Duplicate(home)) return failed({FailureKind::Open, file, ec});
    bool viaLink = false;
    if (auto failure = Target(file, place, home, linked, p.targetName, p.target, viaLink))
        return failed(std::move(*failure));
    // (Reached through a link, the file is corrected as its target: its backup goes beside it.)
    p.folder = std::move(viaLink ? linked : home);
    // Refuse what cannot be corrected before anything is written.
    if (auto stop = Lock(p, wait)) {
        p.Discard();
        return std::move(*stop);
    }
    if (auto ec = p.folder.CheckWritable(p.targetName)) return failed({FailureKind::NotWritable, file, ec});
    if (auto ec = p.folder.CheckReplaceable(p.in, p.before)) return failed({FailureKind::NotReplaceable, file, ec});
    if (backup_.enabled)
        if (auto failure = CheckBackupPath(p)) return failed(std::move(*failure));

    // Nothing is written for a file without the search string.
    if (auto failure = Scan(file, p.in, p.before.size, false, p.found)) return failed(std::move(*failure));
    if (p.found.verdict != FileVerdict::ToCorrect) {
        if (p.choice && p.choice->kind == OccurrenceChoice::Kind::Chosen)
            return failed({FailureKind::ChangedSinceShown, file});
        p.Discard();
        ProcessResult result;
        result.verdict = p.found.verdict;
        return result;
    }
    if (auto ec = p.in.Rewind()) return failed({FailureKind::Read, file, ec});
    if (auto failure = WriteCorrected(p)) return failed(std::move(*failure));
    return Started{};
}

std::optional<Corrector::Begun> Corrector::Lock(StagedRewrite& p, bool wait) {
    const auto failed = [&](FailureKind kind, std::error_code ec = {}) -> Begun { return Failed(p.file, kind, ec); };
    // Another run of the program may hold the file; once it lets go, the name
    // may lead to its corrected file instead, which is then the one to read.
    for (int attempt = 0;; ++attempt) {
        if (auto ec = p.folder.OpenRead(p.targetName, p.in, false)) return failed(WalkFailureKind(ec), ec);
        if (auto ec = p.in.Info(p.before)) return failed(FailureKind::Open, ec);
        if (!p.before.regular) return failed(FailureKind::NotRegularFile);
        // Waiting while this run holds other files could wait for a run that
        // waits for those: the caller retries when it holds none.
        // One try without waiting, or LockWaiting alone: a second lock through
        // the same handle fails on Windows.
        if (!wait) {
            if (!p.in.TryLock()) return Busy{};
        } else if (!LockWaiting(p.in, lockWait_)) {
            const std::uint64_t holder = p.in.LockHolder();
            return Failed(p.file, FailureKind::Busy, {}, {}, holder ? std::to_string(holder) : std::string());
        }
        os::FileInfo byName;
        if (!p.folder.Stat(p.targetName, byName) && byName.SameFileAs(p.before)) return std::nullopt;
        if (attempt == 8) return failed(FailureKind::Changed);
        p.in.Close();
    }
}

std::optional<Failure> Corrector::CheckBackupPath(StagedRewrite& p) {
    const fs::path backupPath = BackupPathOf(p.target, backup_);
    const auto failed = [&](FailureKind kind, std::error_code ec = {}) {
        return Failure{kind, p.file, ec, backupPath};
    };
    p.backupName = backupPath.filename();
    os::FileInfo old;
    const auto ec = p.BackupFolder().Stat(p.backupName, old);
    if (!ec && !old.regular && !old.symlink) return failed(FailureKind::BackupNotFile);
    if (!ec && old.SameFileAs(p.before)) {
        // A second name of the file: a backup of this very content, as a
        // run leaves it that stopped before replacing the file. Replacing
        // the file finishes that work; the backup keeps what was read.
        p.backupInPlace = true;
    }
    // A read-only old backup would have to lose its attribute to be replaced: left alone.
    if (!ec && old.readOnly) return failed(FailureKind::Backup, std::make_error_code(std::errc::permission_denied));
    if (ec && !IsMissing(ec)) return failed(FailureKind::Backup, ec);
    p.hasOldBackup = !ec && !p.backupInPlace;
    return std::nullopt;
}

std::optional<Failure> Corrector::WriteCorrected(StagedRewrite& p) {
    const auto failed = [&](FailureKind kind, std::error_code ec = {}, std::string detail = {}) {
        return Failure{kind, p.file, ec, {}, std::move(detail)};
    };
    // The record of the run names the folder before anything is made there.
    if (undo_ && p.folder.Location() != beganIn_) {
        beganIn_ = p.folder.Location();
        std::error_code ec;
        undo_->Began(os::Absolute(beganIn_, ec));
    }
    if (auto ec = p.corrected.Create(p.folder, p.targetName)) return failed(FailureKind::CreateTemporary, ec);
    bool readFailed = false;
    if (auto ec = Rewrite(p, readFailed)) {
        if (auto failure = PatternFailure(p.file, p.found)) return failure;
        if (p.blocked) return failed(FailureKind::NotRepresentable, {}, RulesOf(p.found).Forms().Name(*p.blocked));
        return failed(readFailed ? FailureKind::Read : FailureKind::Write, ec);
    }
    // What was reviewed is what is corrected: the same bytes, the same occurrences.
    if (p.choice && p.choice->kind == OccurrenceChoice::Kind::Chosen &&
        (p.read.Length() != p.choice->length || p.read.Value() != p.choice->hash ||
         p.replacements + p.left != p.choice->taken.size() ||
         (p.choice->device + p.choice->inode &&
          (p.before.device != p.choice->device || p.before.inode != p.choice->inode))))
        return failed(FailureKind::ChangedSinceShown);
    // The occurrence seen a moment ago is gone: another program is writing.
    if (p.replacements == 0) return failed(FailureKind::Changed);
    if (auto ec = p.corrected.Out().CopyAccessFrom(p.in, p.before)) return failed(FailureKind::KeepAccess, ec);
    if (keepTimes_)
        if (auto ec = p.corrected.Out().CopyTimesFrom(p.in)) return failed(FailureKind::KeepTimes, ec);
    if (auto ec = p.corrected.Out().Info(p.after)) return failed(FailureKind::Write, ec);
    return std::nullopt;
}

// What the last steps of a rewrite have made so far (StagedRewrite::placed):
// taken back, newest first, when it ends without the rewrite standing. Only this
// run's own backup is taken away again; whatever another program put there
// meanwhile stays.
struct Corrector::Rollback {
    explicit Rollback(StagedRewrite& pending) : p(pending) {}
    Rollback(const Rollback&) = delete;
    Rollback& operator=(const Rollback&) = delete;
    ~Rollback() {
        if (!stands) Run();
    }

    StagedRewrite& p;
    bool stands = false;  // the rewrite is done, or its step is: nothing to take back

private:
    void Run() {
        const os::Folder& backupFolder = p.BackupFolder();
        StagedRewrite::Placed& made = p.placed;
        p.corrected.Close();
        if (made.backup) {
            os::FileInfo now;
            if (!backupFolder.Stat(p.backupName, now) && now.SameFileAs(made.backupAs)) {
                if (!made.kept.empty()) backupFolder.Rename(made.kept, p.backupName);
                else backupFolder.Remove(p.backupName);
                made.kept.clear();
            } else if (made.keptMoved) {
                made.kept.clear();  // the old backup's only copy is left under its temporary name
            }
        } else if (made.keptMoved) {
            backupFolder.Rename(made.kept, p.backupName);
            made.kept.clear();
        }
        if (!made.kept.empty()) backupFolder.Remove(made.kept);
        if (!made.newBackup.empty()) backupFolder.Remove(made.newBackup);
        p.corrected.Abandon();
        p.in.Close();
    }
};

std::optional<ProcessResult> Corrector::Place(StagedRewrite& p) {
    Rollback rollback(p);
    if (auto ec = p.corrected.Flush(FlushSite::CorrectedData)) return Failed(p.file, FailureKind::Flush, ec);
    if (auto ec = p.corrected.Close()) return Failed(p.file, FailureKind::Write, ec);
    // The file that was read becomes the backup or the original kept for
    // undo under a second name; its content may have been written just
    // before and not be on disk yet. Flushed first, or that name could come
    // back from a power cut without it. (Windows flushes no file opened for
    // reading: there an undo puts back a flushed copy, RestoreRun.)
    // (Not where it only gets copied: into the undo records on another file
    // system, such as a share's; there each flush is a round trip and the
    // server's own flush.)
    if (((backup_.enabled && !p.backupInPlace) || (undo_ && undo_->MayLink(p.before.device))) &&
        os::ReadFilesFlushable())
        (void)FlushAt(FlushSite::OriginalData, p.in);
    if (backup_.enabled && !p.backupInPlace)
        if (auto failure = PlaceBackup(p)) return Failed(std::move(*failure));
    rollback.stands = true;  // until Finish
    return std::nullopt;
}

ProcessResult Corrector::Finish(StagedRewrite& p) {
    Rollback rollback(p);
    // Another program may have written to the file since it was read: the same
    // file, size and time are not enough where times are whole seconds, so
    // its content is read again.
    // Where it cannot be looked at again (a share that lost its connection), that is the reason.
    os::FileInfo byHandle, byName;
    std::error_code ec = p.in.Info(byHandle);
    if (!ec) ec = p.folder.Stat(p.targetName, byName);
    if (ec && !IsMissing(ec)) return Failed(p.file, FailureKind::Recheck, ec);
    if (ec || !byHandle.SameVersionAs(p.before) || !byName.SameVersionAs(p.before))
        return Failed(p.file, FailureKind::Changed);
    if (!StillHolds(p, ec)) return Failed(p.file, ec ? FailureKind::Read : FailureKind::Changed, ec);
    if (!undo_) return PutInPlace(p, rollback);
    // The original, kept for undo before its name goes to the corrected file.
    // (By absolute paths: an undo may run in another folder.)
    const fs::path backup = backup_.enabled ? os::Absolute(p.BackupFolder().Location() / p.backupName, ec) : fs::path();
    // A second name of the file kept for undo must be the record's alone: not
    // while the backup is one too (an edit of the backup would change it), nor
    // where the file has other names.
    const bool backupIsIt = p.backupInPlace || (p.placed.backup && p.placed.backupAs.SameFileAs(p.before));
    UndoKeeper::Original original{os::Absolute(p.target, ec), p.folder, p.targetName, p.before,
                                  p.readDigest.Hex(),         p.in,     backup,       backupIsIt || p.before.links > 1};
    // The name the backup takes stood before the run, unless an earlier
    // recorded run made it anew (a chain of runs with backups: each undo
    // removes what the runs made, and the first leaves none).
    const auto madeBefore = [&] {
        const auto& made = undo_->BackupsMadeBefore();
        if (!made) return false;
        const auto named = made->Named(backup.filename());
        return std::any_of(named.begin(), named.end(),
                           [&](const MadeBackup& b) { return !b.over && b.path == backup.lexically_normal(); });
    };
    original.backupOver = p.backupInPlace || (p.hasOldBackup && !madeBefore());
    p.kept = undo_->Keep(original, p.after, p.writtenDigest.Hex(), rules_.Buffer());
    ProcessResult result = PutInPlace(p, rollback);
    // Replaced or not, as the share may have it: an undo tells by the content.
    // (Then what the name shows now may be the original: no time is taken from it.)
    if (p.kept && result.Corrected()) undo_->Replaced(*p.kept, &p.folder, p.targetName);
    else if (p.kept && result.failure && result.failure->outcomeUnknown) undo_->Replaced(*p.kept, nullptr, {});
    else if (p.kept) undo_->Forget(*p.kept);
    return result;
}

std::optional<Failure> Corrector::PlaceBackup(StagedRewrite& p) {
    StagedRewrite::Placed& made = p.placed;
    const os::Folder& backupFolder = p.BackupFolder();
    const auto failed = [&](std::error_code ec) {
        return Failure{FailureKind::Backup, p.file, ec, BackupPathOf(p.target, backup_)};
    };
    if (p.hasOldBackup) {
        // Keep the old backup under a second name until the file is replaced,
        // so that a failure can put it back.
        made.kept = KeptBackupName(p.backupName);
        if (backupFolder.LinkFrom(backupFolder, p.backupName, made.kept)) {
            if (auto ec = backupFolder.Rename(p.backupName, made.kept)) {
                made.kept.clear();
                return failed(ec);
            }
            made.keptMoved = true;
        }
    }
    // The backup is the very file that was read: a second name of it when
    // the name still leads there, else a copy from the open file.
    made.newBackup = os::TemporaryFileName();
    const bool linked = !backupFolder.LinkFrom(p.folder, p.targetName, made.newBackup) &&
                        !backupFolder.Stat(made.newBackup, made.backupAs) && made.backupAs.SameFileAs(p.before);
    if (!linked) {
        // (A name made that is not the file read may outlive its removal while
        // that file is open: the copy takes a name of its own.)
        backupFolder.Remove(made.newBackup);
        made.newBackup = os::TemporaryFileName();
        if (auto ec = CopyInto(p.in, p.before.size, p.before, backupFolder, made.newBackup, rules_.Buffer())) {
            made.newBackup.clear();
            return failed(ec);
        }
        if (auto ec = backupFolder.Stat(made.newBackup, made.backupAs)) return failed(ec);
    }
    // The backup replaces only the old backup this run saw, kept under a
    // second name: a name that appeared since (a run on another computer
    // sharing the folder, where no lock reaches) stays, and the file fails.
    const bool overOld = p.hasOldBackup && !made.kept.empty() && !made.keptMoved;
    if (auto ec = overOld ? backupFolder.Rename(made.newBackup, p.backupName)
                          : backupFolder.RenameNoReplace(made.newBackup, p.backupName))
        return failed(ec);
    made.newBackup.clear();
    made.backup = true;
    return std::nullopt;
}

ProcessResult Corrector::PutInPlace(StagedRewrite& p, Rollback& rollback) {
    if (!os::OpenFilesReplaceable(p.folder)) p.in.Close();
    // A write that lands after the check goes to the file being replaced:
    // while it is open here, that shows, and the file goes back in place. A
    // second name of it is needed for that: the backup when it is one, the
    // original kept for undo when that is one, else one made for the moment.
    fs::path hold;
    const bool backupIsOld = p.placed.backup ? p.placed.backupAs.SameFileAs(p.before) : p.backupInPlace;
    const bool keptIsOld = undo_ && p.kept && undo_->OriginalIsLink(*p.kept);
    if (!backupIsOld && !keptIsOld && p.in.IsOpen()) {
        hold = os::TemporaryFileName();
        if (p.folder.LinkFrom(p.folder, p.targetName, hold)) hold.clear();
    }
    if (auto ec = p.corrected.Place(p.targetName, DurableFile::Into::Replace)) {
        Failure failure{FailureKind::Replace, p.file, ec};
        // The share may have taken the corrected file before it stopped
        // answering: nothing is taken back (the backup, the old backup kept
        // aside and the original kept for undo may be all there is of it).
        failure.outcomeUnknown = os::OutcomeUnknown(ec);
        if (failure.outcomeUnknown) rollback.stands = true;
        else if (!hold.empty()) p.folder.Remove(hold);
        return Failed(std::move(failure));
    }
    if (os::FileInfo late; p.in.IsOpen() && !p.in.Info(late) && !late.SameVersionAs(p.before))
        return PutBack(p, rollback, hold, backupIsOld, keptIsOld);
    if (!hold.empty()) p.folder.Remove(hold);
    rollback.stands = true;
    if (!p.placed.kept.empty()) p.BackupFolder().Remove(p.placed.kept);
    p.in.Close();
    ProcessResult result;
    result.replacements = p.replacements;
    result.left = p.left;
    result.pairCounts = std::move(p.pairCounts);
    result.encodings = p.found.encodings;
    result.device = p.after.device, result.inode = p.after.inode;
    if (p.target != p.file) result.target = p.target;
    result.page = PageOf(p.found);
    return result;
}

ProcessResult Corrector::PutBack(StagedRewrite& p, Rollback& rollback, const fs::path& hold, bool backupIsOld,
                                 bool keptIsOld) {
    // The replaced file under its name again, from the second name made for
    // the moment, the backup or the original kept for undo; then the rest is undone.
    fs::path back = hold;
    if (back.empty() && (backupIsOld || keptIsOld)) {
        back = os::TemporaryFileName();
        const bool linked = backupIsOld ? !p.folder.LinkFrom(p.BackupFolder(), p.backupName, back)
                                        : undo_->LinkOriginal(*p.kept, p.folder, back);
        if (!linked) back.clear();
    }
    if (!back.empty() && !p.folder.Rename(back, p.targetName)) return Failed(p.file, FailureKind::Changed);
    // No second name could be had (no hard links here): the correction
    // stands, with its backup, and the file is reported as changed.
    if (!back.empty()) p.folder.Remove(back);
    rollback.stands = true;
    if (!p.placed.kept.empty()) p.BackupFolder().Remove(p.placed.kept);
    p.in.Close();
    Failure late{FailureKind::Changed, p.file};
    late.late = Failure::Late::Corrected;
    return Failed(std::move(late));
}

}  // namespace tarnwick

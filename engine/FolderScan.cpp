#include "FolderScan.h"

#include "FileSystem.h"
#include "Workers.h"

#include <algorithm>
#include <string_view>

namespace tarnwick {

namespace fs = std::filesystem;

FolderListing ListFolder(const fs::path& folder) {
    FolderListing listing;
    std::vector<fs::path::string_type> names;
    if (auto ec = os::ListVisibleFiles(folder, names)) {
        listing.failure = Failure{FailureKind::List, folder, ec, {}};
        return listing;
    }
    std::sort(names.begin(), names.end());
    listing.files.reserve(names.size());
    for (const auto& name : names) listing.files.push_back(folder / name);
    return listing;
}

ScanResult ScanFolder(const fs::path& folder, Corrector& corrector, const ScanCallbacks& callbacks) {
    FolderListing listing = ListFolder(folder);
    if (listing.failure) {
        ScanResult result;
        result.listFailure = std::move(listing.failure);
        return result;
    }
    return ScanFiles(listing.files, corrector, callbacks);
}

namespace {

// Tells backup copies of listed files by their names: a name that is another
// listed name, ".", and the backup extension.
class BackupNames {
public:
    BackupNames(const std::vector<fs::path>& files, const BackupPolicy& backup)
        : suffix_(1, fs::path::value_type('.')) {
        suffix_ += backup.extension;
        if (backup.extension.empty()) return;
        // In order for a binary search: a listing comes sorted already, and
        // needs no table built before the first check.
        names_.reserve(files.size());
        for (const auto& f : files) names_.push_back(NameOf(f));
        if (!std::is_sorted(names_.begin(), names_.end())) std::sort(names_.begin(), names_.end());
    }

    bool Holds(const fs::path& file) const {
        if (names_.empty()) return false;
        const Name name = NameOf(file);
        return name.size() > suffix_.size() && name.substr(name.size() - suffix_.size()) == Name(suffix_) &&
               std::binary_search(names_.begin(), names_.end(), name.substr(0, name.size() - suffix_.size()));
    }

private:
    using Name = std::basic_string_view<fs::path::value_type>;
    static Name NameOf(const fs::path& file) {
        static constexpr fs::path::value_type kSeparators[] = {'/', fs::path::preferred_separator, 0};
        const Name whole(file.native());
        const auto cut = whole.find_last_of(kSeparators);
        return cut == Name::npos ? whole : whole.substr(cut + 1);
    }

    std::vector<Name> names_;
    fs::path::string_type suffix_;
};

}  // namespace

ScanResult ScanFiles(const std::vector<fs::path>& files, Corrector& corrector, const ScanCallbacks& callbacks) {
    ScanResult result;
    result.listed = files.size();

    const BackupNames backups(files, corrector.Backup());
    // Files are checked on the corrector's workers, each with its own copy of
    // it; what they found is told in listing order.
    const unsigned workers = corrector.Workers();
    std::vector<Corrector> copies(workers > 1 ? workers : 0, corrector);
    const std::size_t ahead = std::size_t{64} * workers;
    struct Slot {
        bool backup = false;
        CheckResult check;
    };
    std::vector<Slot> slots(std::min(ahead, files.size()));
    OrderedParallel(
        files.size(), workers, ahead,
        [&](std::size_t i, unsigned worker) {
            Slot& slot = slots[i % slots.size()];
            slot.backup = backups.Holds(files[i]);
            slot.check = slot.backup ? CheckResult{} : (workers > 1 ? copies[worker] : corrector).CheckFile(files[i]);
        },
        [&](std::size_t i) {
            if (callbacks.progress) callbacks.progress(i, files.size());
            const fs::path& file = files[i];
            Slot& slot = slots[i % slots.size()];
            if (slot.backup) {
                if (callbacks.checked) callbacks.checked({file, ScanOutcome::Backup, FileVerdict::Unknown, nullptr});
                return;
            }
            CheckResult& check = slot.check;
            if (check.failure) {
                result.failures.push_back(std::move(*check.failure));
                if (callbacks.checked)
                    callbacks.checked({file, ScanOutcome::Failed, FileVerdict::Unknown, &result.failures.back()});
                return;
            }
            if (check.verdict == FileVerdict::ToCorrect) result.queue.push_back(file);
            if (callbacks.checked)
                callbacks.checked({file, ScanOutcome::Checked, check.verdict, nullptr, check.encodings});
        });
    return result;
}

}  // namespace tarnwick

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

ScanResult ScanFiles(const std::vector<fs::path>& files, Corrector& corrector, const ScanCallbacks& callbacks) {
    ScanResult result;
    result.listed = files.size();

    // Names for the backup test, in order for a binary search: a listing
    // comes sorted already, and needs no table built before the first check.
    using Name = std::basic_string_view<fs::path::value_type>;
    const auto nameOf = [](const fs::path& file) {
        const Name whole(file.native());
#ifdef _WIN32
        const auto cut = whole.find_last_of(L"\\/");
#else
        const auto cut = whole.rfind('/');
#endif
        return cut == Name::npos ? whole : whole.substr(cut + 1);
    };
    std::vector<Name> names;
    if (!corrector.Backup().extension.empty()) {
        names.reserve(files.size());
        for (const auto& f : files) names.push_back(nameOf(f));
        if (!std::is_sorted(names.begin(), names.end())) std::sort(names.begin(), names.end());
    }
    fs::path::string_type suffix(1, fs::path::value_type('.'));
    suffix += corrector.Backup().extension;
    const auto isBackup = [&](const fs::path& file) {
        if (names.empty()) return false;
        const Name name = nameOf(file);
        return name.size() > suffix.size() && name.substr(name.size() - suffix.size()) == Name(suffix) &&
               std::binary_search(names.begin(), names.end(), name.substr(0, name.size() - suffix.size()));
    };

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
            slot.backup = isBackup(files[i]);
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

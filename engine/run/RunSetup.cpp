#include "engine/run/RunSetup.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <string_view>

namespace tarnwick {

namespace {

// The record of a correcting run in the making, in the user's record folder.
std::variant<std::shared_ptr<UndoKeeper>, UndoProblem> StartUndoRecord(const RunRequest& request) {
    auto store = UndoStore::Open(request.undoFolder.empty() ? UndoStore::DefaultFolder() : request.undoFolder);
    if (auto* why = std::get_if<UndoProblem>(&store)) return *why;
    UndoRecord record;
    for (const TextPair& pair : request.pairs)
        record.pairs.emplace_back(Utf16ToUtf8(pair.search).value_or(""), Utf16ToUtf8(pair.replace).value_or(""));
    record.patterns = request.patterns;
    record.ignoreCase = request.ignoreCase;
    record.word = request.word;
    record.preserveCase = request.preserveCase;
    // What was given, as absolute paths (two runs over folders of one name
    // are told apart); a queue of files found in one folder, as that folder.
    const auto absolute = [](const std::filesystem::path& path) {
        std::error_code ec;
        return os::Absolute(path, ec);
    };
    if (!request.selection.within.empty()) record.paths.push_back(PathText(absolute(request.selection.within)));
    for (const auto& path : request.paths) {
        if (request.selection.within.empty()) record.paths.push_back(PathText(absolute(path)));
        if (std::error_code ec; std::filesystem::is_directory(path, ec)) record.roots.push_back(absolute(path));
    }
    record.list = request.namesFrom;
    return UndoKeeper::Start(std::get<UndoStore>(store), std::move(record));
}

}  // namespace

std::optional<std::vector<CodePage>> LegacyCodePages(std::string_view list, std::string& bad) {
    std::vector<CodePage> pages;
    for (std::size_t from = 0; from <= list.size();) {
        const std::size_t comma = std::min(list.find(',', from), list.size());
        std::string_view name = list.substr(from, comma - from);
        // (Spaces around a name are no part of it: "CP1251, CP932".)
        while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
        const auto page = CodePage::Named(name);
        if (name.empty() || !page || !page->Usable() || EncodingLabel(*page) == "utf-8") {
            bad = std::string(name);
            return std::nullopt;
        }
        pages.push_back(*page);
        from = comma + 1;
    }
    return pages;
}

bool LegacyIsAGuess(const RunRequest& request) {
    if (request.pinned || !request.legacy.empty() || EncodingLabel(request.system) != "utf-8") return false;
    // (A pattern reads a file's characters: \w, a class, even where it is ASCII itself.)
    if (request.AsPatterns()) return true;
    return std::any_of(request.pairs.begin(), request.pairs.end(), [](const TextPair& pair) {
        return std::any_of(pair.search.begin(), pair.search.end(), [](char16_t c) { return c >= 0x80; });
    });
}

namespace {

// The strings in every encoding the run's files may use, or why they cannot be.
std::variant<StringForms, SetupFailure> FormsOf(const RunRequest& request) {
    const CodePage& files = request.pinned ? *request.pinned : request.system;
    if (!files.Usable()) return SetupFailure{SetupError::UnusableEncoding, files.Name()};
    if (request.pairs.empty()) return SetupFailure{SetupError::EmptySearch};
    // (An empty pattern would put the replacement between every two characters.)
    for (std::size_t i = 0; i < request.pairs.size(); ++i)
        if (request.pairs[i].search.empty() && (!request.emptySearchAllowed || request.AsPatterns()))
            return SetupFailure{SetupError::EmptySearch, {}, {}, i};
    if (request.pinned) {
        for (std::size_t i = 0; i < request.pairs.size(); ++i) {
            // (A pattern's characters need no form: it is matched on the text.)
            if (!request.patterns && !files.Encode(request.pairs[i].search))
                return SetupFailure{SetupError::SearchNotWritable, files.Name(), {}, i};
            if (!files.Encode(request.pairs[i].replace))
                return SetupFailure{SetupError::ReplaceNotWritable, files.Name(), {}, i};
        }
        return StringForms::Only(request.pairs, files);
    }
    // UTF-8, the legacy code page (the system's, or the one its language uses), UTF-16.
    for (const CodePage& page : request.legacy)
        if (!page.Usable() || EncodingLabel(page) == "utf-8")
            return SetupFailure{SetupError::UnusableLegacy, page.Name()};
    const std::optional<CodePage> first =
        request.legacy.empty() ? std::nullopt : std::optional<CodePage>(request.legacy.front());
    StringForms forms = StringForms::ForSystem(request.pairs, files, first);
    // A search string the first page cannot hold may be in a file of another.
    if (!forms.AnySearchForm() && request.legacy.size() < 2 && !request.patterns)
        return SetupFailure{SetupError::SearchNotWritable};
    return forms;
}

// The run's record for undo begun, and what earlier runs' records say it must leave alone.
std::optional<SetupFailure> KeepRecords(const RunRequest& request, CorrectionRun& run) {
    const std::filesystem::path store = request.undoFolder.empty() ? UndoStore::DefaultFolder() : request.undoFolder;
    // Backup copies earlier runs made under another extension are left alone
    // too: the records are read once, by the run's own record where it keeps one.
    if (request.keepUndo && (request.mode == RunMode::Correct || request.mode == RunMode::Review)) {
        auto keeper = StartUndoRecord(request);
        if (auto* why = std::get_if<UndoProblem>(&keeper)) return SetupFailure{SetupError::UndoRecords, {}, *why};
        auto& kept = std::get<std::shared_ptr<UndoKeeper>>(keeper);
        run.KnownBackups(kept->BackupsMadeBefore());
        run.KeepUndo(std::move(kept));
    } else {
        run.KnownBackups(UndoStore::BackupsMadeIn(store));
    }
    // The records themselves are never corrected, whatever path leads to them.
    run.AvoidFolders(UndoStore::FoldersOf(store));
    return std::nullopt;
}

// Each pair's pattern compiled with its replacement, or what is wrong with
// one; plain text with its case and word rules as a pattern of itself.
std::variant<std::vector<Pattern>, SetupFailure> PatternsOf(const RunRequest& request) {
    std::vector<Pattern> patterns;
    for (std::size_t i = 0; i < request.pairs.size(); ++i) {
        const TextPair& pair = request.pairs[i];
        const bool anyCase = request.ignoreCase || pair.ignoreCase, word = request.word || pair.word;
        const bool keepCase = request.preserveCase || pair.preserveCase;
        // (What case a group's text or a pattern's match should give is no shape one can tell.)
        if (request.patterns && keepCase) return SetupFailure{SetupError::CaseOfPattern, {}, {}, i};
        std::u16string pattern = pair.search;
        if (request.patterns && word) {
            const std::u16string side(Pattern::kWordCharacter);
            pattern = u"(?<!" + side + u")(?:" + pattern + u")(?!" + side + u")";
        }
        if (request.patterns && anyCase) pattern = u"(?i)" + pattern;
        auto compiled = request.patterns ? Pattern::Compile(pattern, pair.replace)
                                         : Pattern::ForText(pair.search, pair.replace, anyCase, word, keepCase);
        if (auto* problem = std::get_if<PatternProblem>(&compiled))
            return SetupFailure{SetupError::BadPattern, {}, {}, i, std::move(*problem)};
        patterns.push_back(std::get<Pattern>(std::move(compiled)));
    }
    return patterns;
}

// The legacy code page files that are not UTF-8 are read in, as the forms have it.
std::optional<CodePage> LegacyOf(const RunRequest& request) {
    if (request.pinned) return EncodingLabel(*request.pinned) == "utf-8" ? std::nullopt : request.pinned;
    if (!request.legacy.empty()) return request.legacy.front();
    if (EncodingLabel(request.system) == "utf-8") return CodePage::Legacy();
    return request.system;
}

}  // namespace

std::variant<CorrectionRun, SetupFailure> PrepareRun(const RunRequest& request) {
    auto made = FormsOf(request);
    if (auto* failure = std::get_if<SetupFailure>(&made)) return *failure;
    std::optional<std::vector<Pattern>> patterns;
    if (request.AsPatterns()) {
        auto compiled = PatternsOf(request);
        if (auto* failure = std::get_if<SetupFailure>(&compiled)) return *failure;
        patterns = std::get<std::vector<Pattern>>(std::move(compiled));
    }
    StringForms& forms = std::get<StringForms>(made);
    if (request.backup.enabled && request.backup.extension.empty())
        return SetupFailure{SetupError::EmptyBackupExtension};
    if (!IsUsable(request.backup)) return SetupFailure{SetupError::BadBackupExtension};
    // Each file that is not UTF-8 is read in the page its bytes show, the preferred one's where they show none.
    PagePreference preference;
    const std::string firstLabel = forms.Name(Encoding::Legacy);
    Corrector corrector(std::move(forms), request.backup);
    corrector.TakeBinaryFiles(request.binaryFiles);
    corrector.LimitSize(request.mostFileSize);
    corrector.KeepTimes(request.keepTimes);
    if (patterns) corrector.UsePatterns(std::move(*patterns), LegacyOf(request));
    corrector.ShowLegacyIn(LegacyOf(request));
    if (!request.pinned && !firstLabel.empty()) {
        preference.named = !request.legacy.empty();
        preference.preferred = request.legacy;
        if (preference.preferred.empty())
            if (auto guess = EncodingLabel(request.system) == "utf-8" ? CodePage::Legacy() : request.system)
                preference.preferred.push_back(*guess);
        corrector.DecidePages(std::move(preference), request.pairs);
        corrector.WatchUtf8(true);
    }
    CorrectionRun run(std::move(corrector), request.paths, request.mode, request.workers, request.selection);
    if (request.names) run.TakeNames(request.names);
    if (auto failure = KeepRecords(request, run)) return *failure;
    return run;
}

}  // namespace tarnwick

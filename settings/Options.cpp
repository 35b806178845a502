#include "settings/Options.h"

#include "platform/FileSystem.h"
#include "settings/INI.h"
#include "settings/ProfileStore.h"

#include <cstdlib>
#include <iterator>

namespace tarnwick::settings {

namespace fs = std::filesystem;

namespace {
constexpr std::u16string_view kSection = u"Main";
constexpr std::string_view kFileName = "options.ini";
// Whether a file can really be created in `folder` (one is made and removed):
// attributes and permission bits alone do not tell on every system.
bool CanCreateIn(const fs::path& folder) {
    os::Folder open;
    if (os::Folder::Open(folder, open)) return false;
    const fs::path probe = os::TemporaryFileName();
    os::File file;
    if (open.CreateNew(probe, file)) return false;
    file.Close();
    return !open.Remove(probe);
}

}  // namespace

fs::path UserConfigFolder() { return os::UserConfigFolder("tarnwick"); }

bool IsInstalledProgramFolder(const fs::path& folder) {
    return os::IsInstalledProgramFolder(folder, fs::path(TARNWICK_INSTALL_BINDIR));
}

fs::path ChooseOptionsFile(const fs::path& programFolder, const fs::path& userConfigFolder) {
    const fs::path portable = programFolder / kFileName;
    if (IsInstalledProgramFolder(programFolder) && !userConfigFolder.empty()) return userConfigFolder / kFileName;
    std::error_code ec;
    if (fs::exists(portable, ec) || CanCreateIn(programFolder) || userConfigFolder.empty()) return portable;
    return userConfigFolder / kFileName;
}

Options LoadOptions(const fs::path& file, const CodePage& codePage) {
    Options options;
    // No file, or nothing a profile file could be (a folder, a huge file): the defaults.
    if (CheckProfileFile(file)) return options;
    INI ini(codePage);
    ini.FileName(file);
    // One reading of the file for all the keys.
    std::vector<bool> cut;
    auto texts = ini.RINIAll(kSection,
                             {u"SearchString", u"ReplaceString", u"BackupCopy", u"Mask", u"BackupExt",
                              u"LegacyCodePage", u"Regex", u"IgnoreCase", u"WholeWord", u"PreserveCase"},
                             &cut);
    constexpr const char* kKeys[] = {"SearchString", "ReplaceString", "BackupCopy",
                                     "Mask",         "BackupExt",     "LegacyCodePage"};
    // (Regex is a switch: anything but 1 leaves it off, never refused.)
    const auto on = [&](std::size_t i) { return texts[i] && !cut[i] && *texts[i] == u"1"; };
    options.regex = on(6);
    options.ignoreCase = on(7);
    options.wholeWord = on(8);
    options.preserveCase = on(9);
    for (std::size_t i = 0; i < std::size(kKeys); ++i) {
        if (!texts[i]) {
            options.invalidKeys.push_back(kKeys[i]);
        } else if (cut[i]) {
            options.cutKeys.push_back(kKeys[i]);
            texts[i] = std::nullopt;
        }
    }
    const auto text = [&](std::size_t i) { return texts[i].value_or(std::u16string()); };
    options.searchString = text(0);
    options.replaceString = text(1);
    try {
        options.backupCopy = ToInt16(NumericValue(text(2)));  // as RINIi reads it
    } catch (const OverflowError&) {
        options.backupCopy = 0;
    }
    if (options.backupCopy < 0 || options.backupCopy > 2) options.backupCopy = 0;
    options.mask = text(3);
    options.backupExt = text(4);
    options.legacyCodePage = text(5);
    return options;
}

std::optional<SaveFailure> SaveOptions(const fs::path& file, const Options& options, const CodePage& codePage) {
    const fs::path folder = file.parent_path();
    if (auto ec = os::CreateFolders(folder)) return SaveFailure{file, ec};

    // The five keys (and a chosen legacy code page, the pattern switch when on), nothing else, go into a
    // new file that replaces the old one in one step (keeping its permission
    // bits); on failure the old file stays whole.
    INI ini(codePage);
    ini.FileName(file);
    const std::string digits = std::to_string(options.backupCopy);
    const std::u16string backupCopy(digits.begin(), digits.end());
    std::vector<std::pair<std::u16string_view, std::u16string_view>> values = {
        {u"SearchString", options.searchString},
        {u"ReplaceString", options.replaceString},
        {u"BackupCopy", backupCopy},
        {u"Mask", options.mask},
        {u"BackupExt", options.backupExt}};
    if (!options.legacyCodePage.empty()) values.emplace_back(u"LegacyCodePage", options.legacyCodePage);
    if (options.regex) values.emplace_back(u"Regex", u"1");
    if (options.ignoreCase) values.emplace_back(u"IgnoreCase", u"1");
    if (options.wholeWord) values.emplace_back(u"WholeWord", u"1");
    if (options.preserveCase) values.emplace_back(u"PreserveCase", u"1");
    if (const std::error_code ec = ini.WInIAll(kSection, values, true)) return SaveFailure{file, ec};
    return std::nullopt;
}

}  // namespace tarnwick::settings

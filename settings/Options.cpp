#include "Options.h"

#include "FileSystem.h"
#include "INI.h"
#include "ProfileStore.h"

namespace tarnwick::settings {

namespace fs = std::filesystem;

namespace {
constexpr std::u16string_view kSection = u"Main";
constexpr std::string_view kFileName = "options.ini";
}  // namespace

fs::path ChooseOptionsFile(const fs::path& programFolder, const fs::path& userConfigFolder) {
    const fs::path portable = programFolder / kFileName;
    std::error_code ec;
    if (fs::exists(portable, ec) || !os::CheckWritable(programFolder) || userConfigFolder.empty()) return portable;
    return userConfigFolder / kFileName;
}

Options LoadOptions(const fs::path& file, const CodePage& codePage) {
    Options options;
    // No file, or nothing a profile file could be (a folder, a huge file): the defaults.
    if (CheckProfileFile(file)) return options;
    INI ini(codePage);
    ini.FileName(file);
    options.searchString = ini.RINI(kSection, u"SearchString");
    options.replaceString = ini.RINI(kSection, u"ReplaceString");
    try {
        options.backupCopy = ini.RINIi(kSection, u"BackupCopy");
    } catch (const OverflowError&) {
        options.backupCopy = 0;
    }
    if (options.backupCopy < 0 || options.backupCopy > 2) options.backupCopy = 0;
    options.mask = ini.RINI(kSection, u"Mask");
    options.backupExt = ini.RINI(kSection, u"BackupExt");
    return options;
}

std::string SaveFailure::Message() const {
    return "cannot save options to " + PathText(path) + ": " + code.message();
}

std::optional<SaveFailure> SaveOptions(const fs::path& file, const Options& options, const CodePage& codePage) {
    const fs::path folder = file.parent_path();
    std::error_code ec;
    if (!folder.empty()) fs::create_directories(folder, ec);
    if (ec) return SaveFailure{file, ec};

    // The five keys go into a fresh file, in one write; the old file stays
    // whole until the new one replaces it.
    const fs::path temporary = os::TemporaryName(folder);
    INI ini(codePage);
    ini.FileName(temporary);
    const std::string digits = std::to_string(options.backupCopy);
    const std::u16string backupCopy(digits.begin(), digits.end());
    ec = ini.WInIAll(kSection, {{u"SearchString", options.searchString},
                                {u"ReplaceString", options.replaceString},
                                {u"BackupCopy", backupCopy},
                                {u"Mask", options.mask},
                                {u"BackupExt", options.backupExt}});
    if (!ec) ec = os::Rename(temporary, file);
    if (ec) {
        os::Remove(temporary);
        return SaveFailure{file, ec};
    }
    os::FlushFolder(folder);
    return std::nullopt;
}

}  // namespace tarnwick::settings

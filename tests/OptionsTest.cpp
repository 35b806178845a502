#include "settings/Options.h"
#include "platform/FileSystem.h"
#include "settings/INI.h"
#include "TempDir.h"

#include <cstdlib>

#include <sys/stat.h>

namespace tarnwick::settings {
namespace {

using test::ReadBytes;
using test::TempDirTest;
namespace fs = std::filesystem;

class OptionsTest : public TempDirTest {
protected:
    const CodePage cp1251 = *CodePage::Named("CP1251");
};

// No options file: empty strings, unchecked, "*.*" and "bak".
TEST_F(OptionsTest, DefaultsWithoutFile) {
    const Options options = LoadOptions(Dir() / "options.ini", cp1251);
    EXPECT_EQ(options, Options{});
    EXPECT_EQ(options.mask, u"*.*");
    EXPECT_EQ(options.backupExt, u"bak");
}

// Save then load gives all five values back; the file holds exactly the five keys in order.
TEST_F(OptionsTest, SaveLoadRoundTrip) {
    const Options saved{u"Старый текст", u"Новый текст", 1, u"*.htm", u"orig"};
    const auto file = Dir() / "options.ini";
    Make("options.ini", "[Main]\nSearchString=x\nExtra=1\n[Other]\nA=B\n");
    ASSERT_FALSE(SaveOptions(file, saved, cp1251));
    EXPECT_EQ(LoadOptions(file, cp1251), saved);
    EXPECT_EQ(
        ReadBytes(file),
        test::Eol(
            "[Main]\nSearchString=\xD1\xF2\xE0\xF0\xFB\xE9 \xF2\xE5\xEA\xF1\xF2\n"
            "ReplaceString=\xCD\xEE\xE2\xFB\xE9 \xF2\xE5\xEA\xF1\xF2\nBackupCopy=1\nMask=*.htm\nBackupExt=orig\n"));
    EXPECT_EQ(Names(), std::vector<std::string>{"options.ini"});
    // A legacy code page written by hand is read, and kept by a save.
    Make("options.ini", "[Main]\nSearchString=x\nLegacyCodePage=CP1253\n");
    Options loaded = LoadOptions(file, cp1251);
    EXPECT_EQ(loaded.legacyCodePage, u"CP1253");
    loaded.searchString = std::u16string(1, u'y');  // (GCC 12 warns wrongly about assigning a literal here)
    ASSERT_FALSE(SaveOptions(file, loaded, cp1251));
    EXPECT_EQ(LoadOptions(file, cp1251), loaded);
    // The pattern switch: written as Regex=1 when on, and only then; anything but 1 reads as off.
    EXPECT_FALSE(loaded.regex);
    loaded.regex = true;
    ASSERT_FALSE(SaveOptions(file, loaded, cp1251));
    EXPECT_NE(ReadBytes(file).find(test::Eol("LegacyCodePage=CP1253\nRegex=1\n")), std::string::npos);
    EXPECT_EQ(LoadOptions(file, cp1251), loaded);
    loaded.ignoreCase = loaded.wholeWord = loaded.preserveCase = true;
    ASSERT_FALSE(SaveOptions(file, loaded, cp1251));
    EXPECT_NE(ReadBytes(file).find(test::Eol("Regex=1\nIgnoreCase=1\nWholeWord=1\nPreserveCase=1\n")),
              std::string::npos);
    EXPECT_EQ(LoadOptions(file, cp1251), loaded);
    for (const char* value : {"0", "yes", "11", ""}) {
        Make("options.ini", std::string("[Main]\nRegex=") + value + "\n");
        EXPECT_FALSE(LoadOptions(file, cp1251).regex) << value;
        EXPECT_TRUE(LoadOptions(file, cp1251).invalidKeys.empty());
    }
}

// Values with blanks at their ends or in quotes survive a save and a load; a
// file saved with a UTF-8 byte-order mark is read as UTF-8; a value that is
// no text in the code page reads as empty and is named.
TEST_F(OptionsTest, QuotesByteOrderMarkAndInvalidText) {
    const auto file = Dir() / "options.ini";
    const Options saved{u"  two  ", u"\"quoted\"", 0, u" ", u"bak"};
    ASSERT_FALSE(SaveOptions(file, saved, cp1251));
    EXPECT_EQ(LoadOptions(file, cp1251), saved);

    Make("options.ini", "\xEF\xBB\xBF[Main]\r\nSearchString=\xD0\x9F\xD1\x80\xD0\xB8\r\n");
    EXPECT_EQ(LoadOptions(file, cp1251).searchString, u"При");

    Make("options.ini", "[Main]\nSearchString=ok\nReplaceString=\xFF\n");  // no UTF-8
    const Options invalid = LoadOptions(file, *CodePage::Named("UTF-8"));
    EXPECT_EQ(invalid.searchString, u"ok");
    EXPECT_EQ(invalid.replaceString, u"");
    EXPECT_EQ(invalid.invalidKeys, std::vector<std::string>{"ReplaceString"});
}

// Missing keys read as empty; a BackupCopy the box cannot take, or an overflowing one, is 0.
TEST_F(OptionsTest, MissingKeysAndBadBackupCopy) {
    const auto file = Make("options.ini", "[Main]\nSearchString=a\nBackupCopy=40000\n");
    const Options options = LoadOptions(file, cp1251);
    EXPECT_EQ(options.searchString, u"a");
    EXPECT_EQ(options.mask, u"");
    EXPECT_EQ(options.backupExt, u"");
    EXPECT_EQ(options.backupCopy, 0);
    Make("options.ini", "[Main]\nBackupCopy=7\n");
    EXPECT_EQ(LoadOptions(file, cp1251).backupCopy, 0);
    Make("options.ini", "[Main]\nBackupCopy=2\n");
    EXPECT_EQ(LoadOptions(file, cp1251).backupCopy, 2);
}

// A search string longer than 254 characters comes back cut.
// The reader takes at most 254 characters; a longer value, or one holding a
// NUL, is never used in part: it loads as empty and is named.
TEST_F(OptionsTest, LongValueIsNotUsedInPart) {
    const auto file = Dir() / "options.ini";
    Options options;
    options.searchString = std::u16string(258, u'я');
    options.replaceString = std::u16string(254, u'ю');
    ASSERT_FALSE(SaveOptions(file, options, cp1251));
    INI ini(cp1251);
    ini.FileName(file);
    EXPECT_EQ(ini.RINI(u"Main", u"SearchString"), std::u16string(254, u'я'));
    const Options loaded = LoadOptions(file, cp1251);
    EXPECT_EQ(loaded.searchString, u"");
    EXPECT_EQ(loaded.replaceString, std::u16string(254, u'ю'));
    EXPECT_EQ(loaded.cutKeys, std::vector<std::string>{"SearchString"});
    const Options nul = LoadOptions(Make("zero.ini", std::string("[Main]\nSearchString=AA\0B\n", 25)), cp1251);
    EXPECT_EQ(nul.searchString, u"");
    EXPECT_EQ(nul.cutKeys, std::vector<std::string>{"SearchString"});
}

// A save into a folder that cannot be written fails, and the old file stays whole.
TEST_F(OptionsTest, FailedSaveKeepsOldFile) {
    const auto file = Make("options.ini", "[Main]\nSearchString=kept\n");
    if (!MakeImmutable(Dir())) GTEST_SKIP() << "chattr +i not available here";
    const auto failure = SaveOptions(file, Options{u"new", u"x", 0, u"*.*", u"bak"}, cp1251);
    test::Shell("chattr -i '" + Dir().string() + "'");
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->path, file);
    EXPECT_EQ(failure->code, std::errc::operation_not_permitted);
    EXPECT_EQ(ReadBytes(file), "[Main]\nSearchString=kept\n");
    EXPECT_EQ(Names(), std::vector<std::string>{"options.ini"});
}

// Text the code page cannot hold fails the save instead of being stored as "?".
TEST_F(OptionsTest, UnrepresentableTextFailsTheSave) {
    const auto file = Make("options.ini", "[Main]\nSearchString=kept\n");
    const auto failure = SaveOptions(file, Options{u"日本", u"x", 0, u"*.*", u"bak"}, cp1251);
    ASSERT_TRUE(failure);
    EXPECT_EQ(ReadBytes(file), "[Main]\nSearchString=kept\n");
}

#ifndef _WIN32
// A save writes one new file with only the five keys and keeps the file's own permission bits.
TEST_F(OptionsTest, SaveKeepsPermissionsAndDropsTheRest) {
    const auto file = Make("options.ini", "[Other]\nx=1\n[Main]\nSearchString=a\n");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_FALSE(SaveOptions(file, Options{u"b", u"c", 1, u"*.htm", u"bak"}, cp1251));
    EXPECT_EQ(ReadBytes(file), "[Main]\nSearchString=b\nReplaceString=c\nBackupCopy=1\nMask=*.htm\nBackupExt=bak\n");
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(Names(), std::vector<std::string>{"options.ini"});

    // Folders the save makes (the user's configuration folder, say) are the user's alone.
    const auto saved = ::umask(022);
    ASSERT_FALSE(
        SaveOptions(Dir() / "config" / "tarnwick" / "options.ini", Options{u"b", u"c", 0, u"*", u"bak"}, cp1251));
    ::umask(saved);
    EXPECT_EQ(fs::status(Dir() / "config").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(Dir() / "config" / "tarnwick").permissions(), fs::perms::owner_all);
}
#endif

// The program's folder is used when it holds the file or can be written; else the user's.
// A save stopped by a kill or a power cut leaves a hidden temporary file: the
// next save removes it; an old backup kept aside, and a live run's file, stay.
TEST_F(OptionsTest, SaveClearsWhatAStoppedSaveLeft) {
    const std::string temporary = os::TemporaryFileName().string(), pid = std::to_string(os::ProcessId());
    const std::string stopped = temporary.substr(0, 11) + "2147483600" + temporary.substr(11 + pid.size());
    Make(stopped, "half");
    Make(stopped + "1~a.txt.bak", "an old backup");
    Make(temporary, "a live run's");
    ASSERT_FALSE(SaveOptions(Dir() / "options.ini", Options{}, cp1251));
    EXPECT_FALSE(fs::exists(Dir() / stopped));
    EXPECT_TRUE(fs::exists(Dir() / (stopped + "1~a.txt.bak")));
    EXPECT_TRUE(fs::exists(Dir() / temporary));
}

TEST_F(OptionsTest, ChoosesPortableOrUserFile) {
    const auto program = Dir() / "program";
    const auto user = Dir() / "config";
    fs::create_directory(program);
    EXPECT_EQ(ChooseOptionsFile(program, user), program / "options.ini");
#ifndef _WIN32
    // Installed: the user's file, though root may write into /usr/bin.
    for (const char* installed : {"/usr/bin", "/usr/local/bin/", "/usr/bin/../games"})
        EXPECT_EQ(ChooseOptionsFile(installed, user), user / "options.ini") << installed;
    EXPECT_FALSE(IsInstalledProgramFolder("/usrx/bin"));
    EXPECT_FALSE(IsInstalledProgramFolder(program));
#else
    // Put there by the Windows Installer package (installed.txt beside it): the
    // user's file, though the per-user folder is writable; the zip's copy keeps its own.
    const auto msi = Dir() / "installed";
    fs::create_directory(msi);
    Make("installed/installed.txt", "");
    EXPECT_EQ(ChooseOptionsFile(msi, user), user / "options.ini");
    EXPECT_FALSE(IsInstalledProgramFolder(program));
#endif
    if (!MakeImmutable(program)) GTEST_SKIP() << "chattr +i not available here";
    EXPECT_EQ(ChooseOptionsFile(program, user), user / "options.ini");
    test::Shell("chattr -i '" + program.string() + "'");
    Make("program/options.ini", "");
    MakeImmutable(program);
    EXPECT_EQ(ChooseOptionsFile(program, user), program / "options.ini");
}

}  // namespace
}  // namespace tarnwick::settings

namespace tarnwick::settings {
namespace {

using test::TempDirTest;
namespace fs = std::filesystem;

// Options files nobody meant to write: each loads to documented values, never a crash.
class HostileOptionsTest : public TempDirTest {
protected:
    Options Load(const std::string& content) {
        return LoadOptions(Make("options.ini", content), *CodePage::Named("CP1251"));
    }
};

// Binary garbage with NUL bytes loads as some texts or nothing, and a save then repairs the file.
TEST_F(HostileOptionsTest, BinaryFile) {
    std::string garbage;
    for (int i = 0; i < 5000; ++i) garbage += static_cast<char>((i * 7919) % 256);
    const Options options = Load(garbage);
    EXPECT_LE(options.searchString.size(), 254u);
    EXPECT_FALSE(SaveOptions(Dir() / "options.ini", Options{}, *CodePage::Named("CP1251")));
    EXPECT_EQ(LoadOptions(Dir() / "options.ini", *CodePage::Named("CP1251")), Options{});
}

// Duplicate sections and keys: the first counts. A value cut by a NUL or by
// its length is not used.
TEST_F(HostileOptionsTest, DuplicatesNulAndLongLines) {
    const Options options = Load(
        "[Main]\nSearchString=first\nSearchString=second\n[Main]\nReplaceString=later\n"
        "[Main]\nMask=" +
        std::string(1 << 20, 'm') + "\n" + std::string("[main]\nBackupExt=b\0ak\n", 22));
    EXPECT_EQ(options.searchString, u"first");
    EXPECT_EQ(options.replaceString, u"");  // only in a second [Main]
    EXPECT_EQ(options.mask, u"");
    const Options cut =
        Load("[Main]\nMask=" + std::string(1 << 20, 'm') + "\nBackupExt=b" + std::string(1, '\0') + "ak\n");
    EXPECT_EQ(cut.mask, u"");
    EXPECT_EQ(cut.backupExt, u"");
    EXPECT_EQ(cut.cutKeys, (std::vector<std::string>{"Mask", "BackupExt"}));
}

// An overflowing or nonsensical BackupCopy is 0; a huge file or a folder gives the defaults.
TEST_F(HostileOptionsTest, BadNumbersHugeFilesAndFolders) {
    EXPECT_EQ(Load("[Main]\nBackupCopy=40000\n").backupCopy, 0);
    EXPECT_EQ(Load("[Main]\nBackupCopy=-1\n").backupCopy, 0);
    EXPECT_EQ(Load("[Main]\nBackupCopy=1e999\n").backupCopy, 0);
    EXPECT_EQ(Load("[Main]\nBackupCopy=&HFFFFFFFFFFFFFFFFFFFF\n").backupCopy, 0);
    EXPECT_EQ(Load("[Main]\nSearchString=x\n" + std::string(17 << 20, '\n')), Options{});
    fs::remove(Dir() / "options.ini");
    fs::create_directory(Dir() / "options.ini");
    EXPECT_EQ(LoadOptions(Dir() / "options.ini", *CodePage::Named("CP1251")), Options{});
}

// The user's options folder follows the environment as the system defines it.
TEST(UserConfigFolderTest, FromTheEnvironment) {
#ifdef _WIN32
    const std::wstring saved = _wgetenv(L"APPDATA") ? _wgetenv(L"APPDATA") : L"";
    _wputenv_s(L"APPDATA", L"C:\\Users\\Кто\\AppData\\Roaming");
    EXPECT_EQ(UserConfigFolder(), fs::path(L"C:\\Users\\Кто\\AppData\\Roaming\\Tarnwick"));
    _wputenv_s(L"APPDATA", saved.c_str());
#else
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string kept = saved ? saved : "";
    setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(UserConfigFolder(), fs::path("/cfg/tarnwick"));
    setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored, as the XDG base directory rules say
    EXPECT_EQ(UserConfigFolder(), fs::path(std::getenv("HOME")) / ".config/tarnwick");
    saved ? setenv("XDG_CONFIG_HOME", kept.c_str(), 1) : unsetenv("XDG_CONFIG_HOME");
#endif
}

}  // namespace
}  // namespace tarnwick::settings

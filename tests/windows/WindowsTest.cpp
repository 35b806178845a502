// What only Windows does: the ANSI code page, attributes, long paths, the
// system's profile functions, and the rewrite's system calls.
// Run under Wine by tests/windows/run (with a Cyrillic ANSI code page).

#include "cli/FailureWords.h"
#include "platform/CodePage.h"
#include "engine/rewrite/Corrector.h"
#include "engine/walk/FolderScan.h"
#include "settings/ProfileStore.h"
#include "engine/undo/RestoreRun.h"
#include "SystemCalls.h"
#include "TempDir.h"
#include "Told.h"

#include <chrono>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

namespace tarnwick {
namespace {

using test::ReadBytes;
using test::TempDirTest;
namespace fs = std::filesystem;

class WindowsTest : public TempDirTest {
protected:
    static void SetAttributes(const fs::path& path, DWORD attributes) {
        ASSERT_TRUE(SetFileAttributesW(path.c_str(), attributes)) << GetLastError();
    }
    static DWORD Attributes(const fs::path& path) { return GetFileAttributesW(path.c_str()); }
};

// The system's code page is the ANSI one; under a Cyrillic one a Russian string
// matches a Windows-1251 file, and text it cannot hold is refused, never best-fitted.
TEST_F(WindowsTest, AnsiCodePage) {
    const CodePage system = CodePage::System();
    EXPECT_EQ(system.Name(), "CP" + std::to_string(GetACP()));
    if (GetACP() != 1251) GTEST_SKIP() << "run with a Cyrillic ANSI code page (LC_ALL=ru_RU.CP1251 under Wine)";
    EXPECT_EQ(system.Encode(u"мир"), std::string("\xEC\xE8\xF0"));
    EXPECT_FALSE(system.Encode(u"ü"));  // best fit would write "u"
    EXPECT_FALSE(system.Encode(u"日本"));
    EXPECT_EQ(system.Decode("\xCF\xF0\xE8\xE2\xE5\xF2"), std::u16string(u"Привет"));

    const auto file = Make("ru.htm", "<p>\xCF\xF0\xE8\xE2\xE5\xF2, \xEC\xE8\xF0 \x98</p>");
    Corrector corrector(*system.Encode(u"мир"), *system.Encode(u"свет"));
    EXPECT_EQ(corrector.CheckFile(file).verdict, FileVerdict::ToCorrect);
    ASSERT_FALSE(corrector.ProcessFile(file).failure);
    EXPECT_EQ(ReadBytes(file), "<p>\xCF\xF0\xE8\xE2\xE5\xF2, \xF1\xE2\xE5\xF2 \x98</p>");
}

// The rewrite with backups, a first and a second run; the result keeps no hidden attribute.
TEST_F(WindowsTest, RewriteWithBackups) {
    const auto file = Make("page.htm", "old old");
    Corrector first("old", "new", {true, L"bak"});
    ASSERT_FALSE(first.ProcessFile(file).failure);
    EXPECT_EQ(ReadBytes(file), "new new");
    EXPECT_EQ(ReadBytes(Dir() / "page.htm.bak"), "old old");
    Corrector second("new", "x", {true, L"bak"});
    ASSERT_FALSE(second.ProcessFile(file).failure);
    EXPECT_EQ(ReadBytes(Dir() / "page.htm.bak"), "new new");
    EXPECT_EQ(Attributes(file) & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_EQ(Names(), (std::vector<std::string>{"page.htm", "page.htm.bak"}));
}

// A read-only file is refused untouched.
TEST_F(WindowsTest, ReadOnlyAttributeRefused) {
    const auto file = Make("page.htm", "old");
    SetAttributes(file, FILE_ATTRIBUTE_READONLY);
    Corrector corrector("old", "new");
    const ProcessResult result = corrector.ProcessFile(file);
    SetAttributes(file, FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(result.failure);
    EXPECT_EQ(result.failure->kind, FailureKind::NotWritable);
    EXPECT_EQ(ReadBytes(file), "old");
    EXPECT_EQ(Names(), std::vector<std::string>{"page.htm"});
}

// An old backup with the hidden attribute is replaced like any other; a read-only
// one stops the rewrite and everything stays as it was.
TEST_F(WindowsTest, HiddenAndReadOnlyOldBackups) {
    const auto file = Make("page.htm", "old");
    const auto backup = Make("page.htm.bak", "previous");
    SetAttributes(backup, FILE_ATTRIBUTE_HIDDEN);
    Corrector corrector("old", "new", {true, L"bak"});
    ASSERT_FALSE(corrector.ProcessFile(file).failure);
    EXPECT_EQ(ReadBytes(backup), "old");
    EXPECT_EQ(ReadBytes(file), "new");

    test::WriteBytes(file, "old again");
    SetAttributes(backup, FILE_ATTRIBUTE_READONLY);
    const ProcessResult result = corrector.ProcessFile(file);
    SetAttributes(backup, FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(result.failure);
    EXPECT_EQ(result.failure->kind, FailureKind::Backup);
    EXPECT_EQ(ReadBytes(file), "old again");
    EXPECT_EQ(ReadBytes(backup), "old");
    EXPECT_EQ(Names(), (std::vector<std::string>{"page.htm", "page.htm.bak"}));
}

// Windows drops trailing dots and spaces: such an extension would make the backup the file itself.
TEST_F(WindowsTest, BackupExtensionEndingInDotOrSpaceRefused) {
    const auto file = Make("page.htm", "old");
    for (const wchar_t* ext : {L"bak.", L"bak ", L".", L"a\\b"}) {
        Corrector corrector("old", "new", {true, ext});
        const ProcessResult result = corrector.ProcessFile(file);
        ASSERT_TRUE(result.failure);
        EXPECT_EQ(result.failure->kind, FailureKind::BadBackupName);
    }
    EXPECT_EQ(ReadBytes(file), "old");
}

// Paths longer than 260 characters are listed, checked and corrected.
TEST_F(WindowsTest, LongPaths) {
    std::wstring folder = L"\\\\?\\" + fs::absolute(Dir()).make_preferred().wstring();
    for (int i = 0; i < 6; ++i) {
        folder += L"\\" + std::wstring(60, wchar_t(L'a' + i));
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << GetLastError();
    }
    const std::wstring file = folder + L"\\page.htm";
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(h, "old", 3, &written, nullptr);
    CloseHandle(h);

    const fs::path plainFolder(folder.substr(4));  // as a user would give it
    ASSERT_GT(plainFolder.native().size(), 300u);
    const auto told = test::Execute(Corrector("old", "new", {true, L"bak"}), {plainFolder});
    ASSERT_EQ(told.size(), 1u);
    ASSERT_TRUE(told[0].Corrected()) << told[0].Why();
    char buffer[16] = {};
    h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ReadFile(h, buffer, sizeof buffer, &written, nullptr);
    CloseHandle(h);
    EXPECT_EQ(std::string(buffer, written), "new");
    EXPECT_NE(GetFileAttributesW((file + L".bak").c_str()), INVALID_FILE_ATTRIBUTES);
}

// Hidden and system files are left out of a folder's listing.
TEST_F(WindowsTest, HiddenAndSystemFilesNotListed) {
    Make("a.htm", "x");
    SetAttributes(Make("hidden.htm", "x"), FILE_ATTRIBUTE_HIDDEN);
    SetAttributes(Make("system.htm", "x"), FILE_ATTRIBUTE_SYSTEM);
    SetAttributes(Make("readonly.htm", "x"), FILE_ATTRIBUTE_READONLY);
    fs::create_directory(Dir() / "sub.htm");
    const FolderListing listing = ListFolder(Dir());
    ASSERT_FALSE(listing.failure);
    EXPECT_EQ(listing.files, (std::vector<fs::path>{Dir() / "a.htm", Dir() / "readonly.htm"}));
    SetAttributes(Dir() / "readonly.htm", FILE_ATTRIBUTE_NORMAL);
}

// A tree on Windows: hidden and system folders are not entered, nor is a
// symbolic link to a folder.
TEST_F(WindowsTest, TreeLeavesHiddenFoldersAndFolderLinksAlone) {
    for (const char* folder : {"site/sub", "site/hidden", "site/system"}) fs::create_directories(Dir() / folder);
    Make("site/a.htm", "old");
    Make("site/sub/b.htm", "old");
    Make("site/hidden/c.htm", "old");
    Make("site/system/d.htm", "old");
    SetAttributes(Dir() / "site/hidden", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY);
    SetAttributes(Dir() / "site/system", FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY);
    const bool linked =
        CreateSymbolicLinkW((Dir() / "site/zlink").c_str(), (Dir() / "site/sub").c_str(),
                            SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    FileSelection selection;
    selection.subfolders = true;
    CorrectionRun run(Corrector("old", "new"), {Dir() / "site"}, RunMode::Check, 2, selection);
    std::vector<std::string> told;
    for (const test::Told& t : test::Execute(run)) told.push_back(t.path.filename().string());
    EXPECT_EQ(told, (std::vector<std::string>{"a.htm", "b.htm"})) << "link made: " << linked;
    SetAttributes(Dir() / "site/hidden", FILE_ATTRIBUTE_DIRECTORY);
    SetAttributes(Dir() / "site/system", FILE_ATTRIBUTE_DIRECTORY);
}

// Undo on Windows: the record folder under %LOCALAPPDATA%, a run recorded
// with its originals kept, and put back.
TEST_F(WindowsTest, UndoRecordAndRestore) {
    const fs::path local = _wgetenv(L"LOCALAPPDATA");
    EXPECT_EQ(UndoStore::DefaultFolder(), local / "Tarnwick" / "undo");
    const auto store = std::get<UndoStore>(UndoStore::Open(Dir() / "undo"));
    fs::create_directory(Dir() / "site");
    const auto a = Make("site/a.htm", "old\r\none");
    const auto b = Make("site/b.htm", "two old");
    auto keeper = std::get<std::shared_ptr<UndoKeeper>>(UndoKeeper::Start(store, {}));
    CorrectionRun run(Corrector("old", "new"), {Dir() / "site"}, RunMode::Correct);
    run.KeepUndo(keeper);
    ASSERT_EQ(test::Execute(run).size(), 2u);
    ASSERT_TRUE(keeper->Written());
    EXPECT_EQ(ReadBytes(a), "new\r\none");
    const auto records = store.Records();
    ASSERT_EQ(records.size(), 1u);

    UndoRecord undo;
    undo.undoes = records[0].id;
    RestoreRun restore(*RecordFiles::Open(records[0]),
                       std::get<std::shared_ptr<UndoKeeper>>(UndoKeeper::Start(store, undo)));
    RunCallbacks sink;
    std::vector<FileOutcome> outcomes;
    sink.file = [&](const FileReport& r) {
        outcomes.push_back(r.outcome);
        return true;
    };
    restore.Execute(sink);
    EXPECT_EQ(outcomes, (std::vector<FileOutcome>{FileOutcome::Restored, FileOutcome::Restored}));
    EXPECT_EQ(ReadBytes(a), "old\r\none");
    EXPECT_EQ(ReadBytes(b), "two old");
    EXPECT_EQ(UndoStore::StateOf(records[0], store.Records()), UndoState::Undone);
}

// Our profile store and the system's profile functions read each other's files alike.
TEST_F(WindowsTest, ProfileStoreAgreesWithKernel32) {
    const auto ours = Dir() / "ours.ini";
    const auto theirs = Dir() / "theirs.ini";
    const std::string oursA = ours.string(), theirsA = theirs.string();
    const std::vector<std::array<const char*, 3>> writes = {
        {"Main", "SearchString", "old text"}, {"Main", "ReplaceString", "new text"},
        {"Main", "BackupCopy", "1"},          {"Other", "Key", "v"},
        {"main", "searchstring", "changed"},  {"Main", "Mask", "*.htm"}};
    for (const auto& [section, key, value] : writes) {
        ASSERT_FALSE(settings::WriteProfileValue(ours, section, key, value));
        ASSERT_TRUE(WritePrivateProfileStringA(section, key, value, theirsA.c_str()));
    }
    test::WriteBytes(Dir() / "hand.ini", "[Main]\r\n  Spaced  =  value with spaces  \r\n; note\r\nEmpty=\r\n");
    for (const fs::path& file : {ours, theirs, Dir() / "hand.ini"}) {
        const std::string fileA = file.string();
        for (const char* section : {"Main", "MAIN", "Other", "Missing"})
            for (const char* key :
                 {"SearchString", "replacestring", "BackupCopy", "Mask", "Key", "Spaced", "Empty", "None"}) {
                char buffer[255] = {};
                const DWORD n = GetPrivateProfileStringA(section, key, "", buffer, sizeof buffer, fileA.c_str());
                const auto mine = settings::ReadProfileValue(file, section, key);
                EXPECT_EQ(mine.value_or(""), std::string(buffer, n)) << fileA << " [" << section << "] " << key;
            }
    }
}

// A failing flush or final rename leaves the file and its old backup as they were.
TEST_F(WindowsTest, FailingFlushAndRename) {
    const auto file = Make("page.htm", "old");
    const auto backup = Make("page.htm.bak", "previous");
    const os::SystemCalls saved = os::Sys();
    os::Sys().flushFileBuffers = [](HANDLE) -> BOOL {
        SetLastError(ERROR_IO_DEVICE);
        return FALSE;
    };
    Corrector corrector("old", "new", {true, L"bak"});
    ProcessResult result = corrector.ProcessFile(file);
    os::Sys() = saved;
    ASSERT_TRUE(result.failure);
    EXPECT_EQ(result.failure->kind, FailureKind::Flush);

    // The final step replaces the file the system's way; it fails here.
    os::Sys().replaceFile = [](LPCWSTR, LPCWSTR, LPCWSTR, DWORD, LPVOID, LPVOID) -> BOOL {
        SetLastError(ERROR_UNABLE_TO_REMOVE_REPLACED);
        return FALSE;
    };
    result = corrector.ProcessFile(file);
    os::Sys() = saved;
    ASSERT_TRUE(result.failure);
    EXPECT_EQ(result.failure->kind, FailureKind::Replace);
    EXPECT_EQ(ReadBytes(file), "old");
    EXPECT_EQ(ReadBytes(backup), "previous");
    EXPECT_EQ(Names(), (std::vector<std::string>{"page.htm", "page.htm.bak"}));
}

// A file another program holds is tried again, as git and Go try on
// Windows: a replace refused twice for a sharing violation, then let
// through, corrects the file; one refused for good fails after about two
// seconds, the file left as it was.
TEST_F(WindowsTest, HeldFileTriedAgain) {
    const auto file = Make("held.htm", "old");
    const os::SystemCalls saved = os::Sys();
    static int refusals;
    static decltype(saved.replaceFile) real;
    real = saved.replaceFile;
    refusals = 2;
    os::Sys().replaceFile = [](LPCWSTR a, LPCWSTR b, LPCWSTR c, DWORD d, LPVOID e, LPVOID f) -> BOOL {
        if (refusals-- > 0) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
        return real(a, b, c, d, e, f);
    };
    Corrector corrector("old", "new");
    ProcessResult result = corrector.ProcessFile(file);
    os::Sys() = saved;
    EXPECT_FALSE(result.failure) << static_cast<int>(result.failure->kind);
    EXPECT_EQ(ReadBytes(file), "new");
    EXPECT_LT(refusals, 0);

    const auto other = Make("held-for-good.htm", "old");
    os::Sys().replaceFile = [](LPCWSTR, LPCWSTR, LPCWSTR, DWORD, LPVOID, LPVOID) -> BOOL {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    };
    const auto start = std::chrono::steady_clock::now();
    result = corrector.ProcessFile(other);
    const auto waited = std::chrono::steady_clock::now() - start;
    os::Sys() = saved;
    ASSERT_TRUE(result.failure);
    EXPECT_EQ(result.failure->kind, FailureKind::Replace);
    EXPECT_EQ(result.failure->code, std::errc::device_or_resource_busy);
    EXPECT_GE(waited, std::chrono::milliseconds(1900));
    EXPECT_LT(waited, std::chrono::seconds(20));
    EXPECT_EQ(ReadBytes(other), "old");
}

// The file's DACL (the system's SDDL form), its attributes and an alternate
// data stream stay with the corrected file: it replaces the original the way
// the system replaces files. What Wine does not keep is skipped.
TEST_F(WindowsTest, SecurityAttributesAndStreamsKept) {
    const auto file = Make("page.htm", "old text");
    const auto dacl = [&]() -> std::wstring {
        PSECURITY_DESCRIPTOR sd = nullptr;
        PACL acl = nullptr;
        if (GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl,
                                  nullptr, &sd) != ERROR_SUCCESS)
            return L"?";
        LPWSTR text = nullptr;
        std::wstring result = L"?";
        if (ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                                 nullptr)) {
            result = text;
            LocalFree(text);
        }
        LocalFree(sd);
        return result;
    };
    // Full control for the owner, read for Everyone, nothing inherited.
    PSECURITY_DESCRIPTOR wanted = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;OW)(A;;FR;;;WD)", SDDL_REVISION_1,
                                                                     &wanted, nullptr));
    const bool secured = SetFileSecurityW(file.c_str(), DACL_SECURITY_INFORMATION, wanted);
    LocalFree(wanted);
    const std::wstring before = dacl();
    SetAttributes(file, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SYSTEM);
    const bool streams = [&] {
        HANDLE s = CreateFileW((file.wstring() + L":note").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (s == INVALID_HANDLE_VALUE) return false;
        DWORD written = 0;
        WriteFile(s, "kept", 4, &written, nullptr);
        CloseHandle(s);
        return true;
    }();

    Corrector corrector("old", "new", {true, L"bak"});
    const ProcessResult result = corrector.ProcessFile(file);
    ASSERT_FALSE(result.failure) << cli::Message(*result.failure);
    EXPECT_EQ(ReadBytes(file), "new text");
    EXPECT_EQ(Attributes(file) & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN),
              DWORD{FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SYSTEM});
    if (streams) {
        EXPECT_EQ(ReadBytes(file.wstring() + L":note"), "kept");
    }
    // Wine keeps no security descriptor of its own: it shows one made from the Unix mode.
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
        GTEST_SKIP() << "Wine derives security descriptors from Unix modes";
    ASSERT_TRUE(secured);
    EXPECT_EQ(dacl(), before);
}

}  // namespace
}  // namespace tarnwick

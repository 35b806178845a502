#include "cli/FailureWords.h"

#include "cli/Translation.h"
#include "platform/CodePage.h"
#include "platform/FileSystem.h"

#include <cstring>
#ifdef _WIN32
#include <windows.h>
#else
#include <locale.h>
#endif

namespace tarnwick::cli {

namespace {

// The system's reason for `code`: in the user's language, or in English for a format.
std::string CodeText(const std::error_code& code, bool inWords) {
    if (inWords) return code.message();
#ifdef _WIN32
    // The system's own English words, where it has them; else its user's.
    if (code.category() == std::system_category()) {
        wchar_t* words = nullptr;
        const DWORD n = ::FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
            static_cast<DWORD>(code.value()), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
            reinterpret_cast<wchar_t*>(&words), 0, nullptr);
        if (n > 0 && words) {
            std::wstring text(words, n);
            ::LocalFree(words);
            while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.'))
                text.pop_back();
            const std::u16string_view wide(reinterpret_cast<const char16_t*>(text.data()), text.size());
            if (auto utf8 = Utf16ToUtf8(wide)) return *utf8;
        }
    }
#else
    if (code.category() == std::generic_category() || code.category() == std::system_category()) {
        static const locale_t english = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
        if (english) return strerror_l(code.value(), english);
    }
#endif
    return code.message();
}

// A reason's words, then the system's: "cannot open: No such file or directory".
class Words {
public:
    Words(const Failure& failure, bool inWords) : failure_(failure), inWords_(inWords) {}
    // `english` in the user's language where the reason is in words.
    const char* T(const char* english) const { return inWords_ ? Tr(english) : english; }
    std::string F(const char* english, std::initializer_list<std::string_view> values) const {
        return Fill(T(english), values);
    }
    std::string WithCode(std::string text) const {
        if (!failure_.code) return text;
        text += ": " + CodeText(failure_.code, inWords_);
        // Held by another program: which, where the system tells.
        if (failure_.code == std::errc::device_or_resource_busy && !failure_.path.empty()) {
            std::string names;
            for (const std::string& name : os::ProgramsHolding(failure_.path))
                names += (names.empty() ? "" : ", ") + name;
            if (!names.empty()) text += F(" (held by {})", {names});
        }
        return text;
    }

private:
    const Failure& failure_;
    bool inWords_;
};

// A file another program changed, and when.
std::string ChangedReason(const Words& w, Failure::Late late) {
    if (late == Failure::Late::Corrected)
        return w.T(
            "changed by another program just as it was replaced: the corrected file is in place without that "
            "change");
    if (late == Failure::Late::Restored)
        return w.T("changed by another program just as it was put back: the original is in place without that change");
    return w.T("changed by another program while being corrected");
}

}  // namespace

std::string Reason(const Failure& failure, bool inWords) {
    const Words w(failure, inWords);
    const std::string other = failure.other.empty() ? std::string() : PathText(failure.other.filename());
    switch (failure.kind) {
    case FailureKind::Open: return w.WithCode(w.T("cannot open"));
    case FailureKind::Missing: return w.T("no such file");
    case FailureKind::NotRegularFile: return w.T("not a regular file");
    case FailureKind::NotWritable: return w.WithCode(w.T("not writable"));
    case FailureKind::NotReplaceable:
        return w.WithCode(w.T("its folder does not allow replacing it (append-only, immutable or sticky)"));
    case FailureKind::Busy:
        if (failure.detail.empty()) return w.T("held by another run of tarnwick");
        return w.F("held by another run of tarnwick (PID {})", {failure.detail});
    case FailureKind::Read: return w.WithCode(w.T("cannot read"));
    case FailureKind::CreateTemporary: return w.WithCode(w.T("cannot create temporary file beside it"));
    // The temporary file is gone by the time this is read: its name would tell nothing.
    case FailureKind::Write: return w.WithCode(w.T("cannot write the corrected file"));
    case FailureKind::Flush: return w.WithCode(w.T("cannot flush the corrected file to disk"));
    case FailureKind::Backup:
        // A run on another computer sharing the folder, where no lock reaches.
        if (failure.code == std::errc::file_exists && !other.empty())
            return w.F("cannot make backup copy {}: another program made a file of that name meanwhile", {other});
        return w.WithCode(other.empty() ? w.T("cannot make backup copy") : w.F("cannot make backup copy {}", {other}));
    case FailureKind::BackupNotFile:
        if (other.empty()) return w.T("backup path is not a regular file");
        return w.F("backup path {} is not a regular file", {other});
    case FailureKind::BadBackupName: return w.T("backup extension is empty or not a plain name");
    case FailureKind::Changed: return ChangedReason(w, failure.late);
    case FailureKind::ChangedSinceShown: return w.T("changed since it was shown");
    case FailureKind::Replace:
        if (failure.outcomeUnknown)
            return w.WithCode(w.T("cannot replace it with the corrected file")) +
                   w.T("; whether the file system took the corrected file is unknown (--undo puts the original "
                       "back either way)");
        return w.WithCode(w.T("cannot replace it with the corrected file"));
    case FailureKind::Recheck: return w.WithCode(w.T("cannot look at it again before replacing it"));
    case FailureKind::PutBack:
        if (failure.outcomeUnknown)
            return w.WithCode(w.T("cannot put back what it held before")) +
                   w.T("; whether the file system took it is unknown (another --undo finishes it either way)");
        return w.WithCode(w.T("cannot put back what it held before"));
    case FailureKind::List: return w.WithCode(w.T("cannot list folder"));
    case FailureKind::NotRepresentable: return w.F("the replace string cannot be written in {}", {failure.detail});
    case FailureKind::KeepAccess:
        return w.WithCode(w.T("cannot give the corrected file the original's group, ACL or extended attributes"));
    case FailureKind::BecameLink: return w.T("changed into a link while the run went on");
    case FailureKind::FolderSwapped: return w.T("replaced by another folder while the run went on");
    case FailureKind::LinkOutside:
        return w.F("a link to {}, outside the paths given (--follow-file-links takes it)", {PathText(failure.other)});
    case FailureKind::LeftoverStuck:
        if (failure.code == std::errc::operation_not_permitted || failure.code == std::errc::permission_denied)
            return w.F("a stopped run's temporary file, owned by uid {}: remove it as that user", {failure.detail});
        return w.WithCode(w.T("a stopped run's temporary file that cannot be removed"));
    case FailureKind::EmptyName: return w.F("name {} of the list is empty", {failure.detail});
    case FailureKind::AmbiguousPage:
        return w.F(
            "could be in {}, which read a search string differently: name its code page with --legacy (or "
            "LegacyCodePage in the options file)",
            {failure.detail});
    case FailureKind::AmbiguousNamedPage:
        return w.F(
            "could be in {}, which read a search string differently: name a single code page with --legacy "
            "(or LegacyCodePage in the options file)",
            {failure.detail});
    case FailureKind::OwnRecord: return w.T("one of this program's undo records");
    case FailureKind::TooLarge: return w.T("too large");
    case FailureKind::KeepTimes: return w.WithCode(w.T("cannot give the corrected file the original's times"));
    case FailureKind::PatternWork: return w.T("the pattern needs too much work on this file");
    case FailureKind::CharacterNotWritable:
        return w.F("the replacement's character '{}' cannot be written in {}", {failure.detail, failure.encoding});
    case FailureKind::BackupIsRunFile:
        return w.F("its backup would take the place of {}, a file this run corrected", {PathText(failure.other)});
    case FailureKind::OriginalLost: {
        // (A kept original that does not match what was kept is told by invalid_argument.)
        const std::string kept = PathText(failure.other);
        if (failure.code == std::errc::invalid_argument)
            return w.F("the original kept for undo ({}) is no longer what was kept", {kept});
        if (failure.code == std::errc::no_such_file_or_directory)
            return w.F("the original kept for undo ({}) is gone", {kept});
        return w.WithCode(w.F("the original kept for undo ({}) cannot be read", {kept}));
    }
    }
    return w.WithCode(w.T("failed"));
}

std::string Message(const Failure& failure, bool inWords) {
    return PathText(failure.path) + ": " + Reason(failure, inWords);
}

}  // namespace tarnwick::cli

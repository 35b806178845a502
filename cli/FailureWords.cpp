#include "cli/FailureWords.h"

#include "platform/CodePage.h"

namespace tarnwick::cli {

namespace {

std::string WithCode(std::string text, const std::error_code& code) {
    if (code) text += ": " + code.message();
    return text;
}

// A file another program changed, and when.
std::string ChangedReason(Failure::Late late) {
    if (late == Failure::Late::Corrected)
        return "changed by another program just as it was replaced: the corrected file is in place without that change";
    if (late == Failure::Late::Restored)
        return "changed by another program just as it was put back: the original is in place without that change";
    return "changed by another program while being corrected";
}

}  // namespace

std::string Reason(const Failure& failure) {
    std::string second;
    if (!failure.other.empty()) second.append(" ").append(PathText(failure.other.filename()));
    switch (failure.kind) {
    case FailureKind::Open: return WithCode("cannot open", failure.code);
    case FailureKind::Missing: return "no such file";
    case FailureKind::NotRegularFile: return "not a regular file";
    case FailureKind::NotWritable: return WithCode("not writable", failure.code);
    case FailureKind::NotReplaceable:
        return WithCode("its folder does not allow replacing it (append-only, immutable or sticky)", failure.code);
    case FailureKind::Busy:
        return "held by another run of tarnwick" +
               (failure.detail.empty() ? std::string() : " (PID " + failure.detail + ")");
    case FailureKind::Read: return WithCode("cannot read", failure.code);
    case FailureKind::CreateTemporary: return WithCode("cannot create temporary file beside it", failure.code);
    // The temporary file is gone by the time this is read: its name would tell nothing.
    case FailureKind::Write: return WithCode("cannot write the corrected file", failure.code);
    case FailureKind::Flush: return WithCode("cannot flush the corrected file to disk", failure.code);
    case FailureKind::Backup: return WithCode("cannot make backup copy" + second, failure.code);
    case FailureKind::BackupNotFile: return "backup path" + second + " is not a regular file";
    case FailureKind::BadBackupName: return "backup extension is empty or not a plain name";
    case FailureKind::Changed: return ChangedReason(failure.late);
    case FailureKind::ChangedSinceShown: return "changed since it was shown";
    case FailureKind::Replace: return WithCode("cannot replace it with the corrected file", failure.code);
    case FailureKind::List: return WithCode("cannot list folder", failure.code);
    case FailureKind::NotRepresentable: return "the replace string cannot be written in " + failure.detail;
    case FailureKind::KeepAccess:
        return WithCode("cannot give the corrected file the original's group, ACL or extended attributes",
                        failure.code);
    case FailureKind::BecameLink: return "changed into a link while the run went on";
    case FailureKind::FolderSwapped: return "replaced by another folder while the run went on";
    case FailureKind::LinkOutside:
        return "a link to " + PathText(failure.other) + ", outside the paths given (--follow-file-links takes it)";
    case FailureKind::LeftoverStuck:
        if (failure.code == std::errc::operation_not_permitted || failure.code == std::errc::permission_denied)
            return "a stopped run's temporary file, owned by uid " + failure.detail + ": remove it as that user";
        return WithCode("a stopped run's temporary file that cannot be removed", failure.code);
    case FailureKind::EmptyName: return "name " + failure.detail + " of the list is empty";
    case FailureKind::AmbiguousPage:
        return "could be in " + failure.detail +
               ", which read a search string differently: name its code page with --legacy "
               "(or LegacyCodePage in the options file)";
    case FailureKind::AmbiguousNamedPage:
        return "could be in " + failure.detail +
               ", which read a search string differently: name a single code page with "
               "--legacy (or LegacyCodePage in the options file)";
    case FailureKind::OwnRecord: return "one of this program's undo records";
    case FailureKind::TooLarge: return "too large";
    case FailureKind::KeepTimes: return WithCode("cannot give the corrected file the original's times", failure.code);
    case FailureKind::PatternWork: return "the pattern needs too much work on this file";
    case FailureKind::CharacterNotWritable:
        return "the replacement's character '" + failure.detail + "' cannot be written in " + failure.encoding;
    case FailureKind::BackupIsRunFile:
        return "its backup would take the place of " + PathText(failure.other) + ", a file this run corrected";
    case FailureKind::OriginalLost: {
        // (A kept original that does not match what was kept is told by invalid_argument.)
        const std::string kept = "the original kept for undo (" + PathText(failure.other) + ")";
        if (failure.code == std::errc::invalid_argument) return kept + " is no longer what was kept";
        if (failure.code == std::errc::no_such_file_or_directory) return kept + " is gone";
        return WithCode(kept + " cannot be read", failure.code);
    }
    }
    return WithCode("failed", failure.code);
}

std::string Message(const Failure& failure) { return PathText(failure.path) + ": " + Reason(failure); }

}  // namespace tarnwick::cli

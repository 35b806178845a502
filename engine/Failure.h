#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

namespace tarnwick {

// What went wrong, as a value: the step, the file, and the system's reason.
// The engine never shows it; the window and the command line word it.
enum class FailureKind {
    Open,                  // the file could not be opened for reading
    Missing,               // no file at the path
    NotRegularFile,        // a folder, FIFO, device or other non-file
    NotWritable,           // no write permission or a read-only / immutable file
    NotReplaceable,        // its folder does not let it be replaced (append-only, immutable, sticky)
    Busy,                  // another run of this program is correcting it and did not finish in time
    Read,                  // reading failed part-way
    CreateTemporary,       // the new content could not be started beside the file
    Write,                 // writing the new content failed (disk full, quota, size limit)
    Flush,                 // flushing the new content to disk failed
    Backup,                // the backup copy could not be made or put in place
    BackupNotFile,         // the backup path is taken by a folder or other non-file
    BadBackupName,         // backups on with an empty or unusable extension
    Changed,               // the file changed while it was being corrected
    Replace,               // the corrected file could not be put in place of the original
    List,                  // the folder could not be listed
    NotRepresentable,      // the replace string has no form in the encoding of an occurrence (`detail`)
    KeepAccess,            // the corrected file could not be given the original's group, ACL or attributes
    OriginalLost,          // undo: the kept original is gone or no longer what was kept (`other`)
    BecameLink,            // a file or folder a walk listed is a symbolic link now
    FolderSwapped,         // a folder a walk listed is another folder now
    LinkOutside,           // a symbolic link in a folder leads outside the paths the run was given (`other`)
    LeftoverStuck,         // a stopped run's temporary file that cannot be removed (`detail`: its owner's number)
    EmptyName,             // a list of names held an empty one (`detail`: its place in the list)
    AmbiguousPage,         // the file's legacy code page cannot be told safely (`detail`: the pages it could be in)
    AmbiguousNamedPage,    // the same among the pages the user named
    BackupIsRunFile,       // its backup would take the place of a file this run corrected (`other`)
    OwnRecord,             // a file of the program's own undo records
    PatternWork,           // a pattern needs too much work on the file (catastrophic backtracking)
    CharacterNotWritable,  // a replacement's character (`detail`) has no form in the file's encoding (`encoding`)
    ChangedSinceShown,     // the file is no longer what a review showed: its choice of occurrences is not applied
    TooLarge,              // larger than the run's size limit (`detail`: the limit in bytes): left alone
    KeepTimes,             // the corrected file could not be given the original's times (asked for)
    Recheck,               // the file could not be looked at again just before it was replaced (a share lost)
    PutBack,               // undo: what the file held before could not be put in its place
};

struct Failure {
    FailureKind kind = FailureKind::Open;
    std::filesystem::path path = {};   // the file or folder the failure concerns
    std::error_code code = {};         // the system's reason, where there is one
    std::filesystem::path other = {};  // the second path of the step (the backup), if any
    // The encoding, for NotRepresentable.
    std::string detail = {};
    std::string encoding = {};  // the file's encoding, for CharacterNotWritable
    // For a Changed file: a write that came just as it was replaced, which
    // the file in place is without (the correction or the undo stayed).
    enum class Late : std::uint8_t { No, Corrected, Restored } late = Late::No;
    // For a failed Replace or PutBack: the file system lost its connection
    // while asked (a share): the file may hold the old content or the new one.
    bool outcomeUnknown = false;
};

}  // namespace tarnwick

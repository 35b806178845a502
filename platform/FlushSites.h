#pragma once

// Every flush that a promise about power cuts rests on, by name. The product
// always flushes. A build for the crash checker (TARNWICK_FLUSH_SITES) can
// leave out one site at a time, to show that the checker then finds a state
// the missing flush lets a power cut leave.

#include "platform/FileSystem.h"

#include <system_error>

#ifdef TARNWICK_FLUSH_SITES
#include <atomic>
#endif

namespace tarnwick {

enum class FlushSite {
    CorrectedData,    // the new content, before it takes the file's name
    OriginalData,     // the file that was read, before a second name of it becomes its backup or is kept for undo
    BackupFolder,     // the backup's folder after the backup is placed, before the file is replaced
    CorrectedFolder,  // a file's folders after its rename, before it is told corrected
    GroupFolders,     // a group's folders after its renames, before its files are told
    CopyData,         // a copy (a backup, an original kept for undo, one put back), before it is named
    RestoredFolder,   // a restored file's folder, before it is told restored
    RecordData,       // an undo record, before it is named complete
    RecordFolder,     // the record's folder, after the record is named
    RecordStore,      // the folder of the records, after the run's record folder was named
    OptionsData,      // the options file's new content, before it takes the name
    OptionsFolder,    // the options file's folder, after the rename
    Count
};

#ifdef TARNWICK_FLUSH_SITES
// The site left out in this build's process, -1 for none.
inline std::atomic<int> droppedFlushSite{-1};
inline bool Flushes(FlushSite site) { return droppedFlushSite.load() != static_cast<int>(site); }
#else
constexpr bool Flushes(FlushSite) { return true; }
#endif

inline std::error_code FlushAt(FlushSite site, os::File& file) {
    return Flushes(site) ? file.Flush() : std::error_code();
}

inline void FlushAt(FlushSite site, const os::Folder& folder) {
    if (Flushes(site)) folder.Flush();
}

}  // namespace tarnwick

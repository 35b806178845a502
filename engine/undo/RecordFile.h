#pragma once

// The undo record file and the record folders of the store, as the store and
// the keeper share them: the names in a record folder, the record's lines
// written and read, a stopped run's record completed, folders made and
// removed. Every file-system access goes through the platform layer.

#include "engine/undo/Undo.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::record {

inline constexpr int kVersion = 2;
inline const std::filesystem::path kRecordName = "record";
inline const std::filesystem::path kProcessName = "process";     // the number of the process writing the record
inline const std::filesystem::path kFreshName = "record.new";    // the record until it is complete
inline const std::filesystem::path kEndedName = "record.ended";  // a stopped run's record, completed, until it is named
inline const std::filesystem::path kSummaryName = "summary";     // the record without its files' lines
// A backup suffix (UndoRecord::backupSuffixes) of a backup not named after its file.
inline constexpr std::string_view kAnyName = "*";
// In the store: "ID TIME" for each record removed to stay within the budget, the newest last.
inline const std::filesystem::path kDroppedName = "dropped";

// Removes a record folder and what it holds (files only: a record folder holds no folders).
void RemoveFolder(const std::filesystem::path& folder);
// Removes a record folder unless another process holds its record (an undo
// of it under way); false then.
bool RemoveRecord(const std::filesystem::path& folder);
// When the record of run `id` was removed to stay within the budget (RemoveRecord), if it was.
std::optional<std::int64_t> DroppedAt(const std::filesystem::path& store, std::string_view id);
// A new record folder in `store`, and its name: the time to the millisecond,
// made under a hidden name first; empty where none can be made.
std::string NewRecordFolder(const std::filesystem::path& store);
// The process a record folder names as its maker; 0 where none is named.
std::uint64_t ProcessOf(const std::filesystem::path& folder);
// The names in `folder` (none where it cannot be listed).
std::vector<std::filesystem::path::string_type> NamesIn(const os::Folder& folder);
bool Exists(const std::filesystem::path& path);
// The record in `folder`, without its files; nothing where it cannot be read.
// From its summary where there is one; else read through, and (`summarize`)
// a summary written for the next time.
std::optional<UndoRecord> ReadRecord(const std::filesystem::path& folder, bool summarize = true);
// The backup copies the run of the record in `folder` made (none where it cannot be read).
std::vector<MadeBackup> BackupsMadeBy(const std::filesystem::path& folder);
// What became of a record folder that has no complete record.
enum class Unfinished { Live, Completed, Leftover };
Unfinished Complete(const std::filesystem::path& folder);
// The record's first lines, and a file's line.
std::string HeaderText(const UndoRecord& r);
std::string EntryLine(const UndoEntry& e);
// The line of a backup copy the run made of its file `token`.
// (`over`: under a name that stood before the run, UndoEntry::madeBackupOver).
std::string MadeLine(std::size_t token, const std::filesystem::path& backup, bool over = false);
// An undo's line: the backup copy the run it undid had made of its file `token` was removed.
std::string RemovedLine(std::size_t token, const std::filesystem::path& backup);
// The line naming a folder where the run began to write.
std::string FolderLine(const std::filesystem::path& folder);
// A file the run corrected without keeping its original: it cannot be put back.
std::string LostLine(const std::filesystem::path& file);

}  // namespace tarnwick::record

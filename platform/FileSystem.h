#pragma once

// The few file-system operations the engine needs, each reporting the
// system's reason as a std::error_code. One implementation per platform.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace tarnwick::os {

using Path = std::filesystem::path;

struct FileInfo {
    bool regular = false;
    bool directory = false;
    bool symlink = false;   // only from Stat(..., followLinks = false)
    bool readOnly = false;  // the read-only attribute (Windows only)
    std::uint64_t size = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t modifiedNs = 0;
    std::uint32_t mode = 0;  // permission bits; on Windows the file attributes
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
    std::uint32_t links = 1;  // how many names the file has

    // The same file (not only the same name).
    bool SameFileAs(const FileInfo& other) const { return device == other.device && inode == other.inode; }
    // Same file, same size, same modification time.
    bool SameVersionAs(const FileInfo& other) const {
        return SameFileAs(other) && size == other.size && modifiedNs == other.modifiedNs;
    }
    // Same size and modification time, whichever file: where a file system
    // numbers its files anew (FUSE after a remount or a dropped cache, a copy
    // kept with its times), with the same content this is the same version.
    bool SameSizeAndTimeAs(const FileInfo& other) const { return size == other.size && modifiedNs == other.modifiedNs; }
};

// `path` made absolute (from the current folder) and without "." and ".."
// parts. On Windows by the system (GetFullPathNameW): the C++ library there
// takes a UNC path (\\server\share\...) for one on the current drive.
Path Absolute(const Path& path, std::error_code& ec);

// Fills `info` for `path`; an error (ENOENT for nothing there) otherwise.
std::error_code Stat(const Path& path, FileInfo& info, bool followLinks = true);

// An open file handle, closed when it goes out of scope.
class File {
public:
    File() = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
#ifdef _WIN32
    File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
#else
    File(File&& other) noexcept : fd_(other.fd_), knownSize_(other.knownSize_), readSoFar_(other.readSoFar_) {
        other.fd_ = -1;
    }
#endif
    File& operator=(File&& other) noexcept;
    ~File();

    // Opens an existing regular file for reading. Never creates anything and
    // never blocks on a FIFO or device: those give ENXIO-like errors instead.
    static std::error_code OpenRead(const Path& path, File& file);

    std::error_code Info(FileInfo& info) const;
    // Reads up to `size` bytes; `got` is 0 at the end of the file.
    std::error_code Read(char* data, std::size_t size, std::size_t& got);
    std::error_code ReadAt(std::uint64_t offset, char* data, std::size_t size, std::size_t& got);
    std::error_code WriteAll(const char* data, std::size_t size);
    std::error_code Flush();
    // Starts writing the file's data to disk without waiting; a later Flush
    // then has less to wait for. Best effort.
    void StartFlush();
    // Gives the file the permission bits (and, where allowed, the owner) of `like`.
    std::error_code CopyAccessFrom(const FileInfo& like);
    // Gives the file what `from` (described by `like`) has that decides who may
    // use it: the permission bits, the owner where allowed, the group, the ACL
    // and the extended attributes. Fails rather than leave the file open to
    // more users than `from`: a group that cannot be kept while the group has
    // rights, an attribute or ACL the file system or the user cannot set. An
    // ACL the file got from its folder's default ACL is taken away.
    std::error_code CopyAccessFrom(const File& from, const FileInfo& like);
    // Gives the file the modification time of `from` (on Windows its creation
    // time too). Set last: any later write would change it.
    std::error_code CopyTimesFrom(const File& from);
    // Takes this program's exclusive lock on the file without waiting: false
    // while another handle holds it. Other programs are not kept out by it.
    bool TryLock();
    // The process that holds the lock TryLock takes, where the system tells (0 otherwise).
    std::uint64_t LockHolder() const;
    // Back to the first byte, for reading the file again.
    std::error_code Rewind();
    bool IsOpen() const;
    std::error_code Close();

private:
    friend class Folder;
#ifdef _WIN32
    void* handle_ = nullptr;  // HANDLE
#else
    int fd_ = -1;
    // The size the last Info found, and how far Read has come since the
    // file was opened or rewound: an end of the file short of that size is
    // looked at again (a share that dropped answers reads with nothing).
    mutable std::uint64_t knownSize_ = 0;
    std::uint64_t readSoFar_ = 0;
#endif
};

// One entry of a folder as its listing finds it.
struct FolderEntry {
    enum class Kind : std::uint8_t {
        File,    // a regular file
        Link,    // a symbolic link that leads to a regular file
        Folder,  // a folder, not a link to one
    };
    Path::string_type name;
    Kind kind = Kind::File;
    std::uint64_t device = 0, inode = 0;  // a folder's: which folder it is
};

// Which of the files that carry a project's ignore rules a folder holds, as
// Folder::List tells them (whether hidden or not).
enum RuleFiles : std::uint8_t {
    kHasGitIgnore = 1,   // .gitignore
    kHasIgnore = 2,      // .ignore
    kHasRepository = 4,  // .git, a folder or a file: a git repository's top
};

// An open folder: the operations on its entries go through it, so they stay
// in the folder that was opened even when the folder is renamed meanwhile
// (on Windows the folder cannot be renamed while it is open). Names are plain
// names of entries of this folder.
class Folder {
public:
    Folder() = default;
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    Folder(Folder&& other) noexcept;
    Folder& operator=(Folder&& other) noexcept;
    ~Folder();

    // The folder at `path`, links in it followed; with `followLast` false a
    // symbolic link as its last part is not (ELOOP then). A path longer than
    // the system takes at once is opened a part at a time.
    static std::error_code Open(const Path& path, Folder& folder, bool followLast = true);
    // The folder at `path`, an absolute path without links in it (as
    // Resolve gives it), reached through real folders only: ELOOP where a
    // symbolic link stands in it now, so no link swapped in can lead elsewhere.
    static std::error_code OpenWithoutLinks(const Path& path, Folder& folder);
    bool IsOpen() const;
    const Path& Location() const { return path_; }
    // Which folder it is (device and inode).
    std::error_code Info(FileInfo& info) const;
    // A second handle of the same folder.
    std::error_code Duplicate(Folder& copy) const;

    // The subfolder `name`, opened from this folder's handle and never
    // through a symbolic link (ELOOP then); its location is this one's / name.
    std::error_code OpenFolder(const Path& name, Folder& child) const;
    // The visible entries (not hidden: on Windows without the hidden or system
    // attribute, elsewhere not starting with "."; with `hidden`, those too):
    // regular files, symbolic links that lead to regular files and, with
    // `folders`, subfolders (never links or junctions to folders, nor the
    // folders of version control, nor files by their names: IsVersionControlName). The
    // program's own temporary files are never listed. In no order. With
    // `rules`, which RuleFiles the folder holds. Read through this handle:
    // not from two threads at once.
    std::error_code List(std::vector<FolderEntry>& entries, bool folders, bool hidden = false,
                         std::uint8_t* rules = nullptr) const;
    // The names that start as temporary names do (".~tarnwick-"), in no order.
    std::error_code ListTemporaries(std::vector<Path::string_type>& names) const;
    // Every entry's name, whatever it is (hidden and temporary ones, links,
    // folders), in no order.
    std::error_code ListNames(std::vector<Path::string_type>& names) const;
    // The path the symbolic link `name` finally leads to, absolute and without links.
    std::error_code Resolve(const Path& name, Path& resolved) const;

    std::error_code Stat(const Path& name, FileInfo& info, bool followLinks = false) const;
    // Opens the entry `name` as File::OpenRead opens a path, without walking
    // the folder's path again; with `followLinks` false a symbolic link is
    // not followed (ELOOP).
    std::error_code OpenRead(const Path& name, File& file, bool followLinks = true) const;
    // OpenRead of the entry named by the last part of `path`, a path of a
    // file in this folder (without taking the path apart: asked for every file).
    std::error_code OpenReadLast(const Path& path, File& file, bool followLinks = true) const;
    // Whether this process may replace the content of the entry `name` (as CheckWritable); no link is followed.
    std::error_code CheckWritable(const Path& name) const;
    std::error_code CreateNew(const Path& name, File& file) const;
    // Renames an entry of this folder, replacing what is at `to`.
    std::error_code Rename(const Path& from, const Path& to) const;
    // Puts the file `from` in place of the file `to` in one step, keeping what
    // the system keeps of the replaced file when replacing it (on Windows its
    // security descriptor, attributes and alternate data streams; elsewhere a
    // rename, after which the new file carries its own access).
    std::error_code Replace(const Path& from, const Path& to) const;
    // Renames an entry of this folder unless `to` exists (EEXIST then).
    std::error_code RenameNoReplace(const Path& from, const Path& to) const;
    // Makes `name` in this folder a second name of `from`'s entry `fromName`.
    std::error_code LinkFrom(const Folder& from, const Path& fromName, const Path& name) const;
    std::error_code Remove(const Path& name) const;
    // Removes the empty subfolder `name` (never a link's target).
    std::error_code RemoveFolder(const Path& name) const;
    // Makes the folder's entries durable after renames in it; best effort.
    void Flush() const;
    // Whether the entry `file` (opened, described by `info`) may be replaced and
    // removed here: the folder and the file neither append-only nor immutable,
    // and no sticky bit keeping this user from replacing another user's file.
    std::error_code CheckReplaceable(const File& file, const FileInfo& info) const;

    // (Asks its file system through the handle.)
    friend bool OpenFilesReplaceable(const Folder& folder);
    friend bool WaitsOnServer(const Folder& folder);

private:
#ifdef _WIN32
    void* handle_ = nullptr;  // keeps the folder from being renamed
    // The entry's full path through the folder's present place.
    Path Full(const Path& name) const;
#else
    int fd_ = -1;
#endif
    Path path_;
};

// A fresh name for a temporary file; made under it, the file is hidden (a
// leading "."; on Windows also the hidden attribute, given by CreateNew), so a
// leftover from a crash is never listed or corrected. The name tells which
// process made it, on which machine: ".~tarnwick-PID-MACHINE-SALT-N".
Path TemporaryFileName();
// This machine (and process namespace), as temporary names tell it: 8 hex digits.
const Path::string_type& MachineTag();
// This process's number.
std::uint64_t ProcessId();
// Whether a process with this number runs here (or may: one that cannot be asked counts as running).
bool ProcessRunning(std::uint64_t process);
// What a temporary name says: ".~tarnwick-PID-MACHINE-SALT-N", and for an old
// backup kept aside "~" and the backup's name (nothing after "~" when unknown).
// The views are into the name parsed.
using Name = std::basic_string_view<Path::value_type>;
struct TemporaryName {
    std::uint64_t process = 0;
    Name machine;
    bool kept = false;
    Name backupName;
    // For new content meant to take a file's name: "+" and that name.
    Name fileName;
};
std::optional<TemporaryName> ParseTemporaryName(Name name);
// Whether the run that made a temporary name ran on this machine and its process is gone.
bool IsStoppedRun(const TemporaryName& name);
// Whether `name` is a temporary name a run of the program on this machine made whose process is gone.
bool IsStoppedRunsName(Name name);
// Whether `name` is one the program gives its temporary files (".~tarnwick-...").
bool IsTemporaryName(Name name);
// Whether `name` is that of a version control system's folder (.git, .svn,
// .hg, .bzr, _darcs, CVS; on Windows in any case), which a walk never enters,
// or, for a file (not `folder`), of the file that stands for one (a
// submodule's or worktree's .git).
bool IsVersionControlName(Name name, bool folder);
// The names in `folder` that start as temporary names do (".~tarnwick-"), in no order.
std::error_code ListTemporaries(const Path& folder, std::vector<Path::string_type>& names);

// Whether this process may replace the content of the file (write permission,
// no read-only or immutable attribute).
std::error_code CheckWritable(const Path& path);
// The file a symbolic link finally leads to; `path` itself when it is no link.
std::error_code ResolveLinks(const Path& path, Path& resolved);
// Whether `name` can be one part of a file name as it is: no separator, no
// NUL; on Windows no ":", and no trailing dot or space (Windows drops them).
bool IsPlainNamePart(const Path::string_type& name);
// Whether a file may be replaced while it is open here (Windows replaces no open file).
bool OpenFilesReplaceable();
// The same for a file in `folder`: never on a FUSE file system either, whose
// SMB clients refuse it (EBUSY) and whose other file systems hide the open
// file under a name of their own (sshfs's .fuse_hidden…), two renames where
// one was meant. Asked once per file system.
bool OpenFilesReplaceable(const Folder& folder);
// Whether each step on a file in `folder` waits for another program to
// answer: a network share (NFS, SMB, a mapped drive or UNC path on Windows)
// or a file system in user space (FUSE: sshfs, smbnetfs). There the time
// goes to round trips, not to the processor. Asked once per file system.
bool WaitsOnServer(const Folder& folder);
// Whether a file opened for reading can be flushed here (not on Windows).
bool ReadFilesFlushable();
// Whether a step that failed with `ec` may still have been done: an I/O
// error, or a share whose connection broke while the request was on its way.
// (A share already known to be disconnected sends nothing: not those.)
bool OutcomeUnknown(const std::error_code& ec);
// A time given in nanoseconds since 1970 as GNU diff writes times, in local
// time: "2026-12-08 00:44:35.123456789 +0100".
std::string LocalTimeText(std::int64_t nanoseconds);
// A time in seconds since 1970 broken down in the local zone (`local`) or in UTC.
std::tm CalendarTime(std::int64_t seconds, bool local);
// Whether `folder` is where installed programs live (/usr, /bin, /sbin or the
// build's own install folder `bindir`): there a program's options file is not
// beside it. On Windows, where the Windows Installer package put the program
// (it leaves installed.txt beside it); the zip is a portable copy wherever it
// is unpacked.
bool IsInstalledProgramFolder(const Path& folder, const Path& bindir);
// The line break of new text files here: "\r\n" on Windows, "\n" elsewhere.
std::string_view NewLine();
// The folder of a program's per-user configuration: %APPDATA%\\Name on Windows
// (capitalized, as programs there name theirs), $XDG_CONFIG_HOME/name or
// ~/.config/name elsewhere; empty when the environment names none.
Path UserConfigFolder(std::string_view name);

// The folder of a program's per-user state (kept between runs, not
// settings): %LOCALAPPDATA%\\Name on Windows, $XDG_STATE_HOME/name or
// ~/.local/state/name elsewhere; empty when the environment names none.
Path UserStateFolder(std::string_view name);
// Makes the folder `folder` (its parent must exist), for this user alone
// where the system has permission bits (0700); file_exists when something is there.
std::error_code CreateFolder(const Path& folder);
// Makes `folder` and every folder missing on the way to it, each as
// CreateFolder makes one (0700: the XDG base directories ask it of the
// folders a program makes under them); what exists is left as it is.
std::error_code CreateFolders(const Path& folder);
// What makes a file or folder not this user's alone.
enum class Privacy : std::uint8_t {
    Private,
    NotFolder,
    NotFile,         // not a regular file
    OtherOwner,      // belongs to another user
    OthersMayWrite,  // others may write to it
    Link,            // a symbolic link
};
// Makes `folder` (and any missing parent) for this user alone and checks it:
// on POSIX it must be this user's and no one else may write to it (as ssh
// asks of its keys); `why` then says what is wrong. Created folders are
// private (0700). Windows relies on the profile folder's access list.
std::error_code MakePrivateFolder(const Path& folder, Privacy& why);
// Whether `path` (not followed if a link) is a folder (`folder`) or a regular
// file of this user's that no one else may write, as MakePrivateFolder asks
// of its folder; `why` says what is wrong otherwise. Windows relies on the
// profile folder's access list.
std::error_code CheckPrivate(const Path& path, bool folder, Privacy& why);
// The programs that hold `file` open, as "name (PID n)", where the system can
// tell (Windows' Restart Manager; elsewhere nothing): said with a sharing
// violation, which Windows reports as device_or_resource_busy.
std::vector<std::string> ProgramsHolding(const Path& file);
// The running program's own file, as the system knows it (empty where it cannot tell).
Path ProgramFile();
// How many more files this process may open (the open-file limit less what is
// open now); a large number where the system sets no low limit.
std::size_t OpenFilesLeft();
// The permission bits a new file gets by default (0666 less the umask).
std::uint32_t DefaultNewFileMode();

}  // namespace tarnwick::os

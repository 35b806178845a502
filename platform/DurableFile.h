#pragma once

// New content for a name in a folder, put there durably: written under a
// temporary name beside it, flushed, and only then given the name in one
// step, the folder flushed after (FlushAt). Until it has the name, nothing
// but the temporary exists, and that goes when the content is abandoned: a
// failure at any step leaves the name as it was. Every file the program
// writes for keeps (a corrected file, a backup or original copied, a file
// put back by an undo, an undo record, the options file) is made so.

#include "platform/FileSystem.h"
#include "platform/FlushSites.h"

#include <system_error>

namespace tarnwick {

class DurableFile {
public:
    DurableFile() = default;
    DurableFile(const DurableFile&) = delete;
    DurableFile& operator=(const DurableFile&) = delete;
    ~DurableFile() { Abandon(); }

    // A new file in `folder` (which must outlive it, where it is) under a
    // fresh temporary name (os::TemporaryFileName), or under `name`.
    // With `forName`, the temporary name tells it (TemporaryNameFor).
    std::error_code Create(const os::Folder& folder, const os::Path& forName = {});
    std::error_code CreateAs(const os::Folder& folder, const os::Path& name);
    // A file already made under the temporary name `name` in `folder` (a
    // second name of another file), to be placed or abandoned as one made here.
    void Adopt(const os::Folder& folder, const os::Path& name);

    os::File& Out() { return out_; }
    // Its name in the folder until it is placed, released or abandoned; empty after.
    const os::Path& Name() const { return name_; }

    // The content on disk (flushed at `site`, FlushAt), then the file closed.
    std::error_code Flush(FlushSite site) { return FlushAt(site, out_); }
    std::error_code Close() { return out_.Close(); }
    std::error_code Seal(FlushSite site);

    enum class Into {
        Rename,   // the name given to it, what stood there gone
        Replace,  // keeping what the system keeps of the replaced file (os::Folder::Replace)
    };
    // Takes `name` in one step; on failure both stay as they were.
    std::error_code Place(const os::Path& name, Into how = Into::Rename);
    // The file is no longer this one's to remove: it stays under its name.
    void Release();
    // Closed and removed, unless it was placed or released.
    void Abandon();

private:
    const os::Folder* folder_ = nullptr;
    os::Path name_;
    os::File out_;
};

}  // namespace tarnwick

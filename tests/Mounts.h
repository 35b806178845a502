#pragma once

// File systems mounted for a test and unmounted when it ends: a tmpfs, and an
// exFAT image through FUSE on a loop device (no hard links, no permission
// bits, no ACLs). Mounting needs root; a test skips where it cannot mount.

#include "TempDir.h"

#include <filesystem>
#include <string>

namespace tarnwick::test {

class Mount {
public:
    Mount() = default;
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;
    ~Mount() {
        // A FUSE file system lets go of its device only once unmounted for good.
        if (!at_.empty() && !Shell("umount '" + at_.string() + "'")) Shell("umount -l '" + at_.string() + "'");
        if (!loop_.empty()) Shell("losetup -d '" + loop_ + "'");
    }

    // A tmpfs of a few MiB at `at` (made if missing).
    bool Tmpfs(const fs::path& at) {
        fs::create_directories(at);
        if (!Shell("mount -t tmpfs -o size=16m tmpfs '" + at.string() + "'")) return false;
        at_ = at;
        return true;
    }

    // A fresh exFAT file system in `image`, mounted at `at`.
    bool ExFat(const fs::path& image, const fs::path& at) {
        fs::create_directories(at);
        if (!Shell("truncate -s 32M '" + image.string() + "' && mkfs.exfat '" + image.string() + "' >/dev/null"))
            return false;
        const std::string loop = ShellOutput("losetup -f --show '" + image.string() + "'");
        if (loop.empty()) return false;
        loop_ = loop;
        if (!Shell("mount.exfat-fuse -o uid=0,gid=0 '" + loop_ + "' '" + at.string() + "'")) return false;
        at_ = at;
        return true;
    }

    const fs::path& At() const { return at_; }

private:
    fs::path at_;
    std::string loop_;
};

}  // namespace tarnwick::test

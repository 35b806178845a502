#include "platform/DurableFile.h"

#include "platform/Leftovers.h"

namespace tarnwick {

std::error_code DurableFile::Create(const os::Folder& folder, const os::Path& forName) {
    // A name another process made at that very moment is tried again.
    for (int attempt = 0;; ++attempt) {
        const auto ec = CreateAs(folder, forName.empty() ? os::TemporaryFileName() : TemporaryNameFor(forName));
        if (!ec || ec != std::errc::file_exists || attempt == 16) return ec;
    }
}

std::error_code DurableFile::CreateAs(const os::Folder& folder, const os::Path& name) {
    Abandon();
    if (auto ec = folder.CreateNew(name, out_)) return ec;
    folder_ = &folder;
    name_ = name;
    return {};
}

void DurableFile::Adopt(const os::Folder& folder, const os::Path& name) {
    Abandon();
    folder_ = &folder;
    name_ = name;
}

std::error_code DurableFile::Seal(FlushSite site) {
    if (auto ec = Flush(site)) return ec;
    return Close();
}

std::error_code DurableFile::Place(const os::Path& name, Into how) {
    out_.Close();
    const auto ec = how == Into::Replace ? folder_->Replace(name_, name) : folder_->Rename(name_, name);
    if (!ec) Release();
    return ec;
}

void DurableFile::Release() {
    out_.Close();
    name_.clear();
    folder_ = nullptr;
}

void DurableFile::Abandon() {
    out_.Close();
    if (folder_ && !name_.empty()) folder_->Remove(name_);
    Release();
}

}  // namespace tarnwick

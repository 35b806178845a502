#include "engine/rewrite/FileCopy.h"

#include "platform/DurableFile.h"

#include <algorithm>

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kCopyBufferSize = std::size_t{1} << 16;

}  // namespace

std::error_code CopyInto(os::File& in, std::uint64_t size, const os::FileInfo& like, const os::Folder& folder,
                         const fs::path& copy, std::vector<char>& buffer) {
    DurableFile out;
    if (auto ec = out.CreateAs(folder, copy)) return ec;
    // A buffer that has not been read into yet may be empty.
    if (buffer.size() < kCopyBufferSize) buffer.resize(kCopyBufferSize);
    std::error_code ec;
    for (std::uint64_t offset = 0; offset < size && !ec;) {
        std::size_t got = 0;
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - offset));
        ec = in.ReadAt(offset, buffer.data(), want, got);
        if (!ec && got == 0) ec = std::make_error_code(std::errc::io_error);  // shrank meanwhile
        if (!ec) ec = out.Out().WriteAll(buffer.data(), got);
        offset += got;
    }
    if (!ec) ec = out.Out().CopyAccessFrom(in, like);
    if (!ec) ec = out.Seal(FlushSite::CopyData);
    if (!ec) out.Release();  // (named by the caller)
    return ec;
}

}  // namespace tarnwick

#include "engine/rewrite/FileCopy.h"

#include "platform/DurableFile.h"

#include <algorithm>

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kCopyBufferSize = std::size_t{1} << 16;

}  // namespace

std::error_code CopyInto(os::File& in, std::uint64_t size, const os::FileInfo& like, const os::Folder& folder,
                         const fs::path& copy, std::vector<char>& buffer, CopyStep* failedAt) {
    CopyStep step = CopyStep::Create;
    const auto failed = [&](std::error_code ec) {
        if (failedAt) *failedAt = step;
        return ec;
    };
    DurableFile out;
    if (auto ec = out.CreateAs(folder, copy)) return failed(ec);
    // A buffer that has not been read into yet may be empty.
    if (buffer.size() < kCopyBufferSize) buffer.resize(kCopyBufferSize);
    for (std::uint64_t offset = 0; offset < size;) {
        std::size_t got = 0;
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - offset));
        step = CopyStep::Read;
        if (auto ec = in.ReadAt(offset, buffer.data(), want, got)) return failed(ec);
        if (got == 0) return failed(std::make_error_code(std::errc::io_error));  // shrank meanwhile
        step = CopyStep::Write;
        if (auto ec = out.Out().WriteAll(buffer.data(), got)) return failed(ec);
        offset += got;
    }
    step = CopyStep::Access;
    if (auto ec = out.Out().CopyAccessFrom(in, like)) return failed(ec);
    step = CopyStep::Flush;
    if (auto ec = out.Seal(FlushSite::CopyData)) return failed(ec);
    out.Release();  // (named by the caller)
    return {};
}

}  // namespace tarnwick

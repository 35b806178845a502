#include "engine/content/BinarySignatures.h"

#include <algorithm>

namespace tarnwick {

namespace {

struct Signature {
    std::string_view format;
    std::size_t at;  // where in the file it stands
    std::string_view bytes;
};

using namespace std::string_view_literals;

// Only signatures a text file could hardly start with (no "BM", no "MZ" alone:
// those formats hold NUL bytes anyway, which tell them).
constexpr Signature kSignatures[] = {
    {"PDF", 0, "%PDF-"sv},
    {"ZIP", 0, "PK\x03\x04"sv},  // and docx, xlsx, odt, jar, epub...
    {"ZIP", 0, "PK\x05\x06"sv},
    {"ZIP", 0, "PK\x07\x08"sv},
    {"gzip", 0, "\x1F\x8B"sv},
    {"xz", 0,
     "\xFD"
     "7zXZ\0"sv},
    {"zstd", 0, "\x28\xB5\x2F\xFD"sv},
    {"bzip2", 0, "BZh"sv},  // and a block size digit, then the block's magic (checked below)
    {"7z", 0, "7z\xBC\xAF\x27\x1C"sv},
    {"RAR", 0, "Rar!\x1A\x07"sv},
    {"PNG", 0, "\x89PNG\r\n\x1A\n"sv},
    {"JPEG", 0, "\xFF\xD8\xFF"sv},
    {"GIF", 0, "GIF87a"sv},
    {"GIF", 0, "GIF89a"sv},
    {"WebP", 8, "WEBP"sv},  // after "RIFF" and a size (checked below)
    {"WAV", 8, "WAVE"sv},
    {"AVI", 8, "AVI "sv},
    {"ICO", 0, "\0\0\1\0"sv},
    {"TIFF", 0, "II*\0"sv},
    {"TIFF", 0, "MM\0*"sv},
    {"MP3", 0, "ID3"sv},
    {"MP3", 0, "\xFF\xFB"sv},
    {"MP3", 0, "\xFF\xF3"sv},
    {"MP3", 0, "\xFF\xF2"sv},
    {"MP4", 4, "ftyp"sv},
    {"Ogg", 0, "OggS"sv},
    {"FLAC", 0, "fLaC"sv},
    {"ELF", 0,
     "\x7F"
     "ELF"sv},
    {"Mach-O", 0, "\xFE\xED\xFA\xCE"sv},
    {"Mach-O", 0, "\xFE\xED\xFA\xCF"sv},
    {"Mach-O", 0, "\xCE\xFA\xED\xFE"sv},
    {"Mach-O", 0, "\xCF\xFA\xED\xFE"sv},
    {"Java class", 0, "\xCA\xFE\xBA\xBE"sv},  // (and fat Mach-O)
    {"SQLite", 0, "SQLite format 3\0"sv},
    {"WOFF", 0, "wOFF"sv},
    {"WOFF2", 0, "wOF2"sv},
    {"TrueType", 0, "\0\1\0\0"sv},
    {"OpenType", 0, "OTTO"sv},
    {"BMP", 0, "BM"sv},  // and four zero bytes at 6 (checked below)
    {"PE", 0, "MZ"sv},   // and the PE header it points to (checked below)
};

bool Starts(std::string_view head, const Signature& s) {
    // (The first byte alone rules out nearly every signature: asked for every file.)
    return head.size() >= s.at + s.bytes.size() && head[s.at] == s.bytes[0] &&
           head.substr(s.at + 1, s.bytes.size() - 1) == s.bytes.substr(1);
}

// What a short signature needs besides, so that text starting with the same letters is not taken.
bool Confirmed(std::string_view head, const Signature& s) {
    if (s.format == "bzip2")
        return head.size() >= 10 && head[3] >= '1' && head[3] <= '9' && head.substr(4, 6) == "1AY&SY";
    if (s.at == 8) return head.substr(0, 4) == "RIFF";
    if (s.format == "BMP") return head.size() >= 10 && head.substr(6, 4) == std::string_view("\0\0\0\0", 4);
    if (s.format == "PE") return head.size() >= 16 && std::count(head.begin() + 2, head.end(), '\0') >= 4;
    if (s.format == "MP4") return head.substr(0, 2) == std::string_view("\0\0", 2);
    if (s.format == "gzip") return head.size() >= 3 && head[2] == '\x08';  // deflate, the one method
    if (s.bytes == "ID3") return head.size() >= 4 && head[3] >= 2 && head[3] <= 4;
    if (s.format == "OpenType") return head.size() >= 5 && head[4] == '\0';
    if (s.format == "WOFF" || s.format == "WOFF2") {
        const std::string_view flavour = head.substr(4, 4);
        return flavour == std::string_view("\0\1\0\0", 4) || flavour == "OTTO" || flavour == "true";
    }
    return true;
}

}  // namespace

std::string_view BinaryFormatOf(std::string_view head) {
    head = head.substr(0, std::min(head.size(), kSignatureBytes));
    for (const Signature& s : kSignatures)
        if (Starts(head, s) && Confirmed(head, s)) return s.format;
    return {};
}

}  // namespace tarnwick

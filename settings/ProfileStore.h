#pragma once

// A private-profile (INI) file read and written as the system's profile
// functions do: "[Section]" lines, "key=value" entries, letter case of
// section and key names ignored, blanks around keys and values trimmed, one
// pair of double quotes around a value removed (so a value can keep blanks at
// its ends), no escapes. A UTF-8 byte-order mark at the start is skipped.
// Lines that are not entries (comments, blank lines) are kept as they are by a write.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace tarnwick::settings {

// The value of `key` in `section` of `file` (bytes up to a NUL), or nothing
// when the file, the section or the key does not exist or cannot be read.
// The first of duplicate sections and keys counts. `utf8`, when given, tells
// whether the file starts with a UTF-8 byte-order mark (its text is UTF-8).
// `endedByNul`, when given, tells for each key whether a NUL ended its value
// before the end of its line.
std::optional<std::string> ReadProfileValue(const std::filesystem::path& file, std::string_view section,
                                            std::string_view key, bool* utf8 = nullptr);

// ReadProfileValue for several keys of one section with one reading of the file.
std::vector<std::optional<std::string>> ReadProfileValues(const std::filesystem::path& file, std::string_view section,
                                                          const std::vector<std::string>& keys, bool* utf8 = nullptr,
                                                          std::vector<bool>* endedByNul = nullptr);

// Whether `file` can be read as a profile file: an existing regular file of at
// most 16 MiB. The reason otherwise.
std::error_code CheckProfileFile(const std::filesystem::path& file);

// Sets `key` in `section` of `file` to `value`: an existing key keeps its
// place; a new key goes after the section's last entry; a new section after
// the last line; a missing file is created. The file is replaced in one step;
// on failure it is left as it was and the reason is returned. A value with
// blanks at an end, or with double quotes at both, is written in double quotes.
// Names or values
// that would break the file's lines (line breaks, "=" in a key, "]" in a
// section) are refused with invalid_argument.
std::error_code WriteProfileValue(const std::filesystem::path& file, std::string_view section, std::string_view key,
                                  std::string_view value);

struct ProfileEntry {
    std::string key;
    std::string value;
};

// WriteProfileValue for several keys of one section, in order, with one
// replacement of the file: all are written or none. With `onlyThese` the new
// file holds nothing else (other keys and sections are dropped). The file
// keeps its permission bits.
std::error_code WriteProfileValues(const std::filesystem::path& file, std::string_view section,
                                   const std::vector<ProfileEntry>& entries, bool onlyThese = false);

}  // namespace tarnwick::settings

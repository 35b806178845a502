#pragma once

#include <cstdint>

namespace tarnwick {

// The verdict on one file, from its content alone.
enum class FileVerdict : std::int16_t {
    Unknown = 0,           // neither string occurs, or the file could not be read
    ToCorrect = 1,         // the search string occurs
    AlreadyCorrected = 2,  // the replace string occurs and the search string does not
    Binary = 3,            // not text: left alone whatever it holds (ContentRules::TakeBinaryFiles)
};

}  // namespace tarnwick

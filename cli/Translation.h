#pragma once

// The command line's words in its user's language: GNU gettext's catalogues
// (the domain "tarnwick-cli", po/ in the sources), chosen by the locale as
// every GNU tool chooses (LANGUAGE, LC_ALL, LC_MESSAGES, LANG); on Windows,
// where the environment names none, by the language of the user's interface.
// Records' kinds and JSON are a format and stay English.

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>

namespace tarnwick::cli {

// Takes the user's language and finds the catalogues: in "locale" beside the
// program (a build tree, the Windows zip), else in ../share/locale (installed).
// Until it is called every word stays English (as in the tests).
void SetUpTranslation(const std::filesystem::path& program);
// `english` in the user's language, where a catalogue has it.
const char* Tr(const char* english);
// The form for the count `n` (`one` or `many` in English), as the language counts.
const char* TrN(const char* one, const char* many, std::uint64_t n);
// `pattern` with each "{}" replaced by the next of `values`, in order.
std::string Fill(std::string_view pattern, std::initializer_list<std::string_view> values);

}  // namespace tarnwick::cli

// Marks a text in a table for translation where it is used (Tr).
#define N_(text) text

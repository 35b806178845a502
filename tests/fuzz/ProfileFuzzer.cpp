// libFuzzer target: the profile store's reader and writer on arbitrary files.
// The input is written as a profile file; reading any key must not fail, and a
// write followed by a read must give the written value back.

#include "settings/INI.h"
#include "settings/ProfileStore.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("tarnwick-profile-fuzz-" + std::to_string(::getpid()) + ".ini");
    FILE* f = std::fopen(file.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    using namespace tarnwick::settings;
    for (const char* key : {"SearchString", "BackupCopy", "Mask", "x"}) (void)ReadProfileValue(file, "Main", key);
    INI ini(*tarnwick::CodePage::Named("CP1251"));
    ini.FileName(file);
    try {
        (void)ini.RINIi(u"Main", u"BackupCopy");
    } catch (const OverflowError&) {}
    (void)ini.RINI(u"Main", u"SearchString");

    if (!WriteProfileValue(file, "Main", "Probe", "value 1")) {
        const auto back = ReadProfileValue(file, "Main", "Probe");
        if (!back || *back != "value 1") std::abort();
    }
    return 0;
}

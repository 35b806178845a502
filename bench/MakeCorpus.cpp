// Writes a corpus of text files for the side-by-side benchmark.
//   tarnwick-make-corpus DIR COUNT SIZE SEARCH_SHARE REPLACE_SHARE SEARCH REPLACE
// COUNT files of SIZE bytes of lowercase words; the first SEARCH_SHARE of them
// (a fraction, e.g. 0.333) hold SEARCH three times (at a quarter, half and
// three quarters of the file), the next REPLACE_SHARE hold REPLACE the same
// way, the rest hold neither. The same arguments always give the same bytes.
// With COUNT 1 and a large SIZE it makes the one big file of the memory test.
// With FOLDERS, the files are dealt in turn into that many folders of a tree
// three levels deep (DIR/d00/d01/d02, as many per level as needed).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

std::string Words(std::size_t size, std::uint64_t& state) {
    static const char* const kWords[] = {"lorem", "ipsum", "dolor", "sit",  "amet", "page", "text",
                                         "file",  "line",  "word",  "the",  "of",   "and",  "to",
                                         "in",    "is",    "for",   "with", "corp", "2024", "html"};
    std::string out;
    out.reserve(size);
    std::size_t column = 0;
    while (out.size() < size) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const char* word = kWords[(state >> 33) % (sizeof kWords / sizeof *kWords)];
        out += word;
        column += std::char_traits<char>::length(word) + 1;
        if (column > 72) {
            out += '\n';
            column = 0;
        } else {
            out += ' ';
        }
    }
    out.resize(size);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 8 && argc != 9) {
        std::fputs("usage: tarnwick-make-corpus DIR COUNT SIZE SEARCH_SHARE REPLACE_SHARE SEARCH REPLACE [FOLDERS]\n",
                   stderr);
        return 2;
    }
    const long folders = argc == 9 ? std::atol(argv[8]) : 0;
    long perLevel = 1;
    while (perLevel * perLevel * perLevel < folders) ++perLevel;
    // The folder a file goes into, made when first needed.
    const auto folderOf = [&](long i) {
        if (folders <= 0) return std::string();
        const long k = i % folders;
        char path[80];  // three numbers of up to 20 digits
        std::snprintf(path, sizeof path, "/d%02ld/d%02ld/d%02ld", k / (perLevel * perLevel), k / perLevel % perLevel,
                      k % perLevel);
        return std::string(path);
    };
    const std::string dir = argv[1];
    const long count = std::atol(argv[2]);
    const std::size_t size = std::strtoull(argv[3], nullptr, 10);
    const long withSearch = static_cast<long>(count * std::atof(argv[4]) + 0.5);
    const long withReplace = static_cast<long>(count * std::atof(argv[5]) + 0.5);
    const std::string search = argv[6], replace = argv[7];
    std::uint64_t state = 42;
    for (long i = 0; i < count; ++i) {
        std::string text = Words(size, state);
        const std::string* mark = i < withSearch ? &search : i < withSearch + withReplace ? &replace : nullptr;
        if (mark && text.size() > 4 * mark->size())
            for (int quarter = 1; quarter <= 3; ++quarter) text.replace(text.size() * quarter / 4, mark->size(), *mark);
        char page[64];
        std::snprintf(page, sizeof page, "/page-%06ld.htm", i + 1);
        const std::string name = folderOf(i) + page;
        if (i < folders) std::filesystem::create_directories(dir + folderOf(i));
        FILE* f = std::fopen((dir + name).c_str(), "wb");
        if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0) {
            std::perror((dir + name).c_str());
            return 1;
        }
    }
    return 0;
}

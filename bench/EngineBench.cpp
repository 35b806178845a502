// In-memory speed of the search and replace routines, beside a plain copy of
// the same buffer: the copy's bandwidth is the limit they are measured against.

#include "engine/content/ByteSearcher.h"
#include "../tests/ReplaceText.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kSize = std::size_t{64} << 20;  // well past the caches
const std::string kSearch = "Copyright 2024 Old Corp";
const std::string kReplace = "Copyright 2025 New Corp";

// Lowercase words, with the search string once every `every` bytes (0: never).
const std::string& Text(std::size_t every) {
    static std::string plain, marked;
    std::string& text = every ? marked : plain;
    if (text.empty()) {
        static const char* const kWords[] = {"lorem ", "ipsum ", "dolor ", "sit ", "amet\n", "corp ", "2024 "};
        unsigned state = 1;
        while (text.size() < kSize) {
            state = state * 1103515245u + 12345u;
            text += kWords[(state >> 16) % 7];
        }
        text.resize(kSize);
        if (every)
            for (std::size_t at = every; at + kSearch.size() < kSize; at += every)
                text.replace(at, kSearch.size(), kSearch);
    }
    return text;
}

void BM_Copy(benchmark::State& state) {
    const std::string& text = Text(0);
    std::vector<char> out(kSize);
    for (auto _ : state) {
        std::memcpy(out.data(), text.data(), kSize);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void BM_Search(benchmark::State& state) {
    const std::string& text = Text(0);
    const tarnwick::ByteSearcher searcher(kSearch);
    for (auto _ : state) benchmark::DoNotOptimize(searcher.Find(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void BM_SearchBoth(benchmark::State& state) {
    const std::string& text = Text(0);
    const tarnwick::ByteSearcher search(kSearch), replace(kReplace);
    for (auto _ : state) {
        bool found = false;
        benchmark::DoNotOptimize(tarnwick::ByteSearcher::FindWatching(search, replace, text, found));
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

// Replace into a buffer, an occurrence every 4 KiB.
void BM_Replace(benchmark::State& state) {
    const std::string& text = Text(4096);
    const tarnwick::ByteSearcher searcher(kSearch);
    std::vector<char> out(kSize + kSize / 64);
    for (auto _ : state) {
        std::size_t size = 0;
        std::uint64_t count = 0;
        tarnwick::ReplaceWindow(text, true, searcher, kReplace, count, [&](const char* data, std::size_t n) {
            std::memcpy(out.data() + size, data, n);
            size += n;
        });
        benchmark::DoNotOptimize(out.data());
        benchmark::DoNotOptimize(count);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

BENCHMARK(BM_Copy);
BENCHMARK(BM_Search);
BENCHMARK(BM_SearchBoth);
BENCHMARK(BM_Replace);

}  // namespace

BENCHMARK_MAIN();

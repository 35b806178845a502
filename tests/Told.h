#pragma once

// What a run told its sink, kept for a test to look at.

#include "cli/FailureWords.h"
#include "engine/run/Run.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

namespace tarnwick::test {

struct Told {
    std::filesystem::path path;
    FileOutcome outcome = FileOutcome::Checked;
    FileVerdict verdict = FileVerdict::Unknown;
    std::optional<Failure> failure;
    EncodingSet encodings;
    std::uint64_t replacements = 0;
    std::filesystem::path sameAs;
    std::vector<std::uint64_t> pairCounts;

    bool Corrected() const { return outcome == FileOutcome::Corrected; }
    std::string Why() const { return failure ? cli::Message(*failure) : std::string(); }
};

// Carries out `run` and returns every file it told, in order; `each` sees
// each as it is told, and a list failure comes as a Failed file.
inline std::vector<Told> Execute(CorrectionRun& run, const std::function<void(const Told&)>& each = {}) {
    std::vector<Told> told;
    const auto keep = [&](const FileReport& r) {
        told.push_back({r.path, r.outcome, r.verdict, r.failure ? std::optional<Failure>(*r.failure) : std::nullopt,
                        r.encodings, r.replacements, r.sameAs ? *r.sameAs : std::filesystem::path(),
                        std::vector<std::uint64_t>(r.pairCounts.begin(), r.pairCounts.end())});
        if (each) each(told.back());
        return true;
    };
    RunCallbacks sink;
    sink.file = keep;
    sink.pathFailed = [&](const Failure& failure) { return keep({failure.path, FileOutcome::Failed, {}, &failure}); };
    run.Execute(sink);
    return told;
}

// A run of `corrector` over `paths`, carried out.
inline std::vector<Told> Execute(Corrector corrector, std::vector<std::filesystem::path> paths,
                                 RunMode mode = RunMode::Correct, unsigned workers = 0,
                                 const std::function<void(const Told&)>& each = {}) {
    CorrectionRun run(std::move(corrector), std::move(paths), mode, workers);
    return Execute(run, each);
}

}  // namespace tarnwick::test

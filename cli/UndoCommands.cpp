#include "cli/UndoCommands.h"
#include "platform/FileSystem.h"

#include "platform/CodePage.h"
#include "cli/Records.h"
#include "engine/undo/UndoSetup.h"
#include "cli/StopSignals.h"
#include "cli/Translation.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <ostream>

namespace tarnwick::cli {

namespace fs = std::filesystem;

namespace {

int Refused(std::ostream& err, const std::string& message) {
    err << "tarnwick-cli: " << message << '\n';
    return 2;
}

// The store the records are in; the reason it may not be used instead.
std::variant<UndoStore, UndoProblem> OpenStore() { return UndoStore::Open(UndoStore::DefaultFolder()); }

// What makes a record or the store not the user's alone, in words.
std::string PrivacyText(os::Privacy why) {
    switch (why) {
    case os::Privacy::Private: break;
    case os::Privacy::NotFolder: return Tr("is not a folder");
    case os::Privacy::NotFile: return Tr("is not a regular file");
    case os::Privacy::OtherOwner: return Tr("belongs to another user");
    case os::Privacy::OthersMayWrite: return Tr("may be written by other users");
    case os::Privacy::Link: return Tr("is a symbolic link");
    }
    return Tr("is not the user's alone");
}

const char* StateName(UndoState state) {
    switch (state) {
    case UndoState::Undoable: return "undoable";
    case UndoState::Partly: return "partly";
    case UndoState::Undone: return "undone";
    }
    return "undoable";
}

std::string LocalTime(std::int64_t seconds) {
    const std::tm local = os::CalendarTime(seconds, true);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

// What a run did, in a line: the strings and paths, or which run it undid.
std::string What(const UndoRecord& r) {
    // Files corrected or put back without their originals kept: not to be put back by an undo.
    const std::string lost =
        !r.notUndoable ? std::string()
                       : Fill(TrN(" ({} more file not undoable)", " ({} more files not undoable)", r.notUndoable),
                              {std::to_string(r.notUndoable)});
    const std::string stopped = r.completed ? Tr(" (stopped)") : "";
    if (r.IsUndo()) return Fill(Tr("undo of {}"), {r.undoes}) + stopped + lost;
    // A long list of pairs (--pairs) shortened to its first.
    std::string what = std::string(r.patterns ? "-e " : "") + (r.ignoreCase ? "-i " : "") + (r.word ? "-w " : "") +
                       (r.preserveCase ? "--preserve-case " : "");
    for (std::size_t i = 0; i < r.pairs.size() && i < 3; ++i)
        what += (i ? " -s " : "-s ") + r.pairs[i].first + " -r " + r.pairs[i].second;
    if (const std::size_t more = r.pairs.size() > 3 ? r.pairs.size() - 3 : 0)
        what += Fill(TrN(" (and {} more pair)", " (and {} more pairs)", more), {std::to_string(more)});
    for (const std::string& path : r.paths) what += " " + path;
    if (!r.list.empty())
        what += " --files0-from " + (r.list == "standard input" ? std::string(Tr("standard input")) : r.list) +
                Fill(TrN(" ({} name)", " ({} names)", r.listed), {std::to_string(r.listed)});
    return what + stopped + lost;
}

// Record folders of the store that are not used, and why: once each on standard error.
void TellRefused(const std::vector<RefusedRecord>& refused, std::ostream& err) {
    for (const RefusedRecord& r : refused) {
        if (r.unreadable)
            err << "tarnwick-cli: "
                << Fill(Tr("the undo record {} is not used: it cannot be read to its end (damaged, or written by "
                           "another version)"),
                        {PathText(r.path)})
                << '\n';
        else
            err << "tarnwick-cli: "
                << Fill(Tr("the undo record {} is not used: it {} (as ssh refuses such keys)"),
                        {PathText(r.path), PrivacyText(r.why)})
                << '\n';
    }
}

}  // namespace

std::string UndoProblemText(const UndoProblem& problem) {
    switch (problem.kind) {
    case UndoProblem::Kind::NoFolder: return Tr("no folder for undo records (neither XDG_STATE_HOME nor HOME is set)");
    case UndoProblem::Kind::StoreNotMade:
        return Fill(Tr("the undo record folder {} cannot be made: {}"),
                    {PathText(problem.path), problem.code.message()});
    case UndoProblem::Kind::NotPrivate:
        return Fill(Tr("the undo record folder {} {}"), {PathText(problem.path), PrivacyText(problem.privacy)});
    case UndoProblem::Kind::NoRecordFolder:
        return Fill(Tr("cannot make a record folder in {}"), {PathText(problem.path)});
    case UndoProblem::Kind::RecordNotWritten:
        return Fill(Tr("cannot write a record in {}: {}"), {PathText(problem.path), problem.code.message()});
    }
    return Tr("the undo records cannot be used");
}

namespace {

fs::path AbsolutePath(const std::string& text) {
    std::error_code ec;
    return os::Absolute(PathFromText(text), ec);
}

std::string RefusalText(const UndoRefusal& refusal) {
    const std::string& id = refusal.id;
    switch (refusal.kind) {
    case UndoRefusal::Kind::Store:
    case UndoRefusal::Kind::OwnRecord: return UndoProblemText(*refusal.problem);
    case UndoRefusal::Kind::NothingToUndo: return Tr("no run to undo (see --history)");
    case UndoRefusal::Kind::NoSuchRun: return Fill(Tr("no run {} to undo (see --history)"), {id});
    case UndoRefusal::Kind::Dropped:
        return Fill(Tr("the record of run {} was dropped on {} to stay within the undo budget: it can no longer be "
                       "undone"),
                    {id, LocalTime(refusal.when)});
    case UndoRefusal::Kind::NotUsed:
        return Fill(Tr("the record of run {} is not used: {} {}"),
                    {id, PathText(refusal.notUsed->path), PrivacyText(refusal.notUsed->why)});
    case UndoRefusal::Kind::Unreadable:
        return Fill(Tr("the record of run {} cannot be read to its end (damaged, or written by another version)"),
                    {id});
    case UndoRefusal::Kind::Busy:
        return Fill(Tr("run {} is being undone by another process; run --undo again when that undo has ended"), {id});
    case UndoRefusal::Kind::Declined: return Fill(Tr("the undo of run {} was not confirmed"), {id});
    }
    return Tr("the run cannot be undone");
}

}  // namespace

namespace {

// Why a file's original was not kept for undo.
std::string LostText(const LostOriginal& lost) {
    if (!lost.code) return Tr("no room to keep its original within the undo budget");
    const char* step = "";
    switch (lost.step) {
    case CopyStep::Create: step = N_("cannot create a copy of its original in the undo store"); break;
    case CopyStep::Read: step = N_("cannot read its original to copy it into the undo store"); break;
    case CopyStep::Write: step = N_("cannot write the copy of its original in the undo store"); break;
    case CopyStep::Access:
        step = N_("cannot give the copy of its original in the undo store the original's access");
        break;
    case CopyStep::Flush: step = N_("cannot flush the copy of its original in the undo store"); break;
    }
    return std::string(Tr(step)) + ": " + lost.code.message();
}

}  // namespace

void ReportNotKept(const UndoKeeper& keeper, std::string_view what, std::ostream& err) {
    // The first few named, and how many in all; the record names every one.
    constexpr std::size_t kNamed = 10;
    const auto lost = keeper.NotUndoable();
    for (std::size_t i = 0; i < lost.size() && i < kNamed; ++i)
        err << "tarnwick-cli: " << PathText(lost[i].file) << ": " << what << " (" << LostText(lost[i]) << ")\n";
    if (lost.size() > kNamed)
        err << "tarnwick-cli: "
            << Fill(TrN("... and {} more file {} ({} in all, each named in the record)",
                        "... and {} more files {} ({} in all, each named in the record)", lost.size() - kNamed),
                    {std::to_string(lost.size() - kNamed), what, std::to_string(lost.size())})
            << '\n';
}

int History(const CommandLine& options, std::ostream& out, std::ostream& err) {
    auto store = OpenStore();
    if (auto* why = std::get_if<UndoProblem>(&store)) return Refused(err, UndoProblemText(*why));
    std::vector<RefusedRecord> refused;
    const std::vector<UndoRecord> records = std::get<UndoStore>(store).Records(&refused);
    TellRefused(refused, err);
    std::vector<fs::path> touching;
    for (const std::string& path : options.paths) touching.push_back(AbsolutePath(path));
    for (const UndoRecord& r : records) {
        if (!touching.empty() &&
            std::none_of(touching.begin(), touching.end(), [&](const fs::path& p) { return r.Touches(p); }))
            continue;
        const char* state = StateName(UndoStore::StateOf(r, records));
        if (!options.json) {
            out << r.id << '\t' << LocalTime(r.time) << '\t' << state << '\t' << r.fileCount << '\t' << What(r) << '\n';
            continue;
        }
        out << "{\"id\":" << JsonString(r.id) << ",\"time\":" << JsonString(LocalTime(r.time)) << ",\"state\":\""
            << state << "\",\"files\":" << r.fileCount << (r.completed ? ",\"stopped\":true" : "")
            << (r.notUndoable ? ",\"not-undoable\":" + std::to_string(r.notUndoable) : std::string());
        if (r.IsUndo()) {
            out << ",\"undoes\":" << JsonString(r.undoes);
        } else {
            // "search" and "replace": the first pair; "pairs": all of them.
            const auto& first = r.pairs.empty() ? std::pair<std::string, std::string>() : r.pairs[0];
            out << ",\"search\":" << JsonPath(first.first) << ",\"replace\":" << JsonPath(first.second)
                << ",\"pairs\":[";
            for (std::size_t i = 0; i < r.pairs.size(); ++i)
                out << (i ? "," : "") << "{\"search\":" << JsonPath(r.pairs[i].first)
                    << ",\"replace\":" << JsonPath(r.pairs[i].second) << '}';
            out << ']' << (r.patterns ? ",\"patterns\":true" : "") << (r.ignoreCase ? ",\"ignore-case\":true" : "")
                << (r.word ? ",\"word\":true" : "") << (r.preserveCase ? ",\"preserve-case\":true" : "")
                << ",\"paths\":[";
            for (std::size_t i = 0; i < r.paths.size(); ++i) out << (i ? "," : "") << JsonPath(r.paths[i]);
            out << ']';
            if (!r.list.empty()) out << ",\"list\":" << JsonPath(r.list) << ",\"listed\":" << r.listed;
        }
        out << "}\n";
    }
    return 0;
}

int Undo(const CommandLine& options, std::ostream& out, std::ostream& err) {
    if (options.runIds.size() > 1) return Refused(err, Tr("--undo takes one run ID at most (see --history)"));
    std::vector<RefusedRecord> notUsed;
    UndoRequest request;
    // An operand that names a file or folder, or holds a path separator, is a PATH; else a run's ID.
    if (!options.runIds.empty()) {
        const std::string& operand = options.runIds[0];
        std::error_code ec;
        if (operand.find_first_of("/\\") != std::string::npos || fs::exists(PathFromText(operand), ec))
            request.touching = AbsolutePath(operand);
        else request.run = operand;  // (an empty ID names no run)
    }
    auto undo = PrepareUndo(request, &notUsed);
    if (options.runIds.empty()) TellRefused(notUsed, err);
    if (auto* refusal = std::get_if<UndoRefusal>(&undo)) {
        if (refusal->kind == UndoRefusal::Kind::NothingToUndo && request.touching)
            return Refused(err, Fill(Tr("no run that touched {} to undo (see --history {})"),
                                     {PathText(*request.touching), PathText(*request.touching)}));
        return Refused(err, RefusalText(*refusal));
    }
    RestoreRun& run = std::get<RestoreRun>(undo);
    run.StopOn(&StopRequested());
    const StringForms none;
    const auto told = PrinterFor(options, out, err, none, false, false);
    told->ForUndo();
    run.Execute(*told);
    told->Summary();
    if (const std::size_t lost = run.Undone().notUndoable)
        err << "tarnwick-cli: "
            << Fill(
                   TrN("{} more file of run {} cannot be put back: no original was kept (each is named in its record)",
                       "{} more files of run {} cannot be put back: no original was kept (each is named in its record)",
                       lost),
                   {std::to_string(lost), run.Undone().id})
            << '\n';
    if (run.RecordUnreadable())
        err << "tarnwick-cli: "
            << Fill(Tr("the record of run {} could no longer be read to its end: the undo stopped there (run it again "
                       "to go on)"),
                    {run.Undone().id})
            << '\n';
    if (auto ec = run.RecordFailure())
        err << "tarnwick-cli: " << Tr("this undo cannot be undone:") << ' ' << ec.message() << '\n';
    else if (run.Keeper()) ReportNotKept(*run.Keeper(), Tr("cannot be redone"), err);
    if (told->Broken()) return 3;
    if (auto status = StoppedBySignal(err)) return *status;
    return told->AllRestored() && !run.RecordUnreadable() && !run.Undone().notUndoable ? 0 : 1;
}

}  // namespace tarnwick::cli

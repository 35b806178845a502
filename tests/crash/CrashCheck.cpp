// The crash-consistency checker: runs each scenario once while recording
// every change it makes to the file system, then rebuilds every state a power
// cut could have left (Model.h) and checks the program's promises on it,
// among them that a second run over it finishes the work.
//
//   tarnwick_crash_check              all scenarios; exit 1 on a losing state
//   tarnwick_crash_check --self-test  also: each flush left out in turn must be caught

#include "Model.h"
#include "Trace.h"

#include "platform/FlushSites.h"
#include "settings/Options.h"
#include "engine/undo/UndoSetup.h"
#include "engine/run/RunSetup.h"
#include "SystemCalls.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <set>
#include <thread>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_set>

namespace tarnwick::crash {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSiteNames[] = {
    "CorrectedData",  "OriginalData", "BackupFolder", "CorrectedFolder", "GroupFolders", "CopyData",
    "RestoredFolder", "RecordData",   "RecordFolder", "RecordStore",     "OptionsData",  "OptionsFolder",
};
static_assert(std::size(kSiteNames) == static_cast<std::size_t>(FlushSite::Count));

const std::string kSearch = "old", kReplace = "new", kBackupExtension = "bak";

std::string Replaced(std::string text) {
    for (std::size_t at = 0; (at = text.find(kSearch, at)) != std::string::npos; at += kReplace.size())
        text.replace(at, kSearch.size(), kReplace);
    return text;
}

void Put(const fs::path& file, const std::string& content) {
    fs::create_directories(file.parent_path());
    std::FILE* f = std::fopen(file.c_str(), "wb");
    if (!f || std::fwrite(content.data(), 1, content.size(), f) != content.size() || std::fclose(f) != 0)
        throw std::runtime_error("cannot write " + file.string());
}

std::string Read(const fs::path& file) {
    std::string content;
    if (std::FILE* f = std::fopen(file.c_str(), "rb")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) content.append(buffer, n);
        std::fclose(f);
    }
    return content;
}

bool Reached(const Trace& t, std::size_t point, const std::string& mark) {
    for (std::size_t i = 0; i < point; ++i)
        if (t.ops[i].kind == Op::Mark && t.ops[i].path == mark) return true;
    return false;
}

// A file the scenario changes: the contents each of its names may hold.
struct Watched {
    std::string path;
    std::set<std::string> before;  // as it was (more than one where it was written but not flushed)
    std::string after;             // as the run leaves it
    std::string backup = {};       // its backup, with backups on, where not beside it (a link's)
};

struct Scenario {
    std::string name;
    std::string root;  // the scenario's folder; every path below is under it
    std::vector<Watched> files;
    std::vector<std::string> folders;      // whose visible names stay as they were, backups aside
    std::string oldBackupPath, oldBackup;  // a backup from an earlier run, never to be lost
    bool backups = false;
    bool noLinks = false;                                 // hard links refused, as where the file system has none
    RunRequest request;                                   // the correcting run, for the scenarios that make one
    std::function<void(const std::string& root)> setup;   // the starting files
    std::function<void(const Scenario&, Recorder&)> act;  // the run, recorded
    // The second runs over a rebuilt crash state: each returns what is wrong, or nothing.
    std::vector<std::function<std::string(const Scenario&, std::size_t point, const Trace&)>> after;
};

// ---- the runs, as the front ends make them ----

RunRequest Request(const std::string& root, bool backups, bool undo, std::vector<fs::path> paths) {
    RunRequest r;
    r.pairs = {{u"old", u"new"}};
    r.backup.enabled = backups;
    r.backup.extension = kBackupExtension;
    r.keepUndo = undo;
    r.undoFolder = root + "/state/undo";
    r.paths = std::move(paths);
    r.mode = RunMode::Correct;
    r.workers = 2;
    return r;
}

// Runs the request; `tell` hears of each file; false when a file failed.
// `stop`: a stop request the run obeys.
bool Correct(const RunRequest& request, const std::function<void(const FileReport&)>& tell = {},
             const StopRequest* stop = nullptr) {
    auto prepared = PrepareRun(request);
    if (!std::holds_alternative<CorrectionRun>(prepared)) throw std::runtime_error("the run cannot be set up");
    CorrectionRun& run = std::get<CorrectionRun>(prepared);
    run.StopOn(stop);
    bool ok = true;
    RunCallbacks sink;
    sink.file = [&](const FileReport& r) {
        ok = ok && r.outcome != FileOutcome::Failed;
        if (tell) tell(r);
        return true;
    };
    sink.pathFailed = [&](const Failure&) { return ok = false; };
    run.Execute(sink);
    return ok && !run.UndoFailure();
}

// Undoes the run `pick` chooses (none: the newest one not undone), as tarnwick-cli --undo does.
bool Undo(const std::string& root, const std::function<bool(const UndoRecord&)>& pick,
          const std::function<void(const FileReport&)>& tell) {
    UndoRequest request{root + "/state/undo"};
    if (pick) {
        // The run `pick` chooses among the records, by its ID.
        auto opened = UndoStore::Open(request.store);
        if (!std::holds_alternative<UndoStore>(opened)) return false;
        for (const UndoRecord& r : std::get<UndoStore>(opened).Records())
            if (pick(r)) request.run = r.id;
        if (!request.run) return true;  // nothing to undo
    }
    auto undo = PrepareUndo(request);
    if (auto* refusal = std::get_if<UndoRefusal>(&undo)) return refusal->kind == UndoRefusal::Kind::NothingToUndo;
    RestoreRun& run = std::get<RestoreRun>(undo);
    RunCallbacks sink;
    sink.file = [&](const FileReport& r) {
        tell(r);
        return true;
    };
    run.Execute(sink);
    return true;
}

// ---- the promises ----

class Checker {
public:
    Checker(const Scenario& s, const Trace& t) : s_(s), t_(t) {}

    // What a crash state breaks of the promises that need no second run.
    std::string OnDisk(const State& state, std::size_t point) const {
        for (const Watched& w : s_.files) {
            const Inode* file = state.FileAt(w.path);
            if (!file) return w.path + " is gone";
            if (file->data != w.after && !w.before.count(file->data))
                return w.path + " holds neither old nor new content";
            if (file->data == w.after && file->mode != original_.at(w.path))
                return w.path + " holds the new content with other permission bits";
            const Inode* backup = state.FileAt(w.backup.empty() ? w.path + "." + kBackupExtension : w.backup);
            if (s_.backups && file->data == w.after && !(backup && w.before.count(backup->data)))
                return w.path + " holds the new content without its backup";
        }
        std::map<std::string, std::string> told;
        for (std::size_t i = 0; i < point; ++i) {
            if (t_.ops[i].kind == Op::Told) told[t_.ops[i].path] = t_.ops[i].data;
            if (t_.ops[i].kind == Op::Mark) told.clear();  // the next run may change them again
        }
        for (const auto& [path, content] : told) {
            const Inode* file = state.FileAt(path);
            if (!file || file->data != content)
                return path + " was reported done but does not hold what it was told to" +
                       (std::getenv("TARNWICK_CRASH_VERBOSE") ? Dump(state, point) : std::string());
        }
        if (!s_.oldBackupPath.empty() && !OldBackupKept(state))
            return "the earlier backup " + s_.oldBackupPath + " is lost";
        for (const std::string& folder : s_.folders)
            for (const std::string& name : state.NamesIn(folder))
                if (name[0] != '.' && !visible_.count(folder + "/" + name))
                    return "a visible leftover " + folder + "/" + name;
        return {};
    }

    void Start(const State& start) {
        for (const Watched& w : s_.files)
            if (const Inode* file = start.FileAt(w.path)) original_[w.path] = file->mode;
        for (const std::string& folder : s_.folders)
            for (const std::string& name : start.NamesIn(folder)) {
                visible_.insert(folder + "/" + name);
                if (s_.backups) visible_.insert(folder + "/" + name + "." + kBackupExtension);
            }
    }

    // The operations up to the crash and the state, for finding out why.
    std::string Dump(const State& state, std::size_t point) const {
        static const char* kinds[] = {"create", "write", "chmod",    "flush", "rename", "link",
                                      "unlink", "mkdir", "flushdir", "lock",  "told",   "mark"};
        std::string out = "\n";
        for (std::size_t i = 0; i < point; ++i) {
            const Op& op = t_.ops[i];
            out += "  " + std::to_string(i) + " " + kinds[op.kind] + " " + op.path +
                   (op.to.empty() ? "" : " -> " + op.to) + (op.inode >= 0 ? " #" + std::to_string(op.inode) : "") +
                   (op.kind == Op::Write || op.kind == Op::Told ? " [" + op.data.substr(0, 40) + "]" : "") + "\n";
        }
        for (const auto& [path, e] : state.entries)
            out += "  = " + path +
                   (e.kind == Entry::File ? " #" + std::to_string(e.inode) + " [" +
                                                state.inodes[static_cast<std::size_t>(e.inode)].data.substr(0, 40) + "]"
                                          : "") +
                   "\n";
        return out;
    }

private:
    bool OldBackupKept(const State& state) const {
        const Inode* at = state.FileAt(s_.oldBackupPath);
        if (at && at->data == s_.oldBackup) return true;
        // Replaced by the backup of the file's content as it was: the correction's own.
        for (const Watched& w : s_.files)
            if (at && w.path + "." + kBackupExtension == s_.oldBackupPath && w.before.count(at->data)) return true;
        // Kept aside under a hidden name that tells its own.
        const std::string folder = fs::path(s_.oldBackupPath).parent_path().string();
        for (const std::string& name : state.NamesIn(folder))
            if (name.rfind(".~tarnwick-", 0) == 0 && state.FileAt(folder + "/" + name)->data == s_.oldBackup)
                return true;
        return false;
    }

    const Scenario& s_;
    const Trace& t_;
    std::map<std::string, std::uint32_t> original_;
    std::set<std::string> visible_;
};

// What a second correcting run over the rebuilt state left wrong.
std::string CorrectsAgain(const Scenario& s, const std::string& root, const RunRequest& request) {
    // (The crashed run's process is gone: its leftovers are this run's to clear.)
    std::map<std::string, std::string> crashed;
    for (const Watched& w : s.files) crashed[w.path] = Read(w.path);
    // On one thread: threads take process numbers, and one that takes the
    // crashed run's would keep its leftovers from being cleared.
    RunRequest again = request;
    again.workers = 1;
    if (!Correct(again)) return "the second run reported a failure";
    for (const Watched& w : s.files) {
        // (What the file held may be an older content than the run read, where that was never flushed.)
        const std::string now = Read(w.path);
        if (now != w.after && now != Replaced(crashed[w.path]))
            return "after a second run " + w.path + " does not hold the new content";
        if (!s.backups) continue;
        const fs::path backup = w.path + "." + kBackupExtension;
        if (fs::exists(backup) && !w.before.count(Read(backup)) && Read(backup) != s.oldBackup)
            return "after a second run the backup " + backup.string() + " holds something else";
    }
    for (const std::string& folder : s.folders)
        for (const auto& item : fs::directory_iterator(folder))
            if (item.path().filename().string().rfind(".~tarnwick-", 0) == 0)
                return "a second run left " + item.path().string() + " behind";
    std::error_code ec;
    for (fs::directory_iterator it(root + "/state/undo", ec), end; !ec && it != end; it.increment(ec))
        if (!fs::exists(it->path() / "record")) return "an unfinished undo record stays: " + it->path().string();
    return {};
}

// What an undo over the rebuilt state did wrong: a file left other than old
// or new, a file reported restored without its old content, or (`whole`) a
// file not restored.
std::string UndoesAfter(const Scenario& s, const std::string& root, bool whole,
                        const std::function<bool(const UndoRecord&)>& pick = {}, bool backToNew = false) {
    std::string wrong;
    const bool ran = Undo(root, pick, [&](const FileReport& r) {
        if (r.outcome != FileOutcome::Restored || !wrong.empty()) return;
        for (const Watched& w : s.files)
            if (w.path == r.path.string() && (backToNew ? Read(w.path) != w.after : !w.before.count(Read(w.path))))
                wrong = w.path + " was reported restored but holds other content";
    });
    if (!ran) return "the undo could not start";
    if (!wrong.empty()) return wrong;
    for (const Watched& w : s.files) {
        const std::string now = Read(w.path);
        if (now != w.after && !w.before.count(now)) return "an undo left " + w.path + " neither old nor new";
        if (whole && (backToNew ? now != w.after : !w.before.count(now)))
            return "an undo of a finished run did not put back " + w.path;
    }
    return {};
}

// ---- the scenarios ----

using FileList = std::vector<std::pair<std::string, std::string>>;  // path under the root, content

void MakeStart(const std::string& root, const FileList& files) {
    for (const auto& [file, content] : files) Put(root + "/" + file, content);
    fs::create_directories(root + "/state/undo");
    fs::permissions(root + "/state", fs::perms::owner_all);
    fs::permissions(root + "/state/undo", fs::perms::owner_all);
}

// Tells the recorder what a correcting run reported: the file holds its new
// content, and with backups its backup the old.
std::function<void(const FileReport&)> TellCorrected(Recorder& rec, const Scenario& s) {
    return [&rec, &s](const FileReport& r) {
        if (r.outcome != FileOutcome::Corrected && r.outcome != FileOutcome::SameFile) return;
        const std::string path = fs::canonical(r.path).string();
        for (const Watched& w : s.files)
            if (w.path == path) {
                rec.Told(r.path.string(), w.after);
                if (s.backups && r.outcome == FileOutcome::Corrected)
                    rec.Told(r.path.string() + "." + kBackupExtension, *w.before.rbegin());
            }
    };
}

// Tells the recorder that an undo put a file back to `old` contents (or, redoing, to the new).
std::function<void(const FileReport&)> TellRestored(Recorder& rec, const Scenario& s, bool toNew) {
    return [&rec, &s, toNew](const FileReport& r) {
        if (r.outcome != FileOutcome::Restored) return;
        for (const Watched& w : s.files)
            if (w.path == r.path.string()) rec.Told(w.path, toNew ? w.after : *w.before.rbegin());
    };
}

Scenario Correction(const std::string& base, std::string name, FileList files, bool backups, bool undo,
                    const std::vector<std::string>& paths) {
    Scenario s;
    const std::string root = base + "/" + name;
    s.name = std::move(name);
    s.root = root;
    s.backups = backups;
    s.folders = {root + "/site"};
    for (const auto& [file, content] : files)
        if (content.find(kSearch) != std::string::npos && fs::path(file).extension() != ".bak")
            s.files.push_back({root + "/" + file, {content}, Replaced(content)});
    s.setup = [files](const std::string& at) { MakeStart(at, files); };
    std::vector<fs::path> full;
    for (const std::string& p : paths) full.push_back(root + "/" + p);
    s.request = Request(root, backups, undo, full);
    s.act = [](const Scenario& sc, Recorder& rec) {
        Correct(sc.request, TellCorrected(rec, sc));
        rec.Mark("committed");
    };
    s.after.push_back(
        [](const Scenario& sc, std::size_t, const Trace&) { return CorrectsAgain(sc, sc.root, sc.request); });
    if (undo)
        s.after.push_back([](const Scenario& sc, std::size_t point, const Trace& t) {
            return UndoesAfter(sc, sc.root, Reached(t, point, "committed"));
        });
    return s;
}

const std::string kText = "first line\nan old word, and old again\nlast line\n";
const std::string kOther = "nothing to see here\n";
const FileList kGroup = {
    {"site/a.txt", kText}, {"site/b.txt", "old\n"}, {"site/c.txt", kOther}, {"site/d.txt", kText + kText}};

// Corrections: one file, a folder, a file held, an old backup, two names.
void AddCorrections(std::vector<Scenario>& all, const std::string& base) {
    const std::string& text = kText;
    const std::string& other = kOther;
    all.push_back(
        Correction(base, "single-file", {{"site/a.txt", text}, {"site/b.txt", other}}, false, false, {"site/a.txt"}));
    all.push_back(Correction(base, "folder-with-backups", kGroup, true, false, {"site"}));
    all.push_back(Correction(base, "folder-without-backups", kGroup, false, false, {"site"}));
    {
        // The file is held by another run of the program for a moment: it is
        // corrected after the others, on its own.
        Scenario s = Correction(base, "held-by-another", {{"site/a.txt", text}}, false, false, {"site/a.txt"});
        s.act = [](const Scenario& sc, Recorder& rec) {
            os::File held;
            if (os::File::OpenRead(sc.files[0].path, held) || !held.TryLock()) throw std::runtime_error("cannot hold");
            std::thread letGo([&held] {
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
                held.Close();
            });
            Correct(sc.request, TellCorrected(rec, sc));
            letGo.join();
            rec.Mark("committed");
        };
        all.push_back(std::move(s));
    }
    {
        Scenario s =
            Correction(base, "existing-old-backup", {{"site/a.txt", text}, {"site/a.txt.bak", "an earlier backup\n"}},
                       true, false, {"site"});
        s.oldBackupPath = s.root + "/site/a.txt.bak";
        s.oldBackup = "an earlier backup\n";
        all.push_back(std::move(s));
    }
    {
        // Two hard links in one folder, and a file reached first through a
        // symbolic link in another folder (corrected as itself, its backup beside it).
        Scenario s = Correction(base, "two-names", {{"site/a.txt", text}, {"site/c.txt", other}, {"site/e.txt", text}},
                                true, false, {"other/link.txt", "site"});
        const auto setup = s.setup;
        const std::string root = s.root;
        s.setup = [setup, root](const std::string& at) {
            setup(at);
            fs::create_hard_link(at + "/site/a.txt", at + "/site/b.txt");
            fs::create_directories(at + "/other");
            fs::create_symlink("../site/e.txt", at + "/other/link.txt");
        };
        s.files.push_back({root + "/site/b.txt", {text}, Replaced(text)});
        s.folders.push_back(root + "/other");
        all.push_back(std::move(s));
    }
}

// A run stopped as a signal stops it (the second temporary file it makes is
// its last), and a hard link of a file named in another folder, corrected on
// its own after the group.
void AddStops(std::vector<Scenario>& all, const std::string& base) {
    {
        Scenario s = Correction(base, "stopped-run", kGroup, true, true, {"site"});
        s.request.workers = 1;
        s.act = [](const Scenario& sc, Recorder& rec) {
            static StopRequest stop;
            static decltype(os::Sys().openat) inner;
            stop = false;
            inner = os::Sys().openat;
            os::Sys().openat = [](int folder, const char* name, int flags, mode_t mode) {
                static int made = 0;
                const int fd = inner(folder, name, flags, mode);
                if ((flags & O_CREAT) && std::string_view(name).rfind(".~tarnwick-", 0) == 0 && ++made == 2)
                    stop = true;
                return fd;
            };
            Correct(sc.request, TellCorrected(rec, sc), &stop);
            os::Sys().openat = inner;
            rec.Mark("committed");
        };
        all.push_back(std::move(s));
    }
    {
        Scenario s = Correction(base, "hard-link-elsewhere", {{"site/a.txt", kText}, {"other/keep.txt", kOther}}, false,
                                false, {"site/a.txt", "other/hard.txt"});
        const auto setup = s.setup;
        s.setup = [setup](const std::string& at) {
            setup(at);
            fs::create_hard_link(at + "/site/a.txt", at + "/other/hard.txt");
        };
        s.files.push_back({s.root + "/other/hard.txt", {kText}, Replaced(kText)});
        s.folders.push_back(s.root + "/other");
        all.push_back(std::move(s));
    }
}

// Undo and what it rests on: a correction undone and redone, copies where no
// links can be made, originals written just before the run.
void AddUndos(std::vector<Scenario>& all, const std::string& base) {
    const std::string& text = kText;
    {
        // Corrected, undone, and the undo undone: each run recorded, a crash anywhere in the three.
        Scenario s =
            Correction(base, "undo-and-redo", {{"site/a.txt", text}, {"site/b.txt", "old\n"}}, false, true, {"site"});
        s.act = [](const Scenario& sc, Recorder& rec) {
            Correct(sc.request, TellCorrected(rec, sc));
            rec.Mark("committed");
            Undo(sc.root, {}, TellRestored(rec, sc, false));
            rec.Mark("undone");
            Undo(
                sc.root, [](const UndoRecord& r) { return r.IsUndo(); }, TellRestored(rec, sc, true));
            rec.Mark("redone");
        };
        s.after.clear();
        s.after.push_back([](const Scenario& sc, std::size_t point, const Trace& t) {
            if (Reached(t, point, "undone"))  // the redo crashed: a second redo finishes it
                return UndoesAfter(
                    sc, sc.root, true, [](const UndoRecord& r) { return r.IsUndo(); }, true);
            if (Reached(t, point, "committed")) return UndoesAfter(sc, sc.root, true);  // a second undo
            return CorrectsAgain(sc, sc.root, sc.request);
        });
        s.after.push_back([](const Scenario& sc, std::size_t point, const Trace& t) {
            if (Reached(t, point, "committed")) return std::string();
            return UndoesAfter(sc, sc.root, false);
        });
        all.push_back(std::move(s));
    }
    // Where no hard links can be made: backups and kept originals are flushed copies.
    {
        Scenario s = Correction(base, "no-hard-links", kGroup, true, true, {"site"});
        s.noLinks = true;
        all.push_back(std::move(s));
    }
    for (const bool backups : {true, false}) {
        // The file was written a moment before the run and never flushed: the
        // backup, and the original an undo puts back, must be what was read.
        const std::string earlier = "first line\nan old word, and old AGAIN\nlast line\n";
        Scenario s = Correction(base, backups ? "written-just-before" : "written-before-undo",
                                {{"site/a.txt", earlier}}, backups, true, {"site"});
        s.files[0].before.insert(text);
        s.files[0].after = Replaced(text);
        s.act = [text](const Scenario& sc, Recorder& rec) {
            const int fd = ::open(sc.files[0].path.c_str(), O_WRONLY | O_CLOEXEC);
            os::Sys().write(fd, text.data(), text.size());  // as an editor saving in place
            ::close(fd);
            Correct(sc.request, TellCorrected(rec, sc));
            rec.Mark("committed");
            Undo(sc.root, {}, TellRestored(rec, sc, false));
            rec.Mark("undone");
        };
        s.after.clear();
        s.after.push_back([](const Scenario& sc, std::size_t point, const Trace& t) {
            if (Reached(t, point, "committed")) return UndoesAfter(sc, sc.root, true);
            return CorrectsAgain(sc, sc.root, sc.request);
        });
        all.push_back(std::move(s));
    }
}

// The options file saved over an older one.
Scenario OptionsSave(const std::string& base) {
    Scenario s;
    s.name = "options-save";
    s.root = base + "/" + s.name;
    const std::string file = s.root + "/config/options.ini";
    s.folders = {s.root + "/config"};
    settings::Options before, later;
    before.searchString = u"old";
    later.searchString = u"new";
    later.backupCopy = 1;
    const CodePage cp = *CodePage::Named("CP1251");
    fs::create_directories(base);
    settings::SaveOptions(base + "/expected.ini", later, cp);
    settings::SaveOptions(base + "/started.ini", before, cp);
    s.files.push_back({file, {Read(base + "/started.ini")}, Read(base + "/expected.ini")});
    s.setup = [file, start = Read(base + "/started.ini")](const std::string&) { Put(file, start); };
    s.act = [later, cp](const Scenario& sc, Recorder& rec) {
        if (!settings::SaveOptions(sc.files[0].path, later, cp)) rec.Told(sc.files[0].path, sc.files[0].after);
    };
    s.after.push_back([later, cp](const Scenario& sc, std::size_t, const Trace&) {
        const auto loaded = settings::LoadOptions(sc.files[0].path, cp);
        if (loaded.searchString != u"old" && loaded.searchString != u"new") return std::string("options unreadable");
        if (settings::SaveOptions(sc.files[0].path, later, cp) || Read(sc.files[0].path) != sc.files[0].after)
            return std::string("saving again failed");
        for (const auto& item : fs::directory_iterator(sc.folders[0]))
            if (item.path().filename() != "options.ini") return "saving again left " + item.path().string() + " behind";
        return std::string();
    });
    return s;
}

std::vector<Scenario> Scenarios(const std::string& base) {
    std::vector<Scenario> all;
    AddCorrections(all, base);
    AddStops(all, base);
    AddUndos(all, base);
    all.push_back(OptionsSave(base));
    return all;
}

// ---- running one ----

struct Result {
    Counts counts;
    std::size_t rebuilt = 0;
    std::size_t losing = 0;
    std::string first;  // the first losing state, told
};

// The trace of the scenario's run, made in a child process: its temporary
// names then name a process that is gone, as after a power cut.
Trace Record(const Scenario& s, std::map<std::pair<std::uint64_t, std::uint64_t>, int> numbers) {
    const std::string file = s.root + ".trace";
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("cannot fork");
    if (child == 0) {
        int status = 0;
        try {
            Trace t;
            {
                Recorder rec(t, std::move(numbers));
                rec.RefuseLinks(s.noLinks);
                s.act(s, rec);
            }
            t.Save(file);
        } catch (const std::exception& e) {
            std::cerr << s.name << ": " << e.what() << '\n';
            status = 2;
        }
        std::fflush(nullptr);
        ::_exit(status);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(s.name + ": the recorded run failed");
    Trace t = Trace::Load(file);
    fs::remove(file);
    return t;
}

// Undo records name files by device and inode: rebuilt files have new ones,
// as a disk after a power cut would not. The records are told the new.
void Renumber(const Scenario& s, const Trace& t, const std::map<int, std::pair<std::uint64_t, std::uint64_t>>& made) {
    std::map<std::pair<std::string, std::string>, std::pair<std::uint64_t, std::uint64_t>> to;
    for (const auto& [number, old] : t.identity)
        if (const auto found = made.find(number); found != made.end())
            to[{std::to_string(old.first), std::to_string(old.second)}] = found->second;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(s.root + "/state", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name != "record" && name != "record.new") continue;
        std::string text = Read(it->path()), out;
        std::size_t at = 0;
        for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
            std::string line = text.substr(at, end - at);
            if (line.rfind("file ", 0) == 0) {
                std::vector<std::string> f;
                for (std::size_t a = 0, b; a <= line.size(); a = b + 1) {
                    b = line.find(' ', a);
                    if (b == std::string::npos) b = line.size();
                    f.push_back(line.substr(a, b - a));
                }
                for (const std::size_t d : {3u, 8u})  // ("file TOKEN PATH DEVICE INODE ... DEVICE INODE ...")
                    if (d + 1 < f.size())
                        if (const auto found = to.find({f[d], f[d + 1]}); found != to.end()) {
                            f[d] = std::to_string(found->second.first);
                            f[d + 1] = std::to_string(found->second.second);
                        }
                line.clear();
                for (std::size_t i = 0; i < f.size(); ++i) line += (i ? " " : "") + f[i];
            }
            out += line + "\n";
        }
        out += text.substr(at);
        Put(it->path(), out);
    }
}

Result Check(const Scenario& s, const Limits& limits, bool stopAtFirst) {
    std::error_code ec;
    fs::remove_all(s.root, ec);
    fs::create_directories(s.root);
    s.setup(s.root);
    std::map<std::pair<std::uint64_t, std::uint64_t>, int> numbers;
    const State start = Snapshot(s.root, numbers);
    const Trace trace = Record(s, numbers);
    Result result;
    // The trace must account for every change: replayed whole, it gives what the run left.
    {
        State replayed = start;
        for (const Op& op : trace.ops) Apply(replayed, op);
        std::map<std::pair<std::uint64_t, std::uint64_t>, int> again;
        const State real = Snapshot(s.root, again);
        if (replayed.Key() != real.Key()) {
            std::string which;
            for (const auto& [path, e] : real.entries)
                if (!replayed.entries.count(path)) which += " " + path + " (not in the trace)";
            for (const auto& [path, e] : replayed.entries)
                if (!real.entries.count(path)) which += " " + path + " (gone)";
            throw std::runtime_error(s.name + ": the trace misses a change the run made:" + which);
        }
    }
    Checker checker(s, trace);
    checker.Start(start);
    std::unordered_set<std::string> seen;
    const auto lose = [&](std::size_t point, const std::string& why) {
        if (result.losing++ == 0) result.first = "after " + std::to_string(point) + " operations: " + why;
    };
    result.counts = ForEachCrashState(start, trace, limits, [&](std::size_t point, const State& state) {
        if (stopAtFirst && result.losing) return;
        if (const std::string why = checker.OnDisk(state, point); !why.empty()) return lose(point, why);
        // A second run is needed once per state and phase of the run.
        std::string key = state.Key();
        for (const char* mark : {"committed", "undone"}) key += Reached(trace, point, mark) ? '1' : '0';
        if (!seen.insert(std::move(key)).second) return;
        for (const auto& after : s.after) {
            Renumber(s, trace, Materialize(state, s.root));
            ++result.rebuilt;
            if (const std::string why = after(s, point, trace); !why.empty()) return lose(point, why);
        }
    });
    fs::remove_all(s.root, ec);
    return result;
}

std::string Base() {
    const char* dir = std::getenv("TARNWICK_CRASH_DIR");
    fs::path base = dir && *dir              ? fs::path(dir)
                    : fs::exists("/dev/shm") ? fs::path("/dev/shm")
                                             : fs::temp_directory_path();
    return (base / ("tarnwick-crash-" + std::to_string(::getpid()))).string();
}

int Main(int argc, char** argv) {
    const bool selfTest = argc > 1 && std::string(argv[1]) == "--self-test";
    const std::string base = Base();
    const Limits limits;
    const auto started = std::chrono::steady_clock::now();
    int status = 0;
    std::size_t states = 0, rebuilt = 0;
    std::printf("%-24s %7s %8s %8s %8s  %s\n", "scenario", "points", "states", "sampled", "rebuilt", "result");
    for (const Scenario& s : Scenarios(base)) {
        const Result r = Check(s, limits, false);
        states += r.counts.states;
        rebuilt += r.rebuilt;
        std::printf("%-24s %7zu %8zu %8zu %8zu  %s\n", s.name.c_str(), r.counts.points, r.counts.states,
                    r.counts.sampled, r.rebuilt, r.losing ? ("LOSING: " + r.first).c_str() : "ok");
        if (r.losing) status = 1;
    }
    std::printf("%zu crash states checked, %zu rebuilt on disk and run over again\n", states, rebuilt);
    if (selfTest) {
        std::printf("self-test: each flush left out in turn\n");
        for (int site = 0; site < static_cast<int>(FlushSite::Count); ++site) {
            droppedFlushSite = site;
            std::string caught;
            for (const Scenario& s : Scenarios(base)) {
                const Result r = Check(s, limits, true);
                if (r.losing) {
                    caught = s.name + ", " + r.first;
                    break;
                }
            }
            droppedFlushSite = -1;
            std::printf("  %-16s %s\n", kSiteNames[site],
                        caught.empty() ? "NOT CAUGHT" : ("caught: " + caught).c_str());
            if (caught.empty()) status = 1;
        }
    }
    std::error_code ec;
    fs::remove_all(base, ec);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%s in %.0f s\n", status ? "FAILED" : "passed", seconds);
    return status;
}

}  // namespace

}  // namespace tarnwick::crash

int main(int argc, char** argv) {
    try {
        return tarnwick::crash::Main(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarnwick_crash_check: %s\n", e.what());
        return 2;
    }
}

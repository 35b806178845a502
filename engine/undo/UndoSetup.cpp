#include "engine/undo/UndoSetup.h"

#include "engine/undo/RecordFile.h"

namespace tarnwick {

std::variant<RestoreRun, UndoRefusal> PrepareUndo(const UndoRequest& request, std::vector<RefusedRecord>* notUsed) {
    auto opened = UndoStore::Open(request.store.empty() ? UndoStore::DefaultFolder() : request.store);
    if (auto* why = std::get_if<UndoProblem>(&opened)) return UndoRefusal{UndoRefusal::Kind::Store, {}, *why};
    const UndoStore& store = std::get<UndoStore>(opened);
    std::vector<RefusedRecord> refused;
    const std::vector<UndoRecord> records = store.Records(&refused);
    if (notUsed) *notUsed = refused;
    const auto begin = [&](const UndoRecord& target) -> std::variant<RestoreRun, UndoRefusal> {
        if (request.confirm && !request.confirm(target)) return UndoRefusal{UndoRefusal::Kind::Declined, target.id};
        return RestoreRun::Of(store, target);
    };
    if (!request.run) {
        const UndoRecord* newest = request.touching ? UndoStore::NewestUndoable(records, *request.touching)
                                                    : UndoStore::NewestUndoable(records);
        if (!newest) return UndoRefusal{UndoRefusal::Kind::NothingToUndo};
        return begin(*newest);
    }
    for (const UndoRecord& r : records)
        if (r.id == *request.run) return begin(r);
    for (const RefusedRecord& r : refused)
        if (r.id == *request.run)
            return UndoRefusal{
                r.unreadable ? UndoRefusal::Kind::Unreadable : UndoRefusal::Kind::NotUsed, *request.run, {}, r};
    if (const auto when = record::DroppedAt(store.Folder(), *request.run); when && !request.run->empty())
        return UndoRefusal{UndoRefusal::Kind::Dropped, *request.run, {}, {}, *when};
    return UndoRefusal{UndoRefusal::Kind::NoSuchRun, *request.run};
}

}  // namespace tarnwick

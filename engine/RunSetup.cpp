#include "RunSetup.h"

namespace tarnwick {

std::variant<CorrectionRun, SetupFailure> PrepareRun(const RunRequest& request) {
    const CodePage& files = request.pinned ? *request.pinned : request.system;
    if (!files.Usable()) return SetupFailure{SetupError::UnusableEncoding, files.Name()};
    if (request.search.empty() && !request.emptySearchAllowed) return SetupFailure{SetupError::EmptySearch};
    StringForms forms;
    if (request.pinned) {
        if (!files.Encode(request.search)) return SetupFailure{SetupError::SearchNotWritable, files.Name()};
        if (!files.Encode(request.replace)) return SetupFailure{SetupError::ReplaceNotWritable, files.Name()};
        forms = StringForms::Only(request.search, request.replace, files);
    } else {
        // The strings in every encoding files may use: UTF-8, the legacy code
        // page (the system's, or the one its language uses), UTF-16.
        forms = StringForms::ForSystem(request.search, request.replace, files);
        if (!forms.AnySearchForm()) return SetupFailure{SetupError::SearchNotWritable};
    }
    if (request.backup.enabled && request.backup.extension.empty())
        return SetupFailure{SetupError::EmptyBackupExtension};
    if (!IsUsable(request.backup)) return SetupFailure{SetupError::BadBackupExtension};
    Corrector corrector(std::move(forms), request.backup);
    corrector.TakeBinaryFiles(request.binaryFiles);
    return CorrectionRun(std::move(corrector), request.paths, request.mode, request.workers, request.selection);
}

}  // namespace tarnwick

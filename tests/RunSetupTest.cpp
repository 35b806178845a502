// The rules a run is set up by, which both front ends share.

#include "engine/run/RunSetup.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

SetupError ErrorOf(const RunRequest& request) {
    auto prepared = PrepareRun(request);
    const auto* failure = std::get_if<SetupFailure>(&prepared);
    return failure ? failure->error : static_cast<SetupError>(-1);
}

TEST(RunSetupTest, OneReasonEach) {
    RunRequest request;
    request.system = *CodePage::Named("CP1251");
    request.pairs = {{u"мир", u"свет"}};
    EXPECT_TRUE(std::holds_alternative<CorrectionRun>(PrepareRun(request)));

    RunRequest empty = request;
    empty.pairs[0].search.clear();
    EXPECT_EQ(ErrorOf(empty), SetupError::EmptySearch);
    empty.emptySearchAllowed = true;  // the window's rule
    EXPECT_TRUE(std::holds_alternative<CorrectionRun>(PrepareRun(empty)));

    RunRequest pinned = request;
    pinned.pinned = *CodePage::Named("ISO-8859-1");
    const auto failure = std::get<SetupFailure>(PrepareRun(pinned));
    EXPECT_EQ(failure.error, SetupError::SearchNotWritable);
    EXPECT_EQ(failure.encoding, pinned.pinned->Name());

    RunRequest backup = request;
    backup.backup.enabled = true;
    EXPECT_EQ(ErrorOf(backup), SetupError::EmptyBackupExtension);
    backup.backup.extension = "a/b";
    EXPECT_EQ(ErrorOf(backup), SetupError::BadBackupExtension);
    backup.backup.extension = "bak";
    EXPECT_TRUE(std::holds_alternative<CorrectionRun>(PrepareRun(backup)));
}

}  // namespace
}  // namespace tarnwick

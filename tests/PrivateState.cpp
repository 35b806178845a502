// Every run a test starts keeps its undo records in a folder of the test's
// own, never in the user's: a test that names no state folder of its own
// still leaves nothing behind (and reads no records of earlier runs).

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

namespace {

class PrivateState : public ::testing::Environment {
public:
    void SetUp() override {
        std::string folder = (std::filesystem::temp_directory_path() / "tarnwick-state-XXXXXX").string();
        ASSERT_NE(mkdtemp(folder.data()), nullptr);
        folder_ = folder;
        setenv("XDG_STATE_HOME", folder.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

private:
    std::filesystem::path folder_;
};

[[maybe_unused]] ::testing::Environment* const g_privateState = ::testing::AddGlobalTestEnvironment(new PrivateState);

}  // namespace

#pragma once

// A fresh temporary folder per test, and small helpers to make and read files.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <functional>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tarnwick::test {

namespace fs = std::filesystem;

inline void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

inline std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Text as a new file of the platform has it: CRLF line ends on Windows.
inline std::string Eol(std::string text) {
#ifdef _WIN32
    for (std::size_t p = 0; (p = text.find('\n', p)) != std::string::npos; p += 2) text.insert(p, 1, '\r');
#endif
    return text;
}

// Runs a shell command (chattr, mkfifo); true when it exited 0.
inline bool Shell(const std::string& command) { return std::system((command + " 2>/dev/null").c_str()) == 0; }

#ifndef _WIN32
// An environment variable set for a scope; what was there before comes back after.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        setenv(name, value, 1);
    }
    ~ScopedEnvironment() {
        if (old_) setenv(name_, old_->c_str(), 1);
        else unsetenv(name_);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};
#endif

#ifndef _WIN32
// What a shell command prints on its standard output, without the last line break.
#ifndef _WIN32
// Runs `work` in a child process as the user nobody (as root nothing is
// denied); its exit status and output come back, or status -1 when the child
// could not become nobody or did not end normally.
struct ChildResult {
    int status = -1;
    std::string output;
};
inline ChildResult RunAsNobody(const std::function<std::pair<int, std::string>()>& work) {
    int pipe[2];
    if (::pipe(pipe) != 0) return {};
    const pid_t child = fork();
    if (child < 0) return {};
    if (child == 0) {
        ::close(pipe[0]);
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(255);
        const auto [status, output] = work();
        _exit(::write(pipe[1], output.data(), output.size()) == static_cast<ssize_t>(output.size()) ? status : 254);
    }
    ::close(pipe[1]);
    ChildResult result;
    char buffer[4096];
    for (ssize_t got; (got = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
        result.output.append(buffer, static_cast<std::size_t>(got));
    ::close(pipe[0]);
    int status = 0;
    if (waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) < 254)
        result.status = WEXITSTATUS(status);
    return result;
}
#endif

inline std::string ShellOutput(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(("{ " + command + "; } 2>/dev/null").c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pipe)) out += buffer;
        pclose(pipe);
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}
#endif

class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef _WIN32
        std::random_device random;
        dir_ = fs::temp_directory_path() / ("tarnwick-test-" + std::to_string(random()) + std::to_string(random()));
        ASSERT_TRUE(fs::create_directory(dir_));
#else
        std::string pattern = (fs::temp_directory_path() / "tarnwick-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
#endif
    }
    void TearDown() override {
#ifndef _WIN32
        Shell("chattr -R -i -a '" + dir_.string() + "'");
#endif
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    const fs::path& Dir() const { return dir_; }
    fs::path Make(const std::string& name, const std::string& bytes) {
        const fs::path path = dir_ / name;
        WriteBytes(path, bytes);
        return path;
    }
    // The names in the folder, sorted; shows leftovers such as temporary files.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    // Makes `path` immutable; false where the file system or user cannot.
    static bool MakeImmutable(const fs::path& path) {
#ifdef _WIN32
        (void)path;
        return false;
#else
        return Shell("chattr +i '" + path.string() + "'");
#endif
    }

private:
    fs::path dir_;
};

}  // namespace tarnwick::test

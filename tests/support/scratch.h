// Scratch state for tests that touch the process environment or the file system: an
// environment variable set for one scope, a temporary folder removed afterwards, what a
// file holds, and child processes that work on one file at once.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace czqic::testing {

// Sets (or, given nullptr, unsets) a variable and puts the old state back on scope exit.
class EnvGuard {
  public:
    EnvGuard(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    EnvGuard(const char* name, const std::string& value) : EnvGuard(name, value.c_str()) {}
    ~EnvGuard() {
        if (saved_)
            ::setenv(name_, saved_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    EnvGuard(const EnvGuard&) = delete;  // one restore per change
    EnvGuard& operator=(const EnvGuard&) = delete;

  private:
    const char* name_;
    std::optional<std::string> saved_;
};

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
  public:
    explicit TempDir(const std::string& prefix = "czqic") {
        std::string pattern =
            (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;  // owns the folder
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

  private:
    std::filesystem::path path_;
};

// A file's lines without their ends, and its whole text; nothing when it cannot be read.
inline std::vector<std::string> file_lines(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}
inline std::string file_text(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs work(i) for each i below n, each in a child process of its own, all at once, and
// expects every child to exit with the status work returns there as 0.
inline void in_child_processes(int n, const std::function<int(int i)>& work) {
    std::vector<pid_t> children;
    for (int i = 0; i < n; ++i) {
        const pid_t pid = ::fork();
        if (pid < 0) {
            ADD_FAILURE() << "fork failed";
            break;
        }
        if (pid == 0) ::_exit(work(i));
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
}

}  // namespace czqic::testing

// Shared helpers of the data-file tests: a temporary folder per test, a
// prompt that records what it was asked, and whole-file read/write.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include "app/globals.h"
#include "app/prompt.h"
#include "recording_prompt.h"

namespace quorvel::test {

// A fresh folder per test and English texts. prompt_ is the caller's own
// prompt, handed to what asks or shows; the process-wide prompt records too,
// and nothing may reach it: readers, writers and save checks show nothing
// on their own.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvel-df-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    SetPrompt(&processPrompt_);
    savedLanguage_ = Language;
    Language = 1;
  }
  void TearDown() override {
    EXPECT_TRUE(processPrompt_.shown.empty())
        << "shown through the process-wide prompt: " << processPrompt_.shown[0].text;
    Language = savedLanguage_;
    SetPrompt(nullptr);
    std::error_code ignored;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  static void WriteFile(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Names in the folder, to see that no temporary file stayed behind.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::filesystem::path dir_;
  RecordingPrompt prompt_;
  RecordingPrompt processPrompt_;
  uint8_t savedLanguage_ = 1;
};

// Runs `write` in a child process whose files may not grow beyond
// `maxFileSize` bytes (a write past it fails with EFBIG instead of raising
// SIGXFSZ); returns the child's exit code: 0 when `write` reported success,
// 1 when it reported failure, -1 when the child did not exit normally.
inline int RunWithFileSizeLimit(rlim_t maxFileSize, const std::function<bool()>& write) {
  pid_t child = fork();
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{maxFileSize, maxFileSize};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(2);
    _exit(write() ? 0 : 1);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Runs `job` in a child process that permission checks apply to: a root
// process becomes the unprivileged user "nobody" (65534) first. Returns 0
// when `job` reported success, 1 when it reported failure, 2 when the
// privileges could not be dropped, -1 when the child did not exit normally.
inline int RunUnprivileged(const std::function<bool()>& job) {
  pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
      _exit(2);
    }
    _exit(job() ? 0 : 1);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace quorvel::test

#include "datafile/file_checks.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "test_support.h"

namespace quorvel {
namespace {

using test::RunWithFileSizeLimit;

class FileChecksTest : public test::TempDirTest {
 protected:
  mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
  }
  // Writes as a host does: the save check asks through the host's prompt,
  // the failure's message goes there too.
  bool WriteText(const std::string& path, std::string_view text, std::string* detail = nullptr) {
    std::string reason = "stale";
    const bool ok = WriteTextFile(path, text, prompt_, &reason);
    if (!ok && !reason.empty()) ShowWriteError(prompt_, path, reason);
    if (ok) {
      EXPECT_EQ(reason, "");
    }
    if (detail != nullptr) *detail = reason;
    return ok;
  }
};

TEST_F(FileChecksTest, PathExistsForFilesFoldersAndLinks) {
  WriteFile(Path("file"), "x");
  ASSERT_EQ(symlink("nowhere", Path("dangling").c_str()), 0);
  EXPECT_TRUE(PathExists(Path("file")));
  EXPECT_TRUE(PathExists(dir_.string()));
  EXPECT_TRUE(PathExists(Path("dangling")));
  EXPECT_FALSE(PathExists(Path("missing")));
  EXPECT_FALSE(PathExists(""));
}

TEST_F(FileChecksTest, CheckFileAttrPassesPlainAndMissingFilesWithoutAsking) {
  WriteFile(Path("plain.log"), "x");
  EXPECT_TRUE(CheckFileAttr(Path("plain.log"), "Save", prompt_));
  EXPECT_TRUE(CheckFileAttr(Path("missing.log"), "Save", prompt_));
  EXPECT_TRUE(prompt_.shown.empty());
}

TEST_F(FileChecksTest, CheckFileAttrRefusesFolderInBothLanguages) {
  const std::string folder = Path("sub");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  const std::string expected[2] = {
      "Plik\r\n" + folder +
          "\r\nnie może zostać utworzony,\r\nponieważ już istnieje folder o tej "
          "nazwie.",
      "File\r\n" + folder +
          "\r\ncannot be created, because directory\r\nwith the same name "
          "already exists."};
  for (uint8_t language : {0, 1}) {
    Language = language;
    prompt_.shown.clear();
    prompt_.answer = true;
    EXPECT_FALSE(CheckFileAttr(folder, "Caption", prompt_));
    ASSERT_EQ(prompt_.shown.size(), 1u);
    EXPECT_FALSE(prompt_.shown[0].question);
    EXPECT_EQ(prompt_.shown[0].text, expected[language]);
    EXPECT_EQ(prompt_.shown[0].caption, "Caption");
    EXPECT_EQ(prompt_.shown[0].flags, kIconWarning);
  }
}

TEST_F(FileChecksTest, CheckFileAttrAsksAboutReadOnlyAndHidden) {
  struct Case {
    const char* name;
    mode_t mode;
    const char* words;
  } cases[] = {
      {".both.log", 0444, "'read only', 'hidden'"},
      {"readonly.log", 0444, "'read only'"},
      {".hidden.log", 0644, "'hidden'"},
  };
  for (const auto& c : cases) {
    const std::string path = Path(c.name);
    WriteFile(path, "x");
    ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    for (bool answer : {false, true}) {
      prompt_.shown.clear();
      prompt_.answer = answer;
      EXPECT_EQ(CheckFileAttr(path, "Save", prompt_), answer) << c.name;
      ASSERT_EQ(prompt_.shown.size(), 1u);
      const test::Shown& asked = prompt_.shown[0];
      EXPECT_TRUE(asked.question);
      EXPECT_TRUE(asked.focusNo);
      EXPECT_EQ(asked.flags, kIconWarning);
      EXPECT_EQ(asked.caption, "Save");
      EXPECT_EQ(asked.text,
                "File\r\n" + path + "\r\nhas attributes " + c.words + "\r\nSave anyway?");
    }
  }
  Language = 0;
  prompt_.shown.clear();
  CheckFileAttr(Path(".both.log"), "Zapisz", prompt_);
  ASSERT_EQ(prompt_.shown.size(), 1u);
  EXPECT_EQ(prompt_.shown[0].text, "Plik\r\n" + Path(".both.log") +
                                       "\r\nposiada atrybut 'tylko do odczytu', "
                                       "'ukryty'\r\nZapisać mimo to?");
}

TEST_F(FileChecksTest, WriteTextFileCreatesAndReplaces) {
  const std::string path = Path("run.log");
  ASSERT_TRUE(WriteText(path, "first line\r\nsecond"));
  EXPECT_EQ(ReadFile(path), "first line\r\nsecond");
  ASSERT_TRUE(WriteText(path, "short"));
  EXPECT_EQ(ReadFile(path), "short");
  EXPECT_TRUE(prompt_.shown.empty());
  EXPECT_EQ(Entries(), std::vector<std::string>{"run.log"});
}

TEST_F(FileChecksTest, WriteTextFileOverReadOnlyHiddenFileKeepsItsAttributes) {
  const std::string path = Path(".run.log");
  WriteFile(path, "old");
  ASSERT_EQ(chmod(path.c_str(), 0440), 0);

  prompt_.answer = false;
  EXPECT_FALSE(WriteText(path, "new"));
  EXPECT_EQ(ReadFile(path), "old");
  ASSERT_EQ(prompt_.shown.size(), 1u);  // the question, no error message
  EXPECT_TRUE(prompt_.shown[0].question);

  prompt_.answer = true;
  prompt_.shown.clear();
  EXPECT_TRUE(WriteText(path, "new"));
  EXPECT_EQ(ReadFile(path), "new");
  EXPECT_EQ(ModeOf(path), 0440u);
  EXPECT_EQ(Entries(), std::vector<std::string>{".run.log"});
}

TEST_F(FileChecksTest, WriteTextFileReportsFolderAndUncreatableFile) {
  ASSERT_EQ(mkdir(Path("sub").c_str(), 0755), 0);
  EXPECT_FALSE(WriteText(Path("sub"), "x"));
  ASSERT_EQ(prompt_.shown.size(), 1u);
  EXPECT_NE(prompt_.shown[0].text.find("cannot be created"), std::string::npos);

  WriteFile(Path("plain"), "x");
  const std::pair<std::string, std::string> cases[] = {
      {Path("missing/run.log"), "no such file or directory"},
      {Path("sub/run.log/x"), "no such file or directory"},
      {Path("plain/run.log"), "a part of the path is not a directory"},
  };
  for (const auto& [path, reason] : cases) {
    prompt_.shown.clear();
    std::string detail = "stale";
    EXPECT_FALSE(WriteText(path, "x", &detail)) << path;
    EXPECT_EQ(detail, reason);
    ASSERT_EQ(prompt_.shown.size(), 1u);
    EXPECT_EQ(prompt_.shown[0].text, "Data writing error in file:\r\n" + path + "\r\n" + reason);
    EXPECT_EQ(prompt_.shown[0].caption, "Error");
    EXPECT_EQ(prompt_.shown[0].flags, kIconWarning);
  }
  Language = 0;
  prompt_.shown.clear();
  EXPECT_FALSE(WriteText(Path("missing/a.log"), "x"));
  ASSERT_EQ(prompt_.shown.size(), 1u);
  EXPECT_EQ(prompt_.shown[0].text, "Wystąpił błąd podczas zapisu pliku:\r\n" +
                                       Path("missing/a.log") +
                                       "\r\nnie ma takiego pliku ani folderu");
  EXPECT_EQ(prompt_.shown[0].caption, "Błąd");
}

TEST_F(FileChecksTest, FailedWriteKeepsOldFile) {
  const std::string path = Path("run.log");
  WriteFile(path, "old content");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  const std::string big(64 * 1024, 'n');
  EXPECT_EQ(RunWithFileSizeLimit(4096, [&] { return WriteText(path, big); }), 1);
  EXPECT_EQ(ReadFile(path), "old content");
  EXPECT_EQ(ModeOf(path), 0640u);
  EXPECT_EQ(Entries(), std::vector<std::string>{"run.log"});
  // The same write within the limit goes through.
  EXPECT_EQ(RunWithFileSizeLimit(4096, [&] { return WriteText(path, "fits"); }), 0);
  EXPECT_EQ(ReadFile(path), "fits");
}

// A file written in pieces: the old file stays until the commit, and a
// writing that ends without one leaves neither a change nor a stray file.
TEST_F(FileChecksTest, PiecewiseReplacementKeepsTheOldFileUntilCommitted) {
  const std::string path = Path("trace.txt");
  WriteFile(path, "old content");
  {
    ReplacementFile file(path);
    ASSERT_TRUE(file.Write("new ") && file.Write("content"));
    EXPECT_EQ(ReadFile(path), "old content");
  }
  EXPECT_EQ(ReadFile(path), "old content");
  EXPECT_EQ(Entries(), std::vector<std::string>{"trace.txt"});
  ReplacementFile file(path);
  ASSERT_TRUE(file.Write("new ") && file.Write("content") && file.Commit()) << file.Failure();
  EXPECT_EQ(ReadFile(path), "new content");
  EXPECT_EQ(Entries(), std::vector<std::string>{"trace.txt"});
  EXPECT_FALSE(file.Write("more")) << "nothing is written after the commit";
  ReplacementFile nowhere(Path("absent/trace.txt"));
  EXPECT_FALSE(nowhere.Good());
  EXPECT_FALSE(nowhere.Failure().empty());
}

TEST_F(FileChecksTest, ReplaceThroughSymlinkKeepsTheLink) {
  WriteFile(Path("target.log"), "old");
  ASSERT_EQ(symlink("target.log", Path("link.log").c_str()), 0);
  ASSERT_TRUE(ReplaceFileContents(Path("link.log"), "new"));
  struct stat st {};
  ASSERT_EQ(lstat(Path("link.log").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFile(Path("target.log")), "new");
}

TEST_F(FileChecksTest, NewFileGetsDefaultPermissions) {
  const mode_t mask = umask(022);
  ASSERT_TRUE(ReplaceFileContents(Path("new.log"), "x"));
  umask(mask);
  EXPECT_EQ(ModeOf(Path("new.log")), 0644u);
}

// The temporary file of a replacement has a short name of its own, so any
// name the file system takes can be written, new or over an old file.
TEST_F(FileChecksTest, NamesOfTheGreatestLengthAreWritten) {
  const std::string longest(255, 'n');
  for (const char* text : {"first", "second"}) {
    std::string detail = "stale";
    EXPECT_TRUE(WriteText(Path(longest), text, &detail)) << detail;
    EXPECT_EQ(detail, "");
    EXPECT_EQ(ReadFile(Path(longest)), text);
    EXPECT_EQ(Entries(), std::vector<std::string>{longest});
  }
  EXPECT_TRUE(prompt_.shown.empty());

  std::string detail;
  EXPECT_FALSE(WriteText(Path(longest + "n"), "x", &detail));
  EXPECT_EQ(detail, "file name too long");
  EXPECT_EQ(Entries(), std::vector<std::string>{longest});
}

TEST_F(FileChecksTest, ReplaceNamesTheReasonOfAFailure) {
  ASSERT_EQ(mkdir(Path("sub").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);
  WriteFile(Path("plain"), "x");
  const std::pair<std::string, std::string> cases[] = {
      {"", "no file name"},
      {Path("sub"), "is a directory"},
      {Path("fifo"), "not a regular file (a FIFO, socket or device)"},
      {Path("missing/new.log"), "no such file or directory"},
      {Path("plain/new.log"), "a part of the path is not a directory"},
      {Path(std::string(256, 'n')), "file name too long"},
  };
  for (const auto& [path, reason] : cases) {
    std::string detail;
    EXPECT_FALSE(ReplaceFileContents(path, "new", &detail)) << path;
    EXPECT_EQ(detail, reason) << path;
  }
  EXPECT_EQ(ReadFile(Path("plain")), "x");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"fifo", "plain", "sub"}));

  // A full disk and a file-size limit both stop the write before the rename.
  WriteFile(Path("run.log"), "old");
  EXPECT_EQ(RunWithFileSizeLimit(4096,
                                 [&] {
                                   std::string reason;
                                   return !ReplaceFileContents(Path("run.log"),
                                                               std::string(8192, 'n'), &reason) &&
                                          reason == "file too large";
                                 }),
            0);
  EXPECT_EQ(ReadFile(Path("run.log")), "old");
}

// Making way for a replacement removes what it would replace, and only a
// regular file: anything else, or a folder that could not take the new
// file, is refused with its reason and left as it is.
TEST_F(FileChecksTest, ClearingForAReplacementRemovesOnlyARegularFile) {
  ASSERT_EQ(mkdir(Path("sub").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);
  WriteFile(Path("plain"), "x");
  WriteFile(Path("old.json"), "old");
  WriteFile(Path("target.json"), "old");
  ASSERT_EQ(symlink("target.json", Path("link.json").c_str()), 0);
  struct Case {
    std::string path;
    std::string reason;  // empty: cleared
  };
  const Case cases[] = {
      {Path("old.json"), ""},
      {Path("absent.json"), ""},
      {Path("link.json"), ""},  // through the link: the target goes
      {"", "no file name"},
      {Path("sub"), "is a directory"},
      {Path("fifo"), "not a regular file (a FIFO, socket or device)"},
      {Path("missing/new.json"), "no such file or directory"},
      {Path("plain/new.json"), "a part of the path is not a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string detail = "stale";
    EXPECT_EQ(ClearFileForReplacement(c.path, &detail), c.reason.empty());
    EXPECT_EQ(detail, c.reason);
  }
  EXPECT_EQ(ReadFile(Path("plain")), "x");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"fifo", "link.json", "plain", "sub"}));
  // The link stays and the next replacement writes its target again.
  ASSERT_TRUE(ReplaceFileContents(Path("link.json"), "new"));
  EXPECT_EQ(ReadFile(Path("target.json")), "new");
}

// A folder the writer may not write to: the reason says so in the user's
// language, and the old file stays.
TEST_F(FileChecksTest, ReadOnlyFolderGivesPermissionDenied) {
  const std::string folder = Path("ro");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  WriteFile(folder + "/old.log", "old");
  ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  const int result = test::RunUnprivileged([&] {
    std::string english;
    std::string polish;
    const bool wrote = WriteText(folder + "/old.log", "new", &english);
    Language = 0;
    const bool created = WriteText(folder + "/new.log", "new", &polish);
    return !wrote && !created && english == "permission denied" && polish == "odmowa dostępu";
  });
  chmod(folder.c_str(), 0755);
  ASSERT_NE(result, 2) << "could not drop privileges";
  EXPECT_EQ(result, 0);
  EXPECT_EQ(ReadFile(folder + "/old.log"), "old");
  EXPECT_FALSE(PathExists(folder + "/new.log"));
}

}  // namespace
}  // namespace quorvel

// quorvel-cli devices, info and encode, run as a user runs them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "process_runner.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

class CliFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("quorvel-cli-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(dir_);
  }

  ProcessResult Cli(std::vector<std::string> args, const std::string& lang = "C") {
    args.insert(args.begin(), QUORVEL_CLI);
    return RunProcess(args, {"LC_ALL=" + lang});
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  void Write(const std::string& name, const std::string& content) {
    std::ofstream(Path(name), std::ios::binary) << content;
  }
  std::string Read(const std::string& name) {
    std::ifstream in(Path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  fs::path dir_;
};

TEST_F(CliFiles, DevicesListsEveryRowInDisplayOrder) {
  const ProcessResult result = Cli({"devices"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  std::vector<std::string> lines;
  std::istringstream in(result.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 33u);
  EXPECT_EQ(lines[0], "Unknown device\tnone\t9600 N 8 1");
  EXPECT_NE(result.out.find("M-530\tCOM\t9600 N 8 1\n"), std::string::npos);
  EXPECT_NE(result.out.find("TRP-40 .COM\tCOM\t38400 N 8 1\n"), std::string::npos);
  EXPECT_NE(result.out.find("TRP-40 .USB\tUSB\t115200 N 8 1\n"), std::string::npos);
  EXPECT_NE(result.out.find("FES-20\tUSB\t125000 N 8 1\n"), std::string::npos);

  const ProcessResult polish = Cli({"devices"}, "pl_PL.UTF-8");
  EXPECT_EQ(polish.out.substr(0, polish.out.find('\n')), "Nieznane urządzenie\tżaden\t9600 N 8 1");
}

TEST_F(CliFiles, EncodeThenInfoShowsTheHeader) {
  const std::string sample = std::string(QUORVEL_SOURCE_DIR) + "/samples/sample_firmware.hex";
  ProcessResult encoded = Cli({"encode", "--device", "btq-20 .rs485", sample, Path("fw")});
  ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
  EXPECT_NE(encoded.err.find("Data encoded."), std::string::npos);

  const ProcessResult info = Cli({"info", Path("fw.qvl")});
  ASSERT_EQ(info.exitCode, 0) << info.err;
  EXPECT_EQ(info.out,
            "kind: qvl\ndevice: 11 BTQ-20\nvariant: 0\nversion: 2.74\nstart: 0x08000000\n"
            "size: 18432\n");

  const ProcessResult hexInfo = Cli({"info", sample});
  ASSERT_EQ(hexInfo.exitCode, 0) << hexInfo.err;
  EXPECT_EQ(hexInfo.out, "kind: hex\nstart: 0x08000000\nsize: 18432\n");
}

TEST_F(CliFiles, EncodeAsksBeforeReplacingAFile) {
  const std::string sample = std::string(QUORVEL_SOURCE_DIR) + "/samples/sample_firmware.hex";
  Write("old.qvl", "keep me");
  ProcessResult refused = Cli({"encode", "--device", "M-530", sample, Path("old.qvl")});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("already exists."), std::string::npos);
  EXPECT_EQ(Read("old.qvl"), "keep me");

  ProcessResult replaced = Cli({"encode", "--yes", "--device", "M-530", sample, Path("old.qvl")});
  EXPECT_EQ(replaced.exitCode, 0) << replaced.err;
  EXPECT_EQ(Read("old.qvl").substr(0, 13), "Quorvel 2.74 ");
}

TEST_F(CliFiles, EncodeFailuresLeaveNoFileAndSayWhy) {
  Write("empty.hex", ":00000001FF\n");
  Write("bad.hex", ":0100000000FE\n");
  Write("letter.hex", ":0100000000FF\n:0100010O00FE\n:00000001FF\n");
  Write("cut.hex", ":0100000000FF\n");
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    const char* message;
    std::string lastLine;  // the line after the message; empty: not checked
  };
  const Case cases[] = {
      {{"encode", "--device", "M-530", Path("empty.hex"), Path("out")},
       1,
       "Data writing error in file:",
       Path("out.qvl") + ": the image is empty"},
      {{"encode", "--device", "M-530", Path("bad.hex"), Path("out")},
       1,
       "CRC error:",
       Path("bad.hex") + ": line 1: bad checksum: the record has 0xFE, its bytes need 0xFF"},
      {{"encode", "--device", "M-530", Path("letter.hex"), Path("out")},
       1,
       "Data reading error:",
       Path("letter.hex") + ": line 2: character 'O' at column 9 is not a hexadecimal digit"},
      {{"encode", "--device", "M-530", Path("cut.hex"), Path("out")},
       1,
       "Data reading error:",
       Path("cut.hex") + ": no end-of-file record (type 01): the file is incomplete"},
      {{"encode", "--device", "M-530", Path("missing.hex"), Path("out")},
       1,
       "File not found:",
       Path("missing.hex") + ": no such file or directory"},
      {{"encode", "--device", "Unknown device", Path("empty.hex"), Path("out")},
       2,
       "Device not selected.",
       ""},
      {{"encode", "--device", "NoSuchDevice", Path("empty.hex"), Path("out")},
       2,
       "Bad argument: Unknown device type: NoSuchDevice",
       ""},
      {{"encode", Path("empty.hex"), Path("out")}, 2, "Bad argument: encode --device", ""},
      {{"frobnicate"}, 2, "Bad argument: frobnicate", ""},
  };
  for (const Case& c : cases) {
    const ProcessResult result = Cli(c.args);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.args[0] << " " << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    if (!c.lastLine.empty()) {
      EXPECT_TRUE(result.err.ends_with("\n" + c.lastLine + "\n")) << result.err;
      EXPECT_LT(result.err.find(c.message), result.err.find(c.lastLine)) << result.err;
    }
    EXPECT_FALSE(fs::exists(Path("out.qvl")));
  }
}

// Output names up to the file system's limit are written; a write that
// fails says why, in the user's language.
TEST_F(CliFiles, EncodeWritesTheLongestNameAndSaysWhyAWriteFails) {
  const std::string sample = std::string(QUORVEL_SOURCE_DIR) + "/samples/sample_firmware.hex";
  const std::string longest = std::string(251, 'f') + ".qvl";
  const ProcessResult written = Cli({"encode", "--device", "M-530", sample, Path(longest)});
  EXPECT_EQ(written.exitCode, 0) << written.err;
  EXPECT_EQ(Read(longest).substr(0, 13), "Quorvel 2.74 ");

  struct Case {
    std::string out;
    std::string lang;
    std::string message;
    std::string reason;
  } cases[] = {
      {Path("f" + longest), "C", "Data writing error in file:", "file name too long"},
      {Path("missing/fw.qvl"), "C", "Data writing error in file:", "no such file or directory"},
      {Path("missing/fw.qvl"), "pl_PL.UTF-8",
       "Wystąpił błąd podczas zapisu pliku:", "nie ma takiego pliku ani folderu"},
  };
  for (const Case& c : cases) {
    const ProcessResult result = Cli({"encode", "--device", "M-530", sample, c.out}, c.lang);
    EXPECT_EQ(result.exitCode, 1) << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    // The message (with the name maybe shortened), then the whole name.
    EXPECT_TRUE(result.err.ends_with("\n" + c.reason + "\n" + c.out + ": " + c.reason + "\n"))
        << result.err;
  }
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{longest});
}

TEST_F(CliFiles, InfoPrintsTheShortTextAndCauseOfAnUnreadableFile) {
  Write("text.txt", "hello");
  std::string qvl = "Quorvel 2.74 ";
  qvl += std::string("\x02\x00\x01\x00\x49\x57\x00\x00\x00\x08", 10);
  qvl += "\xC1\xC3\xC0";  // one byte changed: CRC mismatch
  Write("broken.qvl", qvl);
  Write("letter.hex", ":0100000000FF\r\n:0100010O00FE\r\n:00000001FF\r\n");
  Write("nul.hex", std::string(":01000\0000000FF\n:00000001FF\n", 26));
  Write("blank.hex", ":01000000 00FF\n:00000001FF\n");
  Write("cut.hex", ":0100000000FF\n");
  Write("linear.hex", ":0100000408F3\n:00000001FF\n");
  struct Case {
    std::string file;
    std::string lang;
    std::string text;
  };
  const Case cases[] = {
      {Path("text.txt"), "C",
       "Bad file format\n" + Path("text.txt") +
           ": neither an encoded data file nor an Intel HEX file\n"},
      {Path("broken.qvl"), "C",
       "CRC error\n" + Path("broken.qvl") +
           ": image CRC mismatch: stored 0x5749, computed 0x9788\n"},
      {Path("nothing"), "C",
       "File not found\n" + Path("nothing") + ": no such file or directory\n"},
      {Path("letter.hex"), "C",
       "Data reading error\n" + Path("letter.hex") +
           ": line 2: character 'O' at column 9 is not a hexadecimal digit\n"},
      {Path("nul.hex"), "C",
       "Data reading error\n" + Path("nul.hex") +
           ": line 1: byte 0x00 at column 7 is not a hexadecimal digit\n"},
      {Path("blank.hex"), "C",
       "Data reading error\n" + Path("blank.hex") +
           ": line 1: a blank at column 10 is not a hexadecimal digit\n"},
      {Path("cut.hex"), "C",
       "Data reading error\n" + Path("cut.hex") +
           ": no end-of-file record (type 01): the file is incomplete\n"},
      {Path("linear.hex"), "C",
       "Data reading error\n" + Path("linear.hex") +
           ": line 1: a record of type 04 must have byte count 2, not 1\n"},
      {Path("letter.hex"), "pl_PL.UTF-8",
       "Wystąpił błąd podczas odczytu pliku\n" + Path("letter.hex") +
           ": wiersz 2: znak 'O' w kolumnie 9 nie jest cyfrą szesnastkową\n"},
      {Path("cut.hex"), "pl_PL.UTF-8",
       "Wystąpił błąd podczas odczytu pliku\n" + Path("cut.hex") +
           ": brak rekordu końca pliku (typ 01): plik jest niekompletny\n"},
      {dir_.string(), "pl_PL.UTF-8",
       "Wystąpił błąd podczas odczytu pliku\n" + dir_.string() + ": to jest folder\n"},
  };
  for (const Case& c : cases) {
    // A script that asked for JSON gets the same refusal and no document.
    for (const bool json : {false, true}) {
      SCOPED_TRACE(c.file + (json ? " --json" : ""));
      const ProcessResult result = Cli(json ? std::vector<std::string>{"info", "--json", c.file}
                                            : std::vector<std::string>{"info", c.file},
                                       c.lang);
      EXPECT_EQ(result.exitCode, 1);
      EXPECT_EQ(result.err, c.text);
      EXPECT_EQ(result.out, "");
    }
  }
}

}  // namespace
}  // namespace quorvel::test

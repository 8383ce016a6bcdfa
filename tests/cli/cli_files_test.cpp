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
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    const char* message;
  };
  const Case cases[] = {
      {{"encode", "--device", "M-530", Path("empty.hex"), Path("out")},
       1,
       "Data writing error in file:"},
      {{"encode", "--device", "M-530", Path("bad.hex"), Path("out")}, 1, "CRC error:"},
      {{"encode", "--device", "M-530", Path("missing.hex"), Path("out")}, 1, "File not found:"},
      {{"encode", "--device", "Unknown device", Path("empty.hex"), Path("out")},
       1,
       "Device not selected."},
      {{"encode", "--device", "NoSuchDevice", Path("empty.hex"), Path("out")}, 2, "Usage:"},
      {{"encode", Path("empty.hex"), Path("out")}, 2, "Usage:"},
      {{"frobnicate"}, 2, "Usage:"},
  };
  for (const Case& c : cases) {
    const ProcessResult result = Cli(c.args);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.args[0] << " " << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(Path("out.qvl")));
  }
}

TEST_F(CliFiles, InfoPrintsTheShortTextOfAnUnreadableFile) {
  Write("text.txt", "hello");
  std::string qvl = "Quorvel 2.74 ";
  qvl += std::string("\x02\x00\x01\x00\x49\x57\x00\x00\x00\x08", 10);
  qvl += "\xC1\xC3\xC0";  // one byte changed: CRC mismatch
  Write("broken.qvl", qvl);
  struct Case {
    std::string file;
    const char* text;
  };
  const Case cases[] = {{Path("text.txt"), "Bad file format\n"},
                        {Path("broken.qvl"), "CRC error\n"},
                        {Path("nothing"), "File not found\n"}};
  for (const Case& c : cases) {
    const ProcessResult result = Cli({"info", c.file});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, c.text);
    EXPECT_EQ(result.out, "");
  }
}

}  // namespace
}  // namespace quorvel::test

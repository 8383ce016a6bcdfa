// The fixture of the end-to-end tests: quorvel-cli program against
// quorvel-sim on a pseudo-terminal, each test in its own folder (so that
// tests may run side by side), and the check that the image the simulated
// instrument received equals the file's image.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/prompt.h"
#include "datafile/data_file.h"
#include "datafile/hex_file.h"
#include "process_runner.h"

namespace quorvel::test {

namespace fs = std::filesystem;

class ProgramEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPrompt(&silent_);
    dir_ = fs::temp_directory_path() /
           ("quorvel-e2e-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    sim_.reset();
    namedSims_.clear();
    fs::remove_all(dir_);
    SetPrompt(nullptr);
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  // Starts the simulated instrument; returns the path of its terminal.
  // The instrument started before is stopped first: it is gone before the
  // new one takes the terminal's name.
  std::string StartSim(std::vector<std::string> args) {
    sim_.reset();
    args.insert(args.begin(),
                {QUORVEL_SIM, "--save", Path("received.hex"), "--link", Path("port")});
    sim_ = std::make_unique<BackgroundProcess>(args);
    const std::string terminal = sim_->FirstLine();
    EXPECT_FALSE(terminal.empty());
    return Path("port");
  }

  // Starts one of several simulated instruments, known by `name`: its
  // terminal is Path(name), its memory is saved to Path(name + ".hex").
  std::string StartNamedSim(const std::string& name, std::vector<std::string> args) {
    namedSims_.erase(name);
    args.insert(args.begin(), {QUORVEL_SIM, "--save", Path(name + ".hex"), "--link", Path(name)});
    auto sim = std::make_unique<BackgroundProcess>(args);
    EXPECT_FALSE(sim->FirstLine().empty()) << name;
    namedSims_[name] = std::move(sim);
    return Path(name);
  }

  static std::vector<std::string> ProgramArgs(std::vector<std::string> args) {
    args.insert(args.begin(), {QUORVEL_CLI, "program"});
    return args;
  }

  ProcessResult Program(std::vector<std::string> args) {
    return RunProcess(ProgramArgs(std::move(args)), {"LC_ALL=C"}, std::chrono::seconds(90));
  }

  std::string Encode(const std::string& device) {
    const ProcessResult encoded = RunProcess(
        {QUORVEL_CLI, "encode", "--yes", "--device", device, SampleHex(), Path("fw.qvl")},
        {"LC_ALL=C"});
    EXPECT_EQ(encoded.exitCode, 0) << encoded.err;
    return Path("fw.qvl");
  }

  static std::string SampleHex() {
    return std::string(QUORVEL_SOURCE_DIR) + "/samples/sample_firmware.hex";
  }

  // The first `records` data records of the sample (16 bytes each, from its
  // start) as a file of its own: a shorter run of several blocks.
  std::string ShortSampleHex(size_t records) {
    std::ifstream in(SampleHex());
    std::ofstream out(Path("short.hex"));
    size_t data = 0;
    for (std::string line; data < records && std::getline(in, line);) {
      if (line.size() > 8 && line.compare(7, 2, "00") == 0) ++data;
      out << line << '\n';
    }
    out << ":00000001FF\n";
    return Path("short.hex");
  }

  // Every address of the file's image holds the same byte in the
  // instrument's memory, and the instrument got nothing outside it but 0xFF.
  void ExpectReceivedEqualsFile(const std::string& dataFile) {
    ExpectReceived(*sim_, Path("received.hex"), dataFile);
  }
  // The same for the instrument started as `name`.
  void ExpectNamedReceivedEqualsFile(const std::string& name, const std::string& dataFile) {
    SCOPED_TRACE(name);
    ExpectReceived(*namedSims_.at(name), Path(name + ".hex"), dataFile);
  }

  // The instrument started as `name` received no byte of an image.
  void ExpectNamedUntouched(const std::string& name) {
    SCOPED_TRACE(name);
    ASSERT_EQ(namedSims_.at(name)->Stop(), 0);
    FirmwareImage received;
    if (ReadHexFile(Path(name + ".hex"), received) == 0) {
      EXPECT_EQ(received.ImageSize(), 0u);
    }
  }

  static void ExpectReceived(BackgroundProcess& sim, const std::string& saved,
                             const std::string& dataFile) {
    ASSERT_EQ(sim.Stop(), 0);  // the simulator saves at exit
    const DataFileContents file = ReadDataFile(dataFile, kAcceptEncoded | kAcceptHex);
    ASSERT_TRUE(file.Loaded());
    const FirmwareImage& expected = file.Image;
    FirmwareImage received;
    ASSERT_EQ(ReadHexFile(saved, received), 0);
    ASSERT_GT(received.ImageSize(), 0u);
    auto byteAt = [](const FirmwareImage& image, uint64_t address) -> uint8_t {
      if (address < image.ImageStart || address >= uint64_t{image.ImageStart} + image.ImageSize())
        return 0xFF;
      return image.ImageData[address - image.ImageStart];
    };
    const uint64_t low = std::min(expected.ImageStart, received.ImageStart);
    const uint64_t high = std::max(uint64_t{expected.ImageStart} + expected.ImageSize(),
                                   uint64_t{received.ImageStart} + received.ImageSize());
    size_t differences = 0;
    for (uint64_t address = low; address < high; ++address) {
      if (byteAt(expected, address) != byteAt(received, address)) ++differences;
    }
    EXPECT_EQ(differences, 0u);
  }

  SilentPrompt silent_;
  fs::path dir_;
  std::unique_ptr<BackgroundProcess> sim_;
  std::map<std::string, std::unique_ptr<BackgroundProcess>> namedSims_;
};

// How often `text` holds `part`.
// The whole of a file, byte for byte ("" when it cannot be read).
inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The row of the summary table that starts with the port as the table
// shows it; empty when there is none.
inline std::string TableRow(const std::string& output, const std::string& shownPort) {
  const size_t at = output.find("\n" + shownPort + " ");
  return at == std::string::npos ? std::string()
                                 : output.substr(at + 1, output.find('\n', at + 1) - at - 1);
}

inline size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

}  // namespace quorvel::test

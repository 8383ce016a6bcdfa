// quorvel-sim itself on a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "datafile/hex_file.h"
#include "sim_test_support.h"

namespace quorvel::sim {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> args) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      std::vector<char*> argv{const_cast<char*>(QUORVEL_SIM)};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    stdout_ = out[0];
  }

  ~SimProcess() {
    if (fd_ >= 0) close(fd_);
    if (stdout_ >= 0) close(stdout_);
    if (pid_ > 0) {
      Stop();
    }
  }

  // The first line the program prints, within timeoutMs.
  std::string FirstLine(int timeoutMs = 5000) {
    std::string line;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char c = 0;
    while (Clock::now() < end) {
      pollfd p{stdout_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      if (read(stdout_, &c, 1) != 1) break;
      if (c == '\n') return line;
      line += c;
    }
    return {};
  }

  bool Open(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd_ < 0) return false;
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
    return true;
  }

  // Sends bytes and collects `expected` bytes of answer, waiting at most timeoutMs.
  Bytes Exchange(const Bytes& command, size_t expected, int timeoutMs = 1000) {
    EXPECT_EQ(write(fd_, command.data(), command.size()), static_cast<ssize_t>(command.size()));
    Bytes got;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < expected && Clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      uint8_t buf[512];
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n > 0) got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

  // SIGTERM and the exit status.
  int Stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  int fd_ = -1;
};

std::string TempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() / (name + "-" + std::to_string(getpid())))
      .string();
}

TEST(SimProcess, AnswersConnectOnThePrintedTerminal) {
  SimProcess sim({"--device", "M-530", "--mode", "boot", "--quiet"});
  const std::string path = sim.FirstLine();
  ASSERT_FALSE(path.empty());
  ASSERT_TRUE(sim.Open(path)) << path;
  EXPECT_EQ(sim.Exchange({0xB0, 0x01}, 2), (Bytes{0x80, 0x01}));
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(SimProcess, LinkIsMadeAndRemovedAndTheImageSaved) {
  const std::string link = TempPath("quorvel-sim-link");
  const std::string save = TempPath("quorvel-sim-save") + ".hex";
  constexpr uint16_t kSp1 = 11, kSp2 = 22;
  SimProcess sim({"--device", "HOX-27", "--link", link, "--save", save, "--serial", "11/22",
                  "--block-size", "64", "--baud", "115200", "--quiet"});
  const std::string path = sim.FirstLine();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), path);
  ASSERT_TRUE(sim.Open(link));

  Bytes block(64);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 3);
  EXPECT_EQ(sim.Exchange(BuildEraseCommand(kSp1, kSp2), 2), test::Ack(kBootErase));
  EXPECT_EQ(sim.Exchange(test::WriteCommand(kSp1, kSp2, 0x12340, block), 6),
            test::WriteAck(0x12340));
  EXPECT_EQ(sim.Exchange(BuildBootCommand(kBootReset), 2), test::Ack(kBootReset));

  EXPECT_EQ(sim.Stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  FirmwareImage image;
  ASSERT_EQ(ReadHexFile(save, image), 0);
  std::filesystem::remove(save);
  EXPECT_EQ(image.ImageStart, 0x12340u);
  EXPECT_EQ(image.ImageData, block);
}

TEST(SimProcess, AnswersTakeTheirLineTime) {
  // At 9600 baud (about 960 bytes/s) the 2-byte request and the 20-byte
  // device information take about 23 ms on the wire.
  SimProcess sim({"--device", "M-530", "--mode", "boot", "--quiet"});
  const std::string path = sim.FirstLine();
  ASSERT_TRUE(sim.Open(path));
  const auto start = Clock::now();
  EXPECT_EQ(sim.Exchange({0xB0, 0x02}, 20).size(), 20u);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(20));
}

TEST(SimProcess, RefusesAnUnknownDevice) {
  SimProcess sim({"--device", "NO-SUCH"});
  EXPECT_EQ(sim.FirstLine(2000), "");
  EXPECT_EQ(sim.Stop(), 2);
}

}  // namespace
}  // namespace quorvel::sim

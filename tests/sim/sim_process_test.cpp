// quorvel-sim itself on a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
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

  void Send(const Bytes& command) {
    EXPECT_EQ(write(fd_, command.data(), command.size()), static_cast<ssize_t>(command.size()));
  }

  // Collects up to `expected` bytes, waiting at most timeoutMs.
  Bytes Receive(size_t expected, int timeoutMs) {
    Bytes got;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < expected) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      uint8_t buf[512];
      const ssize_t n = read(fd_, buf, std::min(sizeof buf, expected - got.size()));
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

  // Sends bytes and collects `expected` bytes of answer, waiting at most timeoutMs.
  Bytes Exchange(const Bytes& command, size_t expected, int timeoutMs = 1000) {
    Send(command);
    return Receive(expected, timeoutMs);
  }

  // The terminal reports a hang-up within timeoutMs and reads nothing more.
  bool HungUp(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0 || !(p.revents & POLLHUP)) return false;
    uint8_t b = 0;
    return read(fd_, &b, 1) <= 0;
  }

  // The exit status once the program has ended by itself within timeoutMs
  // (its standard output closes), or -1.
  int ExitStatus(int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char c = 0;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      pollfd p{stdout_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return -1;
      if (read(stdout_, &c, 1) <= 0) break;
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // User and system CPU time the program has used so far.
  std::chrono::milliseconds CpuTime() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields 14 and 15 (utime, stime), counted after the parenthesised name.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i >= 14) ticks += std::stol(field);
    }
    return std::chrono::milliseconds(ticks * 1000 / sysconf(_SC_CLK_TCK));
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

TEST(SimProcess, CommandsSentTooSoonAfterAnAnswerAreNotHeard) {
  SimProcess sim({"--device", "M-530", "--mode", "boot", "--baud", "115200", "--quiet",
                  "--min-command-gap", "40"});
  const std::string path = sim.FirstLine();
  ASSERT_TRUE(sim.Open(path));
  EXPECT_EQ(sim.Exchange({0xB0, 0x01}, 2), (Bytes{0x80, 0x01}));
  // At once after the answer: not heard.
  EXPECT_TRUE(sim.Exchange({0xB0, 0x01}, 2, 200).empty());
  // After the pause: heard (the wait above was the pause).
  EXPECT_EQ(sim.Exchange({0xB0, 0x01}, 2), (Bytes{0x80, 0x01}));
}

// On a line that echoes, the echo comes back as the command crosses it,
// not all at once when its last byte has arrived.
TEST(SimProcess, EchoArrivesInPiecesAtTheLineRate) {
  SimProcess sim({"--device", "M-530", "--mode", "boot", "--quiet", "--echo", "--echo-gap", "0"});
  const std::string path = sim.FirstLine();
  ASSERT_TRUE(sim.Open(path));
  // 96 bytes of noise at 9600 baud: about 100 ms on the wire.
  const Bytes noise(96, 0x00);
  const auto start = Clock::now();
  sim.Send(noise);
  const Bytes first = sim.Receive(1, 1000);
  const auto firstAt = Clock::now() - start;
  const Bytes rest = sim.Receive(noise.size() - first.size(), 1000);
  const auto lastAt = Clock::now() - start;
  EXPECT_EQ(first.size() + rest.size(), noise.size());
  EXPECT_LT(firstAt, std::chrono::milliseconds(50));
  EXPECT_GE(lastAt, std::chrono::milliseconds(90));
}

TEST(SimProcess, RefusesAnUnknownDevice) {
  SimProcess sim({"--device", "NO-SUCH"});
  EXPECT_EQ(sim.FirstLine(2000), "");
  EXPECT_EQ(sim.Stop(), 2);
}

// ---- Programming sessions with faults ----

// HOX-27 (bootloader only) at 115200 baud, serial 11/22, saving its memory;
// the test speaks the host side of the bootloader protocol.
class SimSessionTest : public ::testing::Test {
 protected:
  static constexpr uint16_t kSp1 = 11, kSp2 = 22;
  static constexpr uint32_t kBase = 0x8000;

  void TearDown() override { std::filesystem::remove(save_); }

  void Start(uint16_t blockSize, std::vector<std::string> extra = {}) {
    blockSize_ = blockSize;
    std::vector<std::string> args{
        "--device", "HOX-27", "--serial", "11/22", "--block-size", std::to_string(blockSize),
        "--baud",   "115200", "--save",   save_,   "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    sim_ = std::make_unique<SimProcess>(args);
    const std::string path = sim_->FirstLine();
    ASSERT_FALSE(path.empty());
    ASSERT_TRUE(sim_->Open(path)) << path;
    ASSERT_EQ(sim_->Exchange(BuildEraseCommand(kSp1, kSp2), 2), test::Ack(kBootErase));
  }

  // Block n (from 0) of the image, as written at kBase + n * block size.
  Bytes Block(uint32_t n) const {
    Bytes block(blockSize_);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + n * 13 + 1);
    return block;
  }
  Bytes WriteOf(uint32_t n) const {
    return test::WriteCommand(kSp1, kSp2, kBase + n * blockSize_, Block(n));
  }
  Bytes AckOf(uint32_t n) const { return test::WriteAck(kBase + n * blockSize_); }
  Bytes Blocks(uint32_t count) const {
    Bytes all;
    for (uint32_t n = 0; n < count; ++n) {
      const Bytes b = Block(n);
      all.insert(all.end(), b.begin(), b.end());
    }
    return all;
  }

  // The image of the saved HEX file, from kBase.
  Bytes Saved() const {
    FirmwareImage image;
    EXPECT_EQ(ReadHexFile(save_, image), 0);
    EXPECT_EQ(image.ImageStart, kBase);
    return image.ImageData;
  }

  std::string save_ = TempPath("quorvel-sim-session") + ".hex";
  uint16_t blockSize_ = 0;
  std::unique_ptr<SimProcess> sim_;
};

class SimLargeBlockTest : public SimSessionTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(SimLargeBlockTest, WritesCrossTheTerminalWhole) {
  Start(GetParam());
  const auto info = ParseDeviceInfo(sim_->Exchange(BuildBootCommand(kBootReadInfo), 20));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->BlockSize, GetParam());
  for (uint32_t n = 0; n < 3; ++n) {
    ASSERT_EQ(WriteOf(n).size(), 2u + 4 + 4 + GetParam() + 2);
    EXPECT_EQ(sim_->Exchange(WriteOf(n), 6, 3000), AckOf(n)) << "block " << n;
  }
  EXPECT_EQ(sim_->Stop(), 0);
  EXPECT_EQ(Saved(), Blocks(3));
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, SimLargeBlockTest, ::testing::Values(1024, 2048));

// SIGTERM ends the program promptly, frozen or not, and the memory written
// so far is saved although no reset came.
class SimStopTest : public SimSessionTest,
                    public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(SimStopTest, TerminationSavesTheMemory) {
  Start(64, GetParam());
  for (uint32_t n = 0; n < 2; ++n) ASSERT_EQ(sim_->Exchange(WriteOf(n), 6), AckOf(n));
  const auto start = Clock::now();
  EXPECT_EQ(sim_->Stop(), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(Saved(), Blocks(2));
}

INSTANTIATE_TEST_SUITE_P(States, SimStopTest,
                         ::testing::Values(std::vector<std::string>{},
                                           std::vector<std::string>{"--freeze-after-block",
                                                                    "2:30"}),
                         [](const auto& info) { return info.param.empty() ? "Idle" : "Frozen"; });

TEST_F(SimSessionTest, FreezeHoldsWhatArrivesAndAnswersItAfterwardsInOrder) {
  Start(64, {"--freeze-after-block", "2:1"});
  ASSERT_EQ(sim_->Exchange(WriteOf(0), 6), AckOf(0));
  ASSERT_EQ(sim_->Exchange(WriteOf(1), 6), AckOf(1));
  const auto acknowledged = Clock::now();
  const auto cpuBefore = sim_->CpuTime();

  sim_->Send(BuildBootCommand(kBootConnect));
  sim_->Send(BuildBootCommand(kBootReadInfo));
  EXPECT_TRUE(sim_->Receive(22, 600).empty());
  const Bytes late = sim_->Receive(22, 3000);
  const auto answered = Clock::now();
  ASSERT_EQ(late.size(), 22u);
  EXPECT_EQ(Bytes(late.begin(), late.begin() + 2), test::Ack(kBootConnect));
  const auto info = ParseDeviceInfo(Bytes(late.begin() + 2, late.end()));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->BlockSize, 64);
  EXPECT_GE(answered - acknowledged, std::chrono::milliseconds(900));
  // Frozen by a timer, not by a loop that keeps the processor busy.
  EXPECT_LT(sim_->CpuTime() - cpuBefore, std::chrono::milliseconds(250));

  // Only the one freeze.
  const auto start = Clock::now();
  EXPECT_EQ(sim_->Exchange(WriteOf(2), 6), AckOf(2));
  EXPECT_EQ(sim_->Exchange(BuildBootCommand(kBootConnect), 2), test::Ack(kBootConnect));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(sim_->Stop(), 0);
  EXPECT_EQ(Saved(), Blocks(3));
}

// After the K-th acknowledgement the device leaves: the program under test
// sees the terminal hang up, whether it sends more or waits, and the
// simulator saves and ends by itself.
class SimHangUpTest : public SimSessionTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SimHangUpTest, TerminalHangsUpAfterTheKthAcknowledgement) {
  const bool sendNext = GetParam();
  const std::string link = TempPath("quorvel-sim-hangup-link");
  Start(64, {"--hangup-after-block", "2", "--link", link});
  ASSERT_EQ(sim_->Exchange(WriteOf(0), 6), AckOf(0));
  ASSERT_EQ(sim_->Exchange(WriteOf(1), 6), AckOf(1));
  if (sendNext) sim_->Send(WriteOf(2));
  EXPECT_TRUE(sim_->HungUp(3000));
  EXPECT_EQ(sim_->ExitStatus(5000), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  EXPECT_EQ(Saved(), Blocks(2));
}

INSTANTIATE_TEST_SUITE_P(Host, SimHangUpTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "SendsMore" : "Waits"; });

}  // namespace
}  // namespace quorvel::sim

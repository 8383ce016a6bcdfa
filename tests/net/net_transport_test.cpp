// The network transport against Debian's ser2net on 127.0.0.1, bridged to
// a pseudo-terminal the test holds: bytes both ways (0xFF among them), the
// line settings RFC 2217 puts on the terminal, and how each kind of failure
// ends the connection with its reason.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/port_message_window.h"
#include "net/net_transport.h"
#include "net/network_port.h"
#include "ser2net_server.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr auto kBound = std::chrono::seconds(30);

// A transport with a receive thread as the link runs one: it waits, reads
// what arrives and notes the end of the connection.
class TransportUnderTest {
 public:
  TransportUnderTest(const std::string& url, const LineSettings& line, bool rts = false,
                     bool dtr = false) {
    const std::optional<NetworkPort> port = ParseNetworkPort(url);
    EXPECT_TRUE(port.has_value()) << url;
    EXPECT_TRUE(stop_.Create());
    transport_ = std::make_unique<NetTransport>(*port, line, rts, dtr, note_);
    reader_ = std::thread([this] { Receive(); });
  }
  ~TransportUnderTest() {
    stop_.Signal();
    reader_.join();
    transport_->Close();
  }

  NetTransport& Transport() { return *transport_; }
  std::string Note() const { return note_->Text(); }

  bool Send(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const int64_t written = transport_->WriteSome(bytes.data() + done, bytes.size() - done, stop_);
      if (written <= 0) return false;
      done += static_cast<size_t>(written);
    }
    return true;
  }
  // The bytes received once there are `count` of them (fewer when the time
  // ran out or the connection ended).
  std::vector<uint8_t> Received(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kBound, [&] { return received_.size() >= count || gone_; });
    return received_;
  }
  // True once the transport reported the connection gone, within `bound`.
  bool WaitGone(std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return gone_; });
  }

 private:
  void Receive() {
    std::vector<uint8_t> buffer(1024);
    for (;;) {
      const ByteTransport::Wait wait = transport_->WaitForBytes(stop_);
      if (wait == ByteTransport::Wait::Stopped) return;
      if (wait == ByteTransport::Wait::Gone) break;
      int64_t got = 0;
      while ((got = transport_->Read(buffer.data(), buffer.size())) > 0) {
        const std::lock_guard<std::mutex> lock(mutex_);
        received_.insert(received_.end(), buffer.begin(), buffer.begin() + got);
        changed_.notify_all();
      }
      if (got < 0) break;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    gone_ = true;
    changed_.notify_all();
  }

  StopEvent stop_;
  std::shared_ptr<NetFailureNote> note_ = std::make_shared<NetFailureNote>();
  std::unique_ptr<NetTransport> transport_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<uint8_t> received_;
  bool gone_ = false;
};

class NetTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("quorvel-net-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    char name[128] = {};
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    terminal_ = name;
    termios raw{};
    tcgetattr(slave_, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  void TearDown() override {
    server_.reset();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    fs::remove_all(folder_);
  }

  Ser2net& StartServer(Ser2net::Mode mode, const std::string& line = "9600n81") {
    server_ = std::make_unique<Ser2net>(mode, terminal_, folder_.string(), line);
    // Missing ser2net fails the test: it is part of the test environment.
    EXPECT_TRUE(server_->Started()) << "ser2net did not start: " << server_->Log();
    return *server_;
  }

  // Bytes from the terminal's far end, once there are `count` of them.
  std::vector<uint8_t> FromTerminal(size_t count) {
    std::vector<uint8_t> bytes;
    const auto until = Clock::now() + kBound;
    while (bytes.size() < count && Clock::now() < until) {
      pollfd fd{master_, POLLIN, 0};
      if (poll(&fd, 1, 1000) <= 0) continue;
      uint8_t chunk[512];
      const ssize_t got = read(master_, chunk, sizeof chunk);
      if (got > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
  }
  void ToTerminal(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // One byte through the server both ways: what was sent before it has
  // been handled.
  void RoundTrip(TransportUnderTest& link) {
    ASSERT_TRUE(link.Send({'?'}));
    ASSERT_EQ(FromTerminal(1), std::vector<uint8_t>{'?'}) << link.Note();
  }
  termios TerminalSettings() const {
    termios settings{};
    tcgetattr(slave_, &settings);
    return settings;
  }

  fs::path folder_;
  int master_ = -1;
  int slave_ = -1;
  std::string terminal_;
  std::unique_ptr<Ser2net> server_;
};

std::vector<uint8_t> EveryByteTwice() {
  std::vector<uint8_t> bytes;
  for (int round = 0; round < 2; ++round) {
    for (int value = 0; value < 256; ++value) bytes.push_back(static_cast<uint8_t>(value));
  }
  return bytes;
}

TEST_F(NetTransportTest, EveryByteValueCrossesBothWays) {
  for (const Ser2net::Mode mode : {Ser2net::Mode::Raw, Ser2net::Mode::Rfc2217}) {
    SCOPED_TRACE(mode == Ser2net::Mode::Raw ? "tcp" : "rfc2217");
    const Ser2net& server = StartServer(mode);
    ASSERT_TRUE(server.Started());
    TransportUnderTest link(server.Url(), LineSettings{});
    const std::vector<uint8_t> bytes = EveryByteTwice();  // 0xFF is the telnet IAC
    ASSERT_TRUE(link.Send(bytes)) << link.Note();
    EXPECT_EQ(FromTerminal(bytes.size()), bytes);
    ToTerminal(bytes);
    EXPECT_EQ(link.Received(bytes.size()), bytes) << link.Note();
  }
}

// A pseudo-terminal keeps the speed, the stop bits and the kind of parity
// it is given; it always reports 8 data bits and no parity enabled.
TEST_F(NetTransportTest, Rfc2217PutsTheLineSettingsOnTheTerminal) {
  struct Case {
    LineSettings line;
    speed_t speed;
    bool twoStopBits;
    bool odd;
    bool markOrSpace;
  };
  const Case cases[] = {
      {{br019200, pbOdd, dbEight, sbTwo}, B19200, true, true, false},
      {{br115200, pbEven, dbSeven, sbOne}, B115200, false, false, false},
      {{br057600, pbMark, dbEight, sbOne}, B57600, false, true, true},
      {{br002400, pbSpace, dbEight, sbTwo}, B2400, true, false, true},
  };
  const Ser2net& server = StartServer(Ser2net::Mode::Rfc2217, "9600n81");
  ASSERT_TRUE(server.Started());
  for (const Case& c : cases) {
    SCOPED_TRACE(LineSettingsCaption(c.line));
    TransportUnderTest link(server.Url(), c.line);
    RoundTrip(link);
    // The server applies a setting while the data goes on: wait for it.
    termios settings{};
    const auto until = Clock::now() + kBound;
    const auto matches = [&] {
      settings = TerminalSettings();
      return cfgetospeed(&settings) == c.speed &&
             ((settings.c_cflag & CSTOPB) != 0) == c.twoStopBits &&
             ((settings.c_cflag & PARODD) != 0) == c.odd &&
             ((settings.c_cflag & CMSPAR) != 0) == c.markOrSpace;
    };
    while (!matches() && Clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(cfgetospeed(&settings), c.speed);
    EXPECT_EQ((settings.c_cflag & CSTOPB) != 0, c.twoStopBits);
    EXPECT_EQ((settings.c_cflag & PARODD) != 0, c.odd);
    EXPECT_EQ((settings.c_cflag & CMSPAR) != 0, c.markOrSpace);
  }
}

TEST_F(NetTransportTest, RawBridgeLeavesTheLineToTheServer) {
  const Ser2net& server = StartServer(Ser2net::Mode::Raw, "9600n81");
  ASSERT_TRUE(server.Started());
  TransportUnderTest link(server.Url(), LineSettings{br115200, pbOdd, dbEight, sbTwo});
  EXPECT_FALSE(link.Transport().SetRTS(true));
  EXPECT_FALSE(link.Transport().SetDTR(true));
  RoundTrip(link);
  const termios settings = TerminalSettings();
  EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600));
  EXPECT_EQ(settings.c_cflag & (CSTOPB | PARODD), 0u);
}

TEST_F(NetTransportTest, ConnectionThatCannotBeMadeEndsWithItsReason) {
  const std::string refused = "127.0.0.1:" + std::to_string(FreeTcpPort());
  struct Case {
    std::string url;
    std::string reason;
  };
  const Case cases[] = {
      {"tcp://" + refused, "no connection to " + refused + " (connection refused)"},
      {"rfc2217://" + refused, "no connection to " + refused + " (connection refused)"},
      {"tcp://no-such-host.invalid:4001", "unknown host no-such-host.invalid ("},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    const auto start = Clock::now();
    TransportUnderTest link(c.url, LineSettings{});
    ASSERT_TRUE(link.WaitGone(kBound));
    // Within the connect limit and a little more.
    EXPECT_LT(Clock::now() - start, NetTransport::kConnectLimit + std::chrono::seconds(3));
    EXPECT_EQ(link.Note().rfind(c.reason, 0), 0u) << link.Note();
    // The transmit thread's write gives up as well.
    EXPECT_FALSE(link.Send({1, 2, 3}));
  }
}

TEST_F(NetTransportTest, ServerKilledEndsTheConnection) {
  for (const Ser2net::Mode mode : {Ser2net::Mode::Raw, Ser2net::Mode::Rfc2217}) {
    SCOPED_TRACE(mode == Ser2net::Mode::Raw ? "tcp" : "rfc2217");
    Ser2net& server = StartServer(mode);
    ASSERT_TRUE(server.Started());
    const std::string address = "127.0.0.1:" + std::to_string(server.Port());
    TransportUnderTest link(server.Url(), LineSettings{});
    RoundTrip(link);
    server.Kill();
    ASSERT_TRUE(link.WaitGone(kBound));
    // A killed server's socket ends with a FIN, or with a reset when bytes
    // were left unread in it.
    EXPECT_TRUE(link.Note() == address + " closed the connection" ||
                link.Note() == "connection to " + address + " lost (connection reset by the server)")
        << link.Note();
  }
}

TEST_F(NetTransportTest, TelnetServerThatStopsAnsweringIsGone) {
  Ser2net& server = StartServer(Ser2net::Mode::Rfc2217);
  ASSERT_TRUE(server.Started());
  TransportUnderTest link(server.Url(), LineSettings{});
  RoundTrip(link);
  server.Pause();
  // A probe after a second of silence, five seconds for its answer.
  ASSERT_TRUE(link.WaitGone(kBound));
  EXPECT_EQ(link.Note(), "127.0.0.1:" + std::to_string(server.Port()) + " stopped answering");
  server.Resume();
}

TEST(NetworkPortName, ParsesBothKindsAndRefusesTheRest) {
  struct Case {
    std::string name;
    bool valid;
    NetworkPort::Kind kind;
    std::string host;
    uint16_t port;
  };
  const Case cases[] = {
      {"tcp://10.0.0.7:4001", true, NetworkPort::Kind::RawTcp, "10.0.0.7", 4001},
      {"rfc2217://server.plant:2217", true, NetworkPort::Kind::Rfc2217, "server.plant", 2217},
      {"rfc2217://[fe80::1]:65535", true, NetworkPort::Kind::Rfc2217, "fe80::1", 65535},
      {"tcp://host", false, {}, {}, 0},
      {"tcp://host:", false, {}, {}, 0},
      {"tcp://:4001", false, {}, {}, 0},
      {"tcp://host:0", false, {}, {}, 0},
      {"tcp://host:65536", false, {}, {}, 0},
      {"tcp://host:40x1", false, {}, {}, 0},
      {"tcp://fe80::1:4001", false, {}, {}, 0},
      {"tcp://ho st:4001", false, {}, {}, 0},
      {"tcp://user@host:4001", false, {}, {}, 0},
      {"telnet://host:23", false, {}, {}, 0},
      {"/dev/ttyUSB0", false, {}, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<NetworkPort> parsed = ParseNetworkPort(c.name);
    ASSERT_EQ(parsed.has_value(), c.valid);
    if (!c.valid) continue;
    EXPECT_EQ(parsed->kind, c.kind);
    EXPECT_EQ(parsed->host, c.host);
    EXPECT_EQ(parsed->port, c.port);
  }
  EXPECT_TRUE(IsNetworkPortName("tcp://host"));  // a network name, though not a valid one
  EXPECT_FALSE(IsNetworkPortName("/dev/ttyS0"));
}

}  // namespace
}  // namespace quorvel::test

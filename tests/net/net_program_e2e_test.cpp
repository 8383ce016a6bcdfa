// quorvel-cli program through Debian's ser2net on 127.0.0.1, bridged to
// quorvel-sim's pseudo-terminal, in both kinds (tcp://, rfc2217://): whole
// runs, and the faults on the network side that must end a run quickly as
// a link error with the socket's reason.
#include <signal.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "program_fixture.h"
#include "ser2net_server.h"

namespace quorvel::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kBlockAcknowledged = "- Writing data block: ";

const char* ModeName(Ser2net::Mode mode) {
  return mode == Ser2net::Mode::Raw ? "tcp" : "rfc2217";
}

class NetworkProgram : public ProgramEndToEnd {
 protected:
  // A simulated KV-310 behind ser2net; the server's URL.
  std::string StartBridgedSim(Ser2net::Mode mode, std::vector<std::string> simArgs = {}) {
    simArgs.insert(simArgs.begin(), {"--device", "KV-310"});
    const std::string terminal = StartSim(simArgs);
    server_ = std::make_unique<Ser2net>(mode, terminal, dir_.string());
    EXPECT_TRUE(server_->Started()) << "ser2net did not start: " << server_->Log();
    return server_->Url();
  }

  // A run that is hit by `fault` once its first block was acknowledged;
  // how long it went on after that.
  ProcessResult ProgramWithFault(const std::string& url, const std::function<void()>& fault,
                                 std::optional<Clock::duration>* afterFault) {
    std::optional<Clock::time_point> hit;
    const ProcessResult run = RunProcess(
        ProgramArgs({"--device", "KV-310", "--port", url, "--report", Path("report.json"),
                     SampleHex()}),
        {"LC_ALL=C"}, std::chrono::seconds(90), {},
        [&hit, &fault](pid_t, const ProcessResult& sofar) {
          if (!hit && sofar.out.find(kBlockAcknowledged) != std::string::npos) {
            hit = Clock::now();
            fault();
          }
          return true;
        });
    if (hit) *afterFault = Clock::now() - *hit;
    return run;
  }

  std::unique_ptr<Ser2net> server_;
};

TEST_F(NetworkProgram, WholeRunThroughBothKindsOfServer) {
  for (const Ser2net::Mode mode : {Ser2net::Mode::Raw, Ser2net::Mode::Rfc2217}) {
    SCOPED_TRACE(ModeName(mode));
    const std::string url = StartBridgedSim(mode);
    const ProcessResult run = Program({"--device", "KV-310", "--port", url, SampleHex()});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("KV-310 programming was successful.\n"), std::string::npos) << run.out;
    server_.reset();
    ExpectReceivedEqualsFile(SampleHex());
  }
}

TEST_F(NetworkProgram, ServerThatCannotBeReachedEndsTheRunAtOnce) {
  const std::string refused = "127.0.0.1:" + std::to_string(FreeTcpPort());
  struct Case {
    std::string port;
    std::string reason;
  };
  const Case cases[] = {
      {"tcp://" + refused, "no connection to " + refused + " (connection refused)"},
      {"rfc2217://" + refused, "no connection to " + refused + " (connection refused)"},
      {"rfc2217://no-such-host.invalid:2217", "unknown host no-such-host.invalid ("},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.port);
    const auto start = Clock::now();
    const ProcessResult run = Program(
        {"--device", "KV-310", "--port", c.port, "--report", Path("report.json"), SampleHex()});
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("\nComm port: " + c.reason), std::string::npos) << run.out;
    const std::string report = ReadAll(Path("report.json"));
    EXPECT_NE(report.find("\"cause\": \"link-error\""), std::string::npos) << report;
    EXPECT_NE(report.find("\"link_problem\": \"" + c.reason), std::string::npos) << report;
  }
}

TEST_F(NetworkProgram, ServerKilledMidRunEndsTheRunAtOnce) {
  for (const Ser2net::Mode mode : {Ser2net::Mode::Raw, Ser2net::Mode::Rfc2217}) {
    SCOPED_TRACE(ModeName(mode));
    const std::string url = StartBridgedSim(mode);
    const std::string address = url.substr(url.find("//") + 2);
    // A killed server's socket ends with a FIN, or with a reset when bytes
    // were left unread in it.
    const std::string reasons[] = {address + " closed the connection",
                                   "connection to " + address +
                                       " lost (connection reset by the server)"};
    std::optional<Clock::duration> afterFault;
    const ProcessResult run = ProgramWithFault(url, [this] { server_->Kill(); }, &afterFault);
    ASSERT_TRUE(afterFault.has_value()) << run.out << run.err;
    EXPECT_LT(*afterFault, std::chrono::seconds(10));
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    const std::string report = ReadAll(Path("report.json"));
    EXPECT_NE(report.find("\"cause\": \"link-error\""), std::string::npos) << report;
    size_t told = 0;
    for (const std::string& reason : reasons) {
      if (run.out.find("\nComm port: " + reason + "\n") != std::string::npos &&
          report.find("\"link_problem\": \"" + reason + "\"") != std::string::npos) {
        ++told;
      }
    }
    EXPECT_EQ(told, 1u) << run.out << report;
  }
}

TEST_F(NetworkProgram, TelnetServerThatStopsAnsweringEndsTheRun) {
  const std::string url = StartBridgedSim(Ser2net::Mode::Rfc2217);
  const std::string reason = url.substr(url.find("//") + 2) + " stopped answering";
  std::optional<Clock::duration> afterFault;
  const ProcessResult run = ProgramWithFault(url, [this] { server_->Pause(); }, &afterFault);
  server_->Resume();
  ASSERT_TRUE(afterFault.has_value()) << run.out << run.err;
  // About a second of silence, then five for the probe's answer.
  EXPECT_LT(*afterFault, std::chrono::seconds(15));
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  EXPECT_NE(run.out.find("\nComm port: " + reason + "\n"), std::string::npos) << run.out;
  const std::string report = ReadAll(Path("report.json"));
  EXPECT_NE(report.find("\"cause\": \"link-error\""), std::string::npos) << report;
}

TEST_F(NetworkProgram, PortsListsTheNetworkPortsGiven) {
  const ProcessResult listed = RunProcess(
      {QUORVEL_CLI, "ports"},
      {"LC_ALL=C", "QUORVEL_EXTRA_PORTS=tcp://10.1.2.3:4001:rfc2217://[fe80::1]:2217:/tmp/x/p"});
  EXPECT_EQ(listed.exitCode, 0) << listed.err;
  for (const std::string name : {"tcp://10.1.2.3:4001", "rfc2217://[fe80::1]:2217", "/tmp/x/p"}) {
    EXPECT_NE(listed.out.find(name + "\n"), std::string::npos) << listed.out;
  }
}

TEST_F(NetworkProgram, PortsFromAFileMayBeNetworkPorts) {
  const std::string url = StartBridgedSim(Ser2net::Mode::Rfc2217);
  {
    std::ofstream ports(Path("ports.txt"));
    ports << "# the plant's device server\n" << url << "\n";
  }
  const ProcessResult run = Program({"--device", "KV-310", "--ports-from", Path("ports.txt"),
                                     ShortSampleHex(64)});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  server_.reset();
  ExpectReceivedEqualsFile(Path("short.hex"));
}

}  // namespace
}  // namespace quorvel::test

#include "ser2net_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace quorvel::test {
namespace {

// True when /proc/net/tcp lists a socket listening on 127.0.0.1:port.
bool Listening(uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == wanted && state == "0A") return true;
  }
  return false;
}

}  // namespace

uint16_t FreeTcpPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  if (fd >= 0) close(fd);
  return port;
}

Ser2net::Ser2net(Mode mode, const std::string& device, const std::string& folder,
                 const std::string& line)
    : mode_(mode), folder_(folder) {
  // A port found free may be taken by another test before ser2net binds
  // it: a few tries with a new port each.
  for (int attempt = 0; attempt < 5 && !listening_; ++attempt) {
    Kill();
    port_ = FreeTcpPort();
    const std::string config = folder_ + "/ser2net.yaml";
    {
      std::ofstream out(config);
      out << "%YAML 1.1\n---\nconnection: &bridge\n  accepter: "
          << (mode_ == Mode::Rfc2217 ? "telnet(rfc2217),tcp," : "tcp,") << "127.0.0.1," << port_
          << "\n  connector: serialdev," << device << "," << line << ",local\n"
          // A new client takes over from one that is still being let go.
          << "  options:\n    kickolduser: true\n";
    }
    const std::string log = folder_ + "/ser2net.log";
    const std::string pidFile = folder_ + "/ser2net.pid";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // -n: stay in the foreground; -u: no UUCP lock files (tests run side by
    // side on terminals of the same name).
    std::vector<std::string> args{"ser2net", "-n", "-u", "-c", config, "-P", pidFile};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "ser2net", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return;  // not installed: Started() stays false
    pid_ = pid;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < until) {
      if (Listening(port_)) {
        listening_ = true;
        break;
      }
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {  // it gave up (port taken)
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

Ser2net::~Ser2net() {
  Kill();
}

std::string Ser2net::Url() const {
  return std::string(mode_ == Mode::Rfc2217 ? "rfc2217" : "tcp") + "://127.0.0.1:" +
         std::to_string(port_);
}

std::string Ser2net::Log() const {
  std::ifstream in(folder_ + "/ser2net.log");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void Ser2net::Pause() {
  if (pid_ > 0) kill(pid_, SIGSTOP);
}

void Ser2net::Resume() {
  if (pid_ > 0) kill(pid_, SIGCONT);
}

void Ser2net::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  listening_ = false;
}

}  // namespace quorvel::test

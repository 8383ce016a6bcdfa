#include "process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

extern char** environ;

namespace quorvel::test {
namespace {

using Clock = std::chrono::steady_clock;

struct Spawned {
  pid_t pid = -1;
  int outFd = -1;
  int errFd = -1;
};

std::vector<char*> CStrings(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

Spawned Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
              bool captureErr) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return {};
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return {};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  if (captureErr) posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<std::string> args = argv;
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  for (const std::string& extra : environment) env.push_back(extra);
  std::vector<char*> argp = CStrings(args);
  std::vector<char*> envp = CStrings(env);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    close(out[0]);
    close(err[0]);
    return {};
  }
  if (!captureErr) close(err[0]);
  return {pid, out[0], captureErr ? err[0] : -1};
}

int WaitExit(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment,
                         std::chrono::milliseconds limit, const std::function<void(pid_t)>& started,
                         const OutputWatch& watch) {
  ProcessResult result;
  Spawned child = Spawn(argv, environment, true);
  if (child.pid < 0) return result;
  if (started) started(child.pid);
  const auto deadline = Clock::now() + limit;
  pollfd fds[2] = {{child.outFd, POLLIN, 0}, {child.errFd, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  bool timedOut = false;
  while (open > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      break;
    }
    if (poll(fds, 2, static_cast<int>(left.count())) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
        if (watch && !watch(child.pid, result) && fds[0].fd >= 0) {
          close(fds[0].fd);
          fds[0].fd = -1;
          --open;
        }
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  if (timedOut) {
    kill(child.pid, SIGKILL);
    WaitExit(child.pid);
    return result;
  }
  result.exitCode = WaitExit(child.pid);
  return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const std::vector<std::string>& environment) {
  Spawned child = Spawn(argv, environment, false);
  pid_ = child.pid;
  outFd_ = child.outFd;
}

BackgroundProcess::~BackgroundProcess() {
  Stop();
}

std::string BackgroundProcess::FirstLine(std::chrono::milliseconds limit) {
  std::string line;
  const auto deadline = Clock::now() + limit;
  while (outFd_ >= 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd fd{outFd_, POLLIN, 0};
    if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) break;
    char c;
    if (read(outFd_, &c, 1) != 1) break;
    if (c == '\n') return line;
    line += c;
  }
  return {};
}

int BackgroundProcess::Stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  const int code = WaitExit(pid_);
  pid_ = -1;
  if (outFd_ >= 0) close(outFd_);
  outFd_ = -1;
  return code;
}

}  // namespace quorvel::test

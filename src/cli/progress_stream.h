// The stream quorvel-cli draws its progress on, written so that a slow
// reader (a slow terminal, a pipe through a rate limit) never holds up the
// runs: a terminal or a pipe gets a descriptor of its own that does not
// block; what it does not take at once waits, and nothing more is offered
// until that has gone. At most one offer waits at a time.
#pragma once

#include <cstdio>
#include <string>

namespace quorvel {

class ProgressStream {
 public:
  explicit ProgressStream(std::FILE* stream);
  ~ProgressStream();
  ProgressStream(const ProgressStream&) = delete;
  ProgressStream& operator=(const ProgressStream&) = delete;

  // Writes what waits, as far as the reader takes it now; true when nothing
  // waits any more.
  bool Ready();
  // Writes as much of `bytes` as the reader takes now; the rest waits.
  // Only when Ready().
  void Offer(std::string bytes);
  // Writes what waits, then `bytes`, waiting for the reader as long as it
  // takes: for what has to be on the terminal before anything else comes.
  void WriteAll(const std::string& bytes);

 private:
  // Writes from waiting_ what the reader takes now.
  void WriteWaiting();

  int fd_ = -1;
  bool ownFd_ = false;
  std::string waiting_;
};

}  // namespace quorvel

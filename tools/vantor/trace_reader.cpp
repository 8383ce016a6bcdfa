#include "vantor/trace_reader.h"

#include <cerrno>
#include <cstdio>
#include <memory>

#include "datafile/system_error_text.h"
#include "vantor/vantor_texts.h"

namespace quorvel {

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Takes the lines of a file one at a time, each cut short (and marked) once
// it is longer than a trace line can be.
class LineSplitter {
 public:
  LineSplitter(TraceFileContents& out, size_t maxRows, size_t maxBytes)
      : out_(out), maxRows_(maxRows), maxBytes_(maxBytes) {}

  void Take(std::string_view chunk) {
    while (!chunk.empty()) {
      const size_t end = chunk.find('\n');
      const std::string_view piece = chunk.substr(0, end);
      if (!tooLong_) {
        if (line_.size() + piece.size() > kMaxTraceLineLength) {
          tooLong_ = true;
          line_.clear();
          line_.shrink_to_fit();
        } else {
          line_.append(piece);
        }
      }
      if (end == std::string_view::npos) return;
      EndLine();
      chunk.remove_prefix(end + 1);
    }
  }

  void Finish() {
    if (tooLong_ || !line_.empty()) EndLine();
  }

  bool HeaderSeen() const { return headerSeen_; }
  size_t Lines() const { return lines_; }

 private:
  void EndLine() {
    ++lines_;
    std::string_view line = line_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (lines_ == 1) headerSeen_ = !tooLong_ && line == kTraceHeader;
    if (tooLong_) {
      ++out_.skippedLines;
    } else if (auto row = ParseTraceLine(line)) {
      bytes_ += row->bytes.size();
      out_.rows.push_back(std::move(*row));
      while (out_.rows.size() > maxRows_ || (bytes_ > maxBytes_ && out_.rows.size() > 1)) {
        bytes_ -= out_.rows.front().bytes.size();
        out_.rows.pop_front();
        ++out_.droppedRows;
      }
    } else if (!line.empty() && line[0] != '#') {
      ++out_.skippedLines;
    }
    line_.clear();
    tooLong_ = false;
  }

  TraceFileContents& out_;
  const size_t maxRows_;
  const size_t maxBytes_;
  size_t bytes_ = 0;
  std::string line_;
  bool tooLong_ = false;
  bool headerSeen_ = false;
  size_t lines_ = 0;
};

}  // namespace

TraceFileContents ReadTraceFile(const std::string& path, size_t maxRows, size_t maxBytes) {
  TraceFileContents contents;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    contents.failure = SystemErrorText(errno);
    return contents;
  }
  LineSplitter lines(contents, maxRows, maxBytes);
  std::string buffer(64 * 1024, '\0');
  while (true) {
    const size_t got = std::fread(buffer.data(), 1, buffer.size(), file.get());
    lines.Take(std::string_view(buffer.data(), got));
    if (got < buffer.size()) break;
  }
  if (std::ferror(file.get())) {
    contents.failure = ReadFailedText(errno);
  } else {
    lines.Finish();
    if (!lines.HeaderSeen()) contents.failure = vantor_texts::kNotATrace.str();
  }
  if (!contents.failure.empty()) contents = TraceFileContents{{}, 0, 0, contents.failure};
  return contents;
}

}  // namespace quorvel

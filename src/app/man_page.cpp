#include "app/man_page.h"

#include <fstream>

#include "app/globals.h"
#include "app/text_utils.h"

namespace quorvel {
namespace {

constexpr TextPair kNameHeading{"NAZWA", "NAME"};
constexpr TextPair kUserCommands{"Polecenia użytkownika", "User Commands"};

size_t IndentOf(std::string_view line) {
  const size_t first = line.find_first_not_of(' ');
  return first == std::string_view::npos ? line.size() : first;
}

std::string_view Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// A macro's argument in double quotes (the headings have none of their
// own); a hyphen there is a hyphen, not a minus sign.
std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) out += c == '\\' ? std::string("\\e") : std::string(1, c);
  return out + "\"";
}

// Renders the plain way line by line. What was begun (a paragraph, an item,
// an example) is written out when something else begins.
class PageWriter {
 public:
  explicit PageWriter(std::string& out) : out_(out) {}

  void Text(std::string_view text) {
    size_t start = 0;
    while (start <= text.size()) {
      const size_t end = std::min(text.find('\n', start), text.size());
      Line(text.substr(start, end - start));
      start = end + 1;
    }
    Flush();
  }

 private:
  enum class Block { None, Paragraph, Item, Example };

  void Line(std::string_view line) {
    const size_t indent = IndentOf(line);
    if (indent == line.size()) {
      Flush();
      return;
    }
    if (indent == 0) {
      if (line.back() == ':') {
        Flush();
        out_ += ".SH " + Quoted(UpperText(line.substr(0, line.size() - 1))) + "\n";
        return;
      }
      if (block_ != Block::Paragraph) {
        Flush();
        block_ = Block::Paragraph;
      }
      Append(text_, Trimmed(line));
      return;
    }
    if (block_ == Block::Item && indent > itemIndent_) {
      const std::string_view words = Trimmed(line);
      Append(words.front() == '[' && description_.empty() ? term_ : description_, words);
      return;
    }
    if (block_ == Block::Example || (indent > 2 && block_ != Block::Item)) {
      if (block_ != Block::Example) {
        Flush();
        block_ = Block::Example;
        exampleIndent_ = indent;
      }
      example_.emplace_back(line.substr(std::min(indent, exampleIndent_)));
      return;
    }
    Flush();
    block_ = Block::Item;
    itemIndent_ = indent;
    const std::string_view words = Trimmed(line);
    const size_t gap = words.find("  ");
    term_ = std::string(words.substr(0, gap));
    if (gap != std::string_view::npos) Append(description_, Trimmed(words.substr(gap)));
  }

  static void Append(std::string& to, std::string_view words) {
    if (!to.empty()) to += ' ';
    to += words;
  }

  void Flush() {
    switch (block_) {
      case Block::None:
        break;
      case Block::Paragraph:
        out_ += ".PP\n" + RoffText(text_) + "\n";
        break;
      case Block::Item:
        out_ += ".TP\n\\fB" + RoffText(term_) + "\\fR\n";
        if (!description_.empty()) out_ += RoffText(description_) + "\n";
        break;
      case Block::Example:
        out_ += ".PP\n.RS 4\n.nf\n";
        for (const std::string& line : example_) out_ += RoffText(line) + "\n";
        out_ += ".fi\n.RE\n";
        break;
    }
    block_ = Block::None;
    text_.clear();
    term_.clear();
    description_.clear();
    example_.clear();
  }

  std::string& out_;
  Block block_ = Block::None;
  std::string text_;
  std::string term_;
  std::string description_;
  size_t itemIndent_ = 0;
  size_t exampleIndent_ = 0;
  std::vector<std::string> example_;
};

}  // namespace

std::string RoffText(std::string_view text) {
  std::string out;
  if (!text.empty() && (text.front() == '.' || text.front() == '\'')) out += "\\&";
  for (const char c : text) {
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
  }
  return out;
}

std::string ManPageText(const ManualPage& page, std::string_view version, std::string_view date) {
  std::string out = ".TH " + Quoted(UpperText(page.program)) + " 1 " + Quoted(date) + " " +
                    Quoted(version) + " " + Quoted(kUserCommands.text()) + "\n";
  out += ".SH " + Quoted(kNameHeading.text()) + "\n";
  out += RoffText(page.program) + " \\- " + RoffText(page.summary) + "\n";
  PageWriter writer(out);
  for (const std::string& text : page.texts) writer.Text(text);
  return out;
}

bool WriteManPage(const std::string& path, const ManualPage& page, std::string_view version,
                  std::string_view date) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << ManPageText(page, version, date);
  file.close();
  return !file.fail();
}

}  // namespace quorvel

#include "app/man_page.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/globals.h"

namespace quorvel {
namespace {

// The page's body: what follows the header and the NAME line.
std::string Body(const std::string& text) {
  const std::string page = ManPageText({"tool", "does things", {text}}, "Tool 1.0", "2026-01-02");
  const std::string head =
      ".TH \"TOOL\" 1 \"2026-01-02\" \"Tool 1.0\" \"User Commands\"\n"
      ".SH \"NAME\"\n"
      "tool \\- does things\n";
  EXPECT_EQ(page.substr(0, head.size()), head);
  return page.substr(head.size());
}

TEST(ManPage, EachShapeOfThePlainWayBecomesItsMarkup) {
  Language = 1;
  struct Case {
    const char* name;
    std::string text;
    std::string roff;
  };
  const std::vector<Case> cases = {
      {"heading", "Exit codes:\n", ".SH \"EXIT CODES\"\n"},
      {"running text joined into paragraphs",
       "One line\nand its second.\n\nAnother paragraph.\n",
       ".PP\nOne line and its second.\n.PP\nAnother paragraph.\n"},
      {"command with further options and a description",
       "  tool run --port PORT [--port PORT...]\n"
       "               [--baud RATE] FILE\n"
       "      programs it;\n"
       "      [brackets] in the description stay there\n",
       ".TP\n\\fBtool run \\-\\-port PORT [\\-\\-port PORT...] [\\-\\-baud RATE] FILE\\fR\n"
       "programs it; [brackets] in the description stay there\n"},
      {"term and description on one line, continued",
       "  3  written, restart not confirmed:\n     switch it off and on\n  1  failure\n",
       ".TP\n\\fB3\\fR\nwritten, restart not confirmed: switch it off and on\n"
       ".TP\n\\fB1\\fR\nfailure\n"},
      {"term alone on its line, description below",
       "  --freeze-after-block K:SECONDS\n                       stop for a while\n",
       ".TP\n\\fB\\-\\-freeze\\-after\\-block K:SECONDS\\fR\nstop for a while\n"},
      {"example after running text, kept as it is",
       "Run it so\n    tool run \\\n        --port p1 file\n",
       ".PP\nRun it so\n.PP\n.RS 4\n.nf\ntool run \\e\n    \\-\\-port p1 file\n.fi\n.RE\n"},
      {"a leading dot or quote is no request", ".hidden files\n'quoted'\n\n.x\n",
       ".PP\n\\&.hidden files 'quoted'\n.PP\n\\&.x\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Body(c.text), c.roff);
  }
}

TEST(ManPage, HeadingsAreInTheProgramsLanguage) {
  Language = 0;
  const std::string page =
      ManPageText({"tool", "robi rzeczy", {"Kody wyjścia:\n  0  sukces\n"}}, "Tool 1.0", "2026-01-02");
  Language = 1;
  EXPECT_NE(page.find("\"Polecenia użytkownika\"\n.SH \"NAZWA\"\ntool \\- robi rzeczy\n"),
            std::string::npos)
      << page;
  EXPECT_NE(page.find(".SH \"KODY WYJŚCIA\"\n.TP\n\\fB0\\fR\nsukces\n"), std::string::npos) << page;
}

}  // namespace
}  // namespace quorvel

#include "cli/cli_args.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

TEST(CliArgs, SeparatesOptionsFlagsAndPositionals) {
  const CliArgs args = ParseCliArgs({"--device", "M-530", "in.hex", "--yes", "--baud=9600", "out"},
                                    {"device", "baud"}, {"yes"});
  EXPECT_TRUE(args.error.empty());
  EXPECT_EQ(args.Get("device"), "M-530");
  EXPECT_EQ(args.Get("baud"), "9600");
  EXPECT_TRUE(args.Flag("yes"));
  EXPECT_EQ(args.positionals, (std::vector<std::string>{"in.hex", "out"}));
}

TEST(CliArgs, ReportsUnknownOptionsAndMissingValues) {
  EXPECT_EQ(ParseCliArgs({"--colour"}, {"device"}, {"yes"}).error, "--colour");
  EXPECT_EQ(ParseCliArgs({"--device"}, {"device"}, {}).error, "--device");
  EXPECT_EQ(ParseCliArgs({"--yes=1"}, {}, {"yes"}).error, "--yes");
}

TEST(CliArgs, DoubleDashEndsOptions) {
  const CliArgs args = ParseCliArgs({"--", "--not-an-option"}, {}, {});
  EXPECT_TRUE(args.error.empty());
  EXPECT_EQ(args.positionals, (std::vector<std::string>{"--not-an-option"}));
}

}  // namespace
}  // namespace quorvel

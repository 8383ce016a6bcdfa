// ReadHexFile against GNU objcopy: random images are converted to Intel HEX
// and back to a binary with the gaps filled with 0xFF, and the reader must
// give exactly that binary and the lowest address.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <random>

#include "datafile/hex_file.h"
#include "test_support.h"

namespace quorvel {
namespace {

constexpr const char* kObjcopy = "/usr/bin/objcopy";

struct Segment {
  uint32_t address;
  size_t size;
};

struct ObjcopyCase {
  const char* what;
  std::vector<Segment> segments;
};

class HexObjcopyTest : public test::TempDirTest, public ::testing::WithParamInterface<ObjcopyCase> {
 protected:
  bool Run(const std::string& command) {
    int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  // The HEX lines of one segment of random bytes, without the end record.
  std::string SegmentRecords(const Segment& segment, uint32_t seed, int index) {
    std::mt19937 random(seed);
    std::string bytes(segment.size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    const std::string bin = Path("part" + std::to_string(index) + ".bin");
    const std::string hex = Path("part" + std::to_string(index) + ".hex");
    WriteFile(bin, bytes);
    char address[16];
    std::snprintf(address, sizeof address, "0x%X", segment.address);
    EXPECT_TRUE(Run(std::string(kObjcopy) + " -I binary -O ihex --change-addresses=" + address +
                    " " + bin + " " + hex));
    std::string text = ReadFile(hex);
    // Drop the end record, so that segments can be put one after another.
    size_t end = text.find(":00000001FF");
    EXPECT_NE(end, std::string::npos);
    return text.substr(0, end);
  }
};

TEST_P(HexObjcopyTest, MatchesObjcopy) {
  if (access(kObjcopy, X_OK) != 0) GTEST_SKIP() << "objcopy not installed";
  const ObjcopyCase& c = GetParam();
  std::string hexText;
  uint32_t lowest = 0xFFFFFFFF;
  for (size_t i = 0; i < c.segments.size(); ++i) {
    hexText += SegmentRecords(c.segments[i], 1000 + static_cast<uint32_t>(i), static_cast<int>(i));
    lowest = std::min(lowest, c.segments[i].address);
  }
  hexText += ":00000001FF\r\n";
  const std::string hex = Path("all.hex");
  const std::string bin = Path("all.bin");
  WriteFile(hex, hexText);
  ASSERT_TRUE(Run(std::string(kObjcopy) + " -I ihex -O binary --gap-fill 0xff " + hex + " " + bin));
  const std::string expected = ReadFile(bin);

  FirmwareImage image;
  ASSERT_EQ(ReadHexFile(hex, image), 0);
  EXPECT_EQ(image.ImageStart, lowest);
  ASSERT_EQ(image.ImageSize(), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image.ImageData.begin(),
                         [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
}

INSTANTIATE_TEST_SUITE_P(
    Images, HexObjcopyTest,
    ::testing::Values(
        ObjcopyCase{"at zero", {{0x0, 5000}}}, ObjcopyCase{"odd address", {{0x1234, 777}}},
        // Crosses 64 KiB below 1 MiB: extended segment records.
        ObjcopyCase{"segment records", {{0x1234, 150000}}},
        // Crosses a 64 KiB boundary high up: extended linear records.
        ObjcopyCase{"linear records", {{0x0800FF00, 70000}}},
        ObjcopyCase{"two segments with a gap", {{0x0800FF00, 1000}, {0x08020010, 3001}}},
        ObjcopyCase{"two segments, higher first", {{0x08020010, 3001}, {0x0800FF00, 1000}}}),
    [](const ::testing::TestParamInfo<ObjcopyCase>& info) {
      std::string name;
      for (const char* p = info.param.what; *p != '\0'; ++p) {
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      }
      return name;
    });

}  // namespace
}  // namespace quorvel

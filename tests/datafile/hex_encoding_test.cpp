// Encoding a HEX file into an encoded data file: a refused HEX file asks for
// no name and writes nothing, a failed write keeps the file that was there,
// and what is written reads back as the HEX file's image for the device type.
#include "datafile/hex_encoding.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "datafile/file_checks.h"
#include "hex_test_support.h"
#include "test_support.h"

namespace quorvel {
namespace {

constexpr uint16_t kDevCode = 0x0107;
constexpr uint16_t kVariant = 0x0002;
const std::vector<uint8_t> kImage = {0x10, 0x20, 0x30, 0x40, 0x50};
constexpr uint32_t kImageStart = 0x08000100;

struct EncodeCase {
  const char* what;
  // The HEX file's text; none: there is no such file.
  std::optional<std::string> hexText;
  // The name the host gives, in the test's folder; empty: it gives none.
  const char* target;
  // What the target held before; none: it was not there.
  std::optional<std::string> oldTarget;
  HexEncodingEnd end;
  DataFileResult hexResult;
  // The line of the HEX file's problem (0: none or not tied to a line).
  uint32_t problemLine;
  const char* writeFailure;
};

class HexEncodingTest : public test::TempDirTest {};

TEST_F(HexEncodingTest, EncodesOnlyAReadHexFileIntoTheChosenFile) {
  using test::Data;
  using test::EndOfFile;
  using test::Linear;
  using test::Lines;
  using test::Record;
  const std::string good = Lines({Linear(0x0800), Data(0x0100, kImage), EndOfFile()});
  const std::string badChecksum =
      Lines({Linear(0x0800), Record(0, 0x0100, kImage, 1), EndOfFile()});
  const std::string noImage = Lines({EndOfFile()});
  const std::string encoded = Path("encoded.qvl");
  ASSERT_TRUE(WriteDataFile(encoded, kImage, nullptr, kDevCode, kVariant, kImageStart));
  const std::string encodedText = ReadFile(encoded);

  const EncodeCase cases[] = {
      {"no HEX file", std::nullopt, "out.qvl", std::nullopt, HexEncodingEnd::HexRefused,
       DataFileResult::FileNotFound, 0, ""},
      {"a spoilt checksum", badChecksum, "out.qvl", std::nullopt, HexEncodingEnd::HexRefused,
       DataFileResult::CrcError, 2, ""},
      {"an encoded file is no HEX file", encodedText, "out.qvl", "old", HexEncodingEnd::HexRefused,
       DataFileResult::BadFormat, 0, ""},
      {"no name given", good, "", std::nullopt, HexEncodingEnd::NoTarget,
       DataFileResult::HexFileLoaded, 0, ""},
      {"an empty image over an old file", noImage, "out.qvl", "old", HexEncodingEnd::WriteFailed,
       DataFileResult::HexFileLoaded, 0, "the image is empty"},
      {"a missing folder", good, "missing/out.qvl", std::nullopt, HexEncodingEnd::WriteFailed,
       DataFileResult::HexFileLoaded, 0, "no such file or directory"},
      {"a new file", good, "out.qvl", std::nullopt, HexEncodingEnd::Written,
       DataFileResult::HexFileLoaded, 0, ""},
      {"an old file replaced", good, "out.qvl", "old", HexEncodingEnd::Written,
       DataFileResult::HexFileLoaded, 0, ""},
  };
  for (const EncodeCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string hex = Path("in.hex");
    std::remove(hex.c_str());
    if (c.hexText) WriteFile(hex, *c.hexText);
    const std::string target = *c.target == '\0' ? std::string() : Path(c.target);
    if (!target.empty()) std::remove(target.c_str());
    if (c.oldTarget) WriteFile(target, *c.oldTarget);
    int asked = 0;
    const HexEncoding encoding = EncodeHexFile(hex, kDevCode, kVariant, [&] {
      ++asked;
      return target;
    });

    EXPECT_EQ(encoding.End, c.end);
    EXPECT_EQ(encoding.Hex.Result, c.hexResult);
    EXPECT_EQ(encoding.Hex.Problem.Line, c.problemLine);
    EXPECT_EQ(encoding.Hex.Problem.Cause.empty(), c.end != HexEncodingEnd::HexRefused);
    EXPECT_EQ(encoding.WriteFailure, c.writeFailure);
    // The name is asked for once the HEX file was read, and only then.
    EXPECT_EQ(asked, c.end == HexEncodingEnd::HexRefused ? 0 : 1);
    EXPECT_EQ(encoding.Target, asked == 1 ? target : std::string());
    if (target.empty()) continue;
    if (c.end != HexEncodingEnd::Written) {
      // Nothing written: the file that was there is as it was.
      EXPECT_EQ(PathExists(target), c.oldTarget.has_value());
      if (c.oldTarget) {
        EXPECT_EQ(ReadFile(target), *c.oldTarget);
      }
      continue;
    }
    const DataFileContents written = ReadDataFile(target, kAcceptEncoded);
    EXPECT_EQ(written.Result, DataFileResult::EncodedFileLoaded);
    EXPECT_EQ(written.DevCode, kDevCode);
    EXPECT_EQ(written.Variant, kVariant);
    EXPECT_EQ(written.Image.ImageStart, kImageStart);
    EXPECT_EQ(written.Image.ImageData, kImage);
    // Byte for byte what the writer makes of the same image.
    EXPECT_EQ(ReadFile(target), encodedText);
  }
}

}  // namespace
}  // namespace quorvel

// Intel HEX input.
#pragma once

#include <cstdint>
#include <string>

#include "datafile/data_file.h"

namespace quorvel {

// Reads an Intel HEX file into one contiguous image (gaps 0xFF): 0 on success,
// -5 on a record checksum mismatch, -1 on any other failure (including an
// image larger than kMaxImageSize or a span that wraps past 32 bits). On
// failure the image keeps its previous (now invalid) content.
int32_t ReadHexFile(const std::string& fileName, FirmwareImage& image);

}  // namespace quorvel

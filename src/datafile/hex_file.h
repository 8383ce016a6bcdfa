// Intel HEX input.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "datafile/byte_source.h"
#include "datafile/data_file.h"

namespace quorvel {

// Reads an Intel HEX file into one contiguous image (gaps 0xFF): 0 on success,
// -5 on a record checksum mismatch, -1 on any other failure. On failure the
// image keeps its previous (now invalid) content and `problem`, when given,
// says where and why; it is cleared on success.
//
// Every line that starts with ':' must be one whole record: hexadecimal
// digits in pairs, exactly as many as its byte count asks for, then at most
// blanks and tabs; lines that do not start with ':' are skipped. The file
// must end with its end-of-file record (type 1, byte count 0, whose checksum
// is not checked); nothing after it is read. Types 2 and 4 must have byte
// count 2, types 3 and 5 byte count 4; any other type only has its checksum
// checked. A file without data records gives an empty image with start
// 0xFFFFFFFF; a span larger than kMaxImageSize, or one that runs past
// 0xFFFFFFFF, is refused.
int32_t ReadHexFile(const std::string& fileName, FirmwareImage& image,
                    DataFileProblem* problem = nullptr);

// The same over the bytes of a file already in memory, or any source.
int32_t ReadHexBytes(std::span<const uint8_t> bytes, FirmwareImage& image,
                     DataFileProblem* problem = nullptr);
int32_t ReadHexSource(ByteSource& source, FirmwareImage& image, DataFileProblem* problem);

}  // namespace quorvel

#include "datafile/system_error_text.h"

#include <cerrno>
#include <cstring>

#include "app/globals.h"
#include "app/text_utils.h"

namespace quorvel {
namespace {

struct ErrorText {
  int error;
  TextPair text;
};

constexpr ErrorText kErrorTexts[] = {
    {EACCES, {"odmowa dostępu", "permission denied"}},
    {EPERM, {"operacja niedozwolona", "operation not permitted"}},
    {ENOENT, {"nie ma takiego pliku ani folderu", "no such file or directory"}},
    {ENOTDIR, {"część ścieżki nie jest folderem", "a part of the path is not a directory"}},
    {EISDIR, {"to jest folder", "is a directory"}},
    {ENAMETOOLONG, {"nazwa pliku jest za długa", "file name too long"}},
    {ENOSPC, {"brak miejsca na dysku", "no space left on the device"}},
    {EDQUOT, {"przekroczony przydział miejsca na dysku", "disk quota exceeded"}},
    {EFBIG, {"plik jest za duży", "file too large"}},
    {EROFS, {"system plików tylko do odczytu", "read-only file system"}},
    {EIO, {"błąd wejścia/wyjścia", "input/output error"}},
    {ELOOP, {"za dużo poziomów dowiązań symbolicznych", "too many levels of symbolic links"}},
    {EMFILE, {"za dużo otwartych plików", "too many open files"}},
    {ENFILE, {"za dużo otwartych plików w systemie", "too many open files in the system"}},
    {ENOMEM, {"brak pamięci", "out of memory"}},
    {EBUSY, {"plik jest zajęty", "file is busy"}},
    {ETXTBSY, {"plik jest zajęty", "file is busy"}},
    {EEXIST, {"plik już istnieje", "file exists"}},
    {EINVAL, {"nieprawidłowa nazwa lub argument", "invalid name or argument"}},
    {EXDEV, {"plik leży na innym systemie plików", "the file is on another file system"}},
};

constexpr TextPair kReadFailed{"błąd odczytu: %s", "reading failed: %s"};
constexpr TextPair kOtherError{"błąd systemu nr %s (%s)", "system error %s (%s)"};

}  // namespace

std::string SystemErrorText(int error) {
  for (const ErrorText& known : kErrorTexts) {
    if (known.error == error) return known.text.str();
  }
  char buffer[128] = {};
  // The GNU strerror_r: thread-safe, returns the text (maybe not in buffer).
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return FormatText(kOtherError.text(), {std::to_string(error), text});
}

std::string ReadFailedText(int error) {
  return FormatText(kReadFailed.text(), {SystemErrorText(error)});
}

}  // namespace quorvel

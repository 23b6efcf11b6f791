// Writes the argument vector that the C runtime built from this process's
// command line to standard output: each argument as UTF-8, ended by a NUL.
// The command-line comparison holds the probe's own splitting against it.

#include <windows.h>

#include <string>

#include "cli/utf.h"

int wmain(int argc, wchar_t* argv[]) {
  std::string out;
  for (int i = 0; i < argc; ++i) {
    std::u16string argument;
    for (const wchar_t* c = argv[i]; *c != L'\0'; ++c)
      argument.push_back(static_cast<char16_t>(*c));
    out += ketrova::utf16_to_utf8(argument);
    out.push_back('\0');
  }
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  const char* data = out.data();
  DWORD left = static_cast<DWORD>(out.size());
  while (left > 0) {
    DWORD written = 0;
    if (!WriteFile(output, data, left, &written, nullptr) || written == 0) return 1;
    data += written;
    left -= written;
  }
  return 0;
}

// The process on Windows: the UTF-16 command line, the standard handles and
// the exit.

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "cli/command_line.h"
#include "cli/utf.h"
#include "os/process.h"

namespace ketrova {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 code units");

// Copies wide text into a UTF-16 string, one code unit at a time.
std::u16string to_utf16(std::wstring_view text) {
  std::u16string result;
  result.reserve(text.size());
  for (const wchar_t c : text) result.push_back(static_cast<char16_t>(c));
  return result;
}

std::wstring module_file_name() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(path.size());
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), size);
    if (length == 0) return {};
    if (length < size) {
      path.resize(length);
      return path;
    }
    // Truncated: the path did not fit.
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

std::string describe_error(DWORD code) {
  wchar_t message[512];
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, message, 512, nullptr);
  std::wstring_view text(message, length);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) {
    text.remove_suffix(1);
  }
  if (text.empty()) return "error " + std::to_string(code);
  return utf16_to_utf8(to_utf16(text));
}

// Writes all bytes to a standard handle, unchanged. A missing or invalid
// handle counts as written.
OutputResult write_standard_handle(DWORD which, std::string_view bytes) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return {};
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1U << 30));
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr)) {
      const DWORD error = GetLastError();
      if (error == ERROR_INVALID_HANDLE) return {};
      return {false, describe_error(error)};
    }
    if (written == 0) return {false, describe_error(ERROR_WRITE_FAULT)};
    bytes.remove_prefix(written);
  }
  return {};
}

}  // namespace

void prepare_process() {}

std::vector<std::string> process_arguments(int, char**) {
  // The runtime's own argv is not used: the command line is split here by
  // the documented rules, the same way on every Windows runtime.
  const wchar_t* const line = GetCommandLineW();
  const std::wstring_view text = line != nullptr ? std::wstring_view(line) : std::wstring_view();
  std::vector<std::string> arguments;
  if (text.empty()) {
    arguments.push_back(utf16_to_utf8(to_utf16(module_file_name())));
    return arguments;
  }
  const std::vector<std::u16string> pieces = split_command_line(to_utf16(text));
  arguments.reserve(pieces.size());
  for (const std::u16string& piece : pieces) arguments.push_back(utf16_to_utf8(piece));
  return arguments;
}

OutputResult write_standard_output(std::string_view bytes) {
  return write_standard_handle(STD_OUTPUT_HANDLE, bytes);
}

void write_standard_error(std::string_view bytes) {
  static_cast<void>(write_standard_handle(STD_ERROR_HANDLE, bytes));
}

void exit_process(int status) {
  ExitProcess(static_cast<UINT>(status));
}

}  // namespace ketrova

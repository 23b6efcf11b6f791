// Holds the probe's splitting of its command line against the C runtime's.
//
// For each raw command line below, starts argv_echo.exe with it (its C
// runtime builds argv and echoes it), computes from that argv the report the
// probe must print, then starts the probe with the same command line through
// CreateProcessW and compares its output byte for byte.
//
// Every case makes the run stop before the ICMP service: a missing or
// invalid address. A case that would reach the service is an error of the
// case and the probe is not started for it.
//
// Usage: command_line_compare <ketrova-probe.exe> <argv_echo.exe>

#include <windows.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "echo/echo_service.h"
#include "echo/echo_status.h"
#include "main/probe.h"
#include "report/report.h"

namespace {

struct Case {
  const char* name;
  // The command line after argument 0, or the whole command line when
  // whole_line is set (to put quotes and options into argument 0).
  std::wstring line;
  bool whole_line = false;
};

// The cases. Left out: backslashes before a quote in argument 0. Wine's C
// runtime treats them there as in the other arguments ("a\"b c" gives the
// program name a"b c, and "C:\dir\\" gives C:\dir\), where the documented
// rule takes no escapes in argument 0 (the program name a\b, then the
// argument c; and C:\dir\\); the unit tests of the splitter hold that rule.
const std::vector<Case> CASES = {
    {"quoted value with spaces", LR"(--src-ip "192.0.2.1 x" --target-ip "a b")"},
    {"joined option with quotes inside", LR"(--src-ip=a"b c"d --target-ip=" e ")"},
    {"odd backslash run before a quote", LR"(--src-ip a\"b --target-ip a\\\"b)"},
    {"even backslash run before a quote", LR"(--src-ip a\\"b c" --target-ip a\\\\"b c")"},
    {"backslashes before a closing quote", LR"(--src-ip "a\\" --target-ip "b\\\\")"},
    {"backslashes not before a quote", LR"(--src-ip a\b\\c --target-ip \\\x)"},
    {"trailing backslashes", LR"(--src-ip a\ --target-ip b\\)"},
    {"escaped quotes alone", LR"(--src-ip \" --target-ip \\\")"},
    {"escaped quote before doubled quotes", LR"(--src-ip \\"""" c" --target-ip "\""" d)"},
    {"two quotes inside quoting", LR"(--src-ip "a""b c" --target-ip x)"},
    {"quotes inside quoting, then a closing one", LR"(--src-ip "a b""" --target-ip """")"},
    {"runs of quotes", LR"(--src-ip """a""" --target-ip x)"},
    {"runs of quotes keep quoting on", LR"(--src-ip a"""b --target-ip """""")"},
    {"four and five quotes", LR"(--src-ip "a b"""" c" --target-ip """"" d)"},
    {"two quotes outside quoting", LR"(--src-ip a""b --target-ip ""x"")"},
    {"empty quoted arguments", LR"(--src-ip "" --target-ip "")"},
    {"empty quoted argument then more", LR"(--target-ip "" --src-ip "" x)"},
    {"unterminated quote", LR"(--src-ip x --target-ip "a b)"},
    {"quote opened mid-argument", LR"(--src-ip a"b c"d"e f" --target-ip g)"},
    {"tabs as separators", L"--src-ip\t\"a\tb\"\t--target-ip\t\tc"},
    {"runs of blanks", L"  --src-ip   \"x\"  \t --target-ip  y  "},
    {"non-ASCII and outside the BMP",
     L"--src-ip \"caf\u00e9 \U0001F600\" --target-ip \u00e9\U0001F600"},
    {"option name quoted", LR"("--src-ip" "a b" "--target-ip"=c)"},
    {"no source", LR"(--target-ip "192.0.2.1" x)"},
    {"quoted program name", LR"("C:\Program Files\probe.exe" --src-ip a\"b)", true},
    {"program name with backslashes", LR"(C:\dir\probe.exe --src-ip "a b")", true},
    {"program name is the option", LR"("--src-ip=a b" --target-ip c)", true},
    {"program name goes on after its quotes", LR"("--src-ip=a b"c --target-ip d)", true},
    {"program name quoted in the middle", LR"(--src-ip="a b" --target-ip d)", true},
    {"program name swallows the line", LR"("probe --src-ip a --target-ip b)", true},
    {"program name with backslashes inside quotes", LR"("--src-ip=C:\dir\\x" --target-ip y)", true},
    {"program name with a tab inside quotes", L"\"a\tb\"\t--src-ip\tx", true},
    {"program name after a leading blank", LR"( --src-ip "x y")", true},
    {"program name only, quoted and empty", LR"("")", true},
    {"empty command line", L"", true},
};

std::wstring widen(std::string_view text) {
  if (text.empty()) return {};
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(),
                      length);
  return result;
}

std::string narrow(std::wstring_view text) {
  if (text.empty()) return {};
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length,
                      nullptr, nullptr);
  return result;
}

// The paths arrive as Wine passes them (Z:/work/...) or as Windows paths.
std::wstring windows_path(std::string_view path) {
  std::wstring result = widen(path);
  for (wchar_t& c : result) {
    if (c == L'/') c = L'\\';
  }
  return result;
}

struct Started {
  bool ok = false;
  std::string output;
  DWORD exit_code = 0;
};

// Runs `application` with exactly `command_line`, standard output captured.
Started run(const std::wstring& application, const std::wstring& command_line) {
  Started result;
  SECURITY_ATTRIBUTES inheritable{};
  inheritable.nLength = sizeof inheritable;
  inheritable.bInheritHandle = TRUE;
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) return result;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write_end;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  std::vector<wchar_t> line(command_line.begin(), command_line.end());
  line.push_back(L'\0');
  const BOOL started = CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &process);
  CloseHandle(write_end);
  if (!started) {
    CloseHandle(read_end);
    return result;
  }
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    result.output.append(buffer, got);
  }
  CloseHandle(read_end);
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &result.exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  result.ok = true;
  return result;
}

std::vector<std::string> split_at_nul(const std::string& bytes) {
  std::vector<std::string> pieces;
  std::string piece;
  for (const char c : bytes) {
    if (c == '\0') {
      pieces.push_back(piece);
      piece.clear();
    } else {
      piece.push_back(c);
    }
  }
  return pieces;
}

// Stands in for the ICMP service when the expected report is computed: the
// cases never get as far as opening it.
class NoIcmpService final : public ketrova::IcmpEchoService {
 public:
  bool open() override {
    opened = true;
    return false;
  }
  ketrova::EchoOutcome send_echo(ketrova::Ipv4Address, ketrova::Ipv4Address,
                                 std::span<const std::uint8_t>, std::span<std::uint8_t>,
                                 std::uint32_t) override {
    return {0, ketrova::IP_STATUS_GENERAL_FAILURE};
  }
  void close() override {}

  bool opened = false;
};

std::string show(const std::vector<std::string>& arguments) {
  std::string text = "[";
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i != 0) text += ", ";
    text += "<" + arguments[i] + ">";
  }
  return text + "]";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: command_line_compare <ketrova-probe.exe> <argv_echo.exe>\n");
    return 2;
  }
  const std::wstring probe = windows_path(argv[1]);
  const std::wstring echo = windows_path(argv[2]);

  int failures = 0;
  for (const Case& c : CASES) {
    const std::wstring line = c.whole_line ? c.line : L"\"" + probe + L"\" " + c.line;
    const Started runtime = run(echo, line);
    if (!runtime.ok || runtime.exit_code != 0) {
      std::printf("FAIL %s: argv_echo did not run\n", c.name);
      ++failures;
      continue;
    }
    const std::vector<std::string> arguments = split_at_nul(runtime.output);
    NoIcmpService icmp;
    const std::string expected = ketrova::format_report_line(ketrova::run_probe(arguments, icmp));
    if (icmp.opened) {
      std::printf("FAIL %s: the runtime's arguments %s would reach the network\n", c.name,
                  show(arguments).c_str());
      ++failures;
      continue;
    }
    const Started probed = run(probe, line);
    if (!probed.ok || probed.exit_code != 0 || probed.output != expected) {
      std::printf(
          "FAIL %s\n  command line: %s\n  runtime argv: %s\n  expected:     %s  probe (exit %lu): "
          "%s\n",
          c.name, narrow(line).c_str(), show(arguments).c_str(), expected.c_str(),
          static_cast<unsigned long>(probed.exit_code), probed.output.c_str());
      ++failures;
      continue;
    }
    std::printf("ok   %s: %s", c.name, probed.output.c_str());
  }
  std::printf("%d of %zu cases failed\n", failures, CASES.size());
  return failures == 0 ? 0 : 1;
}

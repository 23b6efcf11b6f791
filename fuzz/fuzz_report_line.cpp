// The report line over arbitrary field values. The line is read back with a
// small strict JSON reader (RFC 8259 grammar for one object of strings and
// numbers, no raw control characters in strings, valid UTF-8 when the texts
// are): the keys must come in their fixed order, the numbers must read back
// as the report's, and the strings must unescape to the texts given.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/utf.h"
#include "fuzz_support.h"
#include "report/report.h"

namespace {

using ketrova::fuzz::require;

class StrictReader {
 public:
  explicit StrictReader(std::string_view text) : text_(text) {}

  bool at_end() const { return pos_ == text_.size(); }
  bool take(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  // A JSON string, unescaped; nothing when it breaks the grammar.
  std::optional<std::string> string() {
    if (!take('"')) return std::nullopt;
    std::string out;
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ == text_.size()) return std::nullopt;
      switch (text_[pos_++]) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          // Only what an escaper of control characters can produce is needed
          // here; anything above U+007F would be a finding anyway.
          if (text_.size() - pos_ < 4) return std::nullopt;
          unsigned value = 0;
          for (int k = 0; k < 4; ++k) {
            const char h = text_[pos_++];
            const int digit = h >= '0' && h <= '9'   ? h - '0'
                              : h >= 'a' && h <= 'f' ? h - 'a' + 10
                              : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                                     : -1;
            if (digit < 0) return std::nullopt;
            value = value * 16 + static_cast<unsigned>(digit);
          }
          if (value > 0x7F) return std::nullopt;
          out += static_cast<char>(value);
          break;
        }
        default:
          return std::nullopt;
      }
    }
    return std::nullopt;
  }

  // A JSON number restricted to what the line may hold: an unsigned integer
  // without leading zeros, no sign, no fraction, no exponent.
  std::optional<std::uint64_t> unsigned_integer() {
    const std::size_t start = pos_;
    std::uint64_t value = 0;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      if (pos_ - start >= 10) return std::nullopt;
      value = value * 10 + static_cast<std::uint64_t>(text_[pos_++] - '0');
    }
    if (pos_ == start) return std::nullopt;
    if (text_[start] == '0' && pos_ - start > 1) return std::nullopt;
    if (pos_ < text_.size() && (text_[pos_] == '.' || text_[pos_] == 'e' || text_[pos_] == 'E')) {
      return std::nullopt;
    }
    return value;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

void check_escape(const std::string& text) {
  const std::string escaped = ketrova::escape_json_text(text);
  for (char c : escaped) require(static_cast<unsigned char>(c) >= 0x20);
  const std::string quoted = '"' + escaped + '"';
  StrictReader reader(quoted);
  const std::optional<std::string> back = reader.string();
  require(back.has_value() && *back == text && reader.at_end());
  // Bytes outside the escaped set pass unchanged, so valid UTF-8 stays valid.
  if (ketrova::fuzz::is_valid_utf8(text)) require(ketrova::fuzz::is_valid_utf8(escaped));
}

void check_line(const ketrova::ProbeReport& report) {
  const std::string line = ketrova::format_report_line(report);
  require(!line.empty() && line.back() == '\n');
  require(line.find('\n') == line.size() - 1);
  require(line.find('\r') == std::string::npos);
  const bool texts_valid = ketrova::fuzz::is_valid_utf8(report.src_ip) &&
                           ketrova::fuzz::is_valid_utf8(report.target_ip) &&
                           ketrova::fuzz::is_valid_utf8(report.note);
  if (texts_valid) require(ketrova::fuzz::is_valid_utf8(line));

  StrictReader reader(std::string_view(line).substr(0, line.size() - 1));
  require(reader.take('{'));
  const auto key = [&](std::string_view expected) {
    const std::optional<std::string> name = reader.string();
    require(name.has_value() && *name == expected);
    require(reader.take(':'));
  };
  const auto number = [&](std::string_view name, std::uint32_t expected) {
    key(name);
    require(reader.unsigned_integer() == std::optional<std::uint64_t>(expected));
    require(reader.take(','));
  };
  const auto text = [&](std::string_view name, const std::string& expected) {
    key(name);
    require(reader.string() == std::optional<std::string>(expected));
  };
  key("status");
  require(reader.string() == std::optional<std::string>(link_status_word(report.status)));
  require(reader.take(','));
  number("loss_rate", report.loss_rate);
  number("avg_latency_ms", report.avg_latency_ms);
  number("jitter_ms", report.jitter_ms);
  number("sent", report.sent);
  number("received", report.received);
  text("src_ip", report.src_ip);
  require(reader.take(','));
  text("target_ip", report.target_ip);
  require(reader.take(','));
  text("note", report.note);
  require(reader.take('}'));
  require(reader.at_end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  ketrova::ProbeReport report;
  report.status =
      provider.PickValueInArray({ketrova::LinkStatus::available, ketrova::LinkStatus::unstable,
                                 ketrova::LinkStatus::unavailable});
  report.loss_rate = provider.ConsumeIntegral<std::uint32_t>();
  report.avg_latency_ms = provider.ConsumeIntegral<std::uint32_t>();
  report.jitter_ms = provider.ConsumeIntegral<std::uint32_t>();
  report.sent = provider.ConsumeIntegral<std::uint32_t>();
  report.received = provider.ConsumeIntegral<std::uint32_t>();
  report.src_ip = provider.ConsumeRandomLengthString();
  report.target_ip = provider.ConsumeRandomLengthString();
  report.note = provider.ConsumeRemainingBytesAsString();

  check_escape(report.src_ip);
  check_escape(report.note);
  check_line(report);

  // The run hands the writer repaired argument texts: the line is then valid
  // UTF-8 throughout.
  report.src_ip = ketrova::repair_utf8(report.src_ip);
  report.target_ip = ketrova::repair_utf8(report.target_ip);
  report.note = ketrova::repair_utf8(report.note);
  require(ketrova::fuzz::is_valid_utf8(ketrova::format_report_line(report)));
  check_line(report);
  return 0;
}

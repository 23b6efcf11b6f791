#include "monitor/report_reader.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "cli/utf.h"
#include "main/probe.h"

namespace ketrova {

namespace {

class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }
  bool at_end() const { return pos_ == text_.size(); }

  void fail(std::string message) {
    if (error_.empty()) {
      error_ = std::move(message);
      error_ += " at byte ";
      error_ += std::to_string(pos_ + 1);
    }
  }

  // The literal text next, or a failure naming what was expected.
  void expect(std::string_view literal) {
    if (failed()) return;
    if (text_.substr(pos_, literal.size()) != literal) {
      fail("expected '" + std::string(literal) + "'");
      return;
    }
    pos_ += literal.size();
  }

  std::uint32_t number(std::string_view key) {
    if (failed()) return 0;
    const std::size_t start = pos_;
    std::uint64_t value = 0;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      value = value * 10 + static_cast<std::uint64_t>(text_[pos_] - '0');
      ++pos_;
      if (value > UINT32_MAX) {
        fail(std::string(key) + " is out of range");
        return 0;
      }
    }
    if (pos_ == start) {
      fail(std::string(key) + " is not an unsigned integer");
    } else if (text_[start] == '0' && pos_ - start > 1) {
      pos_ = start;
      fail(std::string(key) + " has a leading zero");
    }
    return static_cast<std::uint32_t>(value);
  }

  // The rest of a string whose opening quote has been read, up to and
  // including its closing quote, unescaped.
  std::string text(std::string_view key) {
    std::string out;
    while (!failed()) {
      if (pos_ == text_.size()) {
        fail(std::string(key) + " is not closed");
        break;
      }
      const char c = text_[pos_];
      if (c == '"') {
        ++pos_;
        break;
      }
      if (static_cast<unsigned char>(c) < 0x20) {
        fail(std::string(key) + " holds an unescaped control character");
        break;
      }
      if (c != '\\') {
        out += c;
        ++pos_;
        continue;
      }
      out += escaped(key);
    }
    if (!failed() && repair_utf8(out) != out) fail(std::string(key) + " is not valid UTF-8");
    return out;
  }

 private:
  // One escape sequence, at its backslash.
  char escaped(std::string_view key) {
    const std::string_view rest = text_.substr(pos_ + 1);
    if (!rest.empty()) {
      switch (rest.front()) {
        case '\\':
        case '"':
          pos_ += 2;
          return rest.front();
        case 'b':
          pos_ += 2;
          return '\b';
        case 't':
          pos_ += 2;
          return '\t';
        case 'n':
          pos_ += 2;
          return '\n';
        case 'f':
          pos_ += 2;
          return '\f';
        case 'r':
          pos_ += 2;
          return '\r';
        default:
          break;
      }
    }
    // \u00xx, lowercase, only for the control characters without a short form.
    static constexpr std::string_view HEX = "0123456789abcdef";
    if (rest.size() >= 5 && rest.substr(0, 3) == "u00" && (rest[3] == '0' || rest[3] == '1') &&
        HEX.find(rest[4]) != std::string_view::npos) {
      const char value =
          static_cast<char>((rest[3] - '0') * 16 + static_cast<int>(HEX.find(rest[4])));
      if (value != '\b' && value != '\t' && value != '\n' && value != '\f' && value != '\r') {
        pos_ += 6;
        return value;
      }
    }
    fail(std::string(key) + " holds an escape that the probe does not write");
    return 0;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::string error_;
};

}  // namespace

ReadResult read_report_line(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  LineReader reader(text);
  ProbeReport report;
  reader.expect("{\"status\":\"");
  if (!reader.failed()) {
    const std::string word = reader.text("status");
    if (word == "available") {
      report.status = LinkStatus::available;
    } else if (word == "unstable") {
      report.status = LinkStatus::unstable;
    } else if (word == "unavailable") {
      report.status = LinkStatus::unavailable;
    } else if (!reader.failed()) {
      reader.fail("status is not a verdict");
    }
  }
  reader.expect(",\"loss_rate\":");
  report.loss_rate = reader.number("loss_rate");
  reader.expect(",\"avg_latency_ms\":");
  report.avg_latency_ms = reader.number("avg_latency_ms");
  reader.expect(",\"jitter_ms\":");
  report.jitter_ms = reader.number("jitter_ms");
  reader.expect(",\"sent\":");
  report.sent = reader.number("sent");
  reader.expect(",\"received\":");
  report.received = reader.number("received");
  reader.expect(",\"src_ip\":\"");
  if (!reader.failed()) report.src_ip = reader.text("src_ip");
  reader.expect(",\"target_ip\":\"");
  if (!reader.failed()) report.target_ip = reader.text("target_ip");
  reader.expect(",\"note\":\"");
  if (!reader.failed()) report.note = reader.text("note");
  reader.expect("}");
  if (!reader.failed() && !reader.at_end()) reader.fail("more follows the report");

  ReadResult result;
  if (reader.failed()) {
    result.error = reader.error();
  } else if (report.sent != 0 && report.sent != PROBE_COUNT) {
    result.error = "sent is neither 0 nor " + std::to_string(PROBE_COUNT);
  } else if (report.received > report.sent) {
    result.error = "received is more than sent";
  } else if (report.loss_rate > 100) {
    result.error = "loss_rate is above 100";
  } else {
    result.report = std::move(report);
  }
  return result;
}

bool series_ran(const ProbeReport& report) {
  return report.sent == PROBE_COUNT;
}

bool source_bind_failed(const ProbeReport& report) {
  return series_ran(report) && report.note == NOTE_BIND_FAILED;
}

}  // namespace ketrova

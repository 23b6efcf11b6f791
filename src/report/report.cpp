#include "report/report.h"

#include <charconv>

namespace ketrova {

std::string_view link_status_word(LinkStatus status) {
  switch (status) {
    case LinkStatus::available:
      return "available";
    case LinkStatus::unstable:
      return "unstable";
    case LinkStatus::unavailable:
      break;
  }
  return "unavailable";
}

std::string escape_json_text(std::string_view text) {
  static constexpr char HEX_DIGITS[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += HEX_DIGITS[byte >> 4];
          out += HEX_DIGITS[byte & 0x0F];
        } else {
          out += c;
        }
    }
  }
  return out;
}

namespace {

void append_number(std::string& out, std::uint32_t value) {
  char digits[10];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

}  // namespace

std::string format_report_line(const ProbeReport& report) {
  std::string line;
  line.reserve(160 + report.src_ip.size() + report.target_ip.size() + report.note.size());
  line += "{\"status\":\"";
  line += link_status_word(report.status);
  line += "\",\"loss_rate\":";
  append_number(line, report.loss_rate);
  line += ",\"avg_latency_ms\":";
  append_number(line, report.avg_latency_ms);
  line += ",\"jitter_ms\":";
  append_number(line, report.jitter_ms);
  line += ",\"sent\":";
  append_number(line, report.sent);
  line += ",\"received\":";
  append_number(line, report.received);
  line += ",\"src_ip\":\"";
  line += escape_json_text(report.src_ip);
  line += "\",\"target_ip\":\"";
  line += escape_json_text(report.target_ip);
  line += "\",\"note\":\"";
  line += escape_json_text(report.note);
  line += "\"}\n";
  return line;
}

std::string format_output_failure(std::string_view stream, std::string_view description) {
  std::string message = "ketrova-probe: failed printing to ";
  message += stream;
  message += ": ";
  message += description;
  message += '\n';
  return message;
}

}  // namespace ketrova

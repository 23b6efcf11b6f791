#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ketrova {

enum class LinkStatus { available, unstable, unavailable };

// The verdict as the report writes it: "available", "unstable", "unavailable".
std::string_view link_status_word(LinkStatus status);

// The report's contents, in the order the line prints them.
struct ProbeReport {
  LinkStatus status = LinkStatus::unavailable;
  std::uint32_t loss_rate = 100;
  std::uint32_t avg_latency_ms = 0;
  std::uint32_t jitter_ms = 0;
  std::uint32_t sent = 0;
  std::uint32_t received = 0;
  std::string src_ip;
  std::string target_ip;
  std::string note;
};

// Escapes text for a JSON string: backslash and double quote get a backslash,
// the control characters U+0000..U+001F become \b \t \n \f \r or \u00xx.
// Every other byte (DEL, every non-ASCII byte) is copied unchanged.
std::string escape_json_text(std::string_view text);

// The whole report line: one JSON object, keys in fixed order, no white space
// between tokens, ended by a single line feed.
std::string format_report_line(const ProbeReport& report);

// The diagnostic for standard error when a stream cannot be written.
std::string format_output_failure(std::string_view stream, std::string_view description);

}  // namespace ketrova

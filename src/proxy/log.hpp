#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillgate::proxy {

// The diagnostic switch, QUILLGATE_LOG: read once, on first use, and never
// again for the life of the process.
bool log_enabled();

// The switch's parsing rule, on the raw value of the variable (nullopt when
// unset): Unicode white space trimmed, lower-cased, one of "1", "on", "yes",
// "true". Invalid UTF-8 leaves it off.
bool parse_log_switch(std::optional<std::string_view> raw);

// Client-chosen text made safe for a log line or a terminal: control
// characters (C0, DEL, C1), bidirectional overrides, backslashes and bytes
// that are not UTF-8 become \xNN escapes; everything else is kept.
std::string printable(std::string_view text);

// Writes "[id] message\n" to standard error as one piece under the process's
// stderr lock, when the switch is on.
void log_line(std::string_view connection_id, std::string_view message);

// Writes `message` and a newline to standard error whatever the switch says.
void log_fatal(std::string_view message);

}  // namespace quillgate::proxy

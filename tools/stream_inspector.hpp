// Decoding a Stream for people and tools, without its server: the header
// word's fields, the class names, every entry with its type and value, nested
// object and array streams as a tree, array bounds and element keys.
//
// The bytes are only read: nothing is created, no array is materialised (its
// elements are listed from the element bag as stored, whatever its bounds
// claim), and nesting is followed to a bounded depth, so any input, however
// damaged or crafted, is shown or refused without harm.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

namespace replikon::cli {

// The deepest nesting `--max-depth` accepts, and its default.
inline constexpr std::size_t kMaxInspectDepth = 1000;
inline constexpr std::size_t kDefaultInspectDepth = 100;

struct InspectOptions {
  bool json = false;
  // JSON on one line, without indentation.
  bool compact = false;
  // JSON as one object per entry (flat_stream.hpp); implies `json`.
  bool flat = false;
  // Nested Streams deeper than this are named but not opened.
  std::size_t max_depth = kDefaultInspectDepth;
  // How the input is named in the output ("-" for standard input).
  std::string name;
};

// Writes the decoded Stream to `out` and returns true. Bytes that are not a
// Stream (no property bag, or a bag whose header word names no known stream
// kind) write nothing, set `error` to what is wrong and return false.
bool InspectStreamBytes(std::span<const std::uint8_t> bytes, const InspectOptions& options,
                        std::ostream& out, std::string& error);

// `text` for a terminal: printable UTF-8 as it is; control characters,
// backslashes and bytes that are not UTF-8 as \xNN (\n, \t, \r, \\ and \" by
// name). With `quoted`, in double quotes.
std::string EscapeForTerminal(std::string_view text, bool quoted);

}  // namespace replikon::cli

// The `replikon` command: its subcommands as functions that write to given
// streams and return the exit status, so that they can run in-process.
//
// Exit statuses: 0 success (or "yes"), 1 a "no" answer or bad input (a file
// that cannot be read, bytes that are not a Stream), 2 a usage error. `encode`
// and `diff` give 2 for every error, so that `diff` can say "differ" with 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "replikon/automation/error.hpp"
#include "replikon/automation/safe_array.hpp"
#include "replikon/stream/stream_utilities.hpp"
#include "stream_inspector.hpp"

namespace replikon::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitNo = 1;
inline constexpr int kExitUsage = 2;

// Parses the command line and runs the subcommand. Standard input ("-" as a
// file) is read from `in`.
int RunCli(int argc, const char* const* argv, std::istream& in, std::ostream& out,
           std::ostream& err);
// Same, reading standard input from std::cin.
int RunCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

struct DemoOptions {
  // Where the Stream files go; empty: a fresh temporary directory.
  std::string dir;
};
// Builds a sample order on the OrdersLib server, copies it, streams it, keeps
// it in a file, reads it back and compares the results with the original.
int RunDemo(const DemoOptions& options, std::ostream& out, std::ostream& err);

// `file` is a path or "-" for `in`.
int RunInspect(const std::string& file, const InspectOptions& options, std::istream& in,
               std::ostream& out, std::ostream& err);
int RunType(const std::string& file, std::istream& in, std::ostream& out, std::ostream& err);
int RunIsStream(const std::string& file, std::istream& in, std::ostream& out, std::ostream& err);

// Reads the JSON of `inspect --json` (either form; "-" for `in`) and writes
// the Stream to `output` through StreamToFile's safe replacement ("-": to
// `out`). Nothing is written when the JSON is bad.
int RunEncode(const std::string& file, const std::string& output, std::istream& in,
              std::ostream& out, std::ostream& err);
// 0 when the Streams hold the same entries, 1 when they differ, 2 on error.
int RunDiff(const std::string& first, const std::string& second, std::istream& in,
            std::ostream& out, std::ostream& err);
struct StatsOptions {
  bool json = false;
  bool compact = false;
};
int RunStats(const std::string& file, const StatsOptions& options, std::istream& in,
             std::ostream& out, std::ostream& err);
struct LoadOptions {
  std::string file;         // a path, or "-" for `in`
  std::string server;       // the server's name, as ObjectServerName
  std::string server_path;  // a folder searched for the server's library first
  bool json = false;
};
// Rebuilds the Stream in `file` with the server named `options.server`, found
// by name (its library in `server_path`, REPLIKON_SERVER_PATH or the
// installation), and prints the objects it built with their properties, and
// what it could not restore: classes the server cannot make, subobjects not
// made, entries no property reads. 0 when the Stream was rebuilt (whatever
// could not be restored in it); 1 when the file or the server cannot be had,
// or the outermost object cannot be made.
int RunLoad(const LoadOptions& options, std::istream& in, std::ostream& out, std::ostream& err);

// The bytes of `file`, or of all of `in` for "-"; nullopt after a message
// naming the file and what is wrong.
std::optional<SafeArray> ReadStreamInput(const std::string& file, std::istream& in,
                                         std::ostream& err);

// All of `in` (standard input) as a byte array, read in large blocks; nullopt
// after a message naming "standard input" when it holds more than `limit`
// bytes or cannot be read.
std::optional<SafeArray> ReadStandardInput(std::istream& in, std::ostream& err,
                                           std::uint64_t limit = kMaxStreamFileBytes);

// Shows the About box when there is a display (DISPLAY set) and the About
// program is installed; prints its text otherwise, or always with `text_only`.
int RunAbout(bool text_only, std::ostream& out, std::ostream& err);
// The About box's texts, as `replikon about` prints them.
std::string AboutText();

// Prints the component's type library: its types, their flags, and the members
// with identifiers, parameters, help contexts and help strings.
int RunDescribe(std::ostream& out, std::ostream& err);

// Writes "<lead>error N: Description" and under it each of the error's
// details on a line of its own, after `indent` spaces and "- ", every text
// made safe for a terminal.
void WriteError(std::ostream& out, std::string_view lead, const AutomationError& error,
                std::size_t indent = 2);
// The details alone, as WriteError writes them.
void WriteDetails(std::ostream& out, const AutomationError& error, std::size_t indent = 2);

// `text` broken into lines of at most `width` columns (longer words stay
// whole), each line after `indent` spaces and ending in a newline.
std::string WrapText(std::string_view text, std::size_t indent, std::size_t width = 78);

}  // namespace replikon::cli

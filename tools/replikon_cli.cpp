#include "replikon_cli.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "about/about_form.hpp"
#include "flat_stream.hpp"
#include "replikon/about/about_box.hpp"
#include "replikon/automation/error.hpp"
#include "replikon/control/replikon.hpp"
#include "replikon/control/type_library.hpp"
#include "replikon/version.hpp"
#include "stream_diff.hpp"
#include "stream_encoder.hpp"

namespace replikon::cli {

namespace {

std::span<const std::uint8_t> BytesOf(const SafeArray& array) {
  if (!array.IsAllocated()) return {};
  return array.ByteSpan();
}

std::string DisplayName(const std::string& file) {
  return file == "-" ? "(standard input)" : file;
}

// Runs a subcommand; an error that escapes it is reported and gives `failure`.
int Guarded(std::ostream& out, std::ostream& err, const std::function<int()>& run,
            int failure = kExitNo) {
  try {
    const int status = run();
    out.flush();
    return status;
  } catch (const AutomationError& e) {
    WriteError(err, "replikon: ", e);
  } catch (const std::exception& e) {
    err << "replikon: " << e.what() << '\n';
  }
  return failure;
}

}  // namespace

std::optional<SafeArray> ReadStreamInput(const std::string& file, std::istream& in,
                                         std::ostream& err) {
  if (file == "-") return ReadStandardInput(in, err);
  try {
    return Replikon().StreamFromFile(file);
  } catch (const AutomationError& e) {
    WriteError(err, "replikon: cannot read " + file + ": ", e);
    return std::nullopt;
  }
}

std::optional<SafeArray> ReadStandardInput(std::istream& in, std::ostream& err,
                                           std::uint64_t limit) {
  // Blocks of 1 MiB at first, each twice as large as the last up to 64 MiB,
  // so that a large input takes few reads; a block's memory is touched only
  // as far as bytes arrive. One byte past the limit tells that the input is
  // too large without reading the rest of it.
  constexpr std::size_t kFirstBlock = std::size_t{1} << 20;
  constexpr std::size_t kLargestBlock = std::size_t{64} << 20;
  struct Block {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t size = 0;
  };
  const auto most = static_cast<std::size_t>(limit) + 1;
  std::size_t total = 0;
  try {
    std::vector<Block> blocks;
    for (std::size_t next = kFirstBlock; in && total < most;
         next = std::min(2 * next, kLargestBlock)) {
      const std::size_t want = std::min(next, most - total);
      Block block{std::make_unique_for_overwrite<std::uint8_t[]>(want)};
      in.read(reinterpret_cast<char*>(block.bytes.get()), static_cast<std::streamsize>(want));
      block.size = static_cast<std::size_t>(in.gcount());
      total += block.size;
      if (block.size > 0) blocks.push_back(std::move(block));
    }
    if (total > limit) {
      err << "replikon: cannot read standard input: error " << errors::kOutOfMemory << ": "
          << errors::StandardDescription(errors::kOutOfMemory)
          << ": standard input holds more than " << limit << " bytes, the most a Stream can hold\n";
      return std::nullopt;
    }
    if (in.bad()) {
      err << "replikon: cannot read standard input\n";
      return std::nullopt;
    }
    if (total == 0) return SafeArray::UnallocatedBytes();
    // Gathered into the array's own vector, each block freed once it is
    // copied: the input is held about once, plus one block.
    std::vector<std::uint8_t> bytes;
    bytes.reserve(total);
    for (Block& block : blocks) {
      bytes.insert(bytes.end(), block.bytes.get(), block.bytes.get() + block.size);
      block.bytes.reset();
    }
    return SafeArray::FromOwnedBytes(std::move(bytes));
  } catch (const std::bad_alloc&) {
    err << "replikon: cannot read standard input: error " << errors::kOutOfMemory << ": "
        << errors::StandardDescription(errors::kOutOfMemory) << '\n';
  } catch (const AutomationError& e) {
    WriteError(err, "replikon: cannot read standard input: ", e);
  }
  return std::nullopt;
}

int RunInspect(const std::string& file, const InspectOptions& options, std::istream& in,
               std::ostream& out, std::ostream& err) {
  const std::optional<SafeArray> bytes = ReadStreamInput(file, in, err);
  if (!bytes) return kExitNo;
  InspectOptions named = options;
  if (named.name.empty()) named.name = DisplayName(file);
  std::string error;
  const bool shown = named.flat
                         ? WriteFlatJson(BytesOf(*bytes), named.name, named.compact, out, error)
                         : InspectStreamBytes(BytesOf(*bytes), named, out, error);
  if (!shown) {
    err << "replikon: " << DisplayName(file) << ": " << error << '\n';
    return kExitNo;
  }
  return kExitOk;
}

int RunType(const std::string& file, std::istream& in, std::ostream& out, std::ostream& err) {
  const std::optional<SafeArray> bytes = ReadStreamInput(file, in, err);
  if (!bytes) return kExitNo;
  const Replikon control;
  const std::string name = control.ObjectTypeName(*bytes);
  if (name.empty()) {
    err << "replikon: " << DisplayName(file) << ": "
        << (control.IsStream(*bytes) ? "the Stream records no class name" : "not a Stream") << '\n';
    return kExitNo;
  }
  out << EscapeForTerminal(name, false) << '\n';
  return kExitOk;
}

int RunIsStream(const std::string& file, std::istream& in, std::ostream& out, std::ostream& err) {
  const std::optional<SafeArray> bytes = ReadStreamInput(file, in, err);
  if (!bytes) return kExitNo;
  const bool is_stream = Replikon().IsStream(*bytes);
  out << (is_stream ? "true" : "false") << '\n';
  return is_stream ? kExitOk : kExitNo;
}

int RunEncode(const std::string& file, const std::string& output, std::istream& in,
              std::ostream& out, std::ostream& err) {
  std::ifstream input;
  if (file != "-") {
    input.open(file, std::ios::binary);
    if (!input) {
      err << "replikon: cannot read " << file << '\n';
      return kExitUsage;
    }
  }
  std::vector<std::uint8_t> bytes;
  std::string error;
  if (!EncodeStreamJson(file == "-" ? in : input, bytes, error)) {
    err << "replikon: " << DisplayName(file) << ": " << error << "; nothing written\n";
    return kExitUsage;
  }
  if (output == "-") {
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return kExitOk;
  }
  try {
    Replikon().StreamToFile(SafeArray::FromOwnedBytes(std::move(bytes)), output);
  } catch (const AutomationError& e) {
    err << "replikon: cannot write " << output << ": error " << e.Number() << ": "
        << e.Description() << '\n';
    return kExitUsage;
  }
  return kExitOk;
}

int RunDiff(const std::string& first, const std::string& second, std::istream& in,
            std::ostream& out, std::ostream& err) {
  if (first == "-" && second == "-") {
    err << "replikon: diff: only one of the two Streams can be standard input\n";
    return kExitUsage;
  }
  const std::optional<SafeArray> a = ReadStreamInput(first, in, err);
  if (!a) return kExitUsage;
  const std::optional<SafeArray> b = ReadStreamInput(second, in, err);
  if (!b) return kExitUsage;
  std::uint64_t differences = 0;
  std::string error;
  if (!DiffStreams(BytesOf(*a), BytesOf(*b), out, differences, error)) {
    err << "replikon: diff: " << error << '\n';
    return kExitUsage;
  }
  return differences == 0 ? kExitOk : kExitNo;
}

int RunStats(const std::string& file, const StatsOptions& options, std::istream& in,
             std::ostream& out, std::ostream& err) {
  const std::optional<SafeArray> bytes = ReadStreamInput(file, in, err);
  if (!bytes) return kExitNo;
  StreamStats stats;
  std::string error;
  if (!CollectStats(BytesOf(*bytes), stats, error)) {
    err << "replikon: " << DisplayName(file) << ": " << error << '\n';
    return kExitNo;
  }
  const std::uint64_t size = BytesOf(*bytes).size();
  if (options.json) {
    WriteStatsJson(stats, size, DisplayName(file), options.compact, out);
  } else {
    WriteStatsText(stats, size, out);
  }
  return kExitOk;
}

void WriteError(std::ostream& out, std::string_view lead, const AutomationError& error,
                std::size_t indent) {
  out << lead << "error " << error.Number();
  if (!error.Description().empty()) out << ": " << EscapeForTerminal(error.Description(), false);
  out << '\n';
  WriteDetails(out, error, indent);
}

void WriteDetails(std::ostream& out, const AutomationError& error, std::size_t indent) {
  for (const std::string& detail : error.DetailList()) {
    out << std::string(indent, ' ') << "- " << EscapeForTerminal(detail, false) << '\n';
  }
}

std::string WrapText(std::string_view text, std::size_t indent, std::size_t width) {
  std::string out;
  std::string line;
  const auto flush = [&] {
    out.append(indent, ' ');
    out += line;
    out += '\n';
    line.clear();
  };
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find(' ', start), text.size());
    const std::string_view word = text.substr(start, end - start);
    start = end + 1;
    if (word.empty()) continue;
    if (!line.empty() && indent + line.size() + 1 + word.size() > width) flush();
    if (!line.empty()) line += ' ';
    line += word;
  }
  if (!line.empty() || out.empty()) flush();
  return out;
}

std::string AboutText() {
  const auto text = [](std::string_view name) {
    const about::FormControl* control = about::FindControl(name);
    return control != nullptr ? std::string(control->text) : std::string();
  };
  std::string out;
  out += std::string(about::kCaption) + "\n\n";
  out += text("lblTitle") + "\n";
  out += about::LoadedVersionText() + "\n\n";
  out += WrapText(text("lblDisclaimer"), 0) + "\n";
  out += text("Label6") + text("lblSite") + "\n";
  out += text("Label7") + "\n";
  out += text("Label1") + " " + text("lblContact") + "\n";
  return out;
}

int RunAbout(bool text_only, std::ostream& out, std::ostream& err) {
  (void)err;
  const char* display = std::getenv("DISPLAY");
  const bool can_show =
      display != nullptr && *display != '\0' && !about::AboutProgramPath().empty();
  if (!text_only && can_show) {
    out << "Showing the About box; close it to go on.\n" << std::flush;
    Replikon().ShowAboutBox();
    return kExitOk;
  }
  out << AboutText();
  return kExitOk;
}

int RunDescribe(std::ostream& out, std::ostream& err) {
  (void)err;
  out << FormatTypeLibrary(ReplikonTypeLibrary());
  return kExitOk;
}

int RunCli(int argc, const char* const* argv, std::istream& in, std::ostream& out,
           std::ostream& err) {
  CLI::App app{
      "replikon: deep copies and Streams of late-bound automation objects.\n"
      "Inspects Stream files without their server, rebuilds them through a server found by\n"
      "name, and runs a demonstration.",
      "replikon"};
  app.set_version_flag("--version", "replikon " + std::string(kVersionString),
                       "Print the version and exit");
  app.require_subcommand(1);
  app.footer("Exit status: 0 success, 1 a \"no\" answer or bad input, 2 a usage error.");

  DemoOptions demo_options;
  CLI::App* demo = app.add_subcommand(
      "demo", "Copy, stream, keep in a file, rebuild and compare a sample order (OrdersLib)");
  demo->add_option("--dir", demo_options.dir,
                   "Directory for the Stream files (default: a new temporary directory)")
      ->type_name("DIR");

  std::string file;
  InspectOptions inspect_options;
  CLI::App* inspect = app.add_subcommand(
      "inspect", "Decode a Stream without its server: header, classes, entries, arrays");
  inspect->add_option("FILE", file, "A Stream file, or - for standard input")->required();
  inspect->add_flag("--json", inspect_options.json, "Write JSON for tools instead of text");
  inspect->add_flag("--flat", inspect_options.flat,
                    "With --json: one object per entry, in Stream order, with its path and "
                    "depth (any depth, constant JSON nesting)");
  inspect->add_flag("--compact", inspect_options.compact, "Write JSON on one line");
  inspect
      ->add_option("--max-depth", inspect_options.max_depth,
                   "Open nested Streams down to this depth")
      ->check(CLI::Range(std::size_t{1}, kMaxInspectDepth))
      ->type_name("N")
      ->capture_default_str();

  std::string output;
  CLI::App* encode = app.add_subcommand(
      "encode", "Read the JSON of inspect --json (either form) back into a Stream file");
  encode->add_option("FILE", file, "The JSON, or - for standard input")->required();
  encode->add_option("-o,--output", output, "The Stream file to write, or - for standard output")
      ->required()
      ->type_name("STREAM");

  std::string second;
  CLI::App* diff = app.add_subcommand(
      "diff", "List the entries in which two Streams differ (exit 0 same, 1 differ, 2 error)");
  diff->add_option("FIRST", file, "A Stream file, or - for standard input")->required();
  diff->add_option("SECOND", second, "A Stream file, or - for standard input")->required();

  StatsOptions stats_options;
  CLI::App* stats = app.add_subcommand(
      "stats", "Count a Stream's objects and bytes per class, entries, arrays, deepest path");
  stats->add_option("FILE", file, "A Stream file, or - for standard input")->required();
  stats->add_flag("--json", stats_options.json, "Write JSON for tools instead of text");
  stats->add_flag("--compact", stats_options.compact, "Write JSON on one line");

  CLI::App* type =
      app.add_subcommand("type", "Print the class name a Stream holds (ObjectTypeName)");
  type->add_option("FILE", file, "A Stream file, or - for standard input")->required();

  CLI::App* is_stream = app.add_subcommand(
      "is-stream", "Print true (exit 0) or false (exit 1): is the file an object Stream?");
  is_stream->add_option("FILE", file, "A file, or - for standard input")->required();

  bool about_text = false;
  CLI::App* about =
      app.add_subcommand("about", "Show the About box, or print its text when there is no display");
  about->add_flag("--text", about_text, "Print the text even when there is a display");

  LoadOptions load_options;
  CLI::App* load = app.add_subcommand(
      "load", "Rebuild a Stream with a server found by name; print the objects and what was lost");
  load->add_option("FILE", load_options.file, "A Stream file, or - for standard input")->required();
  load->add_option("--server", load_options.server, "The server's name (ObjectServerName)")
      ->required()
      ->type_name("NAME");
  load->add_option("--server-path", load_options.server_path,
                   "A folder to look for the server's library NAME.so in first")
      ->type_name("DIR");
  load->add_flag("--json", load_options.json, "Write JSON for tools instead of text");

  CLI::App* describe = app.add_subcommand(
      "describe", "Print the component's type library: types, members, identifiers and help");

  if (argc <= 1) {
    err << app.help();
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, out, err);
    return code == 0 ? kExitOk : kExitUsage;
  }

  const auto run = [&](const std::function<int()>& f) { return Guarded(out, err, f); };
  if (demo->parsed()) return run([&] { return RunDemo(demo_options, out, err); });
  if (inspect->parsed())
    return run([&] { return RunInspect(file, inspect_options, in, out, err); });
  if (encode->parsed()) {
    return Guarded(
        out, err, [&] { return RunEncode(file, output, in, out, err); }, kExitUsage);
  }
  if (diff->parsed()) {
    return Guarded(
        out, err, [&] { return RunDiff(file, second, in, out, err); }, kExitUsage);
  }
  if (stats->parsed()) return run([&] { return RunStats(file, stats_options, in, out, err); });
  if (type->parsed()) return run([&] { return RunType(file, in, out, err); });
  if (is_stream->parsed()) return run([&] { return RunIsStream(file, in, out, err); });
  if (about->parsed()) return run([&] { return RunAbout(about_text, out, err); });
  if (load->parsed()) return run([&] { return RunLoad(load_options, in, out, err); });
  if (describe->parsed()) return run([&] { return RunDescribe(out, err); });
  return kExitUsage;
}

int RunCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  return RunCli(argc, argv, std::cin, out, err);
}

}  // namespace replikon::cli

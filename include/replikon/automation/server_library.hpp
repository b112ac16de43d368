// Servers in shared libraries, found by the server's name.
//
// A server library is a shared library named `<server>.so` (OrdersLib.so for
// the server OrdersLib) that exports one C function, replikon_server_entry:
//
//   #include "replikon/server.hpp"
//
//   replikon::Server MakeServer() {
//     replikon::Server server("OrdersLib");
//     server.Class<Invoice>("Invoice").Property("Number", &Invoice::number);
//     return server;
//   }
//   REPLIKON_SERVER_LIBRARY(MakeServer)
//
// The process-wide registry (ClassRegistry::Global) looks for the library of a
// server it does not have in the folders of ServerLibraryPath(), loads it once
// and registers the server it defines; the library stays loaded while the
// process runs.
#pragma once

#include "replikon/export.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "replikon/automation/registry.hpp"

namespace replikon {

// The version of the entry point that this Replikon calls. The entry point is
//
//   extern "C" std::uint32_t replikon_server_entry(std::uint32_t version,
//                                                  replikon::Server* server);
//
// Called with the version the caller speaks, it assigns its server to
// `*server` only when it speaks that version too, and returns the version it
// speaks in any case. An exception it throws is reported, not passed on.
inline constexpr std::uint32_t kServerEntryVersion = 1;
inline constexpr const char* kServerEntryName = "replikon_server_entry";
using ServerEntryPoint = std::uint32_t (*)(std::uint32_t version, Server* server);

// The folders searched for a server library, in order: those of the
// environment variable REPLIKON_SERVER_PATH (separated by colons; empty ones
// are skipped), then lib/replikon/servers of the installation (beside the
// shared library, beside the command's bin/, and the folder chosen when
// Replikon was configured; those that exist).
REPLIKON_API std::vector<std::filesystem::path> ServerLibraryPath();

// The file name of the library of `server_name` ("OrdersLib.so"). Raises 5
// "Invalid procedure call or argument" for a name that cannot name a file of
// its own: empty, starting with a point, or with a character other than a
// letter, a digit, '_', '-' or '.'.
REPLIKON_API std::string ServerLibraryFileName(std::string_view server_name);

// Loads the server library `file` (once per process; never unloaded) and
// returns the server its entry point defines, not registered. Raises 429
// "ActiveX component can't create object", with details saying why, when the
// file is missing, lies in a folder writable by others than its owner and
// root (or is itself so writable), is no server library, speaks another
// version of the entry point, or its entry point throws or defines no server.
REPLIKON_API Server LoadServerLibrary(const std::filesystem::path& file);

// LoadServerLibrary, then registers the server in `registry`; returns its name.
REPLIKON_API std::string RegisterServerLibrary(const std::filesystem::path& file,
                                               ClassRegistry& registry = ClassRegistry::Global());

// A provider of servers from their libraries: looks for `<server>.so` in its
// folders in order and supplies the server of the first one found that loads.
// When none does it raises 429 with details listing every file and folder
// tried and why it failed.
class REPLIKON_API ServerLibraryProvider final : public ServerProvider {
 public:
  // Searches ServerLibraryPath(), read anew at every search.
  ServerLibraryProvider();
  // Searches `folders` alone.
  explicit ServerLibraryProvider(std::vector<std::filesystem::path> folders);

  std::optional<Server> Supply(std::string_view server_name) override;

 private:
  std::optional<std::vector<std::filesystem::path>> folders_;
};

// The provider of the process-wide registry: a ServerLibraryProvider over
// ServerLibraryPath(). Remove it from ClassRegistry::Global() to keep a
// program from loading servers by name.
REPLIKON_API std::shared_ptr<ServerProvider> SharedServerLibraries();

}  // namespace replikon

// Defines the entry point of a server library: `make_server` is a function
// taking nothing and returning the replikon::Server the library provides.
#define REPLIKON_SERVER_LIBRARY(make_server)                                                      \
  extern "C" __attribute__((visibility("default"))) std::uint32_t replikon_server_entry(          \
      std::uint32_t version, ::replikon::Server* server) {                                        \
    if (version == ::replikon::kServerEntryVersion && server != nullptr) *server = make_server(); \
    return ::replikon::kServerEntryVersion;                                                       \
  }

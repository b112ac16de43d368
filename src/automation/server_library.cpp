// Servers in shared libraries: the search by name, the loading and the entry point.
#include "replikon/automation/server_library.hpp"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

#include "automation/install_location.hpp"
#include "automation/out_of_memory.hpp"
#include "replikon/automation/error.hpp"

// Where the server libraries are installed, relative to the shared library's
// folder and to the programs' folder, and (an installing build) absolutely.
#ifndef REPLIKON_SERVERS_FROM_LIBRARY
#define REPLIKON_SERVERS_FROM_LIBRARY "replikon/servers"
#endif
#ifndef REPLIKON_SERVERS_FROM_PROGRAM
#define REPLIKON_SERVERS_FROM_PROGRAM "../lib/replikon/servers"
#endif

namespace replikon {

namespace {

// A library that loaded, kept by its path for the whole run of the process:
// its code may be in use (the classes its server defines, their instances)
// until the very end, so it is never closed.
class LoadedLibraries {
 public:
  static LoadedLibraries& Instance() {
    static LoadedLibraries table;
    return table;
  }

  // The library at the absolute `path`, loaded now or earlier; nullptr with
  // `error` set when it does not load.
  void* Open(const std::string& path, std::string& error) {
    std::lock_guard lock(mutex_);
    if (const auto it = handles_.find(path); it != handles_.end()) return it->second;
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = dlerror();
      error = why != nullptr ? why : "dlopen failed";
      return nullptr;
    }
    handles_.emplace(path, handle);
    return handle;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, void*> handles_;
};

[[noreturn]] void RaiseCannotCreate(std::string details) {
  throw AutomationError(errors::kCannotCreateObject,
                        errors::StandardDescription(errors::kCannotCreateObject), {}, 0, {},
                        std::move(details));
}

// Why a folder or file may not give code to load: "" when it may. Only its
// owner may change it, and its owner is root or this user.
std::string NotOwnersAlone(const struct stat& st, const std::string& what) {
  if (st.st_uid != 0 && st.st_uid != geteuid()) {
    return "refused: " + what + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0) return {};
  return "refused: " + what + " is writable by others than its owner and root";
}

// Every folder above `folder`: whoever may replace an entry there may swap in
// a folder of their own. A folder whose sticky bit is set (such as /tmp)
// lets only an entry's owner rename it, so it may be writable by others.
std::string CheckFoldersAbove(const std::filesystem::path& folder) {
  std::error_code ec;
  const std::filesystem::path real = std::filesystem::canonical(folder, ec);
  if (ec) return "cannot resolve the folder: " + ec.message();
  for (std::filesystem::path above = real.parent_path();; above = above.parent_path()) {
    struct stat st {};
    if (stat(above.c_str(), &st) != 0) return "cannot check the folder " + above.string();
    if ((st.st_mode & S_ISVTX) != 0) st.st_mode &= ~static_cast<mode_t>(S_IWGRP | S_IWOTH);
    if (std::string why = NotOwnersAlone(st, "the folder " + above.string() + " above it");
        !why.empty()) {
      return why;
    }
    if (above == above.root_path() || above.parent_path() == above) return {};
  }
}

// The folder of `file` may give code to load: "" or why not.
std::string CheckFolder(const std::filesystem::path& folder) {
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0) return "no such folder";
  if (!S_ISDIR(st.st_mode)) return "not a folder";
  if (std::string why = NotOwnersAlone(st, "the folder"); !why.empty()) return why;
  return CheckFoldersAbove(folder);
}

// Loads `file` and runs its entry point; the failure's reason in `why`.
std::optional<Server> TryLoad(const std::filesystem::path& file, std::string& why) {
  struct stat st {};
  if (stat(file.c_str(), &st) != 0) {
    why = "missing";
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    why = "not a file";
    return std::nullopt;
  }
  if (std::string refused = NotOwnersAlone(st, "the file"); !refused.empty()) {
    why = std::move(refused);
    return std::nullopt;
  }
  std::string error;
  void* handle = LoadedLibraries::Instance().Open(file.string(), error);
  if (handle == nullptr) {
    why = "not a server (it does not load: " + error + ")";
    return std::nullopt;
  }
  dlerror();
  void* symbol = dlsym(handle, kServerEntryName);
  if (symbol == nullptr) {
    why = std::string("not a server (it exports no ") + kServerEntryName + ")";
    return std::nullopt;
  }
  const auto entry = reinterpret_cast<ServerEntryPoint>(symbol);
  Server server{std::string()};
  std::uint32_t version = 0;
  try {
    version = entry(kServerEntryVersion, &server);
  } catch (...) {
    std::exception_ptr thrown = std::current_exception();
    if (detail::IsOutOfMemory(thrown)) std::rethrow_exception(thrown);
    try {
      std::rethrow_exception(thrown);
    } catch (const AutomationError& e) {
      why = "registration threw error " + std::to_string(e.Number()) + ": " + e.Description();
    } catch (const std::exception& e) {
      why = std::string("registration threw: ") + e.what();
    } catch (...) {
      why = "registration threw an exception of unknown type";
    }
    return std::nullopt;
  }
  if (version != kServerEntryVersion) {
    why = "wrong entry-point version " + std::to_string(version) +
          " (this Replikon calls version " + std::to_string(kServerEntryVersion) + ")";
    return std::nullopt;
  }
  if (server.Name().empty()) {
    why = "its entry point defined no server";
    return std::nullopt;
  }
  return server;
}

bool IsServerNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '.';
}

void AddIfFolder(std::vector<std::filesystem::path>& folders, const std::filesystem::path& folder) {
  std::error_code ec;
  if (folder.empty() || !std::filesystem::is_directory(folder, ec)) return;
  const std::filesystem::path normal = folder.lexically_normal();
  for (const auto& f : folders) {
    if (std::filesystem::equivalent(f, normal, ec)) return;
  }
  folders.push_back(normal);
}

}  // namespace

std::vector<std::filesystem::path> ServerLibraryPath() {
  std::vector<std::filesystem::path> folders;
  if (const char* path = std::getenv("REPLIKON_SERVER_PATH"); path != nullptr) {
    std::string_view rest(path);
    while (!rest.empty()) {
      const std::size_t colon = rest.find(':');
      const std::string_view folder = rest.substr(0, colon);
      // Every folder named is tried and reported, even one that is missing.
      if (!folder.empty()) folders.emplace_back(folder);
      rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
  }
  const std::filesystem::path program = detail::RunningProgram();
  if (const auto library = detail::ThisLibrary(program); !library.empty()) {
    AddIfFolder(folders, library.parent_path() / REPLIKON_SERVERS_FROM_LIBRARY);
  }
  if (!program.empty()) AddIfFolder(folders, program.parent_path() / REPLIKON_SERVERS_FROM_PROGRAM);
#ifdef REPLIKON_SERVERS_INSTALL_DIR
  AddIfFolder(folders, REPLIKON_SERVERS_INSTALL_DIR);
#endif
  return folders;
}

std::string ServerLibraryFileName(std::string_view server_name) {
  bool valid = !server_name.empty() && server_name.front() != '.';
  for (const char c : server_name) valid = valid && IsServerNameCharacter(c);
  if (!valid) {
    errors::Raise(errors::kInvalidProcedureCall,
                  "'" + std::string(server_name) + "' cannot name a server library");
  }
  return std::string(server_name) + ".so";
}

Server LoadServerLibrary(const std::filesystem::path& file) {
  const std::filesystem::path absolute = std::filesystem::absolute(file).lexically_normal();
  if (std::string why = CheckFolder(absolute.parent_path()); !why.empty()) {
    RaiseCannotCreate(absolute.parent_path().string() + ": " + why);
  }
  std::string why;
  std::optional<Server> server = TryLoad(absolute, why);
  if (!server.has_value()) RaiseCannotCreate(absolute.string() + ": " + why);
  return std::move(*server);
}

std::string RegisterServerLibrary(const std::filesystem::path& file, ClassRegistry& registry) {
  Server server = LoadServerLibrary(file);
  registry.Register(server);
  return server.Name();
}

ServerLibraryProvider::ServerLibraryProvider() = default;

ServerLibraryProvider::ServerLibraryProvider(std::vector<std::filesystem::path> folders)
    : folders_(std::move(folders)) {}

std::optional<Server> ServerLibraryProvider::Supply(std::string_view server_name) {
  const std::string file_name = ServerLibraryFileName(server_name);
  const std::vector<std::filesystem::path> folders =
      folders_.has_value() ? *folders_ : ServerLibraryPath();
  std::string tried = "server library " + file_name + ":";
  if (folders.empty()) {
    tried +=
        "\nno folder to search (REPLIKON_SERVER_PATH is not set, and the installation has no "
        "lib/replikon/servers)";
  }
  for (const auto& folder : folders) {
    const std::filesystem::path absolute = std::filesystem::absolute(folder).lexically_normal();
    if (std::string why = CheckFolder(absolute); !why.empty()) {
      tried += "\n" + absolute.string() + ": " + why;
      continue;
    }
    const std::filesystem::path file = absolute / file_name;
    std::string why;
    std::optional<Server> server = TryLoad(file, why);
    if (server.has_value()) {
      if (server->Name() == server_name) return server;
      why = "registered another name, '" + server->Name() + "'";
    }
    tried += "\n" + file.string() + ": " + why;
  }
  RaiseCannotCreate(std::move(tried));
}

std::shared_ptr<ServerProvider> SharedServerLibraries() {
  static const std::shared_ptr<ServerProvider> provider = std::make_shared<ServerLibraryProvider>();
  return provider;
}

}  // namespace replikon

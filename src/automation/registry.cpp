// Servers, classes and creation by programmatic identifier.
#include "replikon/automation/registry.hpp"

#include <exception>
#include <mutex>
#include <new>
#include <unordered_set>
#include <utility>

#include "automation/out_of_memory.hpp"
#include "replikon/automation/error.hpp"
#include "replikon/automation/server_library.hpp"

namespace replikon {

namespace {

// Moves the definitions of a server's classes to `taken` and drops their
// entries; the caller releases the definitions after giving up its lock.
template <class Classes>
void TakeClassesOf(Classes& classes, std::string_view server_name,
                   std::vector<std::shared_ptr<const ClassDefinition>>& taken) {
  for (auto it = classes.begin(); it != classes.end();) {
    if (it->second.server == server_name) {
      taken.push_back(std::move(it->second.definition));
      it = classes.erase(it);
    } else {
      ++it;
    }
  }
}

std::string ProgIdOf(std::string_view server, std::string_view class_name) {
  std::string id;
  id.reserve(server.size() + 1 + class_name.size());
  id.append(server).append(".").append(class_name);
  return id;
}

// The server part of "Server.Class": what comes before the last point (a
// class name has none). Empty when there is no point.
std::string_view ServerOf(std::string_view prog_id) {
  const std::size_t point = prog_id.rfind('.');
  return point == std::string_view::npos ? std::string_view() : prog_id.substr(0, point);
}

// What a provider threw, as one line of the details of a 429.
std::string DescribeThrown(std::exception_ptr thrown) {
  try {
    std::rethrow_exception(std::move(thrown));
  } catch (const AutomationError& e) {
    if (!e.Details().empty()) return e.Details();
    return "error " + std::to_string(e.Number()) + ": " + e.Description();
  } catch (const std::exception& e) {
    return std::string("threw: ") + e.what();
  } catch (...) {
    return "threw an exception of unknown type";
  }
}

class FunctionProvider final : public ServerProvider {
 public:
  explicit FunctionProvider(ServerProviderFunction function) : function_(std::move(function)) {}
  std::optional<Server> Supply(std::string_view server_name) override {
    return function_(server_name);
  }

 private:
  ServerProviderFunction function_;
};

}  // namespace

ServerProvider::~ServerProvider() = default;

// ---- Server ------------------------------------------------------------------

Server::Server(std::string name) : name_(std::move(name)) {}
Server::Server(Server&&) noexcept = default;
Server& Server::operator=(Server&&) noexcept = default;
Server::~Server() = default;

std::vector<ClassDefinition> Server::Definitions() const {
  std::vector<ClassDefinition> definitions;
  definitions.reserve(builders_.size());
  for (const auto& builder : builders_) definitions.push_back(builder->Build());
  return definitions;
}

// ---- ClassRegistry -----------------------------------------------------------

ClassRegistry::ClassRegistry() = default;
ClassRegistry::~ClassRegistry() = default;

ClassRegistry& ClassRegistry::Global() {
  // The process-wide registry finds servers in shared libraries by name.
  static ClassRegistry registry;
  static const bool with_libraries = [] {
    registry.AddServerProvider(SharedServerLibraries());
    return true;
  }();
  static_cast<void>(with_libraries);
  return registry;
}

void ClassRegistry::Register(const Server& server) {
  Install(server);
}

void ClassRegistry::Install(const Server& server) const {
  const std::string& server_name = server.Name();
  if (server_name.empty()) {
    errors::Raise(errors::kInvalidProcedureCall, "A server needs a name");
  }

  // Everything is built and checked before the registry changes.
  std::vector<std::pair<std::string, Entry>> entries;
  std::unordered_set<std::string> seen;
  for (ClassDefinition& definition : server.Definitions()) {
    const std::string& class_name = definition.prog_class;
    if (class_name.empty() || class_name.find('.') != std::string::npos) {
      errors::Raise(errors::kInvalidProcedureCall,
                    "Invalid class name '" + class_name + "' in server '" + server_name + "'");
    }
    if (!seen.insert(class_name).second) {
      errors::Raise(errors::kInvalidProcedureCall,
                    "Class '" + class_name + "' is defined twice in server '" + server_name + "'");
    }
    std::string prog_id = ProgIdOf(server_name, class_name);
    entries.emplace_back(
        std::move(prog_id),
        Entry{server_name, std::make_shared<const ClassDefinition>(std::move(definition))});
  }

  // The replaced definitions are released after the lock is given up.
  std::vector<std::shared_ptr<const ClassDefinition>> replaced;
  {
    std::unique_lock lock(mutex_);
    TakeClassesOf(classes_, server_name, replaced);
    for (auto& [prog_id, entry] : entries) {
      auto [it, inserted] = classes_.try_emplace(std::move(prog_id), std::move(entry));
      if (!inserted) {
        replaced.push_back(std::move(it->second.definition));
        it->second = std::move(entry);
      }
    }
    generation_.fetch_add(1, std::memory_order_acq_rel);
  }
}

void ClassRegistry::Unregister(std::string_view server_name) {
  std::vector<std::shared_ptr<const ClassDefinition>> removed;
  std::unique_lock lock(mutex_);
  TakeClassesOf(classes_, server_name, removed);
  generation_.fetch_add(1, std::memory_order_acq_rel);
  lock.unlock();
}

bool ClassRegistry::HasServer(std::string_view server_name) const {
  std::shared_lock lock(mutex_);
  for (const auto& [prog_id, entry] : classes_) {
    if (entry.server == server_name) return true;
  }
  return false;
}

void ClassRegistry::AddServerProvider(std::shared_ptr<ServerProvider> provider) {
  if (provider == nullptr) errors::Raise(errors::kInvalidProcedureCall, "No server provider given");
  std::lock_guard lock(providers_mutex_);
  for (const auto& p : providers_) {
    if (p == provider) return;
  }
  providers_.push_back(std::move(provider));
}

std::shared_ptr<ServerProvider> ClassRegistry::AddServerProvider(ServerProviderFunction provider) {
  if (!provider) errors::Raise(errors::kInvalidProcedureCall, "No server provider given");
  auto made = std::make_shared<FunctionProvider>(std::move(provider));
  AddServerProvider(made);
  return made;
}

bool ClassRegistry::RemoveServerProvider(const ServerProvider& provider) {
  std::shared_ptr<ServerProvider> removed;  // released after the lock
  std::lock_guard lock(providers_mutex_);
  for (auto it = providers_.begin(); it != providers_.end(); ++it) {
    if (it->get() == &provider) {
      removed = std::move(*it);
      providers_.erase(it);
      return true;
    }
  }
  return false;
}

bool ClassRegistry::Supply(std::string_view server_name, std::string& failure) const {
  failure.clear();
  if (server_name.empty()) {
    failure = "no server named";
    return false;
  }
  // One supply at a time: a server two threads ask for is supplied once.
  std::lock_guard supplying(supply_mutex_);
  if (HasServer(server_name)) return true;
  std::vector<std::shared_ptr<ServerProvider>> providers;
  {
    std::lock_guard lock(providers_mutex_);
    providers = providers_;
  }
  std::string tried;
  for (const auto& provider : providers) {
    std::string why;
    try {
      std::optional<Server> server = provider->Supply(server_name);
      if (server.has_value()) {
        if (server->Name() != server_name) {
          why = "supplied the server '" + server->Name() + "' instead";
        } else {
          Install(*server);
          std::lock_guard lock(providers_mutex_);
          failures_.erase(std::string(server_name));
          return true;
        }
      }
    } catch (...) {
      // Running out of memory ends the look-up; any other failure of one
      // provider leaves the next to try.
      std::exception_ptr thrown = std::current_exception();
      if (detail::IsOutOfMemory(thrown)) std::rethrow_exception(thrown);
      why = DescribeThrown(std::move(thrown));
    }
    if (!why.empty()) {
      if (!tried.empty()) tried += '\n';
      tried += why;
    }
  }
  failure = "server '" + std::string(server_name) + "' not found";
  if (providers.empty()) {
    failure += " (no server provider)";
  } else if (!tried.empty()) {
    failure += ":\n" + tried;
  }
  std::lock_guard lock(providers_mutex_);
  failures_.insert_or_assign(std::string(server_name), failure);
  return false;
}

void ClassRegistry::RequireServer(std::string_view server_name) {
  std::string failure;
  if (!Supply(server_name, failure)) {
    throw AutomationError(errors::kCannotCreateObject,
                          errors::StandardDescription(errors::kCannotCreateObject), {}, 0, {},
                          std::move(failure));
  }
}

std::string ClassRegistry::SupplyFailure(std::string_view server_name) const {
  std::lock_guard lock(providers_mutex_);
  const auto it = failures_.find(server_name);
  return it != failures_.end() ? it->second : std::string();
}

ObjectRef ClassRegistry::CreateByProgId(std::string_view prog_id) const {
  std::shared_ptr<const ClassDefinition> definition = Lookup(prog_id);
  if (definition == nullptr) {
    const std::string_view server = ServerOf(prog_id);
    std::string failure;
    if (!server.empty() && !HasServer(server) && !Supply(server, failure)) {
      throw AutomationError(errors::kCannotCreateObject,
                            errors::StandardDescription(errors::kCannotCreateObject), {}, 0, {},
                            std::move(failure));
    }
    definition = Lookup(prog_id);
    if (definition == nullptr) {
      errors::RaiseWithDetail(errors::kCannotCreateObject,
                              "no class is registered as \"" + std::string(prog_id) + "\"");
    }
  }
  // The class's own code runs outside the lock: it may create objects itself.
  return Instantiate(*definition);
}

std::shared_ptr<const ClassDefinition> ClassRegistry::Lookup(std::string_view prog_id) const {
  std::shared_lock lock(mutex_);
  const auto it = classes_.find(prog_id);
  return it != classes_.end() ? it->second.definition : nullptr;
}

std::shared_ptr<const ClassDefinition> ClassRegistry::FindDefinition(
    std::string_view prog_id) const {
  std::shared_ptr<const ClassDefinition> definition = Lookup(prog_id);
  if (definition != nullptr) return definition;
  // Only a server that is missing altogether is asked for: a class name
  // never chooses a server.
  const std::string_view server = ServerOf(prog_id);
  std::string failure;
  if (server.empty() || HasServer(server) || !Supply(server, failure)) return nullptr;
  return Lookup(prog_id);
}

ObjectRef ClassRegistry::Instantiate(const ClassDefinition& definition) {
  if (!definition.create) {
    errors::RaiseWithDetail(errors::kCannotCreateObject,
                            "the class \"" + definition.prog_class + "\" has no way to create it");
  }
  try {
    return definition.create();
  } catch (...) {
    errors::RethrowAsAutomationError();
  }
}

std::shared_ptr<const ClassInfo> ClassRegistry::FindClass(std::string_view prog_id) const {
  std::shared_lock lock(mutex_);
  const auto it = classes_.find(prog_id);
  if (it == classes_.end()) return nullptr;
  return it->second.definition->info;
}

std::int64_t ClassRegistry::LiveInstances(std::string_view prog_id) const {
  const std::shared_ptr<const ClassInfo> info = FindClass(prog_id);
  return info != nullptr ? info->LiveInstances() : 0;
}

ObjectRef CreateByProgId(std::string_view prog_id) {
  return ClassRegistry::Global().CreateByProgId(prog_id);
}

}  // namespace replikon

// Servers, classes and creation by programmatic identifier.
#include "replikon/automation/registry.hpp"

#include <exception>
#include <mutex>
#include <new>
#include <unordered_set>
#include <utility>

#include "replikon/automation/error.hpp"

namespace replikon {

namespace {

std::string ProgIdOf(std::string_view server, std::string_view class_name) {
  std::string id;
  id.reserve(server.size() + 1 + class_name.size());
  id.append(server).append(".").append(class_name);
  return id;
}

}  // namespace

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
  static ClassRegistry registry;
  return registry;
}

void ClassRegistry::Register(const Server& server) {
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
    for (auto it = classes_.begin(); it != classes_.end();) {
      if (it->second.server == server_name) {
        replaced.push_back(std::move(it->second.definition));
        it = classes_.erase(it);
      } else {
        ++it;
      }
    }
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
  for (auto it = classes_.begin(); it != classes_.end();) {
    if (it->second.server == server_name) {
      removed.push_back(std::move(it->second.definition));
      it = classes_.erase(it);
    } else {
      ++it;
    }
  }
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

ObjectRef ClassRegistry::CreateByProgId(std::string_view prog_id) const {
  const std::shared_ptr<const ClassDefinition> definition = FindDefinition(prog_id);
  if (definition == nullptr) {
    errors::RaiseWithDetail(errors::kCannotCreateObject,
                            "no class is registered as \"" + std::string(prog_id) + "\"");
  }
  // The class's own code runs outside the lock: it may create objects itself.
  return Instantiate(*definition);
}

std::shared_ptr<const ClassDefinition> ClassRegistry::FindDefinition(
    std::string_view prog_id) const {
  std::shared_lock lock(mutex_);
  const auto it = classes_.find(prog_id);
  return it != classes_.end() ? it->second.definition : nullptr;
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

// Servers, classes and the registry that creates objects by "Server.Class".
#pragma once

#include "replikon/export.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "replikon/automation/class_builder.hpp"
#include "replikon/automation/type_info.hpp"
#include "replikon/detail/string_hash.hpp"

namespace replikon {

// A named server (a library of classes), defined in plain C++:
//
//   Server orders("OrdersLib");
//   orders.Class<Invoice>("Invoice")
//       .Property("Number", &Invoice::number)
//       .Property("Buyer", &Invoice::buyer);
//   ClassRegistry::Global().Register(orders);
//
// after which CreateByProgId("OrdersLib.Invoice") makes a new Invoice.
class REPLIKON_API Server {
 public:
  explicit Server(std::string name);
  Server(Server&&) noexcept;
  Server& operator=(Server&&) noexcept;
  ~Server();

  const std::string& Name() const noexcept { return name_; }

  // Starts the definition of a class registered as `<server>.<class_name>`; its
  // instances report `class_name` unless ReportsClassName says otherwise. The
  // builder stays valid as long as the Server.
  template <class T>
  ClassBuilder<T>& Class(std::string class_name) {
    auto builder = std::make_unique<ClassBuilder<T>>(std::move(class_name));
    ClassBuilder<T>& ref = *builder;
    builders_.push_back(std::move(builder));
    return ref;
  }

  // The classes as defined so far.
  std::vector<ClassDefinition> Definitions() const;

 private:
  std::string name_;
  std::vector<std::unique_ptr<ClassBuilderBase>> builders_;
};

// Maps programmatic identifiers to classes. Reads (creation, look-up) may run on
// several threads at once; registration takes an exclusive lock.
class REPLIKON_API ClassRegistry {
 public:
  ClassRegistry();
  ~ClassRegistry();
  ClassRegistry(const ClassRegistry&) = delete;
  ClassRegistry& operator=(const ClassRegistry&) = delete;

  // The process-wide registry.
  static ClassRegistry& Global();

  // Registers every class of the server (replacing an earlier server of the same
  // name). Raises 5 "Invalid procedure call or argument", and registers nothing,
  // for an empty server or class name, a class name with a point in it, or a
  // class defined twice.
  void Register(const Server& server);
  // Removes a server's classes; existing instances live on.
  void Unregister(std::string_view server_name);
  bool HasServer(std::string_view server_name) const;

  // A new instance of the class registered under `prog_id` ("Server.Class",
  // exact and case-sensitive). Raises 429 "ActiveX component can't create object"
  // for an unknown identifier, and passes on unchanged any error that the class's
  // initialisation raises.
  ObjectRef CreateByProgId(std::string_view prog_id) const;
  // The class registered under `prog_id`, or nullptr.
  std::shared_ptr<const ClassInfo> FindClass(std::string_view prog_id) const;

  // For callers that make many objects of a few classes: the definition
  // registered under `prog_id` (nullptr when unknown), and a new instance made
  // from it without a look-up. Instantiate raises as CreateByProgId does for
  // the class's own initialisation; 429 for a definition that cannot create.
  std::shared_ptr<const ClassDefinition> FindDefinition(std::string_view prog_id) const;
  static ObjectRef Instantiate(const ClassDefinition& definition);
  // A number that changes with every Register and Unregister: a definition
  // found earlier is still the one registered under its identifier while the
  // generation is the same.
  std::uint64_t Generation() const noexcept { return generation_.load(std::memory_order_acquire); }
  // Live instances of the class registered under `prog_id` (0 when unknown).
  std::int64_t LiveInstances(std::string_view prog_id) const;

 private:
  struct Entry {
    std::string server;
    // Shared so that a creation can run outside the lock.
    std::shared_ptr<const ClassDefinition> definition;
  };
  mutable std::shared_mutex mutex_;
  std::unordered_map<std::string, Entry, detail::StringHash, std::equal_to<>> classes_;
  std::atomic<std::uint64_t> generation_{0};
};

// CreateByProgId on the global registry.
REPLIKON_API ObjectRef CreateByProgId(std::string_view prog_id);

}  // namespace replikon

// Servers, classes and the registry that creates objects by "Server.Class".
#pragma once

#include "replikon/export.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
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

// Supplies servers that are not registered yet: when "Server.Class" names a
// server the registry does not have, it asks its providers in turn for that
// server, and registers the first one supplied. A provider that has no such
// server returns nothing; one that throws counts as having none, and what it
// threw is told in the details of the error that follows (429).
class REPLIKON_API ServerProvider {
 public:
  ServerProvider() = default;
  ServerProvider(const ServerProvider&) = delete;
  ServerProvider& operator=(const ServerProvider&) = delete;
  virtual ~ServerProvider();

  // The server named `server_name`, or nothing. A server of another name is
  // refused by the registry. May be called on several threads at once.
  virtual std::optional<Server> Supply(std::string_view server_name) = 0;
};

// The function form of a provider.
using ServerProviderFunction = std::function<std::optional<Server>(std::string_view server_name)>;

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

  // Adds a provider of servers, asked after those added before it. Adding one
  // that is there already does nothing. The function form returns the
  // provider made for it, to remove it by.
  void AddServerProvider(std::shared_ptr<ServerProvider> provider);
  std::shared_ptr<ServerProvider> AddServerProvider(ServerProviderFunction provider);
  // Removes a provider; true when it was there. A call asking it at that time
  // still finishes with it.
  bool RemoveServerProvider(const ServerProvider& provider);

  // Makes sure the server is registered: when it is not, asks the providers
  // for it. Raises 429 "ActiveX component can't create object" when none
  // supplies it, with details telling what each provider said.
  void RequireServer(std::string_view server_name);

  // A new instance of the class registered under `prog_id` ("Server.Class",
  // exact and case-sensitive; the server is what comes before the last point).
  // A server that is not registered is asked of the providers first
  // (RequireServer). Raises 429 "ActiveX component can't create object" for an
  // unknown identifier, and passes on unchanged any error that the class's
  // initialisation raises.
  ObjectRef CreateByProgId(std::string_view prog_id) const;
  // The class registered under `prog_id`, or nullptr.
  std::shared_ptr<const ClassInfo> FindClass(std::string_view prog_id) const;

  // For callers that make many objects of a few classes: the definition
  // registered under `prog_id` (nullptr when unknown), and a new instance made
  // from it without a look-up. FindDefinition asks the providers, as
  // CreateByProgId does, for a server that is not registered; when none
  // supplies it the result is nullptr, and the last failure's details are kept
  // for SupplyFailure. Instantiate raises as CreateByProgId does for
  // the class's own initialisation; 429 for a definition that cannot create.
  std::shared_ptr<const ClassDefinition> FindDefinition(std::string_view prog_id) const;
  // What the providers said when `server_name` was last asked of them in
  // vain; empty when it was supplied or never asked.
  std::string SupplyFailure(std::string_view server_name) const;
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
  // The providers' answer for a server that is not registered: true when one
  // supplied it; `failure` tells why none did otherwise.
  bool Supply(std::string_view server_name, std::string& failure) const;
  std::shared_ptr<const ClassDefinition> Lookup(std::string_view prog_id) const;
  // Register's work. Const because a server the providers supply is
  // registered on a look-up: the classes are then filled in lazily.
  void Install(const Server& server) const;

  mutable std::shared_mutex mutex_;
  // The providers, and the failures of servers asked of them in vain. Asking
  // runs under supply_mutex_, so that a server is supplied once.
  mutable std::mutex providers_mutex_;
  std::vector<std::shared_ptr<ServerProvider>> providers_;
  mutable std::unordered_map<std::string, std::string, detail::StringHash, std::equal_to<>>
      failures_;
  mutable std::mutex supply_mutex_;
  mutable std::unordered_map<std::string, Entry, detail::StringHash, std::equal_to<>> classes_;
  mutable std::atomic<std::uint64_t> generation_{0};
};

// CreateByProgId on the global registry.
REPLIKON_API ObjectRef CreateByProgId(std::string_view prog_id);

}  // namespace replikon

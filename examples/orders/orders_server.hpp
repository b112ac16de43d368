// OrdersLib: a small order book server, defined in plain C++ with the class
// builder, and OtherLib, a second server whose class OrdersLib cannot create.
//
// OrdersLib classes (programmatic identifier "OrdersLib.<class>"):
//   Invoice  - every kind of member: value properties of each scalar type, array
//              properties, Variant properties, object properties (Buyer, Carrier),
//              a collection-like Variant array of lines, a read-only and a
//              write-only property, a parameterised property (Note), methods
//              (AddLine, Summary) and a hidden default member "_Default".
//   Client   - the buyer; its Address is an object, Password is write-only.
//   Address, Product, Line (its Parent links back to the invoice, weakly).
//   Node     - a plain tree node for benchmarks and tests.
//   Quote    - registered as Quote, but its instances report "Estimate".
//   Archive  - its initialisation always fails (error 1001).
// OtherLib classes: Carrier.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "replikon/server.hpp"

namespace orders {

inline constexpr const char* kServerName = "OrdersLib";
inline constexpr const char* kOtherServerName = "OtherLib";

// The error that Archive's initialisation raises.
inline constexpr std::int32_t kArchiveLockedError = 1001;

struct Address {
  std::string street;
  std::string city;
  std::string zip;
  std::string country;
};

struct Product {
  std::string code;
  std::string name;
  replikon::Currency price;
  float weight = 0.0F;
  std::uint8_t category = 0;
  bool in_stock = true;
  replikon::SafeArray picture{replikon::VarType::UI1};  // Array | UI1
};

struct Client {
  std::string name;
  std::int16_t rating = 0;
  bool vip = false;
  replikon::Date since;
  replikon::Decimal credit_limit;
  replikon::ObjectRef address;
  replikon::Variant notes;
  replikon::SafeArray phones{replikon::VarType::BStr};  // Array | BStr
  std::size_t password_digest = 0;                      // set by the write-only Password
};

struct Line {
  std::int32_t quantity = 1;
  replikon::ObjectRef product;
  replikon::Currency unit_price;
  double discount = 0.0;
  // The invoice the line belongs to, held weakly so that the cycle
  // Invoice -> Lines -> Line -> Parent -> Invoice does not keep both alive.
  replikon::WeakObjectRef parent;

  replikon::Currency Total() const;
};

struct Invoice {
  std::int32_t number = 0;
  std::int16_t series = 1;
  replikon::Date issued;
  replikon::ObjectRef buyer;
  bool paid = false;
  float tax_rate = 0.0F;
  double exchange_rate = 1.0;
  replikon::Currency shipping;
  replikon::Decimal discount;
  std::uint8_t priority = 0;
  replikon::Variant memo;
  replikon::Variant lines;  // an Array | Variant of Line objects, or Empty
  replikon::SafeArray quantities{replikon::VarType::I4};   // Array | I4
  replikon::SafeArray tags{replikon::VarType::BStr};       // Array | BStr
  replikon::SafeArray extras{replikon::VarType::Variant};  // Array | Variant
  replikon::SafeArray signature{replikon::VarType::UI1};   // Array | UI1
  replikon::ObjectRef carrier;                             // an OtherLib.Carrier
  std::string status = "Draft";                            // read-only
  std::string approval_code;                               // write-only
  std::map<std::int32_t, std::string> notes;               // Note(Index), 0..9

  std::int32_t LineCount() const;
  replikon::Currency Total() const;
};

struct Node {
  std::int32_t number = 0;
  std::string name;
  replikon::Currency amount;
  replikon::Date when;
  double ratio = 0.0;
  bool flag = false;
  replikon::SafeArray values{replikon::VarType::I4, {{0, 7}}};  // Array | I4, 0..7
  replikon::ObjectRef left;
  replikon::ObjectRef right;
};

// Quote: registered as "OrdersLib.Quote", reported as "Estimate".
struct Quote {
  std::int32_t number = 0;
};

// Archive: cannot be created.
struct Archive {
  std::int32_t number = 0;
};

// OtherLib.Carrier.
struct Carrier {
  std::string name;
  std::string tracking_code;
  replikon::Currency rate;
};

// The two servers' definitions (for registering into a registry of one's own).
replikon::Server MakeOrdersServer();
replikon::Server MakeOtherServer();

// Registers OrdersLib and OtherLib unless the registry has them already.
void RegisterOrdersServer(replikon::ClassRegistry& registry = replikon::ClassRegistry::Global());

// A sample order: invoice 1001 for a client with an address, two lines with
// their products, an OtherLib carrier, and every array and Variant property
// filled. With `link_parents`, each line's Parent refers back to the invoice,
// so the graph holds cycles. The servers must be registered in `registry`.
replikon::ObjectRef MakeSampleInvoice(
    replikon::ClassRegistry& registry = replikon::ClassRegistry::Global(),
    bool link_parents = false);

// A complete binary tree of Nodes `depth` levels deep (2^depth - 1 nodes,
// numbered 1.. in pre-order); a null reference for depth 0.
replikon::ObjectRef MakeNodeTree(
    int depth, replikon::ClassRegistry& registry = replikon::ClassRegistry::Global());

}  // namespace orders

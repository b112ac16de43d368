// OrdersLib and OtherLib: the sample servers' classes and sample graphs.
#include "orders/orders_server.hpp"

#include <cmath>
#include <functional>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

namespace orders {

using replikon::ArrayBound;
using replikon::AutomationError;
using replikon::ClassRegistry;
using replikon::Currency;
using replikon::Date;
using replikon::Decimal;
using replikon::Instance;
using replikon::ObjectRef;
using replikon::ParamDescription;
using replikon::SafeArray;
using replikon::Server;
using replikon::Variant;
using replikon::VarType;
namespace errors = replikon::errors;

namespace {

constexpr std::int32_t kNoteSlots = 10;

// The index argument of Note: 0..9, else 9 "Subscript out of range".
std::int32_t NoteIndex(const Variant& index) {
  const std::int32_t i = replikon::ToI4(index);
  if (i < 0 || i >= kNoteSlots) errors::Raise(errors::kSubscriptOutOfRange);
  return i;
}

Currency Scaled(double amount) {
  return Currency{static_cast<std::int64_t>(std::llround(amount * Currency::kScale))};
}

// The Line objects held in an invoice's Lines value.
template <class Visit>
void ForEachLine(const Variant& lines, Visit visit) {
  if (!lines.IsArray()) return;
  const SafeArray& array = lines.Array();
  for (std::size_t i = 0; i < array.Count(); ++i) {
    const Variant element = array.GetFlat(i);
    if (const ObjectRef* object = element.GetIf<ObjectRef>()) {
      if (const Line* line = object->As<Line>()) visit(*line);
    }
  }
}

// Appends `line` to the Variant array in `lines` (making one if there is none).
void AppendLine(Variant& lines, const ObjectRef& line) {
  const std::size_t old_count = lines.IsArray() ? lines.Array().Count() : 0;
  const ArrayBound bound{0, static_cast<std::int32_t>(old_count)};
  SafeArray grown(VarType::Variant, {bound});
  for (std::size_t i = 0; i < old_count; ++i) {
    const Variant element = lines.Array().GetFlat(i);
    if (const ObjectRef* object = element.GetIf<ObjectRef>()) {
      grown.SetFlatRef(i, *object);
    } else {
      grown.SetFlat(i, element);
    }
  }
  grown.SetFlatRef(old_count, line);
  lines = Variant(std::move(grown));
}

}  // namespace

// Totals beyond what a Currency holds raise "Overflow", as Currency
// arithmetic does.
Currency Line::Total() const {
  const double net = static_cast<double>(unit_price.scaled) * quantity * (1.0 - discount);
  // 2^63: the first value past the largest Currency.
  constexpr double kLimit = 9223372036854775808.0;
  if (!(std::fabs(net) < kLimit))
    replikon::errors::RaiseWithDetail(replikon::errors::kOverflow,
                                      "Line.Total does not fit a Currency");
  return Currency{static_cast<std::int64_t>(std::llround(net))};
}

std::int32_t Invoice::LineCount() const {
  std::int32_t count = 0;
  ForEachLine(lines, [&](const Line&) { ++count; });
  return count;
}

Currency Invoice::Total() const {
  Currency total = shipping;
  ForEachLine(lines, [&](const Line& line) {
    if (__builtin_add_overflow(total.scaled, line.Total().scaled, &total.scaled))
      replikon::errors::RaiseWithDetail(replikon::errors::kOverflow,
                                        "Invoice.Total does not fit a Currency");
  });
  return total;
}

Server MakeOrdersServer() {
  Server server(kServerName);

  server.Class<Address>("Address")
      .Property("Street", &Address::street)
      .Property("City", &Address::city)
      .Property("Zip", &Address::zip)
      .Property("Country", &Address::country);

  server.Class<Product>("Product")
      .Property("Code", &Product::code)
      .Property("Name", &Product::name)
      .Property("Price", &Product::price)
      .Property("Weight", &Product::weight)
      .Property("Category", &Product::category)
      .Property("InStock", &Product::in_stock)
      .ArrayProperty("Picture", &Product::picture, VarType::UI1);

  server.Class<Client>("Client")
      .Property("Name", &Client::name)
      .Property("Rating", &Client::rating)
      .Property("Vip", &Client::vip)
      .Property("Since", &Client::since)
      .Property("CreditLimit", &Client::credit_limit)
      .Property("Address", &Client::address)
      .Property("Notes", &Client::notes)
      .ArrayProperty("Phones", &Client::phones, VarType::BStr)
      // Write-only: only a digest is kept.
      .Let<std::string>("Password",
                        [](Client& c, const std::string& password) {
                          c.password_digest = std::hash<std::string>{}(password) | 1U;
                        })
      .Get("HasPassword", [](const Client& c) { return c.password_digest != 0; });

  server.Class<Line>("Line")
      .Get("Quantity", [](const Line& l) { return l.quantity; })
      .Let<std::int32_t>("Quantity",
                         [](Line& l, std::int32_t quantity) {
                           if (quantity < 0) errors::Raise(errors::kInvalidPropertyValue);
                           l.quantity = quantity;
                         })
      .Property("Product", &Line::product)
      .Property("UnitPrice", &Line::unit_price)
      .Property("Discount", &Line::discount)
      .WeakProperty("Parent", &Line::parent)
      .Get("Total", [](const Line& l) { return l.Total(); });

  server.Class<Invoice>("Invoice")
      .Get("_Default", [](const Invoice& i) { return i.number; })
      .Hidden()
      .Default()
      .Property("Number", &Invoice::number)
      .Property("Series", &Invoice::series)
      .Property("Issued", &Invoice::issued)
      .Property("Buyer", &Invoice::buyer)
      .Property("Paid", &Invoice::paid)
      .Property("TaxRate", &Invoice::tax_rate)
      .Property("ExchangeRate", &Invoice::exchange_rate)
      .Property("Shipping", &Invoice::shipping)
      .Property("Discount", &Invoice::discount)
      .Property("Priority", &Invoice::priority)
      .Property("Memo", &Invoice::memo)
      .Property("Lines", &Invoice::lines)
      .ArrayProperty("Quantities", &Invoice::quantities, VarType::I4)
      .ArrayProperty("Tags", &Invoice::tags, VarType::BStr)
      .ArrayProperty("Extras", &Invoice::extras, VarType::Variant)
      .ArrayProperty("Signature", &Invoice::signature, VarType::UI1)
      .Property("Carrier", &Invoice::carrier)
      .ReadOnly("Status", &Invoice::status)
      .WriteOnly("ApprovalCode", &Invoice::approval_code)
      .Get("Note", VarType::BStr,
           [](const Invoice& inv, std::span<const Variant> args) {
             const auto it = inv.notes.find(NoteIndex(args[0]));
             return it != inv.notes.end() ? it->second : std::string();
           },
           {ParamDescription{"Index", VarType::I4}})
      .Let("Note", VarType::BStr,
           [](Invoice& inv, std::span<const Variant> args) {
             inv.notes[NoteIndex(args[0])] = args.back().String();
           },
           {ParamDescription{"Index", VarType::I4}})
      .Get("LineCount", [](const Invoice& i) { return i.LineCount(); })
      .Get("Total", [](const Invoice& i) { return i.Total(); })
      .Method(
          "AddLine",
          [](Invoice& inv, std::span<const Variant> args, Instance& self) {
            const ObjectRef& line = args[0].Object();
            Line* l = line.As<Line>();
            if (l == nullptr) errors::Raise(errors::kTypeMismatch);
            AppendLine(inv.lines, line);
            l->parent = self.Reference();
            return inv.LineCount();
          },
          {ParamDescription{"Line", VarType::Dispatch}}, VarType::I4)
      .Method(
          "Summary",
          [](Invoice& inv, std::span<const Variant> args) {
            std::string text = "Invoice " + std::to_string(inv.number) + ": " +
                               std::to_string(inv.LineCount()) + " line(s), total " +
                               replikon::DisplayText(Variant(inv.Total()));
            const bool verbose = !args[0].IsMissing() && replikon::ToBool(args[0]);
            if (verbose) {
              if (const Client* buyer = inv.buyer.As<Client>()) text += ", for " + buyer->name;
              text += ", status " + inv.status;
            }
            return text;
          },
          {ParamDescription{"Verbose", VarType::Bool, false, true}}, VarType::BStr);

  server.Class<Node>("Node")
      .Property("Number", &Node::number)
      .Property("Name", &Node::name)
      .Property("Amount", &Node::amount)
      .Property("When", &Node::when)
      .Property("Ratio", &Node::ratio)
      .Property("Flag", &Node::flag)
      .ArrayProperty("Values", &Node::values, VarType::I4)
      .Property("Left", &Node::left)
      .Property("Right", &Node::right);

  server.Class<Quote>("Quote").ReportsClassName("Estimate").Property("Number", &Quote::number);

  server.Class<Archive>("Archive").Property("Number", &Archive::number).OnInitialize([](Archive&) {
    throw AutomationError(kArchiveLockedError, "The archive is locked");
  });

  return server;
}

Server MakeOtherServer() {
  Server server(kOtherServerName);
  server.Class<Carrier>("Carrier")
      .Property("Name", &Carrier::name)
      .Property("TrackingCode", &Carrier::tracking_code)
      .Property("Rate", &Carrier::rate);
  return server;
}

void RegisterOrdersServer(ClassRegistry& registry) {
  // Serialises first registrations from several threads.
  static std::mutex mutex;
  const std::lock_guard lock(mutex);
  if (!registry.HasServer(kServerName)) registry.Register(MakeOrdersServer());
  if (!registry.HasServer(kOtherServerName)) registry.Register(MakeOtherServer());
}

ObjectRef MakeSampleInvoice(ClassRegistry& registry, bool link_parents) {
  const auto create = [&](const char* class_name) {
    return registry.CreateByProgId(std::string(kServerName) + "." + class_name);
  };

  ObjectRef address = create("Address");
  *address.As<Address>() = Address{"12 Harbour Street", "Portsmouth", "PO1 3AX", "UK"};

  ObjectRef buyer = create("Client");
  Client& client = *buyer.As<Client>();
  client.name = "Northwind Traders";
  client.rating = 4;
  client.vip = true;
  client.since = Date{40179.0};                         // 2010-01-01
  client.credit_limit = Decimal{0, 2500050, 2, false};  // 25000.50
  client.address = address;
  client.notes = Variant(replikon::kNull);
  client.phones = SafeArray(VarType::BStr, {ArrayBound{0, 1}});
  client.phones.SetFlat(0, Variant("+44 23 9200 0000"));
  client.phones.SetFlat(1, Variant("+44 23 9200 0001"));

  ObjectRef invoice = create("Invoice");
  Invoice& inv = *invoice.As<Invoice>();
  inv.number = 1001;
  inv.series = 3;
  inv.issued = Date{45366.4375};  // 2024-03-15 10:30
  inv.buyer = buyer;
  inv.paid = false;
  inv.tax_rate = 0.2F;
  inv.exchange_rate = 1.1725;
  inv.shipping = Scaled(7.5);
  inv.discount = Decimal{0, 125, 1, false};  // 12.5
  inv.priority = 2;
  inv.memo = Variant("Deliver before noon");
  inv.notes[0] = "First order of the year";
  inv.notes[3] = "Call before delivery";

  const char* const codes[] = {"P-100", "P-200"};
  const char* const names[] = {"Ship's biscuit", "Tea chest"};
  const double prices[] = {12.5, 48.0};
  const std::int32_t quantities[] = {3, 2};
  inv.quantities = SafeArray(VarType::I4, {ArrayBound{0, 1}});
  SafeArray lines(VarType::Variant, {ArrayBound{0, 1}});
  for (std::size_t i = 0; i < 2; ++i) {
    ObjectRef product = create("Product");
    Product& p = *product.As<Product>();
    p.code = codes[i];
    p.name = names[i];
    p.price = Scaled(prices[i]);
    p.weight = 0.25F + static_cast<float>(i);
    p.category = static_cast<std::uint8_t>(10 + i);
    const std::uint8_t picture[] = {0x89, 0x50, 0x4E, 0x47, static_cast<std::uint8_t>(i)};
    p.picture = SafeArray::FromBytes(picture);

    ObjectRef line = create("Line");
    Line& l = *line.As<Line>();
    l.quantity = quantities[i];
    l.product = product;
    l.unit_price = p.price;
    l.discount = i == 0 ? 0.0 : 0.05;
    if (link_parents) l.parent = invoice;

    lines.SetFlatRef(i, line);
    inv.quantities.SetFlat(i, Variant(quantities[i]));
  }
  inv.lines = Variant(std::move(lines));

  inv.tags = SafeArray(VarType::BStr, {ArrayBound{1, 3}});
  inv.tags.Set({1}, Variant("urgent"));
  inv.tags.Set({2}, Variant("export"));
  inv.tags.Set({3}, Variant("fragile"));

  SafeArray rates(VarType::R8, {ArrayBound{0, 1}});
  rates.SetFlat(0, Variant(0.5));
  rates.SetFlat(1, Variant(0.25));
  inv.extras = SafeArray(VarType::Variant, {ArrayBound{0, 3}});
  inv.extras.SetFlat(0, Variant(std::int32_t{42}));
  inv.extras.SetFlat(1, Variant("text"));
  inv.extras.SetFlat(2, Variant(true));
  inv.extras.SetFlat(3, Variant(std::move(rates)));

  const std::uint8_t signature[] = {0xDE, 0xAD, 0xBE, 0xEF};
  inv.signature = SafeArray::FromBytes(signature);

  ObjectRef carrier = registry.CreateByProgId(std::string(kOtherServerName) + ".Carrier");
  Carrier& c = *carrier.As<Carrier>();
  c.name = "Solent Freight";
  c.tracking_code = "SF-778812";
  c.rate = Scaled(7.5);
  inv.carrier = carrier;

  return invoice;
}

namespace {
ObjectRef MakeNodes(int depth, std::int32_t& next, ClassRegistry& registry) {
  if (depth <= 0) return {};
  ObjectRef object = registry.CreateByProgId(std::string(kServerName) + ".Node");
  Node& node = *object.As<Node>();
  node.number = next++;
  node.name = "Node " + std::to_string(node.number);
  node.amount = Currency{node.number * 12345LL};
  node.when = Date{45000.0 + node.number};
  node.ratio = 1.0 / node.number;
  node.flag = node.number % 2 == 0;
  for (std::size_t i = 0; i < node.values.Count(); ++i) {
    node.values.SetFlat(i, Variant(static_cast<std::int32_t>(node.number * 8 + i)));
  }
  node.left = MakeNodes(depth - 1, next, registry);
  node.right = MakeNodes(depth - 1, next, registry);
  return object;
}
}  // namespace

ObjectRef MakeNodeTree(int depth, ClassRegistry& registry) {
  std::int32_t next = 1;
  return MakeNodes(depth, next, registry);
}

}  // namespace orders

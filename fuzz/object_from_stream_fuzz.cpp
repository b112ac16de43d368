// Rebuilds objects of the sample order-book server (OrdersLib) from arbitrary
// bytes. The first byte chooses the component's settings and what its
// RecursionCheck handler does:
//   bit 0 RecursionAllowed, bit 1 RaiseRecursionCheckEvent,
//   bit 2 ProblemsNotification = OnSubobjectProblem, bit 3 SetExternalReferences,
//   bits 4-5 the handler: 0 none, 1 cancels every other event, 2 throws at
//            event number 1 + (bits 6-7), 3 calls the component again (the
//            Stream utilities, and a Copy of the object being read);
// the rest is the Stream.
//
// ObjectFromStream must end with an object (or Nothing), error 601 or 602, or
// the handler's own exception; once its result is released no instance of the
// servers may be alive; and an object it returns must stream out and back in
// to the same Stream. A graph stream (objects numbered, references to them)
// is streamed out and back in as a graph stream; since its references may
// close cycles of counted references, those of an object it returns are
// broken before the result is released.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <unordered_set>
#include <vector>

#include "copy/engine_context.hpp"
#include "orders/orders_server.hpp"
#include "replikon/control/replikon.hpp"
#include "replikon/server.hpp"
#include "replikon/stream/stream_layout.hpp"
#include "stream/stream_engines.hpp"

namespace {

using namespace replikon;

struct HandlerStop {};

ClassRegistry& Registry() {
  static ClassRegistry registry;
  static const bool registered = [] {
    orders::RegisterOrdersServer(registry);
    return true;
  }();
  (void)registered;
  return registry;
}

std::int64_t LiveInstances() {
  static const char* const kClasses[] = {
      "OrdersLib.Address", "OrdersLib.Product", "OrdersLib.Client",
      "OrdersLib.Line",    "OrdersLib.Invoice", "OrdersLib.Node",
      "OrdersLib.Quote",   "OrdersLib.Archive", "OtherLib.Carrier"};
  std::int64_t live = 0;
  for (const char* prog_id : kClasses) live += Registry().LiveInstances(prog_id);
  return live;
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "object_from_stream_fuzz: %s\n", what);
  std::abort();
}

// Lets every object reachable from `root` go of the objects it holds, so that
// cycles of counted references closed by a graph stream come apart.
void BreakCycles(const ObjectRef& root) {
  std::vector<ObjectRef> objects;
  std::unordered_set<const Instance*> seen;
  auto visit = [&](const ObjectRef& o) {
    if (!o.IsNull() && seen.insert(o.get()).second) objects.push_back(o);
  };
  auto visit_value = [&](const Variant& value) {
    std::vector<Variant> values{value};
    while (!values.empty()) {
      const Variant v = std::move(values.back());
      values.pop_back();
      if (v.IsObject()) visit(v.Object());
      if (!v.IsArray()) continue;
      const SafeArray& a = v.Array();
      if (a.ElementType() != VarType::Dispatch && a.ElementType() != VarType::Variant) continue;
      for (std::size_t i = 0; i < a.Count(); ++i) values.push_back(a.GetFlat(i));
    }
  };
  visit(root);
  for (std::size_t i = 0; i < objects.size(); ++i) {
    const ObjectRef o = objects[i];
    if (auto* n = o.As<orders::Node>()) {
      visit(n->left);
      visit(n->right);
      n->left = ObjectRef();
      n->right = ObjectRef();
    } else if (auto* c = o.As<orders::Client>()) {
      visit(c->address);
      visit_value(c->notes);
      c->address = ObjectRef();
      c->notes = Variant();
    } else if (auto* l = o.As<orders::Line>()) {
      visit(l->product);
      l->product = ObjectRef();
    } else if (auto* inv = o.As<orders::Invoice>()) {
      visit(inv->buyer);
      visit(inv->carrier);
      visit_value(inv->memo);
      visit_value(inv->lines);
      visit_value(Variant(inv->extras));
      inv->buyer = ObjectRef();
      inv->carrier = ObjectRef();
      inv->memo = Variant();
      inv->lines = Variant();
      inv->extras = SafeArray(VarType::Variant);
    }
  }
}

// A graph stream streamed out, read back and streamed out again, through the
// engines with PreserveIdentity: the same bytes.
void CheckGraphRoundTrip(const ObjectRef& object) {
  EngineSettings settings;
  settings.object_server_name = orders::kServerName;
  settings.raise_recursion_check_event = false;
  settings.preserve_identity = true;
  auto write = [&](const ObjectRef& root) {
    EngineContext ctx(settings, Registry());
    ctx.SetRoot(root);
    std::int32_t status = 0;
    std::vector<std::uint8_t> bytes = WriteObject(ctx, root, root, status);
    if (ctx.Aborted()) Fail("writing a graph stream was aborted");
    return bytes;
  };
  const std::vector<std::uint8_t> first = write(object);
  ObjectRef again;
  {
    EngineContext ctx(settings, Registry());
    ObjectRef parent;
    std::int32_t status = 0;
    ReadObject(ctx, first, again, parent, true, status);
    if (ctx.Aborted() || status == 602) Fail("a graph stream as written does not read back");
  }
  if (write(again) != first) Fail("a rebuilt graph does not stream back to the same bytes");
  BreakCycles(again);
}

// Streamed out, read back and streamed out again: the same bytes.
void CheckRoundTrip(const ObjectRef& object) {
  Replikon control(nullptr, Registry());
  control.SetObjectServerName(orders::kServerName);
  control.SetRaiseRecursionCheckEvent(false);
  try {
    const SafeArray first = control.StreamFromObject(object);
    const ObjectRef again = control.ObjectFromStream(first);
    const SafeArray second = control.StreamFromObject(again);
    if (!(first == second)) Fail("a rebuilt object does not stream back to the same bytes");
  } catch (const AutomationError& e) {
    std::fprintf(stderr, "error %d: %s\n", e.Number(), e.Description().c_str());
    Fail("a rebuilt object does not stream out and back in");
  }
}

void ReadOnce(std::uint8_t mode, std::span<const std::uint8_t> bytes) {
  Replikon control(nullptr, Registry());
  control.SetObjectServerName(orders::kServerName);
  control.SetRecursionAllowed((mode & 1) != 0);
  control.SetRaiseRecursionCheckEvent((mode & 2) != 0);
  control.SetProblemsNotification((mode & 4) != 0
                                      ? ProblemsNotificationConstants::OnSubobjectProblem
                                      : ProblemsNotificationConstants::SourceObjectOnly);
  control.SetSetExternalReferences((mode & 8) != 0);
  const int action = (mode >> 4) & 3;
  const int stop_at = 1 + (mode >> 6);
  int events = 0;
  bool nested = false;
  control.AddRecursionCheckHandler([&](RecursionCheckArgs& e) {
    ++events;
    if (action == 1 && events % 2 == 0) e.cancel = true;
    if (action == 2 && events == stop_at) throw HandlerStop{};
    if (action == 3 && !nested) {
      nested = true;
      (void)control.IsStream(SafeArray::FromBytes(bytes));
      (void)control.ObjectTypeName(SafeArray::FromBytes(bytes));
      try {
        ObjectRef copy = control.Copy(e.current_object);
      } catch (const AutomationError& error) {
        if (error.Number() != 601) Fail("a nested Copy raised an error it does not promise");
      }
      nested = false;
    }
  });

  ObjectRef result;
  try {
    result = control.ObjectFromStream(SafeArray::FromBytes(bytes));
  } catch (const AutomationError& e) {
    if (e.Number() != 601 && e.Number() != 602) {
      std::fprintf(stderr, "error %d: %s\n", e.Number(), e.Description().c_str());
      Fail("ObjectFromStream raised an error it does not promise");
    }
  } catch (const HandlerStop&) {
    if (action != 2) Fail("the handler's exception came from nowhere");
  }
  if (result.IsNull()) return;
  if (InspectStream(bytes).graph) {
    CheckGraphRoundTrip(result);
    BreakCycles(result);
  } else {
    CheckRoundTrip(result);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  ReadOnce(data[0], std::span<const std::uint8_t>(data + 1, size - 1));
  if (LiveInstances() != 0) Fail("instances are left alive after the call");
  return 0;
}

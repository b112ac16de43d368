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
// to the same Stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "orders/orders_server.hpp"
#include "replikon/automation.hpp"
#include "replikon/control/replikon.hpp"

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
  control.SetProblemsNotification((mode & 4) != 0 ? OnSubobjectProblem : SourceObjectOnly);
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
  if (!result.IsNull()) CheckRoundTrip(result);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  ReadOnce(data[0], std::span<const std::uint8_t>(data + 1, size - 1));
  if (LiveInstances() != 0) Fail("instances are left alive after the call");
  return 0;
}

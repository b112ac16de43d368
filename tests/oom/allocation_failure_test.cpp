// Every allocation of a processing call fails in turn. This program replaces
// the global operator new (every form) with one that can be told to fail the
// Nth allocation of the calling thread from now, so it is a program of its own.
//
// For each N the call either ends with error 7 or gives the complete result
// that the same call gives when nothing fails; no instance outlives its last
// reference, and the component goes on working. Under AddressSanitizer the
// leak check at exit covers every path in between.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "automation/allocation_hooks.hpp"
#include "replikon/control/replikon.hpp"
#include "replikon/server.hpp"
#include "test_support.hpp"

// ---- The failing allocator ---------------------------------------------------

namespace {

// Allocations left before the one that fails; negative: none fails.
thread_local long allocations_to_failure = -1;
// Whether the armed failure happened.
thread_local bool failure_injected = false;

bool FailNow() noexcept {
  if (allocations_to_failure < 0) return false;
  if (allocations_to_failure-- > 0) return false;
  failure_injected = true;
  return true;
}

void* Allocate(std::size_t size) noexcept {
  if (FailNow()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void* AllocateAligned(std::size_t size, std::align_val_t align) noexcept {
  if (FailNow()) return nullptr;
  const auto a = static_cast<std::size_t>(align);
  const std::size_t rounded = (size == 0 ? a : (size + a - 1) / a * a);
  return std::aligned_alloc(a, rounded);
}

}  // namespace

// Every replaceable form of operator new, scalar and array, throwing and not;
// `allocate` fails when told to.
#define REPLIKON_FAILING_NEW(allocate, ...)                           \
  void* operator new(__VA_ARGS__) {                                   \
    if (void* p = allocate) return p;                                 \
    throw std::bad_alloc();                                           \
  }                                                                   \
  void* operator new[](__VA_ARGS__) {                                 \
    if (void* p = allocate) return p;                                 \
    throw std::bad_alloc();                                           \
  }                                                                   \
  void* operator new(__VA_ARGS__, const std::nothrow_t&) noexcept {   \
    return allocate;                                                  \
  }                                                                   \
  void* operator new[](__VA_ARGS__, const std::nothrow_t&) noexcept { \
    return allocate;                                                  \
  }
REPLIKON_FAILING_NEW(Allocate(size), std::size_t size)
REPLIKON_FAILING_NEW(AllocateAligned(size, align), std::size_t size, std::align_val_t align)

// Every form of operator delete frees what malloc or aligned_alloc gave.
#define REPLIKON_FREEING_DELETE(...)                                    \
  void operator delete(void* p __VA_OPT__(, ) __VA_ARGS__) noexcept {   \
    std::free(p);                                                       \
  }                                                                     \
  void operator delete[](void* p __VA_OPT__(, ) __VA_ARGS__) noexcept { \
    std::free(p);                                                       \
  }
REPLIKON_FREEING_DELETE()
REPLIKON_FREEING_DELETE(std::size_t)
REPLIKON_FREEING_DELETE(const std::nothrow_t&)
REPLIKON_FREEING_DELETE(std::align_val_t)
REPLIKON_FREEING_DELETE(std::size_t, std::align_val_t)
REPLIKON_FREEING_DELETE(std::align_val_t, const std::nothrow_t&)

namespace replikon {
namespace {

// Arms the allocation `n` allocations from now (n = 0: the first) to fail,
// for the scope of one call.
struct FailingAllocation {
  explicit FailingAllocation(long n) { allocations_to_failure = n; }
  ~FailingAllocation() { allocations_to_failure = -1; }
};

// A call is tried with each allocation failing in turn; this many are enough
// for the graph below many times over.
constexpr long kMostAllocations = 20000;

struct Order {
  std::string customer;
  std::int32_t number = 0;
  SafeArray quantities{VarType::I4};
  SafeArray notes{VarType::BStr};
  Variant extra;  // a Variant array with an array inside
  ObjectRef first_line;
  ObjectRef no_line;  // stays null
};

// Its properties run the class's own code (gets and lets of its own), not
// plain field reads.
struct Line {
  std::string item;
  double price = 0;
  SafeArray sizes{VarType::R8};
  ObjectRef next;
};

class AllocationFailure : public ::testing::Test {
 protected:
  AllocationFailure() : server_("Oom") {
    server_.Class<Order>("Order")
        .Property("Customer", &Order::customer)
        .Property("Number", &Order::number)
        .ArrayProperty("Quantities", &Order::quantities, VarType::I4)
        .ArrayProperty("Notes", &Order::notes, VarType::BStr)
        .Property("Extra", &Order::extra)
        .Property("FirstLine", &Order::first_line)
        .Property("NoLine", &Order::no_line);
    server_.Class<Line>("Line")
        .Get("Item", VarType::BStr, [](Line& l) { return l.item; })
        .Let("Item", VarType::BStr, [](Line& l, const Variant& v) { l.item = v.String(); })
        .Get("Price", VarType::R8, [](Line& l) { return l.price; })
        .Let("Price", VarType::R8, [](Line& l, const Variant& v) { l.price = ToR8(v); })
        .Get("Sizes", VarType::Array | VarType::R8, [](Line& l) { return l.sizes; })
        .Let("Sizes", VarType::Array | VarType::R8,
             [](Line& l, const Variant& v) { l.sizes = v.Array(); })
        .Get("Next", VarType::Dispatch, [](Line& l) { return l.next; })
        .Set("Next", [](Line& l, const ObjectRef& o) { l.next = o; });
    registry_.Register(server_);
    control_.SetObjectServerName("Oom");
    // A handler that listens, so that the events' own allocations are tried too.
    control_.AddRecursionCheckHandler([](RecursionCheckArgs&) {});
    source_ = MakeOrder();
  }

  void TearDown() override {
    source_.Reset();
    EXPECT_EQ(LiveInstances(), 0) << "instances left alive";
  }

  std::int64_t LiveInstances() const {
    return registry_.LiveInstances("Oom.Order") + registry_.LiveInstances("Oom.Line");
  }

  ObjectRef MakeOrder() {
    ObjectRef order = registry_.CreateByProgId("Oom.Order");
    Order& o = *order.As<Order>();
    o.customer = "A customer whose name is far too long for a small string";
    o.number = 17;
    o.quantities = SafeArray(VarType::I4, {{1, 3}});
    for (std::size_t i = 0; i < 3; ++i) o.quantities.SetFlat(i, Variant(std::int32_t(10 * i)));
    o.notes = SafeArray(VarType::BStr, {{0, 1}, {0, 1}});
    for (std::size_t i = 0; i < 4; ++i) {
      o.notes.SetFlat(i, Variant("note number " + std::to_string(i) + " with some more text"));
    }
    SafeArray extra(VarType::Variant, {{0, 2}});
    extra.SetFlat(0, Variant(std::string("a string in a Variant array, long enough")));
    SafeArray inner(VarType::R8, {{-1, 1}});
    inner.SetFlat(0, Variant(2.5));
    extra.SetFlat(1, Variant(std::move(inner)));
    extra.SetFlat(2, Variant(std::int16_t{3}));
    o.extra = Variant(std::move(extra));
    ObjectRef previous;
    for (int i = 2; i >= 0; --i) {
      ObjectRef line = registry_.CreateByProgId("Oom.Line");
      Line& l = *line.As<Line>();
      l.item = "item " + std::to_string(i) + std::string(3000, '-');
      l.price = 1.5 * i;
      l.sizes = SafeArray(VarType::R8, {{0, i}});
      l.next = previous;
      previous = line;
    }
    o.first_line = previous;
    return order;
  }

  // The order's Extra: a Variant array of `objects`.
  void SetExtra(const std::vector<ObjectRef>& objects) {
    SafeArray array(VarType::Variant, {{0, static_cast<std::int32_t>(objects.size()) - 1}});
    for (std::size_t i = 0; i < objects.size(); ++i) array.SetFlatRef(i, objects[i]);
    source_.As<Order>()->extra = Variant(std::move(array));
  }

  // The Stream of `object`, written with nothing failing.
  std::vector<std::uint8_t> StreamOf(const ObjectRef& object) {
    const SafeArray stream = control_.StreamFromObject(object);
    const auto bytes = stream.ByteSpan();
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
  }

  // Tries `call` with every allocation failing in turn, until it runs without
  // reaching the failing one. `check` judges a call that returned; one that
  // raised must have raised error 7. Returns how many allocations the call
  // made (the N that did not fail).
  // `prepare` runs before each try, with nothing failing.
  template <class Call, class Check, class Prepare = void (*)()>
  long EveryAllocationFails(
      const Call& call, const Check& check, const Prepare& prepare = [] {}) {
    const std::int64_t live_before = LiveInstances();
    for (long n = 0; n < kMostAllocations; ++n) {
      SCOPED_TRACE("allocation " + std::to_string(n));
      prepare();
      bool returned = false;
      failure_injected = false;
      try {
        const FailingAllocation failing(n);
        call();
        returned = true;
      } catch (const AutomationError& e) {
        EXPECT_TRUE(failure_injected) << "error " << e.Number() << " with nothing failing";
        EXPECT_EQ(e.Number(), 7) << e.what();
        // It says where memory ran out: in its details, or (file calls) its description.
        EXPECT_EQ(e.Description().rfind("Out of memory", 0), 0u) << e.Description();
        EXPECT_TRUE(!e.Details().empty() || e.Description() != "Out of memory");
      } catch (const std::exception& e) {
        ADD_FAILURE() << "not an automation error: " << e.what();
      }
      if (returned) check();
      EXPECT_EQ(LiveInstances(), live_before);
      if (::testing::Test::HasFailure()) return n;
      if (!failure_injected) return n;
    }
    ADD_FAILURE() << "the call made more than " << kMostAllocations << " allocations";
    return kMostAllocations;
  }

  ClassRegistry registry_;
  Server server_;
  Replikon control_{nullptr, registry_};
  ObjectRef source_;
};

// Each processing call, on a tree and with identity kept; with identity the
// lines are also reached through a Variant array of the order's, one of them
// twice, and stay one object each, which the Stream tells from two copies.
TEST_F(AllocationFailure, CopyAndObjectFromStreamEndWithError7OrGiveTheWholeGraph) {
  for (const bool identity : {false, true}) {
    SCOPED_TRACE(identity ? "identity kept" : "a tree");
    if (identity) {
      source_ = MakeOrder();
      const ObjectRef first = source_.As<Order>()->first_line;
      SetExtra({first, first.As<Line>()->next, first});
    }
    control_.SetPreserveIdentity(identity);
    const std::vector<std::uint8_t> expected = StreamOf(source_);
    ObjectRef result;
    SafeArray stream;
    const auto check = [&] {
      ASSERT_FALSE(result.IsNull());
      const Order& back = *result.As<Order>();
      EXPECT_TRUE(!identity || back.extra.Array().Get({2}).Object() == back.first_line);
      EXPECT_TRUE(!source_ || back.first_line != source_.As<Order>()->first_line);
      EXPECT_EQ(StreamOf(result), expected);
      result.Reset();
    };
    const auto write = [&] { stream = control_.StreamFromObject(source_); };
    const auto written = [&] {
      EXPECT_EQ(stream, SafeArray::FromBytes(expected));
      stream = SafeArray();
    };
    const auto read = [&] { result = control_.ObjectFromStream(stream); };
    EXPECT_GT(EveryAllocationFails([&] { result = control_.Copy(source_); }, check), 20);
    // The writer's buffer is made for the Stream it wrote last, this one. After
    // a small Stream it grows as it goes, and the Stream is gathered from the
    // pieces.
    EXPECT_GT(EveryAllocationFails(write, written), 20);
    ASSERT_GT(expected.size(), std::size_t{8192});
    EXPECT_GT(EveryAllocationFails(write, written, [&] { StreamOf(ObjectRef()); }), 20);
    // Beside the source the new arrays start out sharing its arrays' bodies, so
    // a failed allocation may strike while a shared body is copied.
    stream = SafeArray::FromBytes(expected);
    EXPECT_GT(EveryAllocationFails(read, check), 20);
    source_.Reset();  // only what the reader makes is alive from here on
    EXPECT_GT(EveryAllocationFails(read, check), 20);
  }
}

// A Stream larger than the writer expects goes on into mapped chunks, whose
// mappings fail as allocations do.
TEST_F(AllocationFailure, AFailedMappingOfTheStreamsBufferIsError7) {
  const std::vector<std::uint8_t> small = StreamOf(source_);
  Order& order = *source_.As<Order>();
  const SafeArray few = order.quantities;
  order.quantities = SafeArray(VarType::I4, {{0, 99999}});
  const std::vector<std::uint8_t> expected = StreamOf(source_);
  ASSERT_GT(expected.size(), small.size() + (std::size_t{256} << 10));
  for (long n = 0;; ++n) {
    // The writer expects a little more than the Stream it wrote last.
    order.quantities = few;
    ASSERT_EQ(StreamOf(source_), small);
    order.quantities = SafeArray(VarType::I4, {{0, 99999}});
    detail::MappingsToFailure() = n;
    const AutomationError e = test_support::ErrorFrom([&] { control_.StreamFromObject(source_); });
    const bool failed = detail::MappingsToFailure() < 0;
    detail::MappingsToFailure() = -1;
    if (!failed) {
      EXPECT_EQ(e.Number(), 0) << "mapping " << n << ": " << e.what();
      EXPECT_GT(n, 0);
      break;
    }
    EXPECT_EQ(e.Number(), 7) << "mapping " << n << ": " << e.what();
    EXPECT_NE(e.Details().find("StreamFromObject"), std::string::npos) << e.Details();
  }
  EXPECT_EQ(StreamOf(source_), expected);
}

TEST_F(AllocationFailure, StreamToFileKeepsTheOldFileWhenItFails) {
  const test_support::TempDir dir;
  const std::string file = dir / "order.stream";
  const std::string old_bytes(4096, '\xA5');
  std::ofstream(file, std::ios::binary) << old_bytes;
  const std::vector<std::uint8_t> expected = StreamOf(source_);
  const SafeArray stream = SafeArray::FromBytes(expected);
  const auto contents = [&] {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  bool written = false;
  EveryAllocationFails(
      [&] {
        control_.StreamToFile(stream, file);
        written = true;
      },
      [&] { EXPECT_EQ(contents(), std::string(expected.begin(), expected.end())); },
      [&] { EXPECT_TRUE(written || contents() == old_bytes) << "the old bytes are gone"; });
}

// The details of errors 601 and 602 are made as the call goes, and at its
// end: running out of memory on the way still ends the call with error 7, and
// otherwise the error comes with all its details.
TEST_F(AllocationFailure, ErrorDetailsEndWithError7OrAreWhole) {
  Server ext("OomExt");
  ext.Class<Line>("Gadget").Property("Item", &Line::item);
  registry_.Register(ext);
  SetExtra({registry_.CreateByProgId("OomExt.Gadget"), registry_.CreateByProgId("OomExt.Gadget")});
  source_.As<Order>()->no_line = registry_.CreateByProgId("OomExt.Gadget");
  control_.SetPreserveIdentity(true);

  std::optional<AutomationError> raised;
  std::vector<std::string> expected;
  // The call, with error `number` taken as its result. The error is moved out
  // of the handler, which allocates nothing while allocations fail.
  const auto keeping = [&](std::int32_t number, const auto& call) {
    return [&raised, number, call] {
      try {
        call();
      } catch (AutomationError& e) {
        if (e.Number() != number) throw;
        raised.emplace(std::move(e));
      }
    };
  };
  const auto details = [&] {
    std::vector<std::string> list;
    if (raised) list.assign(raised->DetailList().begin(), raised->DetailList().end());
    raised.reset();
    return list;
  };
  const SafeArray array_stream = SafeArray::FromBytes(test_support::BagOf({{"@SF#", Variant(33)}}));
  const struct {
    std::int32_t number;
    std::function<void()> call;
    std::size_t details;
    long allocations_over;
  } cases[] = {
      {601, [&] { control_.Copy(source_); }, 3, 20},
      {601, [&] { control_.StreamFromObject(source_); }, 3, 20},
      {602, [&] { control_.ObjectFromStream(array_stream); }, 1, 0},
  };
  for (const auto& c : cases) {
    const auto call = keeping(c.number, c.call);
    call();
    expected = details();
    ASSERT_EQ(expected.size(), c.details);
    EXPECT_GT(EveryAllocationFails(call, [&] { EXPECT_EQ(details(), expected); }),
              c.allocations_over);
  }
}

}  // namespace
}  // namespace replikon

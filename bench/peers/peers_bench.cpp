// Replikon against the usual ways of copying and persisting an object graph in
// C++: a hand-written clone and binary writer/reader (the limit), cereal and
// Boost.Serialization (static, compiled per type) and RTTR (run-time
// reflection, late-bound like Replikon).
//
// Every implementation works on the same graph: nodes holding a 32-bit
// integer, a string, a currency amount, a date, a double, a Boolean, an array
// of eight 32-bit integers and two object references (Left and Right). Shapes:
// a balanced tree of 16,383 nodes, and chains of 1,000, 10,000 and 100,000
// nodes (each node's Left holds the next).
//
// Each (shape, implementation) pair runs in a child process of its own, so a
// peer that overflows the stack on a deep chain is reported as a crash and the
// others go on, and so that peak memory is measured on a fresh heap. Times are
// the thread's CPU time (steadier than wall time on a shared machine), medians
// over repeated runs; building and tearing down graphs is outside the timed
// region. The whole comparison runs in rounds (three unless told), each cell
// once per round, and each time is the median of its rounds, so that a burst
// of load from elsewhere does not decide a ratio. Every result is checked to
// equal its source before anything is timed.
//
//   build/bench/peers/replikon_peers_bench [--quick] [--rounds N] [--only N] [--in-process]
//
// prints Markdown tables: ns per object, bytes per object, peak memory, and the
// ratio of each to the hand-written one.

#include <malloc.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

// The static peers.
#include <boost/archive/binary_iarchive.hpp>
#include <boost/archive/binary_oarchive.hpp>
#include <boost/serialization/array.hpp>
#include <boost/serialization/string.hpp>
#include <boost/serialization/unique_ptr.hpp>
#include <cereal/archives/binary.hpp>
#include <cereal/types/array.hpp>
#include <cereal/types/memory.hpp>
#include <cereal/types/string.hpp>

// The reflective peer.
#include <rttr/registration>
#include <rttr/type>

#include "orders/orders_server.hpp"
#include "replikon/control/replikon.hpp"
#include "replikon/server.hpp"

namespace {

// ---- The data -----------------------------------------------------------------

// One node's values, as every implementation holds them.
struct Record {
  std::int32_t number = 0;
  std::string name;
  std::int64_t amount = 0;  // currency, scaled by 10,000
  double when = 0.0;        // date: days since 1899-12-30
  double ratio = 0.0;
  bool flag = false;
  std::array<std::int32_t, 8> values{};
  bool has_left = false;
  bool has_right = false;

  friend bool operator==(const Record& a, const Record& b) {
    return a.number == b.number && a.name == b.name && a.amount == b.amount &&
           std::bit_cast<std::uint64_t>(a.when) == std::bit_cast<std::uint64_t>(b.when) &&
           std::bit_cast<std::uint64_t>(a.ratio) == std::bit_cast<std::uint64_t>(b.ratio) &&
           a.flag == b.flag && a.values == b.values && a.has_left == b.has_left &&
           a.has_right == b.has_right;
  }
};

// The values of the node numbered i (pre-order, from 0).
Record DataOf(std::int64_t i) {
  Record r;
  r.number = static_cast<std::int32_t>(i);
  r.name = "node-" + std::to_string(i);
  r.amount = i * 12345;
  r.when = 45000.0 + static_cast<double>(i % 20000) + 0.25;
  r.ratio = 1.0 / static_cast<double>(i + 1);
  r.flag = i % 2 == 0;
  for (std::size_t k = 0; k < r.values.size(); ++k) {
    r.values[k] = static_cast<std::int32_t>(i * 8 + static_cast<std::int64_t>(k));
  }
  return r;
}

struct Shape {
  std::string label;
  int tree_depth = 0;      // > 0: a balanced tree of 2^depth - 1 nodes
  std::int64_t chain = 0;  // > 0: a chain of that many nodes
  std::int64_t Objects() const {
    return tree_depth > 0 ? (std::int64_t{1} << tree_depth) - 1 : chain;
  }
};

// Builds any graph in pre-order without recursion: `make` creates a node with
// the record's values, `link` hangs a child on its parent (left or right).
template <class Ref, class Make, class Link>
Ref BuildGraph(const Shape& shape, Make make, Link link) {
  std::int64_t next = 0;
  Ref root = make(DataOf(next++));
  if (shape.chain > 0) {
    Ref last = root;
    for (std::int64_t i = 1; i < shape.chain; ++i) {
      Ref node = make(DataOf(next++));
      link(last, node, true);
      last = node;
    }
    return root;
  }
  struct Item {
    Ref node;
    int depth;
    int child;  // 0: left next, 1: right next, 2: done
  };
  std::vector<Item> stack;
  stack.push_back({root, 1, 0});
  while (!stack.empty()) {
    Item& top = stack.back();
    if (top.depth >= shape.tree_depth || top.child == 2) {
      stack.pop_back();
      continue;
    }
    const bool left = top.child == 0;
    ++top.child;
    Ref parent = top.node;
    const int depth = top.depth + 1;
    Ref child = make(DataOf(next++));
    link(parent, child, left);
    stack.push_back({child, depth, 0});
  }
  return root;
}

// Flattens any graph in pre-order without recursion; `read` fills a record and
// gives the children.
template <class Ref, class Read>
std::vector<Record> Flatten(Ref root, Read read) {
  std::vector<Record> out;
  std::vector<Ref> stack;
  if (root) stack.push_back(root);
  while (!stack.empty()) {
    Ref node = stack.back();
    stack.pop_back();
    Ref left{}, right{};
    out.push_back(read(node, left, right));
    if (right) stack.push_back(right);
    if (left) stack.push_back(left);
  }
  return out;
}

// ---- Measuring ------------------------------------------------------------------

double ThreadSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A field of /proc/self/status in bytes (VmRSS, VmHWM); 0 when unknown.
std::int64_t StatusBytes(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t n = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') {
      return std::atoll(line.c_str() + n + 1) * 1024;
    }
  }
  return 0;
}

// Starts a new peak: the high-water mark of the resident set is reset to now.
bool ResetPeak() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

struct Timing {
  double seconds_budget = 0.4;
  int min_runs = 3;
  int max_runs = 25;
};

// Median seconds of `op` over repeated runs; `after` runs after each run,
// outside the timed region.
template <class Op, class After>
double Median(const Timing& t, Op op, After after) {
  std::vector<double> runs;
  double spent = 0.0;
  while (static_cast<int>(runs.size()) < t.max_runs &&
         (static_cast<int>(runs.size()) < t.min_runs || spent < t.seconds_budget)) {
    const double start = ThreadSeconds();
    op();
    const double took = ThreadSeconds() - start;
    after();
    runs.push_back(took);
    spent += took;
  }
  std::sort(runs.begin(), runs.end());
  const std::size_t n = runs.size();
  return n % 2 == 1 ? runs[n / 2] : (runs[n / 2 - 1] + runs[n / 2]) / 2;
}

// ---- Implementations --------------------------------------------------------------

// One way of copying and persisting the graph. Serialise writes the source into
// a buffer of the implementation's own; Deserialise rebuilds the result from
// it; Copy makes the result from the source directly.
class Implementation {
 public:
  virtual ~Implementation() = default;
  virtual std::string Name() const = 0;
  virtual bool Streams() const { return true; }
  virtual bool Copies() const { return false; }

  virtual void Build(const Shape& shape) = 0;
  virtual void Serialise() = 0;
  virtual void DropStream() = 0;
  virtual std::int64_t StreamBytes() const = 0;
  virtual void Deserialise() = 0;
  virtual void Copy() {}
  virtual void DropResult() = 0;
  virtual std::vector<Record> FlattenSource() const = 0;
  virtual std::vector<Record> FlattenResult() const = 0;
};

// -- Plain structs: the hand-written code, cereal and Boost all use them.

struct PNode {
  std::int32_t number = 0;
  std::string name;
  std::int64_t amount = 0;
  double when = 0.0;
  double ratio = 0.0;
  bool flag = false;
  std::array<std::int32_t, 8> values{};
  std::unique_ptr<PNode> left;
  std::unique_ptr<PNode> right;

  template <class Archive>
  void serialize(Archive& ar) {  // cereal
    ar(number, name, amount, when, ratio, flag, values, left, right);
  }
};

}  // namespace

namespace boost::serialization {
template <class Archive>
void serialize(Archive& ar, PNode& n, const unsigned int) {
  ar& n.number& n.name& n.amount& n.when& n.ratio& n.flag& n.values& n.left& n.right;
}
}  // namespace boost::serialization

namespace {

// Tears a graph of plain nodes down without recursion.
void Release(std::unique_ptr<PNode> root) {
  std::vector<std::unique_ptr<PNode>> stack;
  if (root) stack.push_back(std::move(root));
  while (!stack.empty()) {
    std::unique_ptr<PNode> node = std::move(stack.back());
    stack.pop_back();
    if (node->left) stack.push_back(std::move(node->left));
    if (node->right) stack.push_back(std::move(node->right));
  }
}

std::unique_ptr<PNode> MakePlain(const Record& r) {
  auto n = std::make_unique<PNode>();
  n->number = r.number;
  n->name = r.name;
  n->amount = r.amount;
  n->when = r.when;
  n->ratio = r.ratio;
  n->flag = r.flag;
  n->values = r.values;
  return n;
}

std::vector<Record> FlattenPlain(const PNode* root) {
  return Flatten(root, [](const PNode* n, const PNode*& left, const PNode*& right) {
    left = n->left.get();
    right = n->right.get();
    return Record{n->number, n->name,   n->amount,       n->when,         n->ratio,
                  n->flag,   n->values, left != nullptr, right != nullptr};
  });
}

class PlainBase : public Implementation {
 public:
  void Build(const Shape& shape) override {
    // Each node is owned by its parent from the moment it is linked.
    source_.reset(BuildGraph<PNode*>(
        shape, [](const Record& r) { return MakePlain(r).release(); },
        [](PNode* parent, PNode* child, bool left) {
          (left ? parent->left : parent->right).reset(child);
        }));
  }
  void DropResult() override { Release(std::move(result_)); }
  std::vector<Record> FlattenSource() const override { return FlattenPlain(source_.get()); }
  std::vector<Record> FlattenResult() const override { return FlattenPlain(result_.get()); }
  ~PlainBase() override {
    Release(std::move(source_));
    Release(std::move(result_));
  }

 protected:
  std::unique_ptr<PNode> source_;
  std::unique_ptr<PNode> result_;
};

// The limit: code written by hand for this one struct.
class HandWritten final : public PlainBase {
 public:
  std::string Name() const override { return "hand-written C++"; }
  bool Copies() const override { return true; }

  void Serialise() override {
    bytes_.clear();
    Write(*source_);
  }
  void DropStream() override { std::vector<std::uint8_t>().swap(bytes_); }
  std::int64_t StreamBytes() const override { return static_cast<std::int64_t>(bytes_.size()); }
  void Deserialise() override {
    std::size_t at = 0;
    result_ = Read(at);
  }
  void Copy() override { result_ = Clone(*source_); }

 private:
  template <class T>
  void Put(const T& v) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
    bytes_.insert(bytes_.end(), p, p + sizeof v);
  }
  template <class T>
  T Take(std::size_t& at) const {
    T v;
    std::memcpy(&v, bytes_.data() + at, sizeof v);
    at += sizeof v;
    return v;
  }
  void Write(const PNode& n) {
    Put(n.number);
    Put(static_cast<std::uint32_t>(n.name.size()));
    bytes_.insert(bytes_.end(), n.name.begin(), n.name.end());
    Put(n.amount);
    Put(n.when);
    Put(n.ratio);
    Put(static_cast<std::uint8_t>(n.flag));
    Put(n.values);
    Put(static_cast<std::uint8_t>((n.left ? 1 : 0) | (n.right ? 2 : 0)));
    if (n.left) Write(*n.left);
    if (n.right) Write(*n.right);
  }
  std::unique_ptr<PNode> Read(std::size_t& at) const {
    auto n = std::make_unique<PNode>();
    n->number = Take<std::int32_t>(at);
    const auto length = Take<std::uint32_t>(at);
    n->name.assign(reinterpret_cast<const char*>(bytes_.data() + at), length);
    at += length;
    n->amount = Take<std::int64_t>(at);
    n->when = Take<double>(at);
    n->ratio = Take<double>(at);
    n->flag = Take<std::uint8_t>(at) != 0;
    n->values = Take<std::array<std::int32_t, 8>>(at);
    const auto children = Take<std::uint8_t>(at);
    if (children & 1) n->left = Read(at);
    if (children & 2) n->right = Read(at);
    return n;
  }
  static std::unique_ptr<PNode> Clone(const PNode& s) {
    auto n = std::make_unique<PNode>();
    n->number = s.number;
    n->name = s.name;
    n->amount = s.amount;
    n->when = s.when;
    n->ratio = s.ratio;
    n->flag = s.flag;
    n->values = s.values;
    if (s.left) n->left = Clone(*s.left);
    if (s.right) n->right = Clone(*s.right);
    return n;
  }

  std::vector<std::uint8_t> bytes_;
};

class Cereal final : public PlainBase {
 public:
  std::string Name() const override { return "cereal (binary)"; }
  void Serialise() override {
    std::ostringstream out(std::ios::binary);
    {
      cereal::BinaryOutputArchive archive(out);
      archive(source_);
    }
    bytes_ = std::move(out).str();
  }
  void DropStream() override { std::string().swap(bytes_); }
  std::int64_t StreamBytes() const override { return static_cast<std::int64_t>(bytes_.size()); }
  void Deserialise() override {
    std::istringstream in(bytes_, std::ios::binary);
    cereal::BinaryInputArchive archive(in);
    archive(result_);
  }

 private:
  std::string bytes_;
};

class Boost final : public PlainBase {
 public:
  std::string Name() const override { return "Boost.Serialization (binary)"; }
  void Serialise() override {
    std::ostringstream out(std::ios::binary);
    {
      boost::archive::binary_oarchive archive(out);
      archive << source_;
    }
    bytes_ = std::move(out).str();
  }
  void DropStream() override { std::string().swap(bytes_); }
  std::int64_t StreamBytes() const override { return static_cast<std::int64_t>(bytes_.size()); }
  void Deserialise() override {
    std::istringstream in(bytes_, std::ios::binary);
    boost::archive::binary_iarchive archive(in);
    archive >> result_;
  }

 private:
  std::string bytes_;
};

// -- RTTR: run-time reflection. The walk knows no class: it goes by property
// names and types, and makes objects by type name.

struct RNode {
  std::int32_t number = 0;
  std::string name;
  std::int64_t amount = 0;
  double when = 0.0;
  double ratio = 0.0;
  bool flag = false;
  std::vector<std::int32_t> values;
  std::shared_ptr<RNode> left;
  std::shared_ptr<RNode> right;
};

void Release(std::shared_ptr<RNode> root) {
  std::vector<std::shared_ptr<RNode>> stack;
  if (root) stack.push_back(std::move(root));
  while (!stack.empty()) {
    std::shared_ptr<RNode> node = std::move(stack.back());
    stack.pop_back();
    if (node.use_count() > 1) continue;
    if (node->left) stack.push_back(std::move(node->left));
    if (node->right) stack.push_back(std::move(node->right));
  }
}

}  // namespace

RTTR_REGISTRATION {
  rttr::registration::class_<RNode>("RNode")
      .constructor<>()(rttr::policy::ctor::as_std_shared_ptr)
      .property("Number", &RNode::number)
      .property("Name", &RNode::name)
      .property("Amount", &RNode::amount)
      .property("When", &RNode::when)
      .property("Ratio", &RNode::ratio)
      .property("Flag", &RNode::flag)
      .property("Values", &RNode::values)
      .property("Left", &RNode::left)
      .property("Right", &RNode::right);
}

namespace {

class Rttr final : public Implementation {
 public:
  std::string Name() const override { return "RTTR (by name)"; }
  bool Copies() const override { return true; }

  void Build(const Shape& shape) override {
    source_ = BuildGraph<std::shared_ptr<RNode>>(
        shape,
        [](const Record& r) {
          auto n = std::make_shared<RNode>();
          n->number = r.number;
          n->name = r.name;
          n->amount = r.amount;
          n->when = r.when;
          n->ratio = r.ratio;
          n->flag = r.flag;
          n->values.assign(r.values.begin(), r.values.end());
          return n;
        },
        [](const std::shared_ptr<RNode>& parent, const std::shared_ptr<RNode>& child, bool left) {
          (left ? parent->left : parent->right) = child;
        });
  }
  ~Rttr() override {
    Release(std::move(source_));
    Release(std::move(result_));
  }

  void Serialise() override {
    bytes_.clear();
    WriteObject(rttr::variant(source_));
  }
  void DropStream() override { std::vector<std::uint8_t>().swap(bytes_); }
  std::int64_t StreamBytes() const override { return static_cast<std::int64_t>(bytes_.size()); }
  void Deserialise() override {
    std::size_t at = 0;
    rttr::variant object = ReadObject(at);
    result_ = object.get_value<std::shared_ptr<RNode>>();
  }
  void Copy() override {
    rttr::variant object = CopyObject(rttr::variant(source_));
    result_ = object.get_value<std::shared_ptr<RNode>>();
  }
  void DropResult() override { Release(std::move(result_)); }
  std::vector<Record> FlattenSource() const override { return FlattenR(source_.get()); }
  std::vector<Record> FlattenResult() const override { return FlattenR(result_.get()); }

 private:
  static std::vector<Record> FlattenR(const RNode* root) {
    return Flatten(root, [](const RNode* n, const RNode*& left, const RNode*& right) {
      left = n->left.get();
      right = n->right.get();
      Record r{n->number, n->name, n->amount,       n->when,         n->ratio,
               n->flag,   {},      left != nullptr, right != nullptr};
      for (std::size_t k = 0; k < r.values.size() && k < n->values.size(); ++k) {
        r.values[k] = n->values[k];
      }
      return r;
    });
  }

  void PutString(std::string_view s) {
    const auto n = static_cast<std::uint32_t>(s.size());
    const auto* p = reinterpret_cast<const std::uint8_t*>(&n);
    bytes_.insert(bytes_.end(), p, p + sizeof n);
    bytes_.insert(bytes_.end(), s.begin(), s.end());
  }
  template <class T>
  void Put(const T& v) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
    bytes_.insert(bytes_.end(), p, p + sizeof v);
  }
  std::string_view TakeString(std::size_t& at) const {
    std::uint32_t n = 0;
    std::memcpy(&n, bytes_.data() + at, sizeof n);
    at += sizeof n;
    std::string_view s(reinterpret_cast<const char*>(bytes_.data() + at), n);
    at += n;
    return s;
  }
  template <class T>
  T Take(std::size_t& at) const {
    T v;
    std::memcpy(&v, bytes_.data() + at, sizeof v);
    at += sizeof v;
    return v;
  }

  // Whether an object reference (a smart pointer) refers to an object.
  static bool HoldsObject(const rttr::variant& reference) {
    return rttr::instance(reference).get_wrapped_instance().is_valid();
  }

  // An object: its type name, its property count, then (name, type name, value)
  // per property; an object-valued property holds a nested object (or a null
  // marker).
  void WriteObject(const rttr::variant& object) {
    const rttr::type type = object.get_type().get_wrapped_type().get_raw_type();
    PutString(type.get_name().to_string());
    const auto properties = type.get_properties();
    Put(static_cast<std::uint32_t>(properties.size()));
    for (const rttr::property& p : properties) {
      PutString(p.get_name().to_string());
      const rttr::variant value = p.get_value(object);
      const rttr::type t = value.get_type();
      PutString(t.get_name().to_string());
      if (t.is_wrapper()) {
        const bool present = HoldsObject(value);
        Put(static_cast<std::uint8_t>(present));
        if (present) WriteObject(value);
      } else if (t.is_sequential_container()) {
        const rttr::variant_sequential_view view = value.create_sequential_view();
        Put(static_cast<std::uint32_t>(view.get_size()));
        for (const rttr::variant& item : view) Put(item.extract_wrapped_value().to_int32());
      } else if (t == rttr::type::get<std::string>()) {
        PutString(value.get_value<std::string>());
      } else if (t == rttr::type::get<std::int32_t>()) {
        Put(value.get_value<std::int32_t>());
      } else if (t == rttr::type::get<std::int64_t>()) {
        Put(value.get_value<std::int64_t>());
      } else if (t == rttr::type::get<double>()) {
        Put(value.get_value<double>());
      } else if (t == rttr::type::get<bool>()) {
        Put(static_cast<std::uint8_t>(value.get_value<bool>()));
      }
    }
  }

  rttr::variant ReadObject(std::size_t& at) const {
    const rttr::type type = rttr::type::get_by_name(std::string(TakeString(at)));
    rttr::variant object = type.create();
    const auto count = Take<std::uint32_t>(at);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::string_view name = TakeString(at);
      const rttr::type t = rttr::type::get_by_name(std::string(TakeString(at)));
      const rttr::property p = type.get_property(std::string(name));
      if (t.is_wrapper()) {
        if (Take<std::uint8_t>(at) != 0) p.set_value(object, ReadObject(at));
      } else if (t.is_sequential_container()) {
        rttr::variant value = p.get_value(object);
        rttr::variant_sequential_view view = value.create_sequential_view();
        const auto n = Take<std::uint32_t>(at);
        view.set_size(n);
        for (std::uint32_t k = 0; k < n; ++k) view.set_value(k, Take<std::int32_t>(at));
        p.set_value(object, value);
      } else if (t == rttr::type::get<std::string>()) {
        p.set_value(object, std::string(TakeString(at)));
      } else if (t == rttr::type::get<std::int32_t>()) {
        p.set_value(object, Take<std::int32_t>(at));
      } else if (t == rttr::type::get<std::int64_t>()) {
        p.set_value(object, Take<std::int64_t>(at));
      } else if (t == rttr::type::get<double>()) {
        p.set_value(object, Take<double>(at));
      } else if (t == rttr::type::get<bool>()) {
        p.set_value(object, Take<std::uint8_t>(at) != 0);
      }
    }
    return object;
  }

  // A new object of the source's type, each property read and assigned by name;
  // object-valued ones copied by recursion.
  static rttr::variant CopyObject(const rttr::variant& source) {
    const rttr::type type = source.get_type().get_wrapped_type().get_raw_type();
    rttr::variant target = type.create();
    for (const rttr::property& p : type.get_properties()) {
      rttr::variant value = p.get_value(source);
      if (value.get_type().is_wrapper()) {
        if (HoldsObject(value)) p.set_value(target, CopyObject(value));
      } else {
        p.set_value(target, value);
      }
    }
    return target;
  }

  std::shared_ptr<RNode> source_;
  std::shared_ptr<RNode> result_;
  std::vector<std::uint8_t> bytes_;
};

// -- Replikon: the sample server's Node class, through the component.

using replikon::ObjectRef;

replikon::ClassRegistry& Registry() {
  orders::RegisterOrdersServer(replikon::ClassRegistry::Global());
  return replikon::ClassRegistry::Global();
}

void Release(ObjectRef root) {
  std::vector<ObjectRef> stack;
  if (root) stack.push_back(std::move(root));
  while (!stack.empty()) {
    ObjectRef node = std::move(stack.back());
    stack.pop_back();
    auto* n = node.As<orders::Node>();
    if (n == nullptr || node.UseCount() > 1) continue;
    if (n->left) stack.push_back(std::move(n->left));
    if (n->right) stack.push_back(std::move(n->right));
  }
}

class ReplikonImpl final : public Implementation {
 public:
  explicit ReplikonImpl(bool events) : events_(events), control_(nullptr, Registry()) {
    control_.SetObjectServerName(orders::kServerName);
    control_.SetRaiseRecursionCheckEvent(events);
  }
  ~ReplikonImpl() override {
    Release(std::move(source_));
    Release(std::move(result_));
  }
  std::string Name() const override {
    return events_ ? "Replikon" : "Replikon, RaiseRecursionCheckEvent off";
  }
  bool Copies() const override { return true; }

  void Build(const Shape& shape) override {
    replikon::ClassRegistry& registry = Registry();
    source_ = BuildGraph<ObjectRef>(
        shape,
        [&registry](const Record& r) {
          ObjectRef object = registry.CreateByProgId("OrdersLib.Node");
          orders::Node& n = *object.As<orders::Node>();
          n.number = r.number;
          n.name = r.name;
          n.amount = replikon::Currency{r.amount};
          n.when = replikon::Date{r.when};
          n.ratio = r.ratio;
          n.flag = r.flag;
          for (std::size_t k = 0; k < r.values.size(); ++k) {
            n.values.SetFlat(k, replikon::Variant(r.values[k]));
          }
          return object;
        },
        [](const ObjectRef& parent, const ObjectRef& child, bool left) {
          orders::Node& p = *parent.As<orders::Node>();
          (left ? p.left : p.right) = child;
        });
  }
  void Serialise() override { stream_ = control_.StreamFromObject(source_); }
  void DropStream() override { stream_ = replikon::SafeArray(replikon::VarType::UI1); }
  std::int64_t StreamBytes() const override { return static_cast<std::int64_t>(stream_.Count()); }
  void Deserialise() override { result_ = control_.ObjectFromStream(stream_); }
  void Copy() override { result_ = control_.Copy(source_); }
  void DropResult() override { Release(std::move(result_)); }
  std::vector<Record> FlattenSource() const override { return FlattenNodes(source_); }
  std::vector<Record> FlattenResult() const override { return FlattenNodes(result_); }

 private:
  static std::vector<Record> FlattenNodes(const ObjectRef& root) {
    return Flatten(root, [](const ObjectRef& object, ObjectRef& left, ObjectRef& right) {
      const orders::Node& n = *object.As<orders::Node>();
      left = n.left;
      right = n.right;
      Record r{n.number, n.name, n.amount.scaled, n.when.days,    n.ratio,
               n.flag,   {},     !left.IsNull(),  !right.IsNull()};
      for (std::size_t k = 0; k < r.values.size() && k < n.values.Count(); ++k) {
        r.values[k] = replikon::ToI4(n.values.GetFlat(k));
      }
      return r;
    });
  }

  bool events_;
  replikon::Replikon control_;
  ObjectRef source_;
  ObjectRef result_;
  replikon::SafeArray stream_{replikon::VarType::UI1};
};

std::unique_ptr<Implementation> MakeImplementation(int which) {
  switch (which) {
    case 0:
      return std::make_unique<HandWritten>();
    case 1:
      return std::make_unique<Cereal>();
    case 2:
      return std::make_unique<Boost>();
    case 3:
      return std::make_unique<Rttr>();
    case 4:
      return std::make_unique<ReplikonImpl>(true);
    case 5:
      return std::make_unique<ReplikonImpl>(false);
    default:
      return nullptr;
  }
}
constexpr int kImplementations = 6;

// ---- One cell: a shape and an implementation, in a child process --------------------

struct Cell {
  int status = 0;  // 0 ok, 1 crashed (signal), 2 failed (wrong result or error)
  int signal = 0;
  double serialise = NAN;  // ns per object
  double deserialise = NAN;
  double round_trip = NAN;
  double copy = NAN;
  double bytes = NAN;       // per object
  double peak_write = NAN;  // peak resident memory above the graph while writing, bytes
  double peak_read = NAN;   // peak above the rebuilt graph while reading, bytes
  double stream_bytes = NAN;
  char note[160] = {};
};

void Fail(Cell& cell, const std::string& why) {
  cell.status = 2;
  std::snprintf(cell.note, sizeof cell.note, "%s", why.c_str());
}

void Measure(Implementation& impl, const Shape& shape, const Timing& timing, Cell& cell) {
  const double objects = static_cast<double>(shape.Objects());
  if (impl.Streams()) {
    // One round trip of a two-node chain first, so that the peaks below are
    // the memory of the data and not of the code that a first call pages in.
    impl.Build(Shape{"warm-up", 0, 2});
    impl.Serialise();
    impl.Deserialise();
    impl.DropResult();
    impl.DropStream();
  }
  // The first reading of the counters pages in the code that reads them (the
  // kernel maps cached code up to 64 KB around each first touch): a few
  // hundred KB that would otherwise count as the first peak's.
  malloc_trim(0);
  StatusBytes("VmRSS");
  // The memory the graph takes, as the source built directly: the rebuilt
  // graph is the same, and what a reader needs beyond it is its peak's excess
  // over this. (The memory left after a read is no measure of the graph: what
  // the reader released among the graph's objects stays resident.)
  const std::int64_t before_build = StatusBytes("VmRSS");
  impl.Build(shape);
  malloc_trim(0);
  const std::int64_t graph_bytes = StatusBytes("VmRSS") - before_build;
  const std::vector<Record> expected = impl.FlattenSource();
  if (static_cast<std::int64_t>(expected.size()) != shape.Objects()) {
    return Fail(cell, "the source graph was not built");
  }
  malloc_trim(0);
  ResetPeak();

  if (impl.Streams()) {
    // Peak memory of the first write, above the graph.
    const std::int64_t before_write = StatusBytes("VmRSS");
    const bool peaks = ResetPeak();
    impl.Serialise();
    if (peaks) cell.peak_write = static_cast<double>(StatusBytes("VmHWM") - before_write);
    cell.stream_bytes = static_cast<double>(impl.StreamBytes());
    cell.bytes = cell.stream_bytes / objects;

    // Peak memory of the first read, above the rebuilt graph.
    malloc_trim(0);
    const std::int64_t before_read = StatusBytes("VmRSS");
    if (peaks && ResetPeak()) {
      impl.Deserialise();
      const std::int64_t peak = StatusBytes("VmHWM");
      cell.peak_read =
          static_cast<double>(std::max<std::int64_t>(0, peak - before_read - graph_bytes));
    } else {
      impl.Deserialise();
    }
    if (impl.FlattenResult() != expected) return Fail(cell, "the rebuilt graph differs");
    impl.DropResult();

    cell.serialise = Median(
                         timing, [&] { impl.Serialise(); }, [] {}) *
                     1e9 / objects;
    cell.deserialise = Median(
                           timing, [&] { impl.Deserialise(); }, [&] { impl.DropResult(); }) *
                       1e9 / objects;
    cell.round_trip = Median(
                          timing,
                          [&] {
                            impl.Serialise();
                            impl.Deserialise();
                          },
                          [&] { impl.DropResult(); }) *
                      1e9 / objects;
    impl.DropStream();
  }
  if (impl.Copies()) {
    impl.Copy();
    if (impl.FlattenResult() != expected) return Fail(cell, "the copy differs");
    impl.DropResult();
    cell.copy = Median(
                    timing, [&] { impl.Copy(); }, [&] { impl.DropResult(); }) *
                1e9 / objects;
  }
}

// The cell of several rounds: the first one that did not complete, if any
// did not; else the median of each time over the rounds (memory and sizes do
// not vary between rounds).
Cell CombineRounds(const std::vector<Cell>& rounds) {
  if (rounds.empty()) return Cell{};
  for (const Cell& c : rounds) {
    if (c.status != 0) return c;
  }
  Cell combined = rounds.front();
  const auto median = [&rounds](double Cell::*field) {
    std::vector<double> v;
    for (const Cell& c : rounds) v.push_back(c.*field);
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  };
  for (double Cell::*field :
       {&Cell::serialise, &Cell::deserialise, &Cell::round_trip, &Cell::copy}) {
    combined.*field = median(field);
  }
  return combined;
}

Cell RunCell(int which, const Shape& shape, const Timing& timing, bool in_process) {
  Cell cell;
  if (in_process) {
    std::unique_ptr<Implementation> impl = MakeImplementation(which);
    Measure(*impl, shape, timing, cell);
    return cell;
  }
  int fds[2];
  if (pipe(fds) != 0) {
    Fail(cell, "pipe failed");
    return cell;
  }
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    Cell mine;
    try {
      std::unique_ptr<Implementation> impl = MakeImplementation(which);
      Measure(*impl, shape, timing, mine);
      impl.reset();
    } catch (const std::exception& e) {
      Fail(mine, std::string("error: ") + e.what());
    } catch (...) {
      Fail(mine, "unknown error");
    }
    const ssize_t written = write(fds[1], &mine, sizeof mine);
    _exit(written == static_cast<ssize_t>(sizeof mine) ? 0 : 3);
  }
  close(fds[1]);
  Cell got;
  std::size_t have = 0;
  while (have < sizeof got) {
    const ssize_t n = read(fds[0], reinterpret_cast<char*>(&got) + have, sizeof got - have);
    if (n <= 0) break;
    have += static_cast<std::size_t>(n);
  }
  close(fds[0]);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  if (WIFSIGNALED(wstatus)) {
    cell = Cell{};
    cell.status = 1;
    cell.signal = WTERMSIG(wstatus);
    return cell;
  }
  if (have != sizeof got) {
    Fail(cell, "the child gave no result");
    return cell;
  }
  return got;
}

// ---- Report -----------------------------------------------------------------

std::string Number(double v, int decimals = 0) {
  if (std::isnan(v)) return "—";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  // Thousands separators in the integer part.
  const std::string_view digits(buf);
  const std::size_t sign = digits[0] == '-' ? 1 : 0;
  const std::size_t point = std::min(digits.find('.'), digits.size());
  std::string out(digits.substr(0, sign));
  for (std::size_t i = sign; i < point; ++i) {
    if (i > sign && (point - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  out.append(digits.substr(point));
  return out;
}

std::string WithRatio(double v, double base) {
  if (std::isnan(v)) return "—";
  std::string s = Number(v, v < 10 ? 1 : 0);
  if (!std::isnan(base) && base > 0) s += " (" + Number(v / base, v / base < 10 ? 2 : 1) + "×)";
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  Timing timing;
  int only = -1;            // --only N: just the implementation numbered N (0 = hand-written)
  bool in_process = false;  // --in-process: no child processes (for a debugger)
  int rounds = 3;           // --rounds N: every cell N times, interleaved
  std::vector<Shape> shapes = {{"balanced tree of 16,383 nodes", 14, 0},
                               {"chain of 1,000", 0, 1000},
                               {"chain of 10,000", 0, 10000},
                               {"chain of 100,000", 0, 100000}};
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--quick") {
      timing.seconds_budget = 0.05;
      timing.min_runs = 3;
      timing.max_runs = 5;
      rounds = 1;
    } else if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--only" && i + 1 < argc) {
      only = std::atoi(argv[++i]);
    } else if (arg == "--in-process") {
      in_process = true;
    } else if (arg == "--help") {
      std::printf("usage: %s [--quick] [--rounds N] [--only N] [--in-process]\n", argv[0]);
      return 0;
    }
  }

  std::vector<std::string> names;
  for (int w = 0; w < kImplementations; ++w) names.push_back(MakeImplementation(w)->Name());

  // Every cell is measured in each of several rounds, one implementation
  // after the other, and the rounds are combined cell by cell: on a shared
  // machine a burst of load then slows one round of a cell, not the cell.
  // runs[shape][implementation][round]
  std::vector<std::vector<std::vector<Cell>>> runs(
      shapes.size(), std::vector<std::vector<Cell>>(kImplementations));
  for (int r = 0; r < rounds; ++r) {
    for (std::size_t s = 0; s < shapes.size(); ++s) {
      for (int w = 0; w < kImplementations; ++w) {
        std::fprintf(stderr, "peers: round %d of %d, %s, %s...\n", r + 1, rounds,
                     shapes[s].label.c_str(), names[w].c_str());
        if (only >= 0 && w != only) continue;
        runs[s][static_cast<std::size_t>(w)].push_back(RunCell(w, shapes[s], timing, in_process));
      }
    }
  }
  // results[shape][implementation]
  std::vector<std::vector<Cell>> results(shapes.size(), std::vector<Cell>(kImplementations));
  for (std::size_t s = 0; s < shapes.size(); ++s) {
    for (std::size_t w = 0; w < kImplementations; ++w) {
      results[s][w] = CombineRounds(runs[s][w]);
    }
  }

  std::printf(
      "Times in ns per object (thread CPU time, median of the runs of a cell, then the\n"
      "median of %d interleaved round%s); in brackets the ratio to the hand-written code.\n"
      "Peak memory: the most resident memory above the source graph while writing, and\n"
      "above the rebuilt graph while reading, as a multiple of the Stream's size.\n",
      rounds, rounds == 1 ? "" : "s");
  for (std::size_t s = 0; s < shapes.size(); ++s) {
    const Cell& hand = results[s][0];
    std::printf("\n**%s**\n\n", shapes[s].label.c_str());
    std::printf(
        "| implementation | serialise | deserialise | round trip | copy | bytes/object "
        "| peak writing | peak reading |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
    for (int w = 0; w < kImplementations; ++w) {
      const Cell& c = results[s][static_cast<std::size_t>(w)];
      std::printf("| %s ", names[static_cast<std::size_t>(w)].c_str());
      if (c.status == 1) {
        std::printf("| crashed (signal %d: %s) | | | | | | |\n", c.signal, strsignal(c.signal));
        continue;
      }
      if (c.status == 2) {
        std::printf("| failed: %s | | | | | | |\n", c.note);
        continue;
      }
      const bool own = w == 0;
      auto ratio = [&](double v, double base) {
        return own ? Number(v, v < 10 ? 1 : 0) : WithRatio(v, base);
      };
      std::string peak_w =
          std::isnan(c.peak_write) ? "—" : Number(c.peak_write / c.stream_bytes, 2) + "×";
      std::string peak_r =
          std::isnan(c.peak_read) ? "—" : Number(c.peak_read / c.stream_bytes, 2) + "×";
      std::printf("| %s | %s | %s | %s | %s | %s | %s |\n",
                  ratio(c.serialise, hand.serialise).c_str(),
                  ratio(c.deserialise, hand.deserialise).c_str(),
                  ratio(c.round_trip, hand.round_trip).c_str(), ratio(c.copy, hand.copy).c_str(),
                  ratio(c.bytes, hand.bytes).c_str(), peak_w.c_str(), peak_r.c_str());
    }
  }

  // The targets Replikon holds itself to.
  const std::size_t tree = 0;
  const Cell& rk_tree = results[tree][4];
  std::printf("\nTargets (Replikon, default settings):\n\n");
  auto check = [](const char* what, double value, double limit) {
    const bool ok = !std::isnan(value) && value <= limit;
    std::printf("- %s: %s, limit %s: %s\n", what, Number(value, 2).c_str(),
                Number(limit, 2).c_str(), ok ? "met" : "NOT met");
  };
  check("round trip of the tree / cereal's", rk_tree.round_trip / results[tree][1].round_trip, 4.0);
  check("copy of the tree / hand-written clone", rk_tree.copy / results[tree][0].copy, 6.0);
  const Cell& c1k = results[1][4];
  const Cell& c100k = results[3][4];
  if (c100k.status != 0) {
    std::printf("- chain of 100,000: did not complete\n");
  } else {
    check("writer, ns/object at 100,000 deep / at 1,000", c100k.serialise / c1k.serialise, 2.0);
    check("reader, ns/object at 100,000 deep / at 1,000", c100k.deserialise / c1k.deserialise, 2.0);
    check("Copy, ns/object at 100,000 deep / at 1,000", c100k.copy / c1k.copy, 2.0);
  }
  for (std::size_t s = 0; s < shapes.size(); ++s) {
    const Cell& c = results[s][4];
    const std::string what_w = "peak writing / Stream size, " + shapes[s].label;
    const std::string what_r = "peak reading / Stream size, " + shapes[s].label;
    check(what_w.c_str(), c.peak_write / c.stream_bytes, 1.5);
    check(what_r.c_str(), c.peak_read / c.stream_bytes, 1.0);
  }
  return 0;
}

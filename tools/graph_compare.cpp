#include "graph_compare.hpp"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "replikon/automation/safe_array.hpp"
#include "replikon/automation/type_info.hpp"
#include "stream_inspector.hpp"

namespace replikon::cli {

namespace {

std::optional<Variant> TryGet(const ObjectRef& object, std::string_view name) noexcept {
  try {
    return InvokeByName(object, name, InvokeKind::PropertyGet);
  } catch (...) {
    return std::nullopt;
  }
}

std::shared_ptr<const InterfaceDescription> TryDescribe(const ObjectRef& object) noexcept {
  try {
    return DescribeObject(object);
  } catch (...) {
    return nullptr;
  }
}

// The properties a comparison reads: property gets without arguments, except
// hidden members (a hidden default member repeats another property).
bool IsComparedGet(const MemberDescription& m) {
  return m.InvokeKind() == InvokeKind::PropertyGet && !m.Hidden() && m.Params().empty();
}

std::string IndexText(std::span<const std::int32_t> index) {
  std::string text = "(";
  for (std::size_t i = 0; i < index.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(index[i]);
  }
  return text + ")";
}

std::string ValueTextAt(const Variant& value, int depth) {
  if (value.IsObject()) return value.Object().IsNull() ? "Nothing" : "[" + ClassNameOf(value) + "]";
  if (value.IsString()) return EscapeForTerminal(value.String(), true);
  if (value.IsEmpty()) return "Empty";
  if (!value.IsArray()) return EscapeForTerminal(DisplayText(value), false);
  const SafeArray& array = value.Array();
  std::string text = EscapeForTerminal(DisplayText(value), false);
  if (array.Count() == 0) return text;
  if (depth >= 2) return text + " {...}";
  constexpr std::size_t kShown = 4;
  text += " {";
  for (std::size_t i = 0; i < array.Count() && i < kShown; ++i) {
    if (i > 0) text += ", ";
    text += ValueTextAt(array.GetFlat(i), depth + 1);
  }
  if (array.Count() > kShown) text += ", ...";
  return text + "}";
}

struct Pair {
  ObjectRef original;
  ObjectRef other;
  std::string segment;  // the property (or element) that holds them
};

struct Frame {
  ObjectRef original;
  ObjectRef other;
  std::string segment;
  std::shared_ptr<const InterfaceDescription> iface;
  std::size_t next = 0;
  std::deque<Pair> pending;  // subobjects found by the member just compared
};

class Comparer {
 public:
  Comparer(const ClassRegistry& registry, std::string_view server)
      : registry_(registry), server_(server) {}

  GraphComparison Run(const ObjectRef& original, const ObjectRef& other) {
    CompareObjects(ClassNameOf(original), Variant(original), Variant(other), false, false, nullptr);
    while (!frames_.empty()) {
      Frame& f = frames_.back();
      if (!f.pending.empty()) {
        Pair next = std::move(f.pending.front());
        f.pending.pop_front();
        Enter(std::move(next));  // may add a frame: `f` is not used after this
        continue;
      }
      if (f.iface == nullptr || f.next >= f.iface->Members().size()) {
        on_path_.erase(f.original.get());
        frames_.pop_back();
        continue;
      }
      const MemberDescription& member = f.iface->Members()[f.next++];
      CompareMember(f, member);
    }
    return std::move(result_);
  }

 private:
  void Enter(Pair pair) {
    const auto key = std::make_pair(pair.original.get(), pair.other.get());
    if (!visited_.insert(key).second) return;
    ++result_.objects;
    // An object already on the path is never entered again (CompareObjects
    // takes it for a back-pointer), so each path holds an object once.
    on_path_.emplace(pair.original.get(), frames_.size());
    Frame frame;
    frame.iface = TryDescribe(pair.original);
    frame.original = std::move(pair.original);
    frame.other = std::move(pair.other);
    frame.segment = std::move(pair.segment);
    frames_.push_back(std::move(frame));
  }

  void NotCompared(const Frame& f, const MemberDescription& m, const char* why) {
    std::string entry = ClassNameOf(f.original) + "." + m.Name() + " (" + why + ")";
    if (not_compared_.insert(entry).second) result_.not_compared.push_back(std::move(entry));
  }

  void CompareMember(Frame& f, const MemberDescription& m) {
    const InterfaceDescription& iface = *f.iface;
    if (m.InvokeKind() == InvokeKind::PropertyPut || m.InvokeKind() == InvokeKind::PropertyPutRef) {
      if (iface.Find(m.Name(), InvokeKind::PropertyGet) == nullptr) {
        NotCompared(f, m, "write-only");
      }
      return;
    }
    if (m.InvokeKind() != InvokeKind::PropertyGet || m.Hidden()) return;
    if (!m.Params().empty()) {
      NotCompared(f, m, "takes arguments");
      return;
    }
    const std::optional<Variant> a = TryGet(f.original, m.Name());
    const std::optional<Variant> b = TryGet(f.other, m.Name());
    if (!a && !b) {
      NotCompared(f, m, "cannot be read");
      return;
    }
    ++result_.properties;
    const std::string& path = m.Name();
    const bool read_only = iface.Find(m.Name(), InvokeKind::PropertyPut) == nullptr &&
                           iface.Find(m.Name(), InvokeKind::PropertyPutRef) == nullptr;
    const bool declared_variant = m.PropertyType().VarType() == VarType::Variant;
    if (!a || !b) {
      Differ(path, DifferenceKind::Unreadable, a ? ValueText(*a) : "(error)",
             b ? ValueText(*b) : "(error)", read_only, declared_variant);
      return;
    }
    CompareValues(f, path, *a, *b, read_only, declared_variant);
  }

  void CompareValues(Frame& f, const std::string& path, const Variant& a, const Variant& b,
                     bool read_only, bool declared_variant) {
    if (a.IsObject() || b.IsObject()) {
      CompareObjects(path, a, b, read_only, declared_variant, &f);
    } else if (a.IsArray() && b.IsArray()) {
      CompareArrays(f, path, a.Array(), b.Array(), read_only, declared_variant);
    } else if (!(a == b)) {
      Differ(path, a.IsNull() ? DifferenceKind::NullNotKept : DifferenceKind::Value, ValueText(a),
             ValueText(b), read_only, declared_variant);
    }
  }

  // The index of the frame comparing `object`, if it is on the current path.
  std::optional<std::size_t> OnPath(const ObjectRef& object) const {
    const auto it = on_path_.find(object.get());
    if (it == on_path_.end()) return std::nullopt;
    return it->second;
  }

  // The path of `last` below the first `frames` objects of the current path
  // (all of them by default): "Invoice.Buyer.Address.City". A long path keeps
  // its first and last steps and counts those between, so that building it
  // costs the same at any depth.
  std::string FullPath(std::string_view last, std::size_t frames = SIZE_MAX) const {
    constexpr std::size_t kHead = 4;
    constexpr std::size_t kTail = 12;
    const std::size_t n = std::min(frames, frames_.size());
    std::string out;
    const auto add = [&](std::string_view step) {
      if (!out.empty()) out += '.';
      out += step;
    };
    if (n <= kHead + kTail + 1) {
      for (std::size_t i = 0; i < n; ++i) add(frames_[i].segment);
    } else {
      for (std::size_t i = 0; i < kHead; ++i) add(frames_[i].segment);
      add("(" + std::to_string(n - kHead - kTail) + " more)");
      for (std::size_t i = n - kTail; i < n; ++i) add(frames_[i].segment);
    }
    if (!last.empty()) add(last);
    return out;
  }

  bool IsExternal(const ObjectRef& object) const {
    const std::string class_name = ClassNameOf(object);
    std::string prog_id(server_);
    prog_id += '.';
    prog_id += class_name;
    const auto info = registry_.FindClass(prog_id);
    return info == nullptr || info->Name() != class_name;
  }

  // Compares two values of which at least one is an object. `f` is the frame
  // whose property holds them (null for the roots): a subobject to walk is
  // queued there.
  void CompareObjects(const std::string& path, const Variant& a, const Variant& b, bool read_only,
                      bool declared_variant, Frame* f) {
    auto differ = [&](DifferenceKind kind, std::string class_name = {}) {
      Differ(path, kind, ValueText(a), ValueText(b), read_only, declared_variant,
             std::move(class_name));
    };
    if (!a.IsObject()) return differ(DifferenceKind::ClassDiffers);
    const ObjectRef& x = a.Object();
    const ObjectRef* y = b.IsObject() ? &b.Object() : nullptr;
    if (x.IsNull()) {
      if (y == nullptr || !y->IsNull()) differ(DifferenceKind::ClassDiffers);
      return;
    }
    if (const auto index = OnPath(x)) {
      if (y != nullptr && *y == frames_[*index].other) {
        result_.notes.push_back(
            {FullPath(path), "points back to " + FullPath({}, *index + 1) + ", as it should"});
      } else {
        differ(y != nullptr && !y->IsNull() ? DifferenceKind::Value
                                            : DifferenceKind::BackPointerMissing);
      }
      return;
    }
    if (y == nullptr || y->IsNull()) {
      if (IsExternal(x)) return differ(DifferenceKind::ExternalMissing, ClassNameOf(x));
      return differ(y == nullptr ? DifferenceKind::ObjectBecameValue
                                 : DifferenceKind::ObjectMissing);
    }
    if (*y == x) {
      result_.notes.push_back(
          {FullPath(path), IsExternal(x)
                               ? "the same external " + ClassNameOf(x) + " object as the original's"
                               : "the same " + ClassNameOf(x) + " object as the original's"});
      return;
    }
    if (ClassNameOf(x) != ClassNameOf(*y)) return differ(DifferenceKind::ClassDiffers);
    Pair pair{x, *y, path};
    if (f == nullptr) {
      Enter(std::move(pair));
    } else {
      f->pending.push_back(std::move(pair));
    }
  }

  void CompareArrays(Frame& f, const std::string& path, const SafeArray& a, const SafeArray& b,
                     bool read_only, bool declared_variant) {
    const Variant va(a);
    const Variant vb(b);
    if (a.Type() != b.Type() ||
        !std::equal(a.Bounds().begin(), a.Bounds().end(), b.Bounds().begin(), b.Bounds().end())) {
      Differ(path, DifferenceKind::Value, ValueText(va), ValueText(vb), read_only,
             declared_variant);
      return;
    }
    std::size_t lost = 0;
    std::size_t shared = 0;
    std::size_t mismatched = 0;
    std::string first_mismatch;
    std::size_t i = 0;
    for (IndexWalker w(a.Bounds()); !w.Done(); w.Next(), ++i) {
      const Variant x = a.GetFlat(i);
      const Variant y = b.GetFlat(i);
      if (x.IsObject() && !x.Object().IsNull()) {
        if (y.IsObject() && y.Object() == x.Object()) {
          ++shared;
        } else if (!y.IsObject() || y.Object().IsNull()) {
          ++lost;
        } else {
          // Two objects: compared like a subobject, under the element's path.
          CompareObjects(path + IndexText(w.Index()), x, y, read_only, declared_variant, &f);
        }
      } else if (!(x == y)) {
        if (mismatched++ == 0) first_mismatch = path + IndexText(w.Index());
      }
    }
    if (shared > 0) {
      result_.notes.push_back(
          {FullPath(path),
           std::to_string(shared) + " element(s) are the same objects as the original's"});
    }
    if (mismatched > 0) {
      Differ(path, DifferenceKind::Value, ValueText(va), ValueText(vb), read_only,
             declared_variant);
      result_.differences.back().path = FullPath(first_mismatch);
    } else if (lost > 0) {
      Differ(path, DifferenceKind::ArrayObjectsLost, ValueText(va), ValueText(vb), read_only,
             declared_variant);
    }
  }

  void Differ(const std::string& path, DifferenceKind kind, std::string original, std::string other,
              bool read_only, bool declared_variant, std::string class_name = {}) {
    PropertyDifference d;
    d.path = FullPath(path);
    d.kind = kind;
    d.original = std::move(original);
    d.other = std::move(other);
    d.class_name = std::move(class_name);
    d.read_only = read_only;
    d.declared_variant = declared_variant;
    result_.differences.push_back(std::move(d));
  }

  const ClassRegistry& registry_;
  std::string_view server_;
  std::vector<Frame> frames_;
  std::unordered_map<const Instance*, std::size_t> on_path_;  // original -> its frame
  std::set<std::pair<const Instance*, const Instance*>> visited_;
  std::set<std::string> not_compared_;
  GraphComparison result_;
};

}  // namespace

std::string ValueText(const Variant& value) {
  try {
    return ValueTextAt(value, 0);
  } catch (...) {
    return "(?)";
  }
}

GraphComparison CompareGraphs(const ObjectRef& original, const ObjectRef& other,
                              const ClassRegistry& registry, std::string_view server_name) {
  return Comparer(registry, server_name).Run(original, other);
}

GraphStats CountGraph(const ObjectRef& root) {
  GraphStats stats;
  if (root.IsNull()) return stats;
  std::unordered_set<const Instance*> seen{root.get()};
  std::deque<ObjectRef> queue{root};
  auto visit = [&](const Variant& value) {
    if (value.IsObject() && !value.Object().IsNull() && seen.insert(value.Object().get()).second) {
      queue.push_back(value.Object());
    }
  };
  while (!queue.empty()) {
    const ObjectRef object = std::move(queue.front());
    queue.pop_front();
    ++stats.objects;
    const auto iface = TryDescribe(object);
    if (iface == nullptr) continue;
    for (const MemberDescription& m : iface->Members()) {
      if (!IsComparedGet(m)) continue;
      ++stats.properties;
      const std::optional<Variant> value = TryGet(object, m.Name());
      if (!value) continue;
      if (value->IsArray()) {
        const SafeArray& array = value->Array();
        for (std::size_t i = 0; i < array.Count(); ++i) visit(array.GetFlat(i));
      } else {
        visit(*value);
      }
    }
  }
  return stats;
}

}  // namespace replikon::cli

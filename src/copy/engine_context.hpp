// What the engines see of the component: its settings, its root-object field,
// the class registry it creates objects from, and its RecursionCheck event.
//
// The component hands a context to the engines for one processing call; the
// engines never see the component itself, so each engine can be driven alone.
#pragma once

#include "replikon/detail/layer_copy.hpp"

#include "replikon/export.hpp"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "replikon/automation/object_ref.hpp"
#include "replikon/automation/registry.hpp"
#include "replikon/automation/safe_array.hpp"
#include "replikon/settings.hpp"

namespace replikon {

// The limits of EngineSettings.
enum class ProcessingLimit { MaxObjects, MaxDepth };

// What aborts a call that would go past one of its limits; the component
// turns it into its own error.
class REPLIKON_API ProcessingLimitExceeded : public std::exception {
 public:
  ProcessingLimitExceeded(ProcessingLimit limit, std::int32_t value) noexcept
      : limit_(limit), value_(value) {}
  ProcessingLimit Limit() const noexcept { return limit_; }
  std::int32_t Value() const noexcept { return value_; }
  const char* what() const noexcept override { return "Processing limit exceeded"; }

 private:
  ProcessingLimit limit_;
  std::int32_t value_;
};

// Counts the objects and levels of one walk against the call's limits, as
// they are set when the walk starts.
class WalkLimits {
 public:
  explicit WalkLimits(const EngineSettings& settings) noexcept
      : max_objects_(settings.max_objects), max_depth_(settings.max_depth) {}

  // Whether an object may be entered at `level` (the root's is 1) as the
  // walk's next object; counts it when it may. When it may not, `exceeded`
  // names the limit.
  bool Enter(std::size_t level, ProcessingLimit& exceeded) noexcept {
    if (max_depth_ > 0 && level > static_cast<std::size_t>(max_depth_)) {
      exceeded = ProcessingLimit::MaxDepth;
      return false;
    }
    if (max_objects_ > 0 && objects_ >= static_cast<std::size_t>(max_objects_)) {
      exceeded = ProcessingLimit::MaxObjects;
      return false;
    }
    ++objects_;
    return true;
  }

  std::int32_t ValueOf(ProcessingLimit limit) const noexcept {
    return limit == ProcessingLimit::MaxDepth ? max_depth_ : max_objects_;
  }

 private:
  std::int32_t max_objects_;
  std::int32_t max_depth_;
  std::size_t objects_ = 0;
};

// The status an engine reports: kStatusOk, or the number of the error the
// call ends with (errors::kProcessingProblems for an object whose class cannot
// be created, errors::kNotAStream for bytes that are not an object Stream).
inline constexpr std::int32_t kStatusOk = 0;

// Joins the steps of a path from the root object ("Invoice", "Lines(2)",
// "Carrier" give "Invoice.Lines(2).Carrier"). `append(out, k)` appends step k
// of `steps`. The middle of a path of more than 18 steps is left out
// ("A.B.C.D.E.F... 9988 more ....U.V.W.X.Y.Z"), so that a deep graph's paths
// stay short.
template <class AppendStep>
std::string JoinPath(std::size_t steps, const AppendStep& append) {
  constexpr std::size_t kEnds = 6;
  std::string path;
  for (std::size_t k = 0; k < steps; ++k) {
    if (steps > 3 * kEnds && k == kEnds) {
      path += "... " + std::to_string(steps - 2 * kEnds) + " more ...";
      k = steps - kEnds - 1;
      continue;
    }
    if (k != 0) path += '.';
    append(path, k);
  }
  return path;
}

// Appends "(i,j,...)", the index tuple of the element at row-major position
// `flat` of an array with `bounds`.
REPLIKON_API void AppendElementIndex(std::string& out, std::span<const ArrayBound> bounds,
                                     std::size_t flat);

using RecursionCheckRaiser = std::function<void(RecursionCheckArgs&)>;
// Whether anyone listens to the event now; when nobody does, raising it
// changes nothing and is skipped.
using RecursionCheckListening = std::function<bool()>;

class REPLIKON_API EngineContext {
 public:
  // `raise` delivers the event to the component's subscribers; it may be empty.
  EngineContext(const EngineSettings& settings, const ClassRegistry& registry,
                RecursionCheckRaiser raise = {}, RecursionCheckListening listening = {});

  const EngineSettings& Settings() const noexcept { return *settings_; }
  const ClassRegistry& Registry() const noexcept { return *registry_; }

  // The component's root-object field for the call under way.
  const ObjectRef& Root() const noexcept { return root_; }
  void SetRoot(ObjectRef root) noexcept { root_ = std::move(root); }

  // Raises RecursionCheck and returns the value the handlers left in Cancel.
  // An exception thrown by a handler is caught and kept: the call is then
  // aborted (Aborted() turns true, the engines unwind without doing more work)
  // and the component rethrows it at the end of the call. Once the call is
  // aborted no handler runs any more and the result is true (cancel).
  bool RaiseRecursionCheck(const ObjectRef& parent, const ObjectRef& current,
                           std::string_view property, bool cancel,
                           std::int16_t error_status) noexcept;

  // Aborts the call with `error` (the first one is kept): used by the engines
  // when they cannot go on at all.
  void Abort(std::exception_ptr error) noexcept;
  // Aborts the call because it would go past one of its limits
  // (ProcessingLimitExceeded, with the limit's value).
  void AbortAtLimit(ProcessingLimit limit, std::int32_t value) noexcept;
  // WalkLimits::Enter for the walk under way, aborting the call when the
  // object may not be entered. False then.
  bool EnterLimited(WalkLimits& limits, std::size_t level) noexcept;
  // Aborts the call because memory ran out while the engine was at `where`
  // (a text of static storage, kept with the first abort only). The component
  // ends the call with error 7 and hands back nothing of what was made.
  void AbortOutOfMemory(const char* where) noexcept;
  // Where memory ran out, when the call was aborted for that; else nullptr.
  const char* OutOfMemoryWhere() const noexcept { return out_of_memory_where_; }

  bool Aborted() const noexcept { return static_cast<bool>(handler_error_); }
  std::exception_ptr HandlerError() const noexcept { return handler_error_; }

  // ---- The problems met during the call, which its error lists ----
  //
  // Each is a line: where (the path from the root) and what. A call keeps the
  // first kMaxProblems of them and counts the rest. Noting one raises
  // std::bad_alloc when memory runs out.

  static constexpr std::size_t kMaxProblems = 100;

  // Whether the next problem noted is kept: an engine builds its path only then
  // (CountProblem otherwise).
  bool KeepsProblems() const noexcept { return problems_.size() < kMaxProblems; }
  void CountProblem() noexcept { ++problems_not_kept_; }
  // "Invoice.Lines(2).Carrier: <cause>".
  void NoteProblem(std::string_view path, std::string_view cause);
  // A class that could not be made from ObjectServerName, met at `path`:
  // `external` for an object of a class the server does not make (the walk
  // has the object), else a class a Stream names. The reason is that of the
  // last CreateInstance or ClassStatus of `class_name` that failed.
  void NoteCreationProblem(std::string_view path, std::string_view class_name, bool external);
  // A property whose get raised `error` at `path`, passed over: listed after
  // the problems above (the error lists it only when there is one), within
  // the same bound. Only under OnSubobjectProblem, where a 601 may follow.
  void NoteRaised(std::string_view path, const std::exception_ptr& error);
  bool KeepsRaised() const noexcept {
    return problems_.size() + raised_.size() < kMaxProblems &&
           settings_->problems_notification == ProblemsNotificationConstants::OnSubobjectProblem;
  }
  void CountRaised() noexcept {
    if (settings_->problems_notification == ProblemsNotificationConstants::OnSubobjectProblem)
      ++raised_not_kept_;
  }

  // Why the reader stopped on bytes that are no Stream as written (status
  // 602), at `path`; the first such reason is kept.
  void NoteNotAStream(std::string_view path, std::string_view reason);
  const std::string& NotAStreamReason() const noexcept { return not_a_stream_; }
  // The problems kept, the raising properties kept, then one line counting the
  // others when there are any.
  std::vector<std::string> ProblemLines() const;

  // Why the factory could not make a class, as it last failed (object_factory.cpp).
  enum class CreationFailure : std::uint8_t { None, NoClassName, OtherClass, Raised };
  void SetCreationFailure(CreationFailure failure, std::exception_ptr error = {}) noexcept {
    creation_failure_ = failure;
    creation_error_ = std::move(error);
  }

  // "ObjectServerName.ClassName", built in a buffer the context reuses.
  const std::string& ProgId(std::string_view class_name);

  // A new instance of the class registered as "ObjectServerName.ClassName",
  // raising as ClassRegistry::CreateByProgId does; a name that is no class
  // name (IsClassName, object_factory.hpp) raises 429 without a look-up. The
  // definition found is kept for the call, so that the objects of one class
  // are made without a look-up while the registry and ObjectServerName stay as
  // they are.
  ObjectRef CreateByClassName(std::string_view class_name);
  // The same, telling also whether the new instance reports `class_name` as its
  // class name (the name its type information gives).
  ObjectRef CreateByClassName(std::string_view class_name, bool& reports_class_name);

 private:
  struct KnownClass {
    std::string server;
    std::string class_name;
    std::shared_ptr<const ClassDefinition> definition;  // null: not registered
    std::uint64_t generation = 0;
    bool reports_class_name = false;  // the class's own instances report `class_name`
  };
  // The class registered under "ObjectServerName.class_name" now.
  const KnownClass& ClassFor(std::string_view class_name);
  // ClassFor's look-up in the registry, for a class not met yet in this call.
  const KnownClass& LookUpClass(std::string_view class_name, const std::string& server,
                                std::uint64_t generation);

  const EngineSettings* settings_;
  const ClassRegistry* registry_;
  RecursionCheckRaiser raise_;
  RecursionCheckListening listening_;
  ObjectRef root_;
  std::exception_ptr handler_error_;
  const char* out_of_memory_where_ = nullptr;
  std::string prog_id_;
  std::vector<KnownClass> known_;  // the classes made in this call, most recent last
  std::vector<std::string> problems_;
  std::size_t problems_not_kept_ = 0;
  std::vector<std::string> raised_;
  std::size_t raised_not_kept_ = 0;
  std::string not_a_stream_;
  CreationFailure creation_failure_ = CreationFailure::None;
  std::exception_ptr creation_error_;
};

}  // namespace replikon

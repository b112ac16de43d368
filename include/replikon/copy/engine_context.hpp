// What the engines see of the component: its settings, its root-object field,
// the class registry it creates objects from, and its RecursionCheck event.
//
// The component hands a context to the engines for one processing call; the
// engines never see the component itself, so each engine can be driven alone.
#pragma once

#include "replikon/export.hpp"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "replikon/automation/object_ref.hpp"
#include "replikon/automation/registry.hpp"

namespace replikon {

// Values of the ProblemsNotification setting.
enum ProblemsNotificationConstants : std::int16_t {
  SourceObjectOnly = 0,
  OnSubobjectProblem = 1,
};

// The five settings, as the engines read them.
struct REPLIKON_API EngineSettings {
  bool recursion_allowed = true;
  bool raise_recursion_check_event = true;
  std::string object_server_name;
  std::int16_t problems_notification = OnSubobjectProblem;
  bool set_external_references = false;
};

// Problem statuses that the engines report.
inline constexpr std::int32_t kStatusOk = 0;
inline constexpr std::int32_t kStatusProblem = 601;    // an object whose class cannot be created
inline constexpr std::int32_t kStatusNotStream = 602;  // bytes that are not an object Stream

// The arguments of one RecursionCheck event. The handler may change `cancel`.
struct REPLIKON_API RecursionCheckArgs {
  ObjectRef root_object;
  ObjectRef parent_object;
  ObjectRef current_object;
  std::string current_object_property;
  bool cancel = false;
  std::int16_t error_status = 0;
};

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
  // when they cannot go on at all (out of memory).
  void Abort(std::exception_ptr error) noexcept;

  bool Aborted() const noexcept { return static_cast<bool>(handler_error_); }
  std::exception_ptr HandlerError() const noexcept { return handler_error_; }

  // "ObjectServerName.ClassName", built in a buffer the context reuses.
  const std::string& ProgId(std::string_view class_name);

  // A new instance of the class registered as "ObjectServerName.ClassName",
  // raising as ClassRegistry::CreateByProgId does. The definition found is kept
  // for the call, so that the objects of one class are made without a look-up
  // while the registry and ObjectServerName stay as they are.
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
  const KnownClass& Known(std::string_view class_name);
  // Known's look-up in the registry, for a class not met yet in this call.
  const KnownClass& Learn(std::string_view class_name, const std::string& server,
                          std::uint64_t generation);

  const EngineSettings* settings_;
  const ClassRegistry* registry_;
  RecursionCheckRaiser raise_;
  RecursionCheckListening listening_;
  ObjectRef root_;
  std::exception_ptr handler_error_;
  std::string prog_id_;
  std::vector<KnownClass> known_;  // the classes made in this call, most recent last
};

}  // namespace replikon

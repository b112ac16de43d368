// The Replikon component: deep copies and Streams of late-bound objects.
#pragma once

#include "replikon/detail/layer_control.hpp"

#include "replikon/export.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "replikon/automation/object_ref.hpp"
#include "replikon/automation/property_bag.hpp"
#include "replikon/automation/registry.hpp"
#include "replikon/automation/safe_array.hpp"
#include "replikon/control/errors.hpp"
#include "replikon/settings.hpp"

namespace replikon {

class EngineContext;  // what the engines see of one call

// What the component tells the host (the container) it sits in. Every call has a
// default that does nothing.
class REPLIKON_API Container {
 public:
  virtual ~Container() = default;
  // A setting changed through its property (by the property's name).
  virtual void PropertyChanged(std::string_view /*name*/) {}
  // The component sets its own size, in twips.
  virtual void SetSize(std::int32_t /*width_twips*/, std::int32_t /*height_twips*/) {}
  // The component's face colour, as 0x00BBGGRR.
  virtual void SetFaceColor(std::uint32_t /*bgr*/) {}
};

// RGB(255, 255, 225) as the platform packs it (0x00BBGGRR).
inline constexpr std::uint32_t kFaceColor = 255u | (255u << 8) | (225u << 16);
inline constexpr std::int32_t kControlSizeTwips = 480;

class REPLIKON_API Replikon {
 public:
  using RecursionCheckHandler = std::function<void(RecursionCheckArgs&)>;
  using HandlerId = std::uint64_t;

  // A new component with the default settings. `container` may be null; the
  // component keeps it (shared) and tells it its face colour at once.
  explicit Replikon(std::shared_ptr<Container> container = nullptr,
                    const ClassRegistry& registry = ClassRegistry::Global());
  Replikon(const Replikon&) = delete;
  Replikon& operator=(const Replikon&) = delete;
  ~Replikon();

  // ---- Processing -------------------------------------------------------------
  // A processing call made from a RecursionCheck handler nests inside the call
  // that raised the event. On one thread, at most kMaxNestedCalls processing
  // calls (of any components) are under way at once; one more raises 28 "Out
  // of stack space" and leaves the calls under way to go on.
  static constexpr int kMaxNestedCalls = 64;

  ObjectRef Copy(const ObjectRef& source_object);
  SafeArray StreamFromObject(const ObjectRef& source_object);
  ObjectRef ObjectFromStream(const SafeArray& stream);

  // ---- Streams ----------------------------------------------------------------
  std::string ObjectTypeName(const SafeArray& stream) const noexcept;
  bool IsStream(const SafeArray& byte_array) const noexcept;
  void StreamToFile(const SafeArray& stream, const std::string& file_path) const;
  SafeArray StreamFromFile(const std::string& file_path) const;

  void ShowAboutBox() const noexcept;

  // ---- Settings ---------------------------------------------------------------
  bool RecursionAllowed() const noexcept { return settings_.recursion_allowed; }
  void SetRecursionAllowed(bool value);
  bool RaiseRecursionCheckEvent() const noexcept { return settings_.raise_recursion_check_event; }
  void SetRaiseRecursionCheckEvent(bool value);
  const std::string& ObjectServerName() const noexcept { return settings_.object_server_name; }
  // Stores the name with leading and trailing spaces removed.
  void SetObjectServerName(std::string_view value);
  ProblemsNotificationConstants ProblemsNotification() const noexcept {
    return settings_.problems_notification;
  }
  // Accepts 0 and 1; anything else raises 380 and changes nothing.
  void SetProblemsNotification(std::int32_t value);
  void SetProblemsNotification(ProblemsNotificationConstants value) {
    SetProblemsNotification(static_cast<std::int32_t>(value));
  }
  bool SetExternalReferences() const noexcept { return settings_.set_external_references; }
  void SetSetExternalReferences(bool value);
  // Limits of one processing call (Copy, StreamFromObject, ObjectFromStream);
  // 0, the default, is no limit. A call that would take more objects than
  // MaxObjects (the root included), or go more levels deep than MaxDepth (the
  // root's being the first), ends with error 603 and keeps nothing it made.
  // A negative value raises 380 and changes nothing.
  std::int32_t MaxObjects() const noexcept { return settings_.max_objects; }
  void SetMaxObjects(std::int32_t value);
  std::int32_t MaxDepth() const noexcept { return settings_.max_depth; }
  void SetMaxDepth(std::int32_t value);
  // Whole object graphs: with true, an object reached more than once in a
  // processing call stays one object in the result, and objects inside arrays
  // are processed like subobjects. False, the default, keeps the walk of a tree.
  bool PreserveIdentity() const noexcept { return settings_.preserve_identity; }
  void SetPreserveIdentity(bool value);

  // ---- Persistence of the settings ---------------------------------------------
  void InitProperties();
  void WriteProperties(PropertyBag& bag) const;
  void ReadProperties(const PropertyBag& bag);

  // ---- The container ------------------------------------------------------------
  // The container resized the component: it sets its size back to 480 by 480 twips.
  void OnResize();

  // ---- The RecursionCheck event ------------------------------------------------
  // Handlers run synchronously, in the order they were added, inside the call;
  // each sees the Cancel that the one before left.
  HandlerId AddRecursionCheckHandler(RecursionCheckHandler handler);
  bool RemoveRecursionCheckHandler(HandlerId id);

  // The root object of the call under way (null between calls).
  const ObjectRef& RootObject() const noexcept;

 private:
  class CallScope;

  EngineContext MakeContext();
  void Notify(std::string_view property);
  void Raise(RecursionCheckArgs& args);
  // Ends the processing call `call` when it failed: releases what it made,
  // then rethrows the exception that aborted it (a handler's), raises error 7
  // when it ran out of memory, or 601 with the problems it came across.
  void RaiseIfFailed(const EngineContext& ctx, std::int32_t status, const char* call,
                     ObjectRef* made = nullptr) const;
  [[noreturn]] static void RethrowAbort(const EngineContext& ctx, const char* call);

  std::shared_ptr<Container> container_;
  const ClassRegistry* registry_;
  EngineSettings settings_;
  // Shared so that a handler that removes itself while it runs stays alive
  // until it returns.
  std::map<HandlerId, std::shared_ptr<const RecursionCheckHandler>> handlers_;
  HandlerId next_handler_ = 1;
  EngineContext* active_ = nullptr;  // the context of the call under way
  // The component's automation object while one lives (AsObject,
  // component_object.hpp).
  friend ObjectRef AsObject(std::shared_ptr<Replikon> control);
  std::weak_ptr<Instance> object_;
};

}  // namespace replikon

#include "replikon/control/replikon.hpp"

#include <new>
#include <string>
#include <utility>

#include "automation/out_of_memory.hpp"
#include "control/call_scope.hpp"
#include "copy/copy_engine.hpp"
#include "copy/engine_context.hpp"
#include "copy/object_factory.hpp"
#include "replikon/about/about_box.hpp"
#include "replikon/automation/type_info.hpp"
#include "replikon/automation/variant.hpp"

namespace replikon {

namespace {

constexpr std::string_view kKeyRecursionAllowed = "RecursionAllowed";
constexpr std::string_view kKeyRaiseRecursionCheckEvent = "RaiseRecursionCheckEvent";
constexpr std::string_view kKeyObjectServerName = "ObjectServerName";
constexpr std::string_view kKeyProblemsNotification = "ProblemsNotification";
constexpr std::string_view kKeySetExternalReferences = "SetExternalReferences";
constexpr std::string_view kKeyMaxObjects = "MaxObjects";
constexpr std::string_view kKeyMaxDepth = "MaxDepth";
constexpr std::string_view kKeyPreserveIdentity = "PreserveIdentity";

// The default of ProblemsNotification in the container's bag. It is given with
// the setting's own type (16-bit), so that a bag that leaves out values equal
// to their defaults does leave this one out.
constexpr auto kDefaultProblemsNotification =
    static_cast<std::int16_t>(ProblemsNotificationConstants::OnSubobjectProblem);

}  // namespace

Replikon::Replikon(std::shared_ptr<Container> container, const ClassRegistry& registry)
    : container_(std::move(container)), registry_(&registry) {
  if (container_) container_->SetFaceColor(kFaceColor);
}

Replikon::~Replikon() = default;

// ---- Processing -------------------------------------------------------------

// Running out of memory anywhere in a call, in its engine or around it, ends
// it with error 7: whatever was made is released on the way out.
ObjectRef Replikon::Copy(const ObjectRef& source_object) try {
  const detail::NestingGuard nesting("Copy");
  if (detail::TrimSpaces(settings_.object_server_name).empty())
    RaiseControlError(errors::kServerNotSpecified);
  if (source_object.IsNull()) return {};

  EngineContext ctx = MakeContext();
  ObjectRef target;
  std::int32_t status = kStatusOk;
  {
    CallScope scope(*this, ctx);
    ctx.SetRoot(source_object);
    target = CreateInstance(ctx, ClassNameOf(source_object), status);
    if (status != kStatusOk) {
      ctx.NoteCreationProblem({}, ClassNameOf(source_object), true);
      ctx.RaiseRecursionCheck(source_object, source_object, "", true,
                              static_cast<std::int16_t>(status));
    } else {
      CopyProperties(ctx, source_object, target, source_object, status);
    }
  }
  RaiseIfFailed(ctx, status, "Copy", &target);
  return target;
} catch (const std::bad_alloc&) {
  errors::RaiseOutOfMemory("Copy ran out of memory");
}

void Replikon::ShowAboutBox() const noexcept {
  about::ShowAboutBox();
}

// ---- Settings ---------------------------------------------------------------

void Replikon::SetRecursionAllowed(bool value) {
  settings_.recursion_allowed = value;
  Notify(kKeyRecursionAllowed);
}

void Replikon::SetRaiseRecursionCheckEvent(bool value) {
  settings_.raise_recursion_check_event = value;
  Notify(kKeyRaiseRecursionCheckEvent);
}

void Replikon::SetObjectServerName(std::string_view value) {
  settings_.object_server_name.assign(detail::TrimSpaces(value));
  Notify(kKeyObjectServerName);
}

void Replikon::SetProblemsNotification(std::int32_t value) {
  if (value != static_cast<std::int32_t>(ProblemsNotificationConstants::SourceObjectOnly) &&
      value != static_cast<std::int32_t>(ProblemsNotificationConstants::OnSubobjectProblem)) {
    errors::Raise(errors::kInvalidPropertyValue);
  }
  settings_.problems_notification = static_cast<ProblemsNotificationConstants>(value);
  Notify(kKeyProblemsNotification);
}

void Replikon::SetSetExternalReferences(bool value) {
  settings_.set_external_references = value;
  Notify(kKeySetExternalReferences);
}

void Replikon::SetMaxObjects(std::int32_t value) {
  if (value < 0) errors::Raise(errors::kInvalidPropertyValue);
  settings_.max_objects = value;
  Notify(kKeyMaxObjects);
}

void Replikon::SetMaxDepth(std::int32_t value) {
  if (value < 0) errors::Raise(errors::kInvalidPropertyValue);
  settings_.max_depth = value;
  Notify(kKeyMaxDepth);
}

void Replikon::SetPreserveIdentity(bool value) {
  settings_.preserve_identity = value;
  Notify(kKeyPreserveIdentity);
}

// ---- Persistence --------------------------------------------------------------

void Replikon::InitProperties() {
  settings_ = EngineSettings{};
}

void Replikon::WriteProperties(PropertyBag& bag) const {
  bag.WriteProperty(kKeyRecursionAllowed, Variant(settings_.recursion_allowed), Variant(true));
  bag.WriteProperty(kKeyRaiseRecursionCheckEvent, Variant(settings_.raise_recursion_check_event),
                    Variant(true));
  bag.WriteProperty(kKeyObjectServerName, Variant(settings_.object_server_name),
                    Variant(std::string()));
  bag.WriteProperty(kKeyProblemsNotification,
                    Variant(static_cast<std::int16_t>(settings_.problems_notification)),
                    Variant(kDefaultProblemsNotification));
  bag.WriteProperty(kKeySetExternalReferences, Variant(settings_.set_external_references),
                    Variant(false));
  // The limits follow the five; at their default (no limit) they are left out,
  // so the bag of a component without limits is as it always was.
  bag.WriteProperty(kKeyMaxObjects, Variant(settings_.max_objects), Variant(std::int32_t{0}));
  bag.WriteProperty(kKeyMaxDepth, Variant(settings_.max_depth), Variant(std::int32_t{0}));
  bag.WriteProperty(kKeyPreserveIdentity, Variant(settings_.preserve_identity), Variant(false));
}

void Replikon::ReadProperties(const PropertyBag& bag) {
  // Each value is stored as soon as it is converted: a value that does not
  // convert ends the load, and the settings read before it keep their values.
  settings_.recursion_allowed = ToBool(bag.ReadProperty(kKeyRecursionAllowed, Variant(true)));
  settings_.raise_recursion_check_event =
      ToBool(bag.ReadProperty(kKeyRaiseRecursionCheckEvent, Variant(true)));
  settings_.object_server_name =
      ToBStr(bag.ReadProperty(kKeyObjectServerName, Variant(std::string())));
  settings_.problems_notification = static_cast<ProblemsNotificationConstants>(
      ToI2(bag.ReadProperty(kKeyProblemsNotification, Variant(kDefaultProblemsNotification))));
  settings_.set_external_references =
      ToBool(bag.ReadProperty(kKeySetExternalReferences, Variant(false)));
  // Loaded as stored, like the five; a negative limit is no limit.
  settings_.max_objects = ToI4(bag.ReadProperty(kKeyMaxObjects, Variant(std::int32_t{0})));
  settings_.max_depth = ToI4(bag.ReadProperty(kKeyMaxDepth, Variant(std::int32_t{0})));
  settings_.preserve_identity = ToBool(bag.ReadProperty(kKeyPreserveIdentity, Variant(false)));
}

// ---- The container --------------------------------------------------------------

void Replikon::OnResize() {
  if (container_) container_->SetSize(kControlSizeTwips, kControlSizeTwips);
}

void Replikon::Notify(std::string_view property) {
  if (container_) container_->PropertyChanged(property);
}

// ---- The RecursionCheck event ------------------------------------------------

Replikon::HandlerId Replikon::AddRecursionCheckHandler(RecursionCheckHandler handler) {
  const HandlerId id = next_handler_++;
  handlers_.emplace(id, std::make_shared<const RecursionCheckHandler>(std::move(handler)));
  return id;
}

bool Replikon::RemoveRecursionCheckHandler(HandlerId id) {
  return handlers_.erase(id) != 0;
}

void Replikon::Raise(RecursionCheckArgs& args) {
  // The handlers present when the event is raised run, in the order they were
  // added; one removed by an earlier handler no longer runs, one added during
  // the event runs from the next event on.
  const HandlerId last = next_handler_ - 1;
  for (auto it = handlers_.begin(); it != handlers_.end() && it->first <= last;) {
    const HandlerId id = it->first;
    const std::shared_ptr<const RecursionCheckHandler> handler = it->second;
    if (*handler) (*handler)(args);
    it = handlers_.upper_bound(id);
  }
}

const ObjectRef& Replikon::RootObject() const noexcept {
  static const ObjectRef kNoRoot;
  return active_ != nullptr ? active_->Root() : kNoRoot;
}

EngineContext Replikon::MakeContext() {
  return EngineContext(
      settings_, *registry_, [this](RecursionCheckArgs& args) { Raise(args); },
      [this] { return !handlers_.empty(); });
}

void Replikon::RaiseIfFailed(const EngineContext& ctx, std::int32_t status, const char* call,
                             ObjectRef* made) const {
  if (!ctx.Aborted() && status != errors::kProcessingProblems) return;
  if (made != nullptr) made->Reset();
  if (ctx.Aborted()) RethrowAbort(ctx, call);
  detail::RaiseProcessingProblems(*registry_, settings_.object_server_name, ctx.ProblemLines());
}

void Replikon::RethrowAbort(const EngineContext& ctx, const char* call) {
  const char* where = ctx.OutOfMemoryWhere();
  if (where == nullptr && !detail::IsOutOfMemory(ctx.HandlerError())) {
    try {
      std::rethrow_exception(ctx.HandlerError());
    } catch (const ProcessingLimitExceeded& limit) {
      throw ProcessingLimitError(
          limit.Limit() == ProcessingLimit::MaxDepth ? kKeyMaxDepth : kKeyMaxObjects,
          limit.Value());
    }
  }
  std::string details;
  try {
    details.append(call).append(" ran out of memory");
    if (where != nullptr) details.append(" while ").append(where);
  } catch (const std::bad_alloc&) {
    details.clear();
  }
  errors::RaiseOutOfMemory(details);
}

}  // namespace replikon

// The component as an automation object: its late-bound face `_Replikon` and
// late-bound sinks of its `RecursionCheck` event.
//
// A host that knows nothing of the component at compile time (a script engine,
// a property window) drives it exactly as the engines drive the client's
// objects:
//
//   auto control = std::make_shared<replikon::Replikon>(container, registry);
//   replikon::ObjectRef face = replikon::AsObject(control);
//   const replikon::Variant name("Orders");
//   replikon::InvokeByName(face, "ObjectServerName", replikon::InvokeKind::PropertyPut, {&name,
//   1}); const replikon::Variant source(order); replikon::Variant copy =
//   replikon::InvokeByName(face, "Copy", replikon::InvokeKind::Function,
//                                                   {&source, 1});
//
// Errors reach the host as the same AutomationErrors that the C++ members raise.
#pragma once

#include "replikon/detail/layer_control.hpp"

#include "replikon/export.hpp"

#include <memory>

#include "replikon/automation/object_ref.hpp"
#include "replikon/automation/type_info.hpp"
#include "replikon/control/replikon.hpp"

namespace replikon {

// The standard identifier of a control's About-box method.
inline constexpr DispId kDispIdAboutBox = -552;
// The identifier of RecursionCheck in the event interface.
inline constexpr DispId kDispIdRecursionCheck = 1;

// The class of the component's automation objects: it reports "Replikon", and
// its interface `_Replikon` holds the members in the order of the component's
// interface table, with their identifiers, parameters, help strings and help
// contexts.
REPLIKON_API const std::shared_ptr<const ClassInfo>& ReplikonClass();

// The event interface `__Replikon`: RecursionCheck (identifier 1) with its six
// parameters. It describes what a sink implements; the component does not
// implement it, so its member has no body of its own.
REPLIKON_API const std::shared_ptr<const InterfaceDescription>& ReplikonEvents();

// The component as an automation object. The object shares ownership of the
// component; `object.As<Replikon>()` gives the component back. As long as any
// reference to it lives, every call for the same component gives the same
// object (references compare equal). A null pointer gives a null reference.
REPLIKON_API ObjectRef AsObject(std::shared_ptr<Replikon> control);

// Connects a late-bound sink of RecursionCheck: any automation object with a
// method `RecursionCheck` taking the event's six arguments in order
// (RootObject, ParentObject, CurrentObject, CurrentObjectProperty, Cancel,
// ErrorStatus). The component calls it by name with each event, among its
// other handlers; when the sink's method declares `Cancel` by reference, the
// value it leaves there is the event's Cancel. Changes to the other
// arguments are not read back.
//
// The component holds a reference to the sink until the returned id is given
// to RemoveRecursionCheckHandler. An error that the sink raises ends the
// processing call with that error, as any handler's does. Raises 91 for a null
// sink and 438 for one without a RecursionCheck method.
REPLIKON_API Replikon::HandlerId ConnectSink(Replikon& control, ObjectRef sink);

}  // namespace replikon

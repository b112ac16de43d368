// The one header a client of the component includes: the Replikon component
// (Copy, StreamFromObject, ObjectFromStream, the Stream utilities, its six
// settings and its RecursionCheck event), its automation object and type
// library, the reading of Stream bytes (layout and array encoding), and the
// whole automation layer (server.hpp).
//
//   #include "replikon/replikon.hpp"
//
//   replikon::Replikon control;
//   control.SetObjectServerName("OrdersLib");
//   replikon::SafeArray stream = control.StreamFromObject(invoice);
//   replikon::ObjectRef again = control.ObjectFromStream(stream);
//
// Errors are raised as replikon::AutomationError.
#pragma once

#include "replikon/about/about_box.hpp"
#include "replikon/automation/property_bag.hpp"
#include "replikon/control/component_object.hpp"
#include "replikon/control/errors.hpp"
#include "replikon/control/replikon.hpp"
#include "replikon/control/type_library.hpp"
#include "replikon/server.hpp"
#include "replikon/settings.hpp"
#include "replikon/stream/array_encoding.hpp"
#include "replikon/stream/stream_layout.hpp"
#include "replikon/stream/stream_utilities.hpp"

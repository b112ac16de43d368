// Everything an author of an object server needs: define classes in plain C++
// (ClassBuilder), gather them in a Server, register it with a ClassRegistry;
// the values, arrays, objects and errors that members take and raise.
//
//   #include "replikon/server.hpp"
//
//   struct Invoice { std::int32_t number = 0; std::string buyer; };
//
//   replikon::Server orders("OrdersLib");
//   orders.Class<Invoice>("Invoice")
//       .Property("Number", &Invoice::number)
//       .Property("Buyer", &Invoice::buyer);
//   replikon::ClassRegistry::Global().Register(orders);
//
// Built as a shared library with REPLIKON_SERVER_LIBRARY (server_library.hpp),
// a server is found by its name by programs that do not link it.
// A server needs nothing of the component; a program that copies or persists
// objects includes "replikon/replikon.hpp", which includes this header.
#pragma once

#include "replikon/automation/class_builder.hpp"
#include "replikon/automation/error.hpp"
#include "replikon/automation/instance_lifetime.hpp"
#include "replikon/automation/object_ref.hpp"
#include "replikon/automation/registry.hpp"
#include "replikon/automation/safe_array.hpp"
#include "replikon/automation/server_library.hpp"
#include "replikon/automation/type_info.hpp"
#include "replikon/automation/variant.hpp"
#include "replikon/export.hpp"
#include "replikon/version.hpp"

// The automation layer: values, arrays, objects, type information, the class
// registry and the property bag.
#pragma once

#include "replikon/automation/class_builder.hpp"
#include "replikon/automation/error.hpp"
#include "replikon/automation/object_ref.hpp"
#include "replikon/automation/property_bag.hpp"
#include "replikon/automation/registry.hpp"
#include "replikon/automation/safe_array.hpp"
#include "replikon/automation/type_info.hpp"
#include "replikon/automation/variant.hpp"

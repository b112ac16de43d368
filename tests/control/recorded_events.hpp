// The RecursionCheck events a component raises, as its handlers saw them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "replikon/control/replikon.hpp"
#include "test_classes.hpp"

namespace replikon::testing {

// Records every event on the component.
inline std::shared_ptr<std::vector<Seen>> Record(Replikon& r) {
  auto seen = std::make_shared<std::vector<Seen>>();
  r.AddRecursionCheckHandler([seen](RecursionCheckArgs& a) {
    seen->push_back(Seen{a.root_object, a.parent_object, a.current_object,
                         a.current_object_property, a.cancel, a.error_status});
  });
  return seen;
}

}  // namespace replikon::testing

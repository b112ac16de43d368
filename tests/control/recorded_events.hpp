// What the control tests share: a component's settings, and the
// RecursionCheck events it raises, as its handlers saw them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "replikon/control/replikon.hpp"
#include "test_classes.hpp"

namespace replikon::testing {

// Every setting of `r`, in the order of the type library (ProblemsNotification
// as a number).
inline auto Settings(const Replikon& r) {
  return std::make_tuple(r.RecursionAllowed(), r.RaiseRecursionCheckEvent(), r.ObjectServerName(),
                         static_cast<int>(r.ProblemsNotification()), r.SetExternalReferences(),
                         r.MaxObjects(), r.MaxDepth(), r.PreserveIdentity());
}
using SettingValues = std::tuple<bool, bool, std::string, int, bool, int, int, bool>;
inline const SettingValues kDefaults{true, true, "", 1, false, 0, 0, false};

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

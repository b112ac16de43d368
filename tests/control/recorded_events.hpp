// What the control tests share: a component's settings, its container, and
// the RecursionCheck events it raises, as its handlers saw them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
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

// A container that records what the component tells it.
struct RecordingContainer : Container {
  void PropertyChanged(std::string_view name) override { changed.emplace_back(name); }
  void SetSize(std::int32_t w, std::int32_t h) override { sizes.emplace_back(w, h); }
  void SetFaceColor(std::uint32_t bgr) override { colors.push_back(bgr); }
  std::vector<std::string> changed;
  std::vector<std::pair<std::int32_t, std::int32_t>> sizes;
  std::vector<std::uint32_t> colors;
};

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

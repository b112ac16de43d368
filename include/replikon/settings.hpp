// The component's settings and the arguments of its RecursionCheck event: what
// a client of the component reads and handles, and what the engines are
// handed for one processing call.
#pragma once

#include "replikon/export.hpp"

#include <cstdint>
#include <string>

#include "replikon/automation/object_ref.hpp"

namespace replikon {

// Values of the ProblemsNotification setting.
enum class ProblemsNotificationConstants : std::int16_t {
  SourceObjectOnly = 0,
  OnSubobjectProblem = 1,
};

// The settings, as the engines read them.
struct REPLIKON_API EngineSettings {
  bool recursion_allowed = true;
  bool raise_recursion_check_event = true;
  std::string object_server_name;
  ProblemsNotificationConstants problems_notification =
      ProblemsNotificationConstants::OnSubobjectProblem;
  bool set_external_references = false;
  // Objects reached twice stay one object; arrays carry objects.
  bool preserve_identity = false;
  // Limits of one processing call; 0 (or less) is no limit. max_objects counts
  // the objects a call copies, writes or reads, the root included; max_depth
  // the levels of the walk, the root's being level 1.
  std::int32_t max_objects = 0;
  std::int32_t max_depth = 0;
};

// The arguments of one RecursionCheck event. The handler may change `cancel`.
struct REPLIKON_API RecursionCheckArgs {
  ObjectRef root_object;
  ObjectRef parent_object;
  ObjectRef current_object;
  std::string current_object_property;
  bool cancel = false;
  std::int16_t error_status = 0;
};

}  // namespace replikon

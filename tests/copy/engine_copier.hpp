// Drives the copy engine alone, as a processing call does: a context on the
// test's settings, a new instance of the source's class, then its properties.
// Events go to the handlers in order, as the component delivers them.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include "copy/copy_engine.hpp"
#include "copy/object_factory.hpp"
#include "test_classes.hpp"

namespace replikon::testing {

class EngineCopier {
 public:
  explicit EngineCopier(const ClassRegistry& registry) : registry_(&registry) {}

  // The copy; nothing when the call ends with a problem (Status()) or a
  // handler's exception or a limit (Error()).
  ObjectRef Copy(const ObjectRef& source) {
    EngineContext ctx(settings, *registry_, [this](RecursionCheckArgs& a) {
      for (const auto& handler : handlers) handler(a);
    });
    ctx.SetRoot(source);
    status_ = 0;
    ObjectRef target = CreateInstance(ctx, ClassNameOf(source), status_);
    if (status_ == 0) CopyProperties(ctx, source, target, source, status_);
    error_ = ctx.HandlerError();
    if (ctx.Aborted() || status_ != 0) target.Reset();
    return target;
  }

  // Records every event from now on.
  std::shared_ptr<std::vector<Seen>> Record() {
    auto seen = std::make_shared<std::vector<Seen>>();
    handlers.push_back([seen](RecursionCheckArgs& a) {
      seen->push_back(Seen{a.root_object, a.parent_object, a.current_object,
                           a.current_object_property, a.cancel, a.error_status});
    });
    return seen;
  }

  std::int32_t Status() const { return status_; }
  const std::exception_ptr& Error() const { return error_; }

  EngineSettings settings;
  std::vector<std::function<void(RecursionCheckArgs&)>> handlers;

 private:
  const ClassRegistry* registry_;
  std::int32_t status_ = 0;
  std::exception_ptr error_;
};

}  // namespace replikon::testing

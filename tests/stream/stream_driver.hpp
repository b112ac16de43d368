// Drives the stream writer and reader alone, as a processing call does: a
// context on the test's settings and registry, every event recorded, the
// member named by cancel_property_ cancelled and on_event_ run.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "copy/engine_context.hpp"
#include "stream/stream_engines.hpp"
#include "test_support.hpp"

namespace replikon::testing {

class StreamEngineTest : public ::testing::Test {
 protected:
  virtual ClassRegistry& Registry() = 0;

  EngineContext Context() {
    return EngineContext(settings_, Registry(), [this](RecursionCheckArgs& args) {
      events_.push_back(args);
      if (on_event_) on_event_(args);
      if (cancel_property_ == args.current_object_property && args.error_status == 0) {
        args.cancel = true;
      }
    });
  }

  // Each call starts at status 0 and leaves its status in status_.
  std::vector<std::uint8_t> Write(const ObjectRef& root) {
    EngineContext ctx = Context();
    ctx.SetRoot(root);
    status_ = 0;
    return WriteObject(ctx, root, root, status_);
  }

  ObjectRef Read(std::span<const std::uint8_t> stream) {
    EngineContext ctx = Context();
    ObjectRef result;
    ObjectRef parent;
    status_ = 0;
    ReadObject(ctx, stream, result, parent, true, status_);
    return result;
  }

  EngineSettings settings_;
  std::vector<RecursionCheckArgs> events_;
  std::string cancel_property_;
  std::function<void(RecursionCheckArgs&)> on_event_;
  std::int32_t status_ = 0;
};

using test_support::BytesValue;
using test_support::ObjectStream;

}  // namespace replikon::testing

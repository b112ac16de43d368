// The component's Stream members: the two processing calls of the stream
// engines, and the Stream utilities.
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "control/call_scope.hpp"
#include "copy/engine_context.hpp"
#include "copy/object_factory.hpp"
#include "replikon/automation/type_info.hpp"
#include "replikon/control/replikon.hpp"
#include "replikon/stream/stream_layout.hpp"
#include "replikon/stream/stream_utilities.hpp"
#include "stream/stream_engines.hpp"

namespace replikon {

namespace {

// The bytes of a byte array (nothing for any other array).
std::span<const std::uint8_t> BytesOf(const SafeArray& array) {
  if (array.ElementType() != VarType::UI1 || !array.IsAllocated()) return {};
  return array.ByteSpan();
}

// Why the call's bytes are no Stream, and where: what the reader found, or,
// when it did not start, what is wrong with the Stream as a whole.
std::vector<std::string> NotAStreamDetails(const EngineContext& ctx,
                                           std::span<const std::uint8_t> bytes) {
  std::vector<std::string> details;
  if (!ctx.NotAStreamReason().empty()) {
    details.push_back(ctx.NotAStreamReason());
  } else if (const std::optional<StreamFault> fault = DiagnoseStream(bytes)) {
    details.push_back(FaultText(*fault));
  }
  return details;
}

}  // namespace

SafeArray Replikon::StreamFromObject(const ObjectRef& source_object) try {
  const detail::NestingGuard nesting("StreamFromObject");
  if (detail::TrimSpaces(settings_.object_server_name).empty()) {
    RaiseControlError(errors::kServerNotSpecified);
  }
  EngineContext ctx = MakeContext();
  std::vector<std::uint8_t> stream;
  std::int32_t status = kStatusOk;
  {
    CallScope scope(*this, ctx);
    // A null source is "Nothing", which the factory accepts: it is written as
    // a Stream of its own.
    const std::int32_t probe = ClassStatus(ctx, ClassNameOf(source_object));
    ctx.SetRoot(source_object);
    if (probe != kStatusOk) {
      status = probe;
      ctx.NoteCreationProblem({}, ClassNameOf(source_object), true);
      ctx.RaiseRecursionCheck(source_object, source_object, "", true,
                              static_cast<std::int16_t>(probe));
    } else {
      stream = WriteObject(ctx, source_object, source_object, status);
    }
  }
  RaiseIfFailed(ctx, status, "StreamFromObject");
  return SafeArray::FromOwnedBytes(std::move(stream));
} catch (const std::bad_alloc&) {
  errors::RaiseOutOfMemory("StreamFromObject ran out of memory");
}

ObjectRef Replikon::ObjectFromStream(const SafeArray& stream) try {
  const detail::NestingGuard nesting("ObjectFromStream");
  // The call works on its own copy of the Stream, which shares the caller's
  // bytes: a handler that changes the caller's array meanwhile changes its own.
  const SafeArray own = stream;
  const std::span<const std::uint8_t> bytes = BytesOf(own);
  const StreamInfo info = InspectStream(bytes);
  if (info.out_of_memory) {
    errors::RaiseOutOfMemory("ObjectFromStream ran out of memory while reading the Stream's head");
  }
  EngineContext ctx = MakeContext();
  ObjectRef result;
  std::int32_t status = kStatusOk;
  if (!info.is_object_stream) {
    status = errors::kNotAStream;
  } else {
    if (detail::TrimSpaces(settings_.object_server_name).empty()) {
      RaiseControlError(errors::kServerNotSpecified);
    }
    if (info.class_name == kNothing) return {};
    CallScope scope(*this, ctx);  // the root stays null until the reader makes it
    const std::int32_t probe = ClassStatus(ctx, info.class_name);
    if (probe != kStatusOk) {
      status = probe;
      ctx.NoteCreationProblem({}, info.class_name, false);
      ctx.RaiseRecursionCheck(ObjectRef{}, ObjectRef{}, "", true, static_cast<std::int16_t>(probe));
    } else {
      ObjectRef parent;
      ReadObject(ctx, bytes, result, parent, true, status);
    }
  }
  RaiseIfFailed(ctx, status, "ObjectFromStream", &result);
  if (status == errors::kNotAStream) {
    result.Reset();
    throw ControlError(errors::kNotAStream, NotAStreamDetails(ctx, bytes));
  }
  return result;
} catch (const std::bad_alloc&) {
  errors::RaiseOutOfMemory("ObjectFromStream ran out of memory");
}

std::string Replikon::ObjectTypeName(const SafeArray& stream) const noexcept {
  return ::replikon::ObjectTypeName(stream);
}

bool Replikon::IsStream(const SafeArray& byte_array) const noexcept {
  return ::replikon::IsStream(byte_array);
}

void Replikon::StreamToFile(const SafeArray& stream, const std::string& file_path) const try {
  ::replikon::StreamToFile(stream, file_path);
} catch (const std::bad_alloc&) {
  errors::RaiseOutOfMemory("StreamToFile ran out of memory");
}

SafeArray Replikon::StreamFromFile(const std::string& file_path) const try {
  return ::replikon::StreamFromFile(file_path);
} catch (const std::bad_alloc&) {
  errors::RaiseOutOfMemory("StreamFromFile ran out of memory");
}

}  // namespace replikon

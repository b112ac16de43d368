// The component's late-bound face and late-bound event sinks.
#include "replikon/control/component_object.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "replikon/automation/class_builder.hpp"
#include "replikon/automation/error.hpp"
#include "replikon/automation/safe_array.hpp"
#include "replikon/automation/variant.hpp"

namespace replikon {

namespace {

// Identifiers of the members of _Replikon.
constexpr DispId kIdCopy = 0x6003000C;
constexpr DispId kIdStreamFromObject = 0x60030012;
constexpr DispId kIdObjectFromStream = 0x60030016;
constexpr DispId kIdObjectTypeName = 0x60030023;
constexpr DispId kIdStreamToFile = 0x6003002A;
constexpr DispId kIdStreamFromFile = 0x6003002B;
constexpr DispId kIdIsStream = 0x6003002E;
constexpr DispId kIdRecursionAllowed = 0x68030004;
constexpr DispId kIdRaiseRecursionCheckEvent = 0x68030003;
constexpr DispId kIdObjectServerName = 0x68030002;
constexpr DispId kIdProblemsNotification = 0x68030001;
constexpr DispId kIdSetExternalReferences = 0x68030000;
constexpr DispId kIdMaxObjects = 0x68030005;
constexpr DispId kIdMaxDepth = 0x68030006;
constexpr DispId kIdPreserveIdentity = 0x68030007;

constexpr const char* kProblemsNotificationType = "ProblemsNotificationConstants";

// An argument declared as an object: a reference, possibly Nothing.
const ObjectRef& ObjectArg(const Variant& value) {
  if (!value.IsObject()) errors::Raise(errors::kTypeMismatch);
  return value.Object();
}

// An argument declared as a byte array. An array of another element type is
// passed on: the member treats it as it treats such an array from C++ (not a
// Stream).
const SafeArray& ArrayArg(const Variant& value) {
  if (!value.IsArray()) errors::Raise(errors::kTypeMismatch);
  return value.Array();
}

ParamDescription ByRef(const char* name, VarType type) {
  return ParamDescription{name, type, /*by_ref=*/true, /*optional=*/false};
}
ParamDescription ByVal(const char* name, VarType type) {
  return ParamDescription{name, type, /*by_ref=*/false, /*optional=*/false};
}

std::shared_ptr<const ClassInfo> BuildReplikonClass() {
  using Args = std::span<const Variant>;
  ClassBuilder<Replikon> c("Replikon");
  c.Method("ShowAboutBox", [](Replikon& r) { r.ShowAboutBox(); }).Id(kDispIdAboutBox);
  c.Method(
       "Copy", [](Replikon& r, Args a) { return r.Copy(ObjectArg(a[0])); },
       {ByRef("SourceObject", VarType::Dispatch)}, VarType::Dispatch)
      .Id(kIdCopy)
      .Help("Creates a copy of the source object and returns the reference to it.", 1010);
  c.Method(
       "StreamFromObject", [](Replikon& r, Args a) { return r.StreamFromObject(ObjectArg(a[0])); },
       {ByRef("SourceObject", VarType::Dispatch)}, kByteArrayType)
      .Id(kIdStreamFromObject)
      .Help(
          "Returns a byte array called Stream into which the values of the object's properties "
          "are written.",
          1020);
  c.Method(
       "ObjectFromStream", [](Replikon& r, Args a) { return r.ObjectFromStream(ArrayArg(a[0])); },
       {ByRef("Stream", kByteArrayType)}, VarType::Dispatch)
      .Id(kIdObjectFromStream)
      .Help("Reconstructs object from the stream and returns the reference to it.", 1030);
  c.Method(
       "ObjectTypeName", [](Replikon& r, Args a) { return r.ObjectTypeName(ArrayArg(a[0])); },
       {ByRef("Stream", kByteArrayType)}, VarType::BStr)
      .Id(kIdObjectTypeName)
      .Help(
          "Returns a string which represents a type (i.e. class name) of the object written "
          "into the Stream.",
          1060);
  c.Method("StreamToFile",
           [](Replikon& r, Args a) { r.StreamToFile(ArrayArg(a[0]), ToBStr(a[1])); },
           {ByRef("Stream", kByteArrayType), ByVal("FilePath", VarType::BStr)})
      .Id(kIdStreamToFile)
      .Help("Writes a stream to a file.", 1040);
  c.Method(
       "StreamFromFile", [](Replikon& r, Args a) { return r.StreamFromFile(ToBStr(a[0])); },
       {ByVal("FilePath", VarType::BStr)}, kByteArrayType)
      .Id(kIdStreamFromFile)
      .Help("Returns a Stream (i.e. a byte array) from a file.", 1050);
  c.Method(
       "IsStream", [](Replikon& r, Args a) { return r.IsStream(ArrayArg(a[0])); },
       {ByRef("ByteArray", kByteArrayType)}, VarType::Bool)
      .Id(kIdIsStream)
      .Help(
          "Returns a Boolean value indicating whether a certain Byte array represents a stream "
          "created by the Replikon.",
          1070);

  // The settings. A let's value arrives converted to the property's type.
  c.Get("RecursionAllowed", VarType::Bool, [](Replikon& r) { return r.RecursionAllowed(); })
      .Let("RecursionAllowed", VarType::Bool,
           [](Replikon& r, const Variant& v) { r.SetRecursionAllowed(ToBool(v)); })
      .Id(kIdRecursionAllowed)
      .Help(
          "Returns or sets a value that determines whether the control will recursively "
          "copy/persist subobjects of an object sent to CopyObject, ObjectToStream or "
          "StreamToObject methods.",
          1090);
  c.Get("RaiseRecursionCheckEvent", VarType::Bool,
        [](Replikon& r) { return r.RaiseRecursionCheckEvent(); })
      .Let("RaiseRecursionCheckEvent", VarType::Bool,
           [](Replikon& r, const Variant& v) { r.SetRaiseRecursionCheckEvent(ToBool(v)); })
      .Id(kIdRaiseRecursionCheckEvent)
      .Help(
          "Returns or sets a value that determines whether the RecursionCheck event will be "
          "raised.",
          1120);
  c.Get("ObjectServerName", VarType::BStr, [](Replikon& r) { return r.ObjectServerName(); })
      .Let("ObjectServerName", VarType::BStr,
           [](Replikon& r, const Variant& v) { r.SetObjectServerName(v.String()); })
      .Id(kIdObjectServerName)
      .Help(
          "Returns or sets the name of the ActiveX DLL in which are defined the classes of the "
          "objects to which the Replikon control will be applied.",
          1080);
  c.Get("ProblemsNotification", VarType::I4,
        [](Replikon& r) { return static_cast<std::int32_t>(r.ProblemsNotification()); })
      .Let("ProblemsNotification", VarType::I4,
           [](Replikon& r, const Variant& v) { r.SetProblemsNotification(ToI4(v)); })
      .Id(kIdProblemsNotification)
      .UserType(kProblemsNotificationType)
      .Help(
          "Returns or sets a value that determines whether an error will be raised at the end of "
          "the processing, if during processing Replikon comes across an inadequate object or "
          "subobject.",
          1110);
  c.Get("SetExternalReferences", VarType::Bool,
        [](Replikon& r) { return r.SetExternalReferences(); })
      .Let("SetExternalReferences", VarType::Bool,
           [](Replikon& r, const Variant& v) { r.SetSetExternalReferences(ToBool(v)); })
      .Id(kIdSetExternalReferences)
      .Help(
          "Returns or sets a value that determines whether Replikon will copy references to "
          "unknown (external) subobjects of the source object.",
          1100);
  // The limits of a processing call, after the five.
  c.Get("MaxObjects", VarType::I4, [](Replikon& r) { return r.MaxObjects(); })
      .Let("MaxObjects", VarType::I4,
           [](Replikon& r, const Variant& v) { r.SetMaxObjects(ToI4(v)); })
      .Id(kIdMaxObjects)
      .Help(
          "Returns or sets the largest number of objects that one call of Copy, StreamFromObject "
          "or ObjectFromStream may process; 0 sets no limit.",
          1140);
  c.Get("MaxDepth", VarType::I4, [](Replikon& r) { return r.MaxDepth(); })
      .Let("MaxDepth", VarType::I4, [](Replikon& r, const Variant& v) { r.SetMaxDepth(ToI4(v)); })
      .Id(kIdMaxDepth)
      .Help(
          "Returns or sets the largest number of levels of subobjects, the source object's "
          "included, that one call of Copy, StreamFromObject or ObjectFromStream may enter; 0 "
          "sets no limit.",
          1150);
  c.Get("PreserveIdentity", VarType::Bool, [](Replikon& r) { return r.PreserveIdentity(); })
      .Let("PreserveIdentity", VarType::Bool,
           [](Replikon& r, const Variant& v) { r.SetPreserveIdentity(ToBool(v)); })
      .Id(kIdPreserveIdentity)
      .Help(
          "Returns or sets a value that determines whether an object reached more than once by "
          "Copy, StreamFromObject or ObjectFromStream stays one object, and whether objects in "
          "arrays are processed.",
          1160);
  return c.BuildInfo();
}

std::shared_ptr<const InterfaceDescription> BuildReplikonEvents() {
  MemberDescription check("RecursionCheck", InvokeKind::Function, VarType::Empty, MemberFunction{});
  check.SetMemberId(kDispIdRecursionCheck)
      .SetParams({ByRef("RootObject", VarType::Dispatch), ByRef("ParentObject", VarType::Dispatch),
                  ByRef("CurrentObject", VarType::Dispatch),
                  ByVal("CurrentObjectProperty", VarType::BStr), ByRef("Cancel", VarType::Bool),
                  ByVal("ErrorStatus", VarType::I2)})
      .SetHelp(
          "Occurs when Replikon comes across a possibility of processing a new subobject, or it "
          "comes across a subobject it cannot process.",
          1130);
  return std::make_shared<const InterfaceDescription>(
      "__Replikon", std::vector<MemberDescription>{std::move(check)});
}

// The automation object of a component: shares ownership of it.
class ComponentInstance final : public Instance {
 public:
  explicit ComponentInstance(std::shared_ptr<Replikon> control)
      : Instance(ReplikonClass()), control_(std::move(control)) {}
  void* Self() noexcept override { return control_.get(); }

 private:
  std::shared_ptr<Replikon> control_;
};

}  // namespace

const std::shared_ptr<const ClassInfo>& ReplikonClass() {
  static const std::shared_ptr<const ClassInfo> info = BuildReplikonClass();
  return info;
}

const std::shared_ptr<const InterfaceDescription>& ReplikonEvents() {
  static const std::shared_ptr<const InterfaceDescription> events = BuildReplikonEvents();
  return events;
}

ObjectRef AsObject(std::shared_ptr<Replikon> control) {
  if (control == nullptr) return {};
  if (std::shared_ptr<Instance> existing = control->object_.lock()) {
    return ObjectRef(std::move(existing));
  }
  Replikon& component = *control;
  auto object = std::make_shared<ComponentInstance>(std::move(control));
  component.object_ = object;
  return ObjectRef(std::move(object));
}

Replikon::HandlerId ConnectSink(Replikon& control, ObjectRef sink) {
  if (sink.IsNull()) errors::Raise(errors::kObjectNotSet);
  if (DescribeObject(sink)->Find("RecursionCheck", InvokeKind::Function) == nullptr) {
    errors::Raise(errors::kNotSupported);
  }
  return control.AddRecursionCheckHandler([sink = std::move(sink)](RecursionCheckArgs& e) {
    std::array<Variant, 6> args{Variant(e.root_object),    Variant(e.parent_object),
                                Variant(e.current_object), Variant(e.current_object_property),
                                Variant(e.cancel),         Variant(e.error_status)};
    InvokeByNameRef(sink, "RecursionCheck", InvokeKind::Function, args);
    // A sink may leave anything in Cancel; it counts as the automation
    // Boolean it converts to.
    e.cancel = ToBool(args[4]);
  });
}

}  // namespace replikon

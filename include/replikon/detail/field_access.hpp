// How the engines reach the fields behind the properties that ClassBuilder
// makes from member pointers. Not API: used by class_builder.hpp and the
// library's engines; it may change in any release.
#pragma once

#include "replikon/export.hpp"

#include <typeinfo>

#include "replikon/automation/object_ref.hpp"
#include "replikon/automation/safe_array.hpp"
#include "replikon/automation/variant.hpp"

namespace replikon {
class Instance;
}  // namespace replikon

namespace replikon::detail {

// Direct access to the field of the client object that backs a property, for
// the accessors that ClassBuilder makes from a field: the get and the let or
// set of one field share one FieldAccess. Calling it runs what the member's
// body runs, without the general handling of arguments.
class REPLIKON_API FieldAccess {
 public:
  virtual ~FieldAccess() = default;

  // The field's value, as the get returns it (of the declared type); raises as
  // the get does.
  virtual Variant Get(Instance& self) const = 0;
  // The let of a value that needs no conversion (one of the field's own type):
  // assigns it as the let does and returns true, raising as the let does.
  // False, with nothing done, for any other value, and for a field of object
  // type, which takes a set instead.
  virtual bool AssignValue(Instance& self, const Variant& value) const = 0;
  // AssignValue of a value the caller no longer needs: where it assigns,
  // `value` may be left holding anything (a string is moved into the field).
  virtual bool TakeValue(Instance& self, Variant& value) const { return AssignValue(self, value); }
  // Whether the field holds a plain value (no object reference, no Variant) that
  // its let takes back unchanged, so that CopyValue applies.
  virtual bool CopiesByValue() const noexcept = 0;
  // Gives `target` the field's value in `source`, as reading it from `source`
  // and assigning what was read to `target` through the let does. False, with
  // `target` unchanged, where the read or the let would fail. Raises
  // std::bad_alloc when memory runs out.
  virtual bool CopyValue(Instance& source, Instance& target) const = 0;
  // For a field of object type: the reference that the field of `self` holds,
  // which is what the get returns; nullptr for a field of another type or where
  // the get would fail.
  virtual const ObjectRef* ObjectIn(Instance& self) const noexcept = 0;
  // For a field of array type: the array that the field of `self` holds, of
  // which the get returns a copy, so that a caller that only reads it need not
  // copy it; nullptr for a field of another type or where the get would fail.
  virtual const SafeArray* ArrayIn(Instance& self) const noexcept {
    static_cast<void>(self);
    return nullptr;
  }
  // For a field of a scalar or string type (neither an object reference nor a
  // Variant nor an array): the field of `self`, which is what the get returns,
  // with its automation type in `type`; the field is of the C++ type that a
  // Variant of that type holds. So a caller that only reads the value need
  // not make a Variant of it. nullptr for a field of another type or where the
  // get would fail.
  virtual const void* PlainIn(Instance& self, VarType& type) const noexcept {
    static_cast<void>(self);
    static_cast<void>(type);
    return nullptr;
  }
  // For a field of object type: assigns `object` to the field of `self`, as the
  // set does. False, with nothing changed, for a field of another type or where
  // the set would fail.
  virtual bool SetObject(Instance& self, const ObjectRef& object) const noexcept = 0;
  // SetObject of a reference the caller no longer needs: where it assigns,
  // `object` may be left null (the reference is moved into the field).
  virtual bool TakeObject(Instance& self, ObjectRef& object) const noexcept {
    return SetObject(self, object);
  }

  // For callers that handle many fields of one object: the C++ type of the
  // client objects (Instance::Self()) that hold the field, or typeid(void) when
  // the access does not tell, and then the two operations below do nothing.
  virtual const std::type_info& OwnerType() const noexcept { return typeid(void); }
  // CopyValue between the client objects of two instances already known to be
  // of OwnerType(), without checking their class again.
  virtual bool CopyClientValue(const void* source, void* target) const {
    static_cast<void>(source);
    static_cast<void>(target);
    return false;
  }
  // For a field of object type: the field itself in a client object of
  // OwnerType(), which the get reads and the set assigns; nullptr for a field of
  // another type.
  virtual ObjectRef* ObjectFieldOf(void* client) const noexcept {
    static_cast<void>(client);
    return nullptr;
  }
  // For a field of a plain value type (a number, Currency, Date, std::string,
  // ErrorCode, bool, Decimal): the field itself in a client object of
  // OwnerType(), as PlainIn gives it for the instance, with its automation type
  // in `type`; TakeValue of a value of that type simply assigns it. nullptr for
  // any other field.
  virtual void* PlainFieldOf(void* client, VarType& type) const noexcept {
    static_cast<void>(client);
    static_cast<void>(type);
    return nullptr;
  }
  // For a field of array type: the field itself in a client object of
  // OwnerType(), with the array type its let takes (Array | element type) in
  // `type`; TakeValue of an array of that type simply assigns it. nullptr for
  // any other field.
  virtual SafeArray* ArrayFieldOf(void* client, VarType& type) const noexcept {
    static_cast<void>(client);
    static_cast<void>(type);
    return nullptr;
  }
};

}  // namespace replikon::detail

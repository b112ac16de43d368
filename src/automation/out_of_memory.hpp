// Internal to the library: telling a failed allocation from other failures.
//
// The engines pass over what fails in the client's code or in bytes they read,
// but never a failed allocation: that ends the whole call with error 7. A
// failed allocation reaches them as std::bad_alloc, as std::length_error (a
// container asked to outgrow its largest size), or as the automation error 7
// that the automation layer raises for one (arrays, for instance).
#pragma once

#include <exception>

namespace replikon::detail {

// Whether `error` is a failed allocation.
bool IsOutOfMemory(const std::exception_ptr& error) noexcept;

// Called inside a catch block: rethrows the exception being handled when it is
// a failed allocation, as std::bad_alloc; returns otherwise.
void RethrowIfOutOfMemory();

}  // namespace replikon::detail

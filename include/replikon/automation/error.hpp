// Automation errors: the one kind of exception that crosses Replikon's public boundary.
#pragma once

#include "replikon/export.hpp"

#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace replikon {

// An error as the automation platform reports it: a number, a description, and
// optionally a help file with a context in it. `Source` is left empty by the
// component's own errors. The details say, where the error itself does not,
// where and why it arose: one line each, most telling first (none for many
// errors). `what()` is one line: the number, the description, the first
// detail and how many more there are.
class REPLIKON_API AutomationError : public std::exception {
 public:
  // `details` holds the details one line each.
  AutomationError(std::int32_t number, std::string description, std::string help_file = {},
                  std::int32_t help_context = 0, std::string source = {}, std::string details = {});
  AutomationError(std::int32_t number, std::string description, std::string help_file,
                  std::int32_t help_context, std::string source, std::vector<std::string> details);

  std::int32_t Number() const noexcept { return number_; }
  const std::string& Description() const noexcept { return description_; }
  const std::string& HelpFile() const noexcept { return help_file_; }
  std::int32_t HelpContext() const noexcept { return help_context_; }
  const std::string& Source() const noexcept { return source_; }
  // The details, one line each.
  std::span<const std::string> DetailList() const noexcept { return details_; }
  // The details as one text, a line each ("" when there are none).
  const std::string& Details() const noexcept { return details_text_; }

  // The same error with `detail` added after its details.
  AutomationError WithDetail(std::string detail) const;

  const char* what() const noexcept override { return what_.c_str(); }

 private:
  void Compose();

  std::int32_t number_;
  std::string description_;
  std::string help_file_;
  std::int32_t help_context_;
  std::string source_;
  std::vector<std::string> details_;
  std::string details_text_;
  std::string what_;
};

// Every error number the library raises or describes, one name each: the platform's
// standard run-time errors and the component's own (600-603, help file
// "replictl.hlp"). docs/user-guide.md lists them with their descriptions.
namespace errors {
inline constexpr std::int32_t kInvalidProcedureCall = 5;  // "Invalid procedure call or argument"
inline constexpr std::int32_t kOverflow = 6;              // "Overflow"
inline constexpr std::int32_t kOutOfMemory = 7;           // "Out of memory"
inline constexpr std::int32_t kSubscriptOutOfRange = 9;   // "Subscript out of range"
inline constexpr std::int32_t kTypeMismatch = 13;         // "Type mismatch"
inline constexpr std::int32_t kOutOfStackSpace = 28;      // "Out of stack space"
inline constexpr std::int32_t kBadFileName = 52;          // "Bad file name or number"
inline constexpr std::int32_t kFileNotFound = 53;         // "File not found"
inline constexpr std::int32_t kDeviceIoError = 57;        // "Device I/O error"
inline constexpr std::int32_t kFileAlreadyExists = 58;    // "File already exists"
inline constexpr std::int32_t kDiskFull = 61;             // "Disk full"
inline constexpr std::int32_t kTooManyFiles = 67;         // "Too many files"
inline constexpr std::int32_t kPermissionDenied = 70;     // "Permission denied"
inline constexpr std::int32_t kDiskNotReady = 71;         // "Disk not ready"
inline constexpr std::int32_t kPathFileAccess = 75;       // "Path/File access error"
inline constexpr std::int32_t kPathNotFound = 76;         // "Path not found"
inline constexpr std::int32_t kObjectNotSet =
    91;  // "Object variable or With block variable not set"
inline constexpr std::int32_t kInvalidUseOfNull = 94;       // "Invalid use of Null"
inline constexpr std::int32_t kInvalidPropertyValue = 380;  // "Invalid property value"
inline constexpr std::int32_t kObjectRequired = 424;        // "Object required"
inline constexpr std::int32_t kCannotCreateObject = 429;  // "ActiveX component can't create object"
inline constexpr std::int32_t kNotSupported =
    438;  // "Object doesn't support this property or method"
inline constexpr std::int32_t kAutomationError = 440;  // "Automation error"
inline constexpr std::int32_t kWrongArguments =
    450;  // "Wrong number of arguments or invalid property assignment"
// The component's own.
inline constexpr std::int32_t kServerNotSpecified = 600;  // "ObjectServerName is not specified"
inline constexpr std::int32_t kProcessingProblems = 601;  // "Problem(s) in processing occurred"
inline constexpr std::int32_t kNotAStream = 602;          // "Byte array is not a Stream"
inline constexpr std::int32_t kProcessingLimit = 603;     // "Processing limit exceeded"

// The platform's description of a standard error number ("" for numbers it does not know).
REPLIKON_API const char* StandardDescription(std::int32_t number) noexcept;

// Throws AutomationError(number, StandardDescription(number)).
[[noreturn]] REPLIKON_API void Raise(std::int32_t number);
// Throws AutomationError(number, description).
[[noreturn]] REPLIKON_API void Raise(std::int32_t number, std::string description);
// Throws AutomationError(number, StandardDescription(number)) with one detail;
// std::bad_alloc when memory runs out while it is made.
[[noreturn]] REPLIKON_API void RaiseWithDetail(std::int32_t number, std::string_view detail);

// Throws AutomationError(7, "Out of memory") with `details` saying where the
// memory ran out. Should even that error not be made, std::bad_alloc is thrown.
[[noreturn]] REPLIKON_API void RaiseOutOfMemory(std::string_view details);

// Called inside a catch block: rethrows the exception being handled as an
// AutomationError. An AutomationError passes unchanged, a failed allocation
// becomes 7 "Out of memory", any other exception 440 "Automation error" with
// its message as the description.
[[noreturn]] REPLIKON_API void RethrowAsAutomationError();
}  // namespace errors

}  // namespace replikon

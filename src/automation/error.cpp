#include "replikon/automation/error.hpp"

#include <stdexcept>

#include <exception>
#include <new>
#include <utility>
#include <vector>

#include "automation/detail_lines.hpp"
#include "automation/out_of_memory.hpp"

namespace replikon {

namespace detail {

void AppendDetailLines(std::vector<std::string>& list, std::string_view text) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) list.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace detail

namespace {

// The lines of a details text, one detail each.
std::vector<std::string> OneDetail(std::string details) {
  std::vector<std::string> list;
  if (details.find('\n') == std::string::npos) {
    if (!details.empty()) list.push_back(std::move(details));
    return list;
  }
  detail::AppendDetailLines(list, details);
  return list;
}

}  // namespace

AutomationError::AutomationError(std::int32_t number, std::string description,
                                 std::string help_file, std::int32_t help_context,
                                 std::string source, std::string details)
    : AutomationError(number, std::move(description), std::move(help_file), help_context,
                      std::move(source), OneDetail(std::move(details))) {}

AutomationError::AutomationError(std::int32_t number, std::string description,
                                 std::string help_file, std::int32_t help_context,
                                 std::string source, std::vector<std::string> details)
    : number_(number),
      description_(std::move(description)),
      help_file_(std::move(help_file)),
      help_context_(help_context),
      source_(std::move(source)),
      details_(std::move(details)) {
  Compose();
}

void AutomationError::Compose() {
  details_text_.clear();
  for (const std::string& detail : details_) {
    if (!details_text_.empty()) details_text_ += '\n';
    details_text_ += detail;
  }
  // "Error 601: Problem(s) in processing occurred: Order.Lines(2): ... (+3 more)"
  what_ = "Error " + std::to_string(number_);
  if (!description_.empty()) {
    what_ += ": ";
    what_ += description_;
  }
  if (!details_.empty()) {
    // The first line of the first detail.
    const std::string& first = details_.front();
    what_ += ": ";
    what_.append(first, 0, first.find('\n'));
    if (details_.size() > 1) what_ += " (+" + std::to_string(details_.size() - 1) + " more)";
  }
}

AutomationError AutomationError::WithDetail(std::string detail) const {
  std::vector<std::string> details = details_;
  details.push_back(std::move(detail));
  return AutomationError(number_, description_, help_file_, help_context_, source_,
                         std::move(details));
}

namespace errors {

const char* StandardDescription(std::int32_t number) noexcept {
  switch (number) {
    case kInvalidProcedureCall:
      return "Invalid procedure call or argument";
    case kOverflow:
      return "Overflow";
    case kOutOfMemory:
      return "Out of memory";
    case kSubscriptOutOfRange:
      return "Subscript out of range";
    case kTypeMismatch:
      return "Type mismatch";
    case kOutOfStackSpace:
      return "Out of stack space";
    case kBadFileName:
      return "Bad file name or number";
    case kFileNotFound:
      return "File not found";
    case kDeviceIoError:
      return "Device I/O error";
    case kFileAlreadyExists:
      return "File already exists";
    case kDiskFull:
      return "Disk full";
    case kTooManyFiles:
      return "Too many files";
    case kPermissionDenied:
      return "Permission denied";
    case kDiskNotReady:
      return "Disk not ready";
    case kPathFileAccess:
      return "Path/File access error";
    case kPathNotFound:
      return "Path not found";
    case kObjectNotSet:
      return "Object variable or With block variable not set";
    case kInvalidUseOfNull:
      return "Invalid use of Null";
    case kInvalidPropertyValue:
      return "Invalid property value";
    case kObjectRequired:
      return "Object required";
    case kCannotCreateObject:
      return "ActiveX component can't create object";
    case kNotSupported:
      return "Object doesn't support this property or method";
    case kAutomationError:
      return "Automation error";
    case kWrongArguments:
      return "Wrong number of arguments or invalid property assignment";
    default:
      return "";
  }
}

void Raise(std::int32_t number) {
  throw AutomationError(number, StandardDescription(number));
}

void Raise(std::int32_t number, std::string description) {
  throw AutomationError(number, std::move(description));
}

void RaiseWithDetail(std::int32_t number, std::string_view detail) {
  throw AutomationError(number, StandardDescription(number), {}, 0, {}, std::string(detail));
}

void RaiseOutOfMemory(std::string_view details) {
  // The memory that ran out is mostly free again by the time the error is
  // made; if not, the error goes without its details, or as std::bad_alloc.
  std::string text;
  try {
    text.assign(details);
  } catch (const std::bad_alloc&) {
    text.clear();
  }
  throw AutomationError(kOutOfMemory, StandardDescription(kOutOfMemory), {}, 0, {},
                        std::move(text));
}

void RethrowAsAutomationError() {
  try {
    throw;
  } catch (const AutomationError&) {
    throw;
  } catch (const std::bad_alloc&) {
    Raise(kOutOfMemory);
  } catch (const std::exception& e) {
    const char* what = e.what();
    Raise(kAutomationError, what != nullptr && *what != '\0' ? what : "Automation error");
  } catch (...) {
    Raise(kAutomationError, "Automation error");
  }
}

}  // namespace errors

namespace detail {

namespace {

// Whether the exception being handled is a failed allocation.
bool HandlingOutOfMemory() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return true;
  } catch (const std::length_error&) {
    return true;
  } catch (const AutomationError& e) {
    return e.Number() == errors::kOutOfMemory;
  } catch (...) {
    return false;
  }
}

}  // namespace

bool IsOutOfMemory(const std::exception_ptr& error) noexcept {
  if (!error) return false;
  try {
    std::rethrow_exception(error);
  } catch (...) {
    return HandlingOutOfMemory();
  }
}

void RethrowIfOutOfMemory() {
  if (HandlingOutOfMemory()) throw std::bad_alloc();
}

}  // namespace detail

}  // namespace replikon

// Stream inspection and Stream files.
#pragma once

#include "replikon/export.hpp"

#include <string>
#include <string_view>

#include "replikon/automation/safe_array.hpp"

namespace replikon {

// "Array" for an array stream, the stored class name (or "Nothing") for an
// object stream, "" for anything else. Never throws.
REPLIKON_API std::string ObjectTypeName(const SafeArray& stream) noexcept;

// Whether the bytes are an object Stream. Never throws.
REPLIKON_API bool IsStream(const SafeArray& bytes) noexcept;

// Writes the Stream's bytes, lower to upper bound, to `file_path`, replacing the
// file atomically (a temporary file in the same folder, flushed, then renamed
// over the target). An unallocated Stream does nothing. File-system failures
// raise AutomationError with the platform's number and the path.
REPLIKON_API void StreamToFile(const SafeArray& stream, const std::string& file_path);

// The file's bytes as a zero-based byte array (unallocated for an empty file).
// A missing file raises an error and creates nothing.
REPLIKON_API SafeArray StreamFromFile(const std::string& file_path);

// True when `path` names an existing regular file. Never throws.
REPLIKON_API bool FileExists(std::string_view path) noexcept;
// Deletes a file; false on any error. Never throws.
REPLIKON_API bool DeleteFile(std::string_view path) noexcept;

}  // namespace replikon

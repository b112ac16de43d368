// Stream inspection and Stream files.
#pragma once

#include "replikon/detail/layer_stream.hpp"

#include "replikon/export.hpp"

#include <cstdint>
#include <string>
#include <string_view>

#include "replikon/automation/safe_array.hpp"

namespace replikon {

// "Array" for an array stream, the stored class name (or "Nothing") for an
// object stream, "" for anything else. Never throws.
REPLIKON_API std::string ObjectTypeName(const SafeArray& stream) noexcept;

// Whether the bytes are an object Stream. Never throws.
REPLIKON_API bool IsStream(const SafeArray& bytes) noexcept;

// The largest Stream file, in bytes: the most a byte array holds (2 GiB).
inline constexpr std::uint64_t kMaxStreamFileBytes = SafeArray::kMaxElements;

// Writes the Stream's bytes, lower to upper bound, to `file_path`. The target
// is replaced atomically: the bytes go to a file without a name in the same
// folder, which is flushed and then renamed over the target (a file system
// without unnamed files gets a temporary name ".<target>.replikon-<pid>-<hex>"
// instead; later writes into the folder remove those of dead processes). A
// symbolic link is followed and what it points to is replaced; a target that
// is not a regular file (directory, FIFO, device, socket) is refused and left
// alone. The old file's mode (less setuid and setgid), owner and group are
// kept as far as the process may set them. An unallocated Stream does nothing.
// File-system failures raise AutomationError with the platform's number and
// the path; the old file then keeps its bytes and no temporary file remains.
REPLIKON_API void StreamToFile(const SafeArray& stream, const std::string& file_path);

namespace detail {
// How StreamToFile makes the new file: without a name where the file system
// can, or always under its temporary name, as on file systems that cannot.
enum class NewFileKind { UnnamedWherePossible, Named };
REPLIKON_API void StreamToFile(const SafeArray& stream, const std::string& file_path,
                               NewFileKind kind);
}  // namespace detail

// The file's bytes as a zero-based byte array (unallocated for an empty file).
// A missing file raises an error and creates nothing; anything but a regular
// file (directory, FIFO, device, socket) is refused without being read, and so
// is a file larger than kMaxStreamFileBytes (7 "Out of memory") or one whose
// size changes while it is read (75).
REPLIKON_API SafeArray StreamFromFile(const std::string& file_path);

// True when `path` names an existing regular file. Never throws.
REPLIKON_API bool FileExists(std::string_view path) noexcept;
// Deletes a file; false on any error. Never throws.
REPLIKON_API bool DeleteFile(std::string_view path) noexcept;

}  // namespace replikon

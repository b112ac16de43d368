// Stream inspection and Stream files.

#include "replikon/stream/stream_utilities.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "replikon/automation/error.hpp"
#include "replikon/stream/stream_layout.hpp"

namespace replikon {
namespace {

// The bytes of a byte array, or nothing for any other array.
std::span<const std::uint8_t> BytesOf(const SafeArray& array) noexcept {
  if (array.ElementType() != VarType::UI1 || !array.IsAllocated()) return {};
  try {
    return array.ByteSpan();
  } catch (...) {
    return {};
  }
}

// What a file operation was doing when it failed; it picks the error for ENOENT.
enum class FileOp { kRead, kWrite };

// The platform's error for an errno value, naming the path.
[[noreturn]] void RaiseFileError(int err, FileOp op, const std::string& path) {
  std::int32_t number = errors::kPathFileAccess;
  switch (err) {
    case ENOENT:
      number = op == FileOp::kRead ? errors::kFileNotFound : errors::kPathNotFound;
      break;
    case ENOTDIR:
      number = errors::kPathNotFound;
      break;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
      number = errors::kPermissionDenied;
      break;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      number = errors::kDiskFull;
      break;
    case EMFILE:
    case ENFILE:
      number = 67;  // "Too many files"
      break;
    case ENAMETOOLONG:
    case EINVAL:
      number = 52;  // "Bad file name or number"
      break;
    case EIO:
      number = 57;  // "Device I/O error"
      break;
    case EISDIR:
    default:
      number = errors::kPathFileAccess;
      break;
  }
  std::string description = errors::StandardDescription(number);
  description += ": '";
  description += path;
  description += "' (";
  description += std::strerror(err);
  description += ")";
  throw AutomationError(number, std::move(description));
}

// A file descriptor closed on every path.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(int fd) noexcept : fd_(fd) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { Close(); }
  int get() const noexcept { return fd_; }
  void Reset(int fd) noexcept {
    Close();
    fd_ = fd;
  }
  // Closes now and reports the error close() gives (a late write failure on
  // some file systems).
  int Close() noexcept {
    if (fd_ < 0) return 0;
    int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0 ? 0 : errno;
  }

 private:
  int fd_ = -1;
};

// A temporary file that is removed unless it was committed by a rename.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    handle.Close();
    if (!name.empty()) ::unlink(name.c_str());
  }
  void Committed() noexcept { name.clear(); }

  FileHandle handle;
  std::string name;
};

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A fresh name for a temporary file in `folder`.
std::string TemporaryName(const std::string& folder) {
  static std::atomic<std::uint64_t> counter{0};
  static const std::uint64_t seed = [] {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
  }();
  const std::uint64_t n =
      seed + counter.fetch_add(1, std::memory_order_relaxed) * 0x9E3779B97F4A7C15ull;
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, "/.replikon-%ld-%016llx.tmp", static_cast<long>(::getpid()),
                static_cast<unsigned long long>(n));
  return folder + suffix;
}

void WriteAll(int fd, std::span<const std::uint8_t> bytes, const std::string& path) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseFileError(errno, FileOp::kWrite, path);
    }
    if (n == 0) RaiseFileError(ENOSPC, FileOp::kWrite, path);
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

std::string ObjectTypeName(const SafeArray& stream) noexcept {
  try {
    const StreamInfo info = InspectStream(BytesOf(stream));
    if (info.kind == kObjectStreamKind) return info.class_name;
    if (info.kind == kArrayStreamKind) return "Array";
    return {};
  } catch (...) {
    return {};
  }
}

bool IsStream(const SafeArray& bytes) noexcept {
  return IsObjectStream(BytesOf(bytes));
}

bool FileExists(std::string_view path) noexcept {
  if (path.empty()) return false;
  try {
    struct stat st {};
    const std::string p(path);
    return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  } catch (...) {
    return false;
  }
}

bool DeleteFile(std::string_view path) noexcept {
  try {
    const std::string p(path);
    return ::unlink(p.c_str()) == 0;
  } catch (...) {
    return false;
  }
}

void StreamToFile(const SafeArray& stream, const std::string& file_path) {
  if (!stream.IsAllocated()) return;
  if (stream.ElementType() != VarType::UI1) errors::Raise(errors::kTypeMismatch);
  if (file_path.empty()) RaiseFileError(ENOENT, FileOp::kWrite, file_path);

  // The target must be a file (or not exist yet) in a folder that exists.
  struct stat st {};
  const bool exists = ::stat(file_path.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) RaiseFileError(EISDIR, FileOp::kWrite, file_path);
  if (!exists && errno != ENOENT) RaiseFileError(errno, FileOp::kWrite, file_path);

  // The new bytes go to a temporary file beside the target, which replaces the
  // target in one rename once they are safely on disk: the target holds either
  // the old Stream whole or the new one whole, whatever happens on the way.
  TemporaryFile temp;
  const std::string folder = FolderOf(file_path);
  // A new file gets the permissions an ordinary new file would get (the umask
  // applies); a replaced one keeps the target's.
  const mode_t mode = exists ? (st.st_mode & 07777) : 0666;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    std::string name = TemporaryName(folder);
    fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) {
      temp.name = std::move(name);
    } else if (errno != EEXIST || attempt > 100) {
      RaiseFileError(errno, FileOp::kWrite, file_path);
    }
  }
  temp.handle.Reset(fd);

  WriteAll(fd, stream.ByteSpan(), file_path);
  if (::fsync(fd) != 0) RaiseFileError(errno, FileOp::kWrite, file_path);
  if (const int err = temp.handle.Close(); err != 0) RaiseFileError(err, FileOp::kWrite, file_path);
  if (::rename(temp.name.c_str(), file_path.c_str()) != 0) {
    RaiseFileError(errno, FileOp::kWrite, file_path);
  }
  temp.Committed();

  // Make the rename itself durable; a failure here loses nothing that is not
  // already in place, so it is not reported.
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

SafeArray StreamFromFile(const std::string& file_path) {
  if (file_path.empty()) RaiseFileError(ENOENT, FileOp::kRead, file_path);
  // Opened read-only: a missing file is an error and nothing is created.
  FileHandle file(::open(file_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) RaiseFileError(errno, FileOp::kRead, file_path);

  struct stat st {};
  if (::fstat(file.get(), &st) != 0) RaiseFileError(errno, FileOp::kRead, file_path);
  if (S_ISDIR(st.st_mode)) RaiseFileError(EISDIR, FileOp::kRead, file_path);

  // Read to the end rather than trusting the size: the file may change, and
  // some files report no size.
  std::vector<std::uint8_t> bytes;
  if (S_ISREG(st.st_mode) && st.st_size > 0) {
    if (static_cast<std::uint64_t>(st.st_size) > SafeArray::kMaxElements) {
      errors::Raise(errors::kOutOfMemory);
    }
    bytes.reserve(static_cast<std::size_t>(st.st_size));
  }
  std::uint8_t chunk[65536];
  for (;;) {
    const ssize_t n = ::read(file.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseFileError(errno, FileOp::kRead, file_path);
    }
    if (n == 0) break;
    if (bytes.size() + static_cast<std::size_t>(n) > SafeArray::kMaxElements) {
      errors::Raise(errors::kOutOfMemory);
    }
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  if (const int err = file.Close(); err != 0) RaiseFileError(err, FileOp::kRead, file_path);

  if (bytes.empty()) return SafeArray::UnallocatedBytes();
  return SafeArray::FromBytes(bytes, 0);
}

}  // namespace replikon

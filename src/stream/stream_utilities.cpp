// Stream inspection and Stream files.

#include "replikon/stream/stream_utilities.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
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
enum class FileOp { Read, Write };

[[noreturn]] void RaiseAboutPath(std::int32_t number, const std::string& path,
                                 const std::string& cause) {
  std::string description = errors::StandardDescription(number);
  description += ": '";
  description += path;
  description += "' (";
  description += cause;
  description += ")";
  throw AutomationError(number, std::move(description));
}

// The platform's error for an errno value, naming the path.
[[noreturn]] void RaiseFileError(int err, FileOp op, const std::string& path) {
  std::int32_t number = errors::kPathFileAccess;
  switch (err) {
    case ENOENT:
      number = op == FileOp::Read ? errors::kFileNotFound : errors::kPathNotFound;
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
      number = errors::kTooManyFiles;
      break;
    case ENAMETOOLONG:
    case EINVAL:
      number = errors::kBadFileName;
      break;
    case EIO:
      number = errors::kDeviceIoError;
      break;
    case EISDIR:
    default:
      number = errors::kPathFileAccess;
      break;
  }
  RaiseAboutPath(number, path, std::strerror(err));
}

const char* KindOfFile(mode_t mode) noexcept {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "a special file";
}

// Refuses a path that names something other than a regular file; `resolved`
// is where its symbolic links lead.
[[noreturn]] void RaiseNotAFile(const std::string& path, const std::string& resolved, mode_t mode) {
  std::string cause;
  if (resolved != path) cause = "links to '" + resolved + "', ";
  cause += KindOfFile(mode);
  cause += ", not a regular file";
  RaiseAboutPath(errors::kPathFileAccess, path, cause);
}

// Out of memory, naming the file when there is memory enough for that.
[[noreturn]] void RaiseOutOfMemory(const std::string& path) {
  try {
    RaiseAboutPath(errors::kOutOfMemory, path, "not enough memory for the file's bytes");
  } catch (const std::bad_alloc&) {
    errors::Raise(errors::kOutOfMemory);
  }
}

[[noreturn]] void RaiseTooLarge(const std::string& path, std::uint64_t size) {
  RaiseAboutPath(errors::kOutOfMemory, path,
                 std::to_string(size) + " bytes; a Stream holds at most " +
                     std::to_string(kMaxStreamFileBytes));
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

// ---------------------------------------------------------------------------
// Reading

// Reads exactly `bytes.size()` bytes unless the file ends first; returns how
// many were read.
std::size_t ReadFully(int fd, std::span<std::uint8_t> bytes, const std::string& path) {
  constexpr std::size_t kMaxRead = std::size_t{1} << 30;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + done, std::min(bytes.size() - done, kMaxRead));
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseFileError(errno, FileOp::Read, path);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

SafeArray ReadStreamFile(const std::string& path) {
  // Only a regular file is opened at all: opening a device or a FIFO can
  // block or have effects of its own.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) RaiseFileError(errno, FileOp::Read, path);
  if (!S_ISREG(st.st_mode)) RaiseNotAFile(path, path, st.st_mode);

  // Read-only, so nothing is ever created; non-blocking, so that a FIFO put
  // in the file's place after the check above cannot hold the call up.
  FileHandle file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.get() < 0) RaiseFileError(errno, FileOp::Read, path);
  if (::fstat(file.get(), &st) != 0) RaiseFileError(errno, FileOp::Read, path);
  if (!S_ISREG(st.st_mode)) RaiseNotAFile(path, path, st.st_mode);
  if (const int flags = ::fcntl(file.get(), F_GETFL); flags >= 0) {
    ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
  }

  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size > kMaxStreamFileBytes) RaiseTooLarge(path, size);

  // The bytes go straight into the vector that the array takes over.
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  const std::size_t got = ReadFully(file.get(), bytes, path);
  // A file that another program shortens or lengthens while it is read would
  // give a mixture of old and new bytes: refused rather than returned.
  std::uint8_t beyond = 0;
  if (got != bytes.size() || ReadFully(file.get(), std::span(&beyond, 1), path) != 0) {
    RaiseAboutPath(
        errors::kPathFileAccess, path,
        "the file changed size while it was read; " + std::to_string(size) + " bytes expected");
  }
  if (const int err = file.Close(); err != 0) RaiseFileError(err, FileOp::Read, path);

  if (bytes.empty()) return SafeArray::UnallocatedBytes();
  return SafeArray::FromOwnedBytes(std::move(bytes), 0);
}

// ---------------------------------------------------------------------------
// Writing

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What a path names once symbolic links (chains of them) are followed.
struct Target {
  std::string requested;  // as the caller gave it; errors name it
  std::string path;
  bool exists = false;
  struct stat st {};
};

Target ResolveTarget(const std::string& path) {
  constexpr int kMaxLinks = 40;  // as the kernel allows
  Target target;
  target.requested = path;
  target.path = path;
  for (int links = 0;; ++links) {
    if (::lstat(target.path.c_str(), &target.st) != 0) {
      if (errno != ENOENT) RaiseFileError(errno, FileOp::Write, path);
      // A missing file, or where a dangling link points: it is created there.
      target.exists = false;
      return target;
    }
    target.exists = true;
    if (!S_ISLNK(target.st.st_mode)) return target;
    if (links == kMaxLinks) RaiseFileError(ELOOP, FileOp::Write, path);
    std::string link(static_cast<std::size_t>(std::max<off_t>(target.st.st_size, 0)) + 64, '\0');
    for (;;) {
      const ssize_t n = ::readlink(target.path.c_str(), link.data(), link.size());
      if (n < 0) RaiseFileError(errno, FileOp::Write, path);
      if (static_cast<std::size_t>(n) < link.size()) {
        link.resize(static_cast<std::size_t>(n));
        break;
      }
      link.resize(link.size() * 2);
    }
    if (link.empty()) RaiseFileError(ENOENT, FileOp::Write, path);
    // A relative link is relative to the folder that holds it.
    target.path = link.front() == '/' ? link : FolderOf(target.path) + "/" + link;
  }
}

constexpr std::string_view kLeftoverMarker = ".replikon-";
constexpr std::string_view kOldLeftoverSuffix = ".tmp";

// The process id in the name of a temporary file that a write into this
// folder made (".<name>.replikon-<pid>-<16 hex digits>", and the
// ".replikon-<pid>-<16 hex digits>.tmp" of earlier versions), or nothing for
// any other name.
std::optional<pid_t> WriterOf(std::string_view name) {
  std::size_t marker = 0;
  if (name.starts_with(kLeftoverMarker) && name.ends_with(kOldLeftoverSuffix)) {
    name.remove_suffix(kOldLeftoverSuffix.size());
  } else {
    marker = name.rfind(kLeftoverMarker);
    if (name.empty() || name.front() != '.' || marker == std::string_view::npos || marker < 2) {
      return std::nullopt;
    }
  }
  std::string_view rest = name.substr(marker + kLeftoverMarker.size());
  const auto dash = rest.find('-');
  if (dash == std::string_view::npos || dash == 0 || dash > 9) return std::nullopt;
  long pid = 0;
  for (const char c : rest.substr(0, dash)) {
    if (c < '0' || c > '9') return std::nullopt;
    pid = pid * 10 + (c - '0');
  }
  const std::string_view random = rest.substr(dash + 1);
  if (random.size() != 16 || pid <= 0) return std::nullopt;
  for (const char c : random) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
  }
  return static_cast<pid_t>(pid);
}

// Removes the temporary files that writes into the folder left behind when
// their process died before finishing. A file of a process that still runs is
// left alone: it may be in the middle of its write. Best effort: a folder that
// cannot be listed, or a file that cannot be removed, does not stop the write.
void RemoveLeftovers(int dir) noexcept {
  const int listing = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
  if (listing < 0) return;
  const std::unique_ptr<DIR, int (*)(DIR*)> entries(::fdopendir(listing), &::closedir);
  if (!entries) {
    ::close(listing);
    return;
  }
  ::rewinddir(entries.get());
  while (const dirent* entry = ::readdir(entries.get())) {
    const std::optional<pid_t> writer = WriterOf(entry->d_name);
    if (!writer) continue;
    struct stat st {};
    if (::fstatat(dir, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
      continue;
    }
    if (::kill(*writer, 0) != 0 && errno == ESRCH) ::unlinkat(dir, entry->d_name, 0);
  }
}

// A fresh name for a temporary file beside the file `name`.
std::string TemporaryName(const std::string& name) {
  static std::atomic<std::uint64_t> counter{0};
  static const std::uint64_t seed = [] {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
  }();
  const std::uint64_t n =
      seed + counter.fetch_add(1, std::memory_order_relaxed) * 0x9E3779B97F4A7C15ull;
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, "%.*s%ld-%016llx", static_cast<int>(kLeftoverMarker.size()),
                kLeftoverMarker.data(), static_cast<long>(::getpid()),
                static_cast<unsigned long long>(n));
  // Kept within the longest name a folder entry may have.
  constexpr std::size_t kMaxName = 255;
  const std::size_t room = kMaxName - 1 - std::strlen(suffix);
  return "." + name.substr(0, room) + suffix;
}

// The new content of the target while it is written: an unnamed file, or a
// named one that is removed again unless it took the target's place.
class PendingFile {
 public:
  explicit PendingFile(int dir) noexcept : dir_(dir) {}
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile() { Discard(); }

  FileHandle handle;

  const std::string& name() const noexcept { return name_; }
  void Named(std::string name) noexcept { name_ = std::move(name); }
  void Committed() noexcept { name_.clear(); }
  void Discard() noexcept {
    handle.Close();
    if (!name_.empty()) ::unlinkat(dir_, name_.c_str(), 0);
    name_.clear();
  }

 private:
  int dir_;
  std::string name_;
};

void WriteAll(int fd, std::span<const std::uint8_t> bytes, const std::string& path) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseFileError(errno, FileOp::Write, path);
    }
    if (n == 0) RaiseFileError(ENOSPC, FileOp::Write, path);
    done += static_cast<std::size_t>(n);
  }
}

// Gives the new file the old one's owner, group and mode, without the
// setuid and setgid bits. An owner the process may not give is not given.
void KeepAttributes(int fd, const struct stat& old, const std::string& path) {
  struct stat now {};
  if (::fstat(fd, &now) != 0) RaiseFileError(errno, FileOp::Write, path);
  if (now.st_uid != old.st_uid || now.st_gid != old.st_gid) {
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
      if (errno != EPERM) RaiseFileError(errno, FileOp::Write, path);
      // The group alone may still be the process's to give.
      if (now.st_gid != old.st_gid && ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0 &&
          errno != EPERM) {
        RaiseFileError(errno, FileOp::Write, path);
      }
    }
  }
  const mode_t mode = old.st_mode & 07777 & ~static_cast<mode_t>(S_ISUID | S_ISGID);
  if (::fchmod(fd, mode) != 0) RaiseFileError(errno, FileOp::Write, path);
}

// Opens an unnamed file in the folder; false when the file system cannot
// make one.
bool OpenUnnamed(int dir, PendingFile& file, const Target& target) {
  const int fd = ::openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd >= 0) {
    file.handle.Reset(fd);
    return true;
  }
  if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOENT) return false;
  RaiseFileError(errno, FileOp::Write, target.requested);
}

void OpenNamed(int dir, PendingFile& file, const Target& target) {
  const std::string target_name = NameOf(target.path);
  for (int attempt = 0;; ++attempt) {
    std::string name = TemporaryName(target_name);
    const int fd =
        ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      file.handle.Reset(fd);
      file.Named(std::move(name));
      return;
    }
    if (errno != EEXIST || attempt > 100) RaiseFileError(errno, FileOp::Write, target.requested);
  }
}

// Gives the unnamed file a name in the folder; false when this system offers
// no way to (no /proc, and no right to link by descriptor).
bool LinkUnnamed(int dir, PendingFile& file, const Target& target) {
  const std::string target_name = NameOf(target.path);
  const std::string by_proc = "/proc/self/fd/" + std::to_string(file.handle.get());
  for (int attempt = 0;; ++attempt) {
    std::string name = TemporaryName(target_name);
    int rc = ::linkat(AT_FDCWD, by_proc.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW);
    if (rc != 0 && errno == ENOENT) {
      rc = ::linkat(file.handle.get(), "", dir, name.c_str(), AT_EMPTY_PATH);
      if (rc != 0 && (errno == ENOENT || errno == EPERM)) return false;
    }
    if (rc == 0) {
      file.Named(std::move(name));
      return true;
    }
    if (errno != EEXIST || attempt > 100) RaiseFileError(errno, FileOp::Write, target.requested);
  }
}

// Writes the bytes to a new file in the folder, ready to take the target's
// place under its temporary name.
void WriteNewFile(int dir, PendingFile& file, bool unnamed, std::span<const std::uint8_t> bytes,
                  const Target& target) {
  if (!unnamed) OpenNamed(dir, file, target);
  WriteAll(file.handle.get(), bytes, target.requested);
  if (target.exists) KeepAttributes(file.handle.get(), target.st, target.requested);
  if (::fsync(file.handle.get()) != 0) RaiseFileError(errno, FileOp::Write, target.requested);
}

void WriteStreamFile(std::span<const std::uint8_t> bytes, const std::string& file_path,
                     detail::NewFileKind kind) {
  const Target target = ResolveTarget(file_path);
  if (target.exists && !S_ISREG(target.st.st_mode)) {
    RaiseNotAFile(file_path, target.path, target.st.st_mode);
  }
  const std::string name = NameOf(target.path);
  if (name.empty() || name == "." || name == "..") RaiseFileError(EISDIR, FileOp::Write, file_path);

  const std::string folder = FolderOf(target.path);
  const FileHandle dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) RaiseFileError(errno, FileOp::Write, file_path);
  RemoveLeftovers(dir.get());

  // The new bytes are written to a file that has no name until they are all
  // on disk (so a process that dies on the way leaves nothing behind), which
  // is then linked under a temporary name and renamed over the target: the
  // target holds either the old Stream whole or the new one whole. Where the
  // file system makes no unnamed files, the file has its temporary name from
  // the start; a later write into the folder removes it if its process died.
  PendingFile file(dir.get());
  bool unnamed =
      kind == detail::NewFileKind::UnnamedWherePossible && OpenUnnamed(dir.get(), file, target);
  WriteNewFile(dir.get(), file, unnamed, bytes, target);
  if (unnamed && !LinkUnnamed(dir.get(), file, target)) {
    file.Discard();
    unnamed = false;
    WriteNewFile(dir.get(), file, unnamed, bytes, target);
  }
  if (const int err = file.handle.Close(); err != 0) {
    RaiseFileError(err, FileOp::Write, file_path);
  }
  if (::renameat(dir.get(), file.name().c_str(), dir.get(), name.c_str()) != 0) {
    RaiseFileError(errno, FileOp::Write, file_path);
  }
  file.Committed();

  // Make the rename itself durable; a failure here loses nothing that is not
  // already in place, so it is not reported.
  ::fsync(dir.get());
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
  detail::StreamToFile(stream, file_path, detail::NewFileKind::UnnamedWherePossible);
}

void detail::StreamToFile(const SafeArray& stream, const std::string& file_path, NewFileKind kind) {
  if (!stream.IsAllocated()) return;
  if (stream.ElementType() != VarType::UI1) errors::Raise(errors::kTypeMismatch);
  try {
    if (file_path.empty()) RaiseFileError(ENOENT, FileOp::Write, file_path);
    WriteStreamFile(stream.ByteSpan(), file_path, kind);
  } catch (const std::bad_alloc&) {
    RaiseOutOfMemory(file_path);
  }
}

SafeArray StreamFromFile(const std::string& file_path) {
  try {
    if (file_path.empty()) RaiseFileError(ENOENT, FileOp::Read, file_path);
    return ReadStreamFile(file_path);
  } catch (const std::bad_alloc&) {
    RaiseOutOfMemory(file_path);
  }
}

}  // namespace replikon

// Stream files: StreamToFile, StreamFromFile and the file helpers.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "replikon/automation/error.hpp"
#include "replikon/automation/property_bag.hpp"
#include "replikon/automation/safe_array.hpp"
#include "replikon/stream/stream_utilities.hpp"
#include "test_support.hpp"

namespace replikon {
namespace {

namespace fs = std::filesystem;

using test_support::TempDir;

using test_support::Bytes;

Bytes ReadRaw(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteRaw(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

using test_support::ErrorFrom;

SafeArray BytesArray(Bytes bytes) {
  return SafeArray::FromBytes(bytes);
}

// Both ways of making the new file: without a name where the file system can,
// and under a temporary name as where it cannot.
constexpr detail::NewFileKind kKinds[] = {detail::NewFileKind::UnnamedWherePossible,
                                          detail::NewFileKind::Named};

struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

std::vector<std::string> Names(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The exit code of `body` run in a child process; -1 when the child did not
// exit by itself.
int InChild(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(body());
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// The id of a process that has ended (and been reaped).
pid_t DeadProcess() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  int status = 0;
  ::waitpid(child, &status, 0);
  return child;
}

// Binds a socket at `path` and closes it again: the node stays.
bool MakeSocket(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const bool bound =
      fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) ::close(fd);
  return bound;
}

TEST(StreamFiles, EmptyAndUnallocatedStreamsAndFileHelpers) {
  TempDir dir;
  WriteRaw(dir / "a.stm", {1, 2, 3});
  // Unallocated: nothing happens at all.
  StreamToFile(SafeArray::UnallocatedBytes(), dir / "a.stm");
  EXPECT_EQ(ReadRaw(dir / "a.stm").size(), 3u);
  StreamToFile(SafeArray::UnallocatedBytes(), dir / "new.stm");
  EXPECT_FALSE(fs::exists(dir / "new.stm"));
  // Allocated with no elements: an empty file.
  StreamToFile(SafeArray(VarType::UI1, {{0, -1}}), dir / "a.stm");
  EXPECT_EQ(fs::file_size(dir / "a.stm"), 0u);
  // An empty file reads back unallocated.
  EXPECT_EQ(StreamFromFile(dir / "a.stm"), SafeArray::UnallocatedBytes());

  EXPECT_FALSE(FileExists(""));
  EXPECT_FALSE(FileExists(dir.path().string()));
  EXPECT_TRUE(FileExists(dir / "a.stm"));
  EXPECT_TRUE(DeleteFile(dir / "a.stm"));
  EXPECT_FALSE(DeleteFile(dir / "a.stm"));
}

TEST(StreamFiles, ErrorsCarryThePlatformNumbersAndTheSizeIsChecked) {
  TempDir dir;
  // A missing file is an error naming the path, and is not created.
  const AutomationError missing = ErrorFrom([&] { StreamFromFile(dir / "missing.stm"); });
  EXPECT_EQ(missing.Number(), errors::kFileNotFound);
  EXPECT_NE(missing.Description().find("missing.stm"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "missing.stm"));
  // A folder that does not exist, or (but for root) one that may not be written.
  EXPECT_EQ(ErrorFrom([&] { StreamToFile(BytesArray({1}), dir / "no/such/a.stm"); }).Number(),
            errors::kPathNotFound);
  fs::create_directory(dir / "ro");
  fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec);
  if (::geteuid() != 0) {
    EXPECT_EQ(ErrorFrom([&] { StreamToFile(BytesArray({1}), dir / "ro/a.stm"); }).Number(),
              errors::kPermissionDenied);
  }

  // The size comes from the file system before anything is read: a file over
  // the largest Stream is refused at once (a sparse one here, so that it takes
  // no room), and one that turns out longer or shorter than it said is refused
  // rather than returned half old and half new.
  const std::string big = dir / "big";
  { std::ofstream create(big); }
  ASSERT_EQ(::truncate(big.c_str(), static_cast<off_t>(kMaxStreamFileBytes + 1)), 0);
  const AutomationError error = ErrorFrom([&] { StreamFromFile(big); });
  EXPECT_EQ(error.Number(), errors::kOutOfMemory);
  EXPECT_NE(error.Description().find(big), std::string::npos) << error.Description();
  EXPECT_NE(error.Description().find(std::to_string(kMaxStreamFileBytes)), std::string::npos);
  // Files of the process file system report a size of 0 but hold more.
  if (StatOf("/proc/self/status").st_size == 0) {
    const AutomationError changed = ErrorFrom([&] { StreamFromFile("/proc/self/status"); });
    EXPECT_EQ(changed.Number(), errors::kPathFileAccess);
    EXPECT_NE(changed.Description().find("changed size"), std::string::npos);
  }
}

// A write that fails half-way (here: at the file-size limit, as on a full
// disk) leaves the old file whole and no temporary file behind; a writer killed
// half-way (by the limit's signal) leaves at most a temporary file, which the
// next write removes.
TEST(StreamFiles, FailedOrKilledWriteKeepsTheOldFile) {
  for (const auto kind : kKinds) {
    TempDir dir;
    const Bytes old_bytes(100, 0xAB);
    WriteRaw(dir / "a.stm", old_bytes);
    for (const bool killed : {false, true}) {
      // The child exits with the number of the error raised (61 for a full disk).
      EXPECT_EQ(
          InChild([&] {
            if (!killed) std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{4096, 4096};
            const rlimit no_core{0, 0};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            ::setrlimit(RLIMIT_CORE, &no_core);
            const SafeArray big = SafeArray::FromBytes(Bytes(100000, 1));
            return ErrorFrom([&] { detail::StreamToFile(big, dir / "a.stm", kind); }).Number();
          }),
          killed ? -1 : errors::kDiskFull);
      EXPECT_EQ(ReadRaw(dir / "a.stm"), old_bytes);
      for (const std::string& name : Names(dir)) {
        EXPECT_TRUE(name == "a.stm" || (killed && name.starts_with(".a.stm.replikon-"))) << name;
      }
    }
    detail::StreamToFile(BytesArray({1}), dir / "a.stm", kind);
    EXPECT_EQ(Names(dir), std::vector<std::string>{"a.stm"});
  }
}

// A FIFO without a writer, a device, a socket or a directory is neither read
// nor replaced: the call returns at once with 75 naming the path and what it
// is, and the node stays as it was.
TEST(StreamFiles, OnlyRegularFilesAreReadOrReplaced) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
  fs::create_directory(dir / "folder");
  WriteRaw(dir / "folder/keep", {1});
  ASSERT_TRUE(MakeSocket(dir / "socket"));
  fs::create_symlink(dir / "fifo", dir / "to-fifo");
  // A device node of our own (null's numbers), so that a fault cannot harm
  // the system's; creating one needs privileges.
  const bool have_device = ::mknod((dir / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0;

  const std::pair<std::string, const char*> cases[] = {
      {dir / "fifo", "a FIFO"},           {dir / "folder", "a directory"},
      {dir / "socket", "a socket"},       {dir / "to-fifo", "a FIFO"},
      {"/dev/zero", "character device"},  {"/dev/null", "character device"},
      {dir / "null", "character device"},
  };
  const SafeArray bytes = BytesArray({1, 2, 3});
  for (const auto& entry : cases) {
    // Named here: some compilers let no lambda capture a structured binding.
    const std::string& path = entry.first;
    const char* const kind = entry.second;
    if (path == dir / "null" && !have_device) continue;
    const AutomationError read = ErrorFrom([&] { StreamFromFile(path); });
    EXPECT_EQ(read.Number(), errors::kPathFileAccess) << path;
    EXPECT_NE(read.Description().find(path), std::string::npos) << read.Description();
    EXPECT_NE(read.Description().find(kind), std::string::npos) << read.Description();
    if (path.starts_with("/dev/")) continue;  // not written: they are the system's
    const mode_t before = StatOf(path).st_mode;
    const AutomationError write = ErrorFrom([&] { StreamToFile(bytes, path); });
    EXPECT_EQ(write.Number(), errors::kPathFileAccess) << path;
    EXPECT_NE(write.Description().find(kind), std::string::npos) << write.Description();
    EXPECT_EQ(StatOf(path).st_mode, before) << path;
  }
  EXPECT_NE(ErrorFrom([&] { StreamToFile(bytes, dir / "to-fifo"); })
                .Description()
                .find("links to '" + dir / "fifo" + "'"),
            std::string::npos);
  EXPECT_EQ(ReadRaw(dir / "folder/keep"), Bytes{1});
}

// A link is followed, through a chain and relative to the folder that holds
// it; the links stay links and what they lead to gets the bytes (replacing a
// longer file; they read back zero-based). A dangling link makes its target.
TEST(StreamFiles, SymbolicLinksAreFollowed) {
  TempDir dir;
  fs::create_directory(dir / "data");
  WriteRaw(dir / "data/a.stm", Bytes(500, 7));
  fs::create_symlink("data/a.stm", dir / "first");       // relative
  fs::create_symlink(dir / "first", dir / "second");     // absolute, to a link
  fs::create_symlink("new.stm", dir / "data/dangling");  // relative to data/

  StreamToFile(SafeArray::FromBytes(Bytes{1, 2}, 5), dir / "second");
  EXPECT_TRUE(fs::is_symlink(dir / "second"));
  EXPECT_TRUE(fs::is_symlink(dir / "first"));
  EXPECT_EQ(ReadRaw(dir / "data/a.stm"), (Bytes{1, 2}));
  EXPECT_EQ(StreamFromFile(dir / "second"), BytesArray({1, 2}));
  detail::StreamToFile(BytesArray({4}), dir / "first", detail::NewFileKind::Named);
  EXPECT_TRUE(fs::is_symlink(dir / "first"));
  EXPECT_EQ(ReadRaw(dir / "data/a.stm"), Bytes{4});

  StreamToFile(BytesArray({3}), dir / "data/dangling");
  EXPECT_TRUE(fs::is_symlink(dir / "data/dangling"));
  EXPECT_EQ(ReadRaw(dir / "data/new.stm"), Bytes{3});
  EXPECT_EQ(Names(dir), (std::vector<std::string>{"data", "first", "second"}));
  EXPECT_EQ(fs::hard_link_count(dir / "data/new.stm"), 1u);

  fs::create_symlink("loop", dir / "loop");
  EXPECT_NE(ErrorFrom([&] { StreamToFile(BytesArray({3}), dir / "loop"); }).Number(), 0);
  EXPECT_TRUE(fs::is_symlink(dir / "loop"));
}

// The replaced file keeps its mode bits but setuid and setgid, and its owner
// and group; a new file gets what any new file gets under the umask.
TEST(StreamFiles, ModeAndOwnerAreKeptButNotSetuidOrSetgid) {
  TempDir dir;
  const std::pair<mode_t, mode_t> modes[] = {
      {04755, 0755}, {02750, 0750}, {06711, 0711}, {0600, 0600}, {01644, 01644}};
  for (const auto kind : kKinds) {
    for (const auto& [before, after] : modes) {
      WriteRaw(dir / "a.stm", {9});
      ASSERT_EQ(::chmod((dir / "a.stm").c_str(), before), 0);
      detail::StreamToFile(BytesArray({1}), dir / "a.stm", kind);
      EXPECT_EQ(StatOf(dir / "a.stm").st_mode & 07777, after) << std::oct << before;
    }
    if (::geteuid() == 0) {
      ASSERT_EQ(::chown((dir / "a.stm").c_str(), 1234, 5678), 0);
      detail::StreamToFile(BytesArray({2}), dir / "a.stm", kind);
      const struct stat st = StatOf(dir / "a.stm");
      EXPECT_EQ(std::pair(st.st_uid, st.st_gid), std::pair(1234u, 5678u));
      EXPECT_EQ(ReadRaw(dir / "a.stm"), Bytes{2});
    }
  }

  const mode_t old_mask = ::umask(027);
  StreamToFile(BytesArray({1}), dir / "new.stm");
  ::umask(old_mask);
  EXPECT_EQ(StatOf(dir / "new.stm").st_mode & 07777, 0640u);
}

// A process that may not give the file its owner still replaces it, as its
// own file with the old mode.
TEST(StreamFiles, AnOwnerThatCannotBeKeptIsGivenUp) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  constexpr uid_t kNobody = 65534;
  for (const auto kind : kKinds) {
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    WriteRaw(dir / "a.stm", {9, 9});
    ASSERT_EQ(::chown((dir / "a.stm").c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod((dir / "a.stm").c_str(), 0666), 0);
    const int code = InChild([&] {
      if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
        return 4;
      }
      // A temporary folder under one only root may enter cannot serve.
      if (::access(dir.path().c_str(), W_OK | X_OK) != 0) return 5;
      return ErrorFrom([&] {
               detail::StreamToFile(BytesArray({1, 2, 3}), dir / "a.stm", kind);
             })
          .Number();
    });
    if (code == 5) GTEST_SKIP() << "the temporary folder is closed to others";
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ReadRaw(dir / "a.stm"), (Bytes{1, 2, 3}));
    const struct stat st = StatOf(dir / "a.stm");
    EXPECT_EQ(std::pair(st.st_uid, st.st_mode & 07777), std::pair(kNobody, mode_t{0666}));
    EXPECT_EQ(dir.FileCount(), 1u);
  }
}

// A temporary file whose writer died is removed by the next write into its
// folder; one whose writer still runs, and any other file, is left alone.
TEST(StreamFiles, LeftoversOfDeadWritersAreRemoved) {
  TempDir dir;
  const std::string dead = std::to_string(DeadProcess());
  const std::string alive = std::to_string(::getpid());
  const std::vector<std::string> removed{
      ".a.stm.replikon-" + dead + "-0123456789abcdef",
      ".other.replikon-" + dead + "-fedcba9876543210",
      ".replikon-" + dead + "-00000000000000ff.tmp",  // earlier versions' names
  };
  const std::vector<std::string> kept{
      ".a.stm.replikon-" + alive + "-0123456789abcdef",
      ".a.stm.replikon-" + dead + "-0123456789abcde",  // not our pattern
      ".a.stm.replikon-" + dead + "-0123456789abcdef.bak",
      "a.stm.replikon-" + dead + "-0123456789abcdef",
      "notes.txt",
  };
  for (const auto& name : removed) WriteRaw(dir / name, {1});
  for (const auto& name : kept) WriteRaw(dir / name, {1});
  const std::string folder = ".d.replikon-" + dead + "-0123456789abcdef";
  fs::create_directory(dir / folder);

  StreamToFile(BytesArray({5}), dir / "b.stm");
  std::vector<std::string> expected = kept;
  expected.insert(expected.end(), {folder, "b.stm"});
  std::ranges::sort(expected);
  EXPECT_EQ(Names(dir), expected);
}

}  // namespace
}  // namespace replikon

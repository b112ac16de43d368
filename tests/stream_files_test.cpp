// Stream inspection (ObjectTypeName, IsStream) and Stream files.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
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

std::vector<std::uint8_t> ReadRaw(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteRaw(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

using test_support::ErrorOf;

TEST(StreamInspection, TellsWhatBytesHold) {
  const std::tuple<test_support::Entries, const char*, bool> cases[] = {
      {{{"@SF#", Variant(17)}, {"@OT#", Variant("Invoice")}}, "Invoice", true},
      {{{"@SF#", Variant(529)}}, "Nothing", true},
      {{{"@SF#", Variant(17)}}, "", true},
      {{{"@SF#", Variant(33)}}, "Array", false},
      {{{"@OT#", Variant("Invoice")}}, "", false},
  };
  for (const auto& [entries, name, is_stream] : cases) {
    const SafeArray bytes = SafeArray::FromBytes(test_support::BagOf(entries));
    EXPECT_EQ(ObjectTypeName(bytes), name);
    EXPECT_EQ(IsStream(bytes), is_stream) << name;
  }
}

TEST(StreamInspection, NeverFailsOnArbitraryBytes) {
  EXPECT_EQ(ObjectTypeName(SafeArray::UnallocatedBytes()), "");
  EXPECT_FALSE(IsStream(SafeArray::UnallocatedBytes()));
  EXPECT_FALSE(IsStream(SafeArray(VarType::I4, {{0, 3}})));
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < 300; ++i) {
    bytes.push_back(static_cast<std::uint8_t>(i * 37 + 11));
    const SafeArray a = SafeArray::FromBytes(bytes);
    EXPECT_EQ(ObjectTypeName(a), "");
    EXPECT_FALSE(IsStream(a));
  }
}

TEST(StreamFiles, RoundTripGivesTheBytesZeroBased) {
  TempDir dir;
  const std::vector<std::uint8_t> bytes{1, 2, 3, 0, 255, 7};
  StreamToFile(SafeArray::FromBytes(bytes, 5), dir / "a.stm");
  EXPECT_EQ(ReadRaw(dir / "a.stm"), bytes);
  const SafeArray back = StreamFromFile(dir / "a.stm");
  ASSERT_EQ(back.Dims(), 1u);
  EXPECT_EQ(back.Bounds()[0].lower, 0);
  EXPECT_EQ(back.ToBytes(), bytes);
  EXPECT_FALSE(IsStream(back));  // any file reads as bytes
  EXPECT_EQ(dir.FileCount(), 1u);
}

TEST(StreamFiles, ReplacesALongerFileAndKeepsItsPermissions) {
  TempDir dir;
  WriteRaw(dir / "a.stm", std::vector<std::uint8_t>(1000, 9));
  ::chmod((dir / "a.stm").c_str(), 0640);
  StreamToFile(SafeArray::FromBytes(std::vector<std::uint8_t>{4, 5}), dir / "a.stm");
  EXPECT_EQ(ReadRaw(dir / "a.stm"), (std::vector<std::uint8_t>{4, 5}));
  struct stat st {};
  ASSERT_EQ(::stat((dir / "a.stm").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(StreamFiles, EmptyAndUnallocatedStreams) {
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
  const SafeArray back = StreamFromFile(dir / "a.stm");
  EXPECT_FALSE(back.IsAllocated());
  EXPECT_FALSE(IsStream(back));
  EXPECT_EQ(ObjectTypeName(back), "");
}

TEST(StreamFiles, ErrorsCarryThePlatformNumbers) {
  TempDir dir;
  // A missing file is an error and is not created.
  EXPECT_EQ(ErrorOf([&] { StreamFromFile(dir / "missing.stm"); }), errors::kFileNotFound);
  EXPECT_FALSE(fs::exists(dir / "missing.stm"));
  // A folder that does not exist.
  const SafeArray bytes = SafeArray::FromBytes(std::vector<std::uint8_t>{1});
  EXPECT_EQ(ErrorOf([&] { StreamToFile(bytes, dir / "no/such/a.stm"); }), errors::kPathNotFound);
  // A directory, for writing and for reading; it is left alone.
  fs::create_directory(dir / "sub");
  WriteRaw(dir / "sub/keep", {1});
  EXPECT_EQ(ErrorOf([&] { StreamToFile(bytes, dir / "sub"); }), errors::kPathFileAccess);
  EXPECT_EQ(ErrorOf([&] { StreamFromFile(dir / "sub"); }), errors::kPathFileAccess);
  EXPECT_TRUE(fs::exists(dir / "sub/keep"));
  // The message names the path.
  EXPECT_NE(test_support::ErrorFrom([&] { StreamFromFile(dir / "missing.stm"); })
                .Description()
                .find("missing.stm"),
            std::string::npos);
}

TEST(StreamFiles, ReadOnlyFolderIsPermissionDenied) {
  if (::geteuid() == 0) GTEST_SKIP() << "root is not held back by folder permissions";
  TempDir dir;
  fs::create_directory(dir / "ro");
  fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_EQ(ErrorOf([&] {
              StreamToFile(SafeArray::FromBytes(std::vector<std::uint8_t>{1}), dir / "ro/a.stm");
            }),
            errors::kPermissionDenied);
}

// A write that fails half-way (here: the file-size limit, as a full disk would)
// leaves the old file whole and no temporary file behind.
TEST(StreamFiles, FailedWriteKeepsTheOldFile) {
  TempDir dir;
  const std::vector<std::uint8_t> old_bytes(100, 0xAB);
  WriteRaw(dir / "a.stm", old_bytes);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {
      4096, 4096
    };
    ::setrlimit(RLIMIT_FSIZE, &limit);
    int code = 1;
    try {
      StreamToFile(SafeArray::FromBytes(std::vector<std::uint8_t>(100000, 1)), dir / "a.stm");
      code = 2;
    } catch (const AutomationError& e) {
      code = e.Number() == errors::kDiskFull ? 0 : 3;
    }
    ::_exit(code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadRaw(dir / "a.stm"), old_bytes);
  EXPECT_EQ(dir.FileCount(), 1u);
}

TEST(StreamFiles, FileHelpers) {
  TempDir dir;
  EXPECT_FALSE(FileExists(""));
  EXPECT_FALSE(FileExists(dir.path().string()));
  WriteRaw(dir / "x", {1});
  EXPECT_TRUE(FileExists(dir / "x"));
  EXPECT_TRUE(DeleteFile(dir / "x"));
  EXPECT_FALSE(DeleteFile(dir / "x"));
}

}  // namespace
}  // namespace replikon

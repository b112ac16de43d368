// Helpers shared by the test programs: the error a call raises and what it
// tells, bags built from entries, and a temporary folder or environment
// variable for one scope.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <iterator>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "replikon/automation/error.hpp"
#include "replikon/automation/property_bag.hpp"

namespace replikon::test_support {

using Bytes = std::vector<std::uint8_t>;
using Entries = std::vector<std::pair<std::string, Variant>>;

// The AutomationError that `f` raises, for its number, description and
// details; error 0 "no error" when it raises none.
template <class F>
AutomationError ErrorFrom(F&& f) {
  try {
    f();
  } catch (const AutomationError& e) {
    return e;
  }
  return AutomationError(0, "no error");
}

// Checks all that `e` tells a user: number, description, help file and context.
inline void ExpectError(const AutomationError& e, std::int32_t number, std::string_view description,
                        std::string_view help_file = "", std::int32_t context = 0) {
  EXPECT_EQ(e.Number(), number) << e.Description();
  EXPECT_EQ(e.Description(), description);
  EXPECT_EQ(e.HelpFile(), help_file);
  EXPECT_EQ(e.HelpContext(), context);
  EXPECT_EQ(e.Source(), "");
}

// The bytes of a bag holding `entries` in order.
inline Bytes BagOf(const Entries& entries) {
  PropertyBag bag;
  for (const auto& [key, value] : entries) bag.WriteProperty(key, value);
  return bag.Contents();
}

// The bytes as a byte-array value.
inline Variant BytesValue(std::span<const std::uint8_t> bytes) {
  return Variant(SafeArray::FromBytes(bytes));
}

// An object stream of the class, with the entries given after its name.
inline Bytes ObjectStream(const std::string& class_name, Entries entries = {},
                          std::int32_t header = 17) {
  entries.insert(entries.begin(), {{"@SF#", Variant(header)}, {"@OT#", Variant(class_name)}});
  return BagOf(entries);
}

// A folder of its own, removed with all it holds (read-only parts included).
class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "replikon-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& path() const { return path_; }
  std::size_t FileCount() const {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(path_), {}));
  }

 private:
  std::filesystem::path path_;
};

// Sets (or, given no value, clears) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    Put(value);
  }
  ~ScopedEnv() { Put(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void Put(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_, value->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace replikon::test_support

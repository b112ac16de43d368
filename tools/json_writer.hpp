// A streaming JSON writer: values go straight to an output stream, so the
// memory it needs does not grow with the document, only with its nesting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace replikon::cli {

// The length of the well-formed UTF-8 sequence that `text` starts with; 0 when
// it starts with a byte that begins none (or `text` is empty).
std::size_t Utf8SequenceLength(std::string_view text) noexcept;

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates, no
// code points above U+10FFFF).
bool IsValidUtf8(std::string_view text) noexcept;

// Appends `text` as a quoted JSON string. Quotes, backslashes and control
// characters are escaped; every byte that is not part of well-formed UTF-8 is
// written as U+FFFD, so the result is always valid JSON (callers that must not
// lose those bytes write them in hex beside the string).
void AppendJsonString(std::string& out, std::string_view text);

class JsonWriter {
 public:
  // `indent` spaces per level; 0 writes everything on one line.
  explicit JsonWriter(std::ostream& out, int indent = 2);
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  void BeginObject();
  void EndObject();
  void BeginArray();
  void EndArray();
  // The key of the next value; only inside an object.
  void Key(std::string_view key);

  void String(std::string_view value);
  void Int(std::int64_t value);
  void UInt(std::uint64_t value);
  // A finite number in its shortest exact form; NaN and infinities, which
  // JSON cannot hold, are written as the strings "NaN", "Infinity", "-Infinity".
  void Double(double value);
  void Bool(bool value);
  void Null();

  // Shorthands for a key and its value.
  void Field(std::string_view key, std::string_view value) {
    Key(key);
    String(value);
  }
  void Field(std::string_view key, const char* value) {
    Key(key);
    String(value);
  }
  void Field(std::string_view key, std::int64_t value) {
    Key(key);
    Int(value);
  }
  void Field(std::string_view key, std::int32_t value) {
    Key(key);
    Int(value);
  }
  void Field(std::string_view key, std::uint64_t value) {
    Key(key);
    UInt(value);
  }
  void Field(std::string_view key, bool value) {
    Key(key);
    Bool(value);
  }

  // With indentation: objects and arrays nested deeper than `depth` levels
  // are written on one line (`{"a": 1, "b": 2}`), one per line in the level
  // above them.
  void OnOneLineBelow(std::size_t depth) { inline_depth_ = depth; }

  // Ends the document with a newline. Every object and array must be closed.
  void Finish();

 private:
  struct Level {
    bool is_object;
    bool empty;
  };
  void BeforeValue();
  void NewLine(bool after_comma);
  void Begin(bool is_object, char open);
  void End(bool is_object, char close);

  std::ostream* out_;
  int indent_;
  std::size_t inline_depth_ = static_cast<std::size_t>(-1);
  std::vector<Level> levels_;
  bool after_key_ = false;
  std::string buffer_;
};

}  // namespace replikon::cli

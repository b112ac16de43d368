#include "json_writer.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace replikon::cli {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

std::size_t Utf8SequenceLength(std::string_view s) noexcept {
  if (s.empty()) return 0;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = byte(0);
  if (b0 < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) low = 0xA0;   // no overlong forms
    if (b0 == 0xED) high = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) low = 0x90;   // no overlong forms
    if (b0 == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

bool IsValidUtf8(std::string_view text) noexcept {
  while (!text.empty()) {
    const std::size_t n = Utf8SequenceLength(text);
    if (n == 0) return false;
    text.remove_prefix(n);
  }
  return true;
}

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  while (!text.empty()) {
    const unsigned char c = static_cast<unsigned char>(text.front());
    const std::size_t n = Utf8SequenceLength(text);
    if (n == 0) {
      out += "\\ufffd";
      text.remove_prefix(1);
      continue;
    }
    if (n > 1) {
      out.append(text.substr(0, n));
      text.remove_prefix(n);
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "\\u00";
          out += kHexDigits[c >> 4];
          out += kHexDigits[c & 0xF];
        } else {
          out += static_cast<char>(c);
        }
    }
    text.remove_prefix(1);
  }
  out += '"';
}

JsonWriter::JsonWriter(std::ostream& out, int indent) : out_(&out), indent_(indent) {}

void JsonWriter::NewLine(bool after_comma) {
  if (indent_ <= 0) return;
  if (levels_.size() > inline_depth_) {
    if (after_comma) *out_ << ' ';
    return;
  }
  *out_ << '\n';
  const std::size_t spaces = levels_.size() * static_cast<std::size_t>(indent_);
  for (std::size_t i = 0; i < spaces; ++i) *out_ << ' ';
}

void JsonWriter::BeforeValue() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (levels_.empty()) return;
  if (levels_.back().is_object)
    throw std::logic_error("JsonWriter: a value in an object needs a key");
  const bool after_comma = !levels_.back().empty;
  if (after_comma) *out_ << ',';
  levels_.back().empty = false;
  NewLine(after_comma);
}

void JsonWriter::Key(std::string_view key) {
  if (levels_.empty() || !levels_.back().is_object || after_key_) {
    throw std::logic_error("JsonWriter: a key outside an object");
  }
  const bool after_comma = !levels_.back().empty;
  if (after_comma) *out_ << ',';
  levels_.back().empty = false;
  NewLine(after_comma);
  buffer_.clear();
  AppendJsonString(buffer_, key);
  *out_ << buffer_ << (indent_ > 0 ? ": " : ":");
  after_key_ = true;
}

void JsonWriter::Begin(bool is_object, char open) {
  BeforeValue();
  *out_ << open;
  levels_.push_back(Level{is_object, true});
}

void JsonWriter::End(bool is_object, char close) {
  if (levels_.empty() || levels_.back().is_object != is_object || after_key_) {
    throw std::logic_error("JsonWriter: unbalanced end");
  }
  const bool empty = levels_.back().empty;
  const bool on_one_line = levels_.size() > inline_depth_;
  levels_.pop_back();
  if (!empty && !on_one_line) NewLine(false);
  *out_ << close;
}

void JsonWriter::BeginObject() {
  Begin(true, '{');
}
void JsonWriter::EndObject() {
  End(true, '}');
}
void JsonWriter::BeginArray() {
  Begin(false, '[');
}
void JsonWriter::EndArray() {
  End(false, ']');
}

void JsonWriter::String(std::string_view value) {
  BeforeValue();
  buffer_.clear();
  AppendJsonString(buffer_, value);
  *out_ << buffer_;
}

void JsonWriter::Int(std::int64_t value) {
  BeforeValue();
  *out_ << value;
}

void JsonWriter::UInt(std::uint64_t value) {
  BeforeValue();
  *out_ << value;
}

void JsonWriter::Double(double value) {
  if (std::isnan(value)) return String("NaN");
  if (std::isinf(value)) return String(value > 0 ? "Infinity" : "-Infinity");
  BeforeValue();
  // "-0" would read back as the integer 0: a negative zero keeps its point.
  if (value == 0 && std::signbit(value)) {
    *out_ << "-0.0";
    return;
  }
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value);
  *out_ << std::string_view(text, static_cast<std::size_t>(result.ptr - text));
}

void JsonWriter::Bool(bool value) {
  BeforeValue();
  *out_ << (value ? "true" : "false");
}

void JsonWriter::Null() {
  BeforeValue();
  *out_ << "null";
}

void JsonWriter::Finish() {
  if (!levels_.empty() || after_key_) throw std::logic_error("JsonWriter: unclosed value");
  *out_ << '\n';
}

}  // namespace replikon::cli

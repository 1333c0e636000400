#include "results/json_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// An array is laid out on one line only while it has fewer elements than
// this and its one-line form stays below kRightMargin characters.
constexpr size_t kMaxOneLineElements = 25;
constexpr size_t kRightMargin = 74;

bool IsNonEmptyContainer(const Json::Value& value) {
  return (value.isArray() || value.isObject()) && !value.empty();
}

void AppendQuoted(const char* begin, const char* end, std::string* out) {
  static const char kHex[] = "0123456789abcdef";
  out->push_back('"');
  for (const char* c = begin; c != end; ++c) {
    const unsigned char byte = static_cast<unsigned char>(*c);
    switch (byte) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '\b':
        out->append("\\b");
        break;
      case '\f':
        out->append("\\f");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      case '\t':
        out->append("\\t");
        break;
      default:
        if (byte < 0x20) {
          out->append("\\u00");
          out->push_back(kHex[byte >> 4]);
          out->push_back(kHex[byte & 0xF]);
        } else {
          // Bytes from 0x80 up are passed through: the text stays UTF-8.
          out->push_back(static_cast<char>(byte));
        }
    }
  }
  out->push_back('"');
}

// ScalarText returns the one-line text of a scalar or an empty container.
std::string ScalarText(const Json::Value& value) {
  switch (value.type()) {
    case Json::intValue:
      return std::to_string(value.asLargestInt());
    case Json::uintValue:
      return std::to_string(value.asLargestUInt());
    case Json::realValue:
      return FormatReal(value.asDouble());
    case Json::stringValue: {
      const char* begin = nullptr;
      const char* end = nullptr;
      std::string text;
      if (value.getString(&begin, &end)) {
        AppendQuoted(begin, end, &text);
      } else {
        text = "\"\"";
      }
      return text;
    }
    case Json::booleanValue:
      return value.asBool() ? "true" : "false";
    case Json::arrayValue:
      return "[]";
    case Json::objectValue:
      return "{}";
    case Json::nullValue:
      break;
  }
  return "null";
}

void WriteValue(const Json::Value& value, JsonTextWriter* writer) {
  if (!IsNonEmptyContainer(value)) {
    writer->Value(ScalarText(value));
    return;
  }
  if (value.isObject()) {
    writer->BeginObject();
    // Members iterate in the order of the value's map: byte order of the
    // names, the order getMemberNames() reports.
    for (auto it = value.begin(); it != value.end(); ++it) {
      writer->Member(it.name());
      WriteValue(*it, writer);
    }
    writer->EndObject();
    return;
  }
  bool scalars = true;
  for (const Json::Value& element : value) {
    scalars = scalars && !IsNonEmptyContainer(element);
  }
  if (scalars) {
    std::vector<std::string> texts;
    texts.reserve(value.size());
    for (const Json::Value& element : value) {
      texts.push_back(ScalarText(element));
    }
    writer->ScalarArray(texts);
    return;
  }
  writer->BeginArray();
  for (const Json::Value& element : value) {
    writer->Element();
    WriteValue(element, writer);
  }
  writer->EndArray();
}

// The longest text of a real: "%#.16g" of a negative number with a
// three-digit exponent, "-1.234567890123456e-308", and its terminator.
constexpr size_t kMaxRealLength = 32;

// WriteReal writes FormatReal(value) to `out`, which has room for
// kMaxRealLength bytes, and returns its length.
size_t WriteReal(double value, char* out) {
  if (!std::isfinite(value)) {
    std::memcpy(out, "null", 4);
    return 4;
  }
  // The text is "%#.16g" with the trailing zeros of a fixed form cut down
  // to one. to_chars with a precision writes exactly what printf's "%.16g"
  // writes (the shortest form: no trailing zeros, no bare point), several
  // times faster, and that form decides the rest.
  char* const end = out + kMaxRealLength;
  char* last =
      std::to_chars(out, end, value, std::chars_format::general, 16).ptr;
  if (std::memchr(out, 'e', last - out) != nullptr) {
    // The exponent form keeps all its digits: "%#.16g" is "%.15e" there.
    return std::to_chars(out, end, value, std::chars_format::scientific, 15)
               .ptr -
           out;
  }
  // Significant digits: those after the leading zeros, the point skipped.
  int digits = 0;
  bool point = false;
  for (const char* c = out; c != last; ++c) {
    if (*c == '.') {
      point = true;
    } else if (*c != '-' && (digits > 0 || *c != '0')) {
      ++digits;
    }
  }
  if (!point) {
    // An integer: "%#.16g" writes the point, and a zero after it unless
    // all 16 digits stand before it.
    *last++ = '.';
    if (digits < 16) *last++ = '0';
  } else if (digits < 16) {
    // Zeros were cut after the last digit that is not one: one stays.
    *last++ = '0';
  }
  return static_cast<size_t>(last - out);
}

}  // namespace

std::string FormatReal(double value) {
  std::string text;
  AppendReal(value, &text);
  return text;
}

void AppendReal(double value, std::string* out) {
  char buffer[kMaxRealLength];
  out->append(buffer, WriteReal(value, buffer));
}

char* ScalarTexts::Room() {
  // Every text starts at least kBlock bytes before the end of the buffer.
  static_assert(kMaxRealLength <= kBlock, "a real must fit in a block");
  if (text_.size() < used_ + kBlock) text_.resize(2 * (used_ + kBlock));
  return text_.data() + used_;
}

void ScalarTexts::AddInteger(int64_t value) {
  constexpr size_t kMaxLength = 20;  // "-9223372036854775808"
  char* const begin = Room();
  used_ += std::to_chars(begin, begin + kMaxLength, value).ptr - begin;
  ends_.push_back(used_);
}

void ScalarTexts::AddReal(double value) {
  char* const begin = Room();
  used_ += WriteReal(value, begin);
  ends_.push_back(used_);
}

void JsonTextWriter::Newline() {
  out_->push_back('\n');
  out_->append(empty_.size(), '\t');
}

void JsonTextWriter::Open(char bracket) {
  Newline();
  out_->push_back(bracket);
  empty_.push_back(true);
}

void JsonTextWriter::Close(char bracket) {
  empty_.pop_back();
  Newline();
  out_->push_back(bracket);
}

void JsonTextWriter::Member(std::string_view name) {
  Element();
  AppendQuoted(name.data(), name.data() + name.size(), out_);
  out_->append(" : ");
}

void JsonTextWriter::Element() {
  if (!empty_.back()) out_->push_back(',');
  empty_.back() = false;
  Newline();
}

void JsonTextWriter::ScalarArray(const ScalarTexts& texts) {
  // The layout of the ScalarArray of strings, written in one go: its length
  // is known.
  const size_t count = texts.size();
  if (count == 0) {
    out_->append("[  ]");
    return;
  }
  const size_t length = texts.length();
  const size_t one_line = 4 + 2 * (count - 1) + length;  // "[ ", ", ", " ]"
  if (count < kMaxOneLineElements && one_line < kRightMargin) {
    const size_t start = out_->size();
    out_->resize(start + one_line);
    char* to = &(*out_)[start];
    *to++ = '[';
    *to++ = ' ';
    for (size_t i = 0; i < count; ++i) {
      if (i > 0) {
        *to++ = ',';
        *to++ = ' ';
      }
      for (const char c : texts[i]) *to++ = c;
    }
    *to++ = ' ';
    *to = ']';
    return;
  }
  // Every element on a line of its own: after a comma (but the first), a
  // line break and the indentation of the array's elements.
  BeginArray();
  const size_t indent = empty_.size();
  const size_t start = out_->size();
  const size_t size = length + count * (2 + indent) - 1;
  // What goes before every element but the first: ",\n" and the
  // indentation.
  std::string separator = ",\n";
  separator.append(indent, '\t');
  // Texts and separators are copied as whole blocks of kBlock bytes, the
  // bytes past their end overwritten by what follows or cut off at the
  // end: one vector move each instead of a call. A text has kBlock bytes
  // to read from its start (ScalarTexts::Room), the separator gets them
  // here, unless a deep indentation makes it longer.
  constexpr size_t kBlock = ScalarTexts::kBlock;
  const bool blocks = separator.size() <= kBlock;
  separator.resize(std::max(separator.size(), kBlock + 1));
  const size_t separator_length = 2 + indent;
  out_->resize(start + size + kBlock);
  char* to = &(*out_)[start];
  for (size_t i = 0; i < count; ++i) {
    const size_t skip = i == 0 ? 1 : 0;  // The first has no comma.
    if (blocks) {
      std::memcpy(to, separator.data() + skip, kBlock);
    } else {
      std::memcpy(to, separator.data() + skip, separator_length - skip);
    }
    to += separator_length - skip;
    const std::string_view text = texts[i];  // At most kMaxRealLength.
    std::memcpy(to, text.data(), kBlock);
    to += text.size();
  }
  out_->resize(start + size);
  empty_.back() = false;
  EndArray();
}

void JsonTextWriter::ScalarArray(const std::vector<std::string>& texts) {
  size_t length = 4 + 2 * (texts.size() - 1);  // "[ " + ", " between + " ]"
  for (const std::string& text : texts) length += text.size();
  if (texts.size() < kMaxOneLineElements && length < kRightMargin) {
    out_->append("[ ");
    for (size_t i = 0; i < texts.size(); ++i) {
      if (i > 0) out_->append(", ");
      out_->append(texts[i]);
    }
    out_->append(" ]");
    return;
  }
  BeginArray();
  for (const std::string& text : texts) {
    Element();
    Value(text);
  }
  EndArray();
}

std::string StyledJSONText(const Json::Value& root) {
  std::string text;
  JsonTextWriter writer(&text);
  WriteValue(root, &writer);
  text.push_back('\n');
  return text;
}

#include "results/json_text.h"

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

}  // namespace

std::string FormatReal(double value) {
  if (!std::isfinite(value)) return "null";
  char buffer[40];
  const int written = std::snprintf(buffer, sizeof buffer, "%#.16g", value);
  std::string text(buffer, written > 0 ? static_cast<size_t>(written) : 0);
  if (text.empty() || text.back() != '0' ||
      text.find_first_of("eE") != std::string::npos) {
    return text;
  }
  // "%#" guarantees a '.', so the run of trailing zeros stops at the latest
  // at the point; one zero stays after the last other character.
  const size_t last_kept = text.find_last_not_of('0');
  text.resize(last_kept + 2);
  return text;
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

void JsonTextWriter::Member(const std::string& name) {
  Element();
  AppendQuoted(name.data(), name.data() + name.size(), out_);
  out_->append(" : ");
}

void JsonTextWriter::Element() {
  if (!empty_.back()) out_->push_back(',');
  empty_.back() = false;
  Newline();
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

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
constexpr Json::ArrayIndex kMaxOneLineElements = 25;
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

// Lays out one document. Every line break is written before the item that
// starts the new line: Newline() emits "\n" followed by the indentation of
// the current level.
class StyledWriter {
 public:
  explicit StyledWriter(std::string* out) : out_(out) {}

  // WriteValue writes `value` where the output currently stands; a
  // container that needs lines of its own opens them itself.
  void WriteValue(const Json::Value& value) {
    switch (value.type()) {
      case Json::arrayValue:
        WriteArray(value);
        break;
      case Json::objectValue:
        WriteObject(value);
        break;
      default:
        AppendScalar(value, out_);
    }
  }

 private:
  // AppendScalar appends the one-line text of a scalar or of an empty
  // container.
  static void AppendScalar(const Json::Value& value, std::string* out) {
    switch (value.type()) {
      case Json::nullValue:
        out->append("null");
        break;
      case Json::intValue:
        out->append(std::to_string(value.asLargestInt()));
        break;
      case Json::uintValue:
        out->append(std::to_string(value.asLargestUInt()));
        break;
      case Json::realValue:
        out->append(FormatReal(value.asDouble()));
        break;
      case Json::stringValue: {
        const char* begin = nullptr;
        const char* end = nullptr;
        if (value.getString(&begin, &end)) {
          AppendQuoted(begin, end, out);
        } else {
          out->append("\"\"");
        }
        break;
      }
      case Json::booleanValue:
        out->append(value.asBool() ? "true" : "false");
        break;
      case Json::arrayValue:
        out->append("[]");
        break;
      case Json::objectValue:
        out->append("{}");
        break;
    }
  }

  void Newline() {
    out_->push_back('\n');
    out_->append(depth_, '\t');
  }

  void WriteObject(const Json::Value& value) {
    if (value.empty()) {
      out_->append("{}");
      return;
    }
    Newline();
    out_->push_back('{');
    ++depth_;
    // Members iterate in the order of the value's map: byte order of the
    // names, the order getMemberNames() reports.
    bool first = true;
    for (auto it = value.begin(); it != value.end(); ++it) {
      if (!first) out_->push_back(',');
      first = false;
      Newline();
      const std::string name = it.name();
      AppendQuoted(name.data(), name.data() + name.size(), out_);
      out_->append(" : ");
      WriteValue(*it);
    }
    --depth_;
    Newline();
    out_->push_back('}');
  }

  void WriteArray(const Json::Value& value) {
    const Json::ArrayIndex size = value.size();
    if (size == 0) {
      out_->append("[]");
      return;
    }
    // The one-line candidate: few elements, none a non-empty container.
    // Their texts are kept so that a one-line or length-broken array is
    // formatted once.
    bool one_line = size < kMaxOneLineElements;
    for (Json::ArrayIndex i = 0; i < size && one_line; ++i) {
      one_line = !IsNonEmptyContainer(value[i]);
    }
    std::vector<std::string> texts;
    if (one_line) {
      texts.resize(size);
      size_t length = 4 + 2 * (size - 1);  // "[ " + ", " between + " ]"
      for (Json::ArrayIndex i = 0; i < size; ++i) {
        AppendScalar(value[i], &texts[i]);
        length += texts[i].size();
      }
      one_line = length < kRightMargin;
    }
    if (one_line) {
      out_->append("[ ");
      for (Json::ArrayIndex i = 0; i < size; ++i) {
        if (i > 0) out_->append(", ");
        out_->append(texts[i]);
      }
      out_->append(" ]");
      return;
    }
    Newline();
    out_->push_back('[');
    ++depth_;
    for (Json::ArrayIndex i = 0; i < size; ++i) {
      if (i > 0) out_->push_back(',');
      // A container element that opens its own line gets this line, holding
      // only its indentation, in front of it.
      Newline();
      if (!texts.empty()) {
        out_->append(texts[i]);
      } else {
        WriteValue(value[i]);
      }
    }
    --depth_;
    Newline();
    out_->push_back(']');
  }

  std::string* out_;
  size_t depth_ = 0;
};

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

std::string StyledJSONText(const Json::Value& root) {
  std::string text;
  StyledWriter writer(&text);
  writer.WriteValue(root);
  text.push_back('\n');
  return text;
}

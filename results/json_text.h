// The text layout of the result files: a styled JSON layout with tab
// indentation and a 74-column right margin, members in byte order of their
// names, and reals written with 16 significant digits.
#ifndef FUSE_RESULTS_RESULTS_JSON_TEXT_H_
#define FUSE_RESULTS_RESULTS_JSON_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <json/json.h>

// FormatReal returns the text of a real: "%#.16g", with a run of trailing
// zeros cut back to one zero when the text has no exponent ("0.50", "1.0",
// "9.999999747378752e-06"). A value that is not finite is written "null",
// so that the document stays valid JSON.
std::string FormatReal(double value);

// AppendReal appends FormatReal(value) to `*out`.
void AppendReal(double value, std::string* out);

// ScalarTexts holds the one-line texts of an array's elements back to
// back, so that a long list of numbers is laid out without a string per
// number.
class ScalarTexts {
 public:
  // Every text has at least kBlock bytes of the buffer from its start on
  // (its own and beyond), so that short texts can be copied as whole
  // blocks.
  static constexpr size_t kBlock = 32;

  void Clear() {
    used_ = 0;
    ends_.clear();
  }
  // AddInteger adds the decimal text of `value`, AddReal its FormatReal.
  void AddInteger(int64_t value);
  void AddReal(double value);

  bool empty() const { return ends_.empty(); }
  size_t size() const { return ends_.size(); }
  // The length of all texts together.
  size_t length() const { return used_; }
  std::string_view operator[](size_t i) const {
    const size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(text_.data() + begin, ends_[i] - begin);
  }

 private:
  // Room for the next text, at text_.data() + used_: kBlock bytes.
  char* Room();

  std::vector<char> text_;  // The texts, in the first used_ bytes.
  size_t used_ = 0;
  std::vector<size_t> ends_;
};

// JsonTextWriter lays out a document piece by piece, so that a document
// can be written without building it as a Json::Value first. The pieces
// must nest as JSON does; the writer appends to the string it was given:
// - nesting adds one tab per level; every line break is written before the
//   item that starts the new line, so a non-empty object or multi-line array
//   root starts with an empty line;
// - a non-empty object puts "{", each member and "}" on lines of their own,
//   a member as "name" : value, and a member whose value is a non-empty
//   object or multi-line array ends its line with " : " and opens the value
//   on the next line;
// - a multi-line array puts "[", each element and "]" on lines of their
//   own, a non-empty object or multi-line array element preceded by a line
//   holding only its indentation.
class JsonTextWriter {
 public:
  explicit JsonTextWriter(std::string* out) : out_(out) {}

  // A non-empty object: BeginObject, then Member before each value, then
  // EndObject.
  void BeginObject() { Open('{'); }
  void Member(std::string_view name);
  void EndObject() { Close('}'); }

  // A multi-line array: BeginArray, then Element before each value, then
  // EndArray.
  void BeginArray() { Open('['); }
  void Element();
  void EndArray() { Close(']'); }

  // ResumeArray continues, at the root of a new text, a multi-line array
  // root that another writer began and gave at least one element: the text
  // goes on where the other's ended, before its next Element.
  void ResumeArray() { empty_.push_back(false); }

  // Value writes a one-line value as it stands: a scalar's text, "[]" or
  // "{}".
  void Value(const std::string& text) { out_->append(text); }

  // ScalarArray writes a non-empty array of one-line values: on one line,
  // "[ a, b ]", when it has fewer than 25 elements and that line is shorter
  // than 74 characters; otherwise as a multi-line array.
  void ScalarArray(const std::vector<std::string>& texts);
  void ScalarArray(const ScalarTexts& texts);

 private:
  void Newline();
  void Open(char bracket);
  void Close(char bracket);

  std::string* out_;
  // One entry per open container: whether it still has no item.
  std::vector<bool> empty_;
};

// StyledJSONText returns `root` laid out by JsonTextWriter, ending in one
// line feed: an array whose elements are all scalars or empty containers
// is a ScalarArray, any other non-empty array a multi-line array; empty
// containers are "[]" and "{}", null "null", integers decimal, reals as
// FormatReal, strings quoted with JSON escapes.
std::string StyledJSONText(const Json::Value& root);

#endif  // FUSE_RESULTS_RESULTS_JSON_TEXT_H_

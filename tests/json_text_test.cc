// The layout of the result files: real texts, the layout rules, and the
// library's own styled layout as an oracle on random documents.
#include "results/json_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

TEST(FormatRealTest, Table) {
  const double kInf = std::numeric_limits<double>::infinity();
  const std::pair<double, const char*> cases[] = {
      {0.5f, "0.50"},    {0.25f, "0.250"}, {1.0f, "1.0"},   {0.0, "0.0"},
      {-0.0, "-0.0"},    {10.0, "10.0"},   {-1.5, "-1.50"}, {0.1, "0.10"},
      {1e-4, "0.00010"}, {NAN, "null"},    {kInf, "null"},  {-kInf, "null"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(FormatReal(value), text);
  // Below 1e-4 and from 1e16 on, the exponent form keeps its zeros.
  EXPECT_EQ(FormatReal(0.6f), "0.6000000238418579");
  EXPECT_EQ(FormatReal(1e-5f), "9.999999747378752e-06");
  EXPECT_EQ(FormatReal(1e-5), "1.000000000000000e-05");
  EXPECT_EQ(FormatReal(1e16), "1.000000000000000e+16");
  EXPECT_EQ(FormatReal(1e-100), "1.000000000000000e-100");
  EXPECT_EQ(FormatReal(123456789012345.0), "123456789012345.0");
}

Json::Value Array(int count, const Json::Value& element) {
  Json::Value array(Json::arrayValue);
  for (int i = 0; i < count; ++i) array.append(element);
  return array;
}

// The root text of an array of `count` copies of `element`, on one line or
// on lines of their own.
std::string Text(bool one_line, int count, const std::string& element) {
  std::string text = one_line ? "[ " : "\n[\n\t";
  for (int i = 0; i < count; ++i) {
    text += (i == 0 ? "" : one_line ? ", " : ",\n\t") + element;
  }
  return text + (one_line ? " ]\n" : "\n]\n");
}

TEST(StyledJSONTextTest, Layouts) {
  const std::string x67 = '"' + std::string(67, 'x') + '"';
  const std::string x68 = '"' + std::string(68, 'x') + '"';
  const std::pair<Json::Value, std::string> cases[] = {
      {Json::Value(0.25), "0.250\n"},  // The oracle below has no reals.
      // A one-line array of 23 digits takes 71 characters, of 24 exactly
      // 74, so the margin breaks it before the 25-element rule can.
      {Array(23, 7), Text(true, 23, "7")},
      {Array(24, 7), Text(false, 24, "7")},
      {Array(2, NAN), Text(true, 2, "null")},
      {Array(1, std::string(67, 'x')), Text(true, 1, x67)},  // 73 characters.
      {Array(1, std::string(68, 'x')), Text(false, 1, x68)},
      {Json::Value("q\"b\\\b\f\n\r\t\x01\x1f/\x7f\xc3\xa9"),
       "\"q\\\"b\\\\\\b\\f\\n\\r\\t\\u0001\\u001f/\x7f\xc3\xa9\"\n"}};
  for (const auto& [value, text] : cases)
    EXPECT_EQ(StyledJSONText(value), text);
}

// The library's styled stream writer lays documents out the same way,
// except that it omits the line holding only indentation before a container
// element of a multi-line array and the root's leading line break. Oracle
// adds those back: a line holding only indentation and "{" or "[" that does
// not follow a member name (a line ending in " : ") gets that line.
std::string Oracle(const Json::Value& value) {
  std::ostringstream stream;
  Json::StyledStreamWriter("\t").write(stream, value);
  std::istringstream lines(stream.str());
  std::string result, line, previous;
  while (std::getline(lines, line)) {
    const size_t tabs = line.find_first_not_of('\t');
    const bool opener = tabs != std::string::npos && tabs + 1 == line.size() &&
                        (line.back() == '{' || line.back() == '[');
    const bool after_name =
        previous.size() >= 3 &&
        previous.compare(previous.size() - 3, 3, " : ") == 0;
    if (opener && !after_name) result += std::string(tabs, '\t') + "\n";
    result += line + "\n";
    previous = line;
  }
  return result;
}

// Documents rich in arrays near the 25-element rule and one-line forms of
// 70 to 77 characters, with names and strings that need escapes.
Json::Value RandomDocument(std::mt19937& random, int depth) {
  const auto pick = [&random](int n) { return static_cast<int>(random() % n); };
  const char* const kTexts[] = {"", "b", "a", "B", "q\"\\\t\n\x01/", "a b_09"};
  Json::Value value;
  switch (depth > 0 ? pick(5) : pick(2)) {
    case 0: {
      const Json::Value scalars[] = {
          Json::Value(),           pick(2) == 1,
          pick(2000001) - 1000000, Json::UInt64(1) << pick(64),
          Json::arrayValue,        Json::objectValue};
      return scalars[pick(6)];
    }
    case 1:
      return kTexts[pick(6)];
    case 2: {  // A one-line form of 70 to 77 characters.
      const int count = 1 + pick(16);
      int spare = 70 + pick(8) - 4 - 2 * (count - 1) - 2 * count;
      for (int i = 0; i < count; ++i) {
        const int length = i + 1 == count ? spare : pick(spare / 2 + 1);
        spare -= length;
        value.append(std::string(length, 'a' + i));
      }
      return value;
    }
    case 3: {
      const int sizes[] = {0, 1, 2, 3, 5, 8, 22, 23, 24, 25, 26, 40};
      value = Json::Value(Json::arrayValue);
      for (int i = sizes[pick(12)]; i > 0; --i) {
        value.append(RandomDocument(random, pick(4) ? 0 : depth - 1));
      }
      return value;
    }
    default:
      value = Json::Value(Json::objectValue);
      for (int i = pick(6); i > 0; --i) {
        value[kTexts[pick(6)]] = RandomDocument(random, depth - 1);
      }
      return value;
  }
}

TEST(StyledJSONTextTest, AgreesWithTheLibraryLayoutOnRandomDocuments) {
  std::mt19937 random(20240611);
  for (int i = 0; i < 3000; ++i) {
    const Json::Value document = RandomDocument(random, 1 + i % 4);
    ASSERT_EQ(StyledJSONText(document), Oracle(document)) << "document " << i;
  }
}

}  // namespace

#include "results/json_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

TEST(FormatRealTest, Table) {
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  const double kInf = std::numeric_limits<double>::infinity();
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {0.5f, "0.50"},
      {0.25f, "0.250"},
      {1.0f, "1.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {100.0f, "100.0"},
      {10.0, "10.0"},  // the integer part's zero survives
      {-1.5, "-1.50"},
      {0.6f, "0.6000000238418579"},
      {1e-5f, "9.999999747378752e-06"},
      {0.1, "0.10"},
      {1e-4, "0.00010"},                // below 1e-4 the exponent starts
      {1e-5, "1.000000000000000e-05"},  // zeros before an exponent stay
      {1e16, "1.000000000000000e+16"},  // 16 digits: exponent form
      {123456789012345.0, "123456789012345.0"},
      {0.8125f, "0.81250"},
      {kNaN, "null"},
      {kInf, "null"},
      {-kInf, "null"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatReal(c.value), c.text) << "value " << c.value;
  }
}

// Expected texts of hand-built documents, each naming the rule it proves.
TEST(StyledJSONTextTest, Layouts) {
  Json::Value empty_array(Json::arrayValue);
  Json::Value empty_object(Json::objectValue);

  // Repeat(n, make) is an array of make(i) for i < n; Lines(n, text) the
  // multi-line root text of an array whose element i is written text(i).
  auto repeat = [](int count, auto make) {
    Json::Value array(Json::arrayValue);
    for (int i = 0; i < count; ++i) array.append(make(i));
    return array;
  };
  auto lines = [](int count, auto text) {
    std::string result = "\n[";
    for (int i = 0; i < count; ++i) result += (i ? ",\n\t" : "\n\t") + text(i);
    return result + "\n]\n";
  };
  auto digit = [](int i) { return i % 10; };
  auto digit_text = [](int i) { return std::to_string(i % 10); };
  auto half = [](int) { return 0.5; };
  auto half_text = [](int) { return std::string("0.50"); };

  Json::Value non_finite(Json::arrayValue);
  non_finite.append(std::numeric_limits<double>::quiet_NaN());
  non_finite.append(-std::numeric_limits<double>::infinity());

  // One string element: the one-line form is its length plus 4.
  Json::Value line73(Json::arrayValue), line74(Json::arrayValue);
  line73.append(std::string(67, 'x'));  // 4 + 69 = 73
  line74.append(std::string(68, 'x'));  // 4 + 70 = 74

  Json::Value nested_object(Json::arrayValue);
  nested_object.append(1);
  nested_object.append(Json::Value(Json::objectValue))["k"] = true;
  nested_object.append(empty_array);

  Json::Value nested_arrays(Json::arrayValue);
  nested_arrays.append(empty_object);
  nested_arrays.append(Json::Value(Json::arrayValue)).append(2);  // one line
  nested_arrays.append(line74);                                   // multi-line

  Json::Value members(Json::objectValue);
  members["b"]["x"] = Json::Value();
  members["a"] = empty_object;
  members["c"] = line74;
  members["B"] = Json::Value(Json::arrayValue);
  members["B"].append(Json::Value::UInt64(18446744073709551615ull));
  members["B"].append(Json::Value::Int64(-9223372036854775807ll - 1));

  const std::string x67(67, 'x'), x68(68, 'x');
  struct Case {
    const char* name;
    Json::Value value;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"null root", Json::Value(), "null\n"},
      {"int root", Json::Value(-42), "-42\n"},
      {"bool root", Json::Value(false), "false\n"},
      {"real root", Json::Value(0.25), "0.250\n"},
      {"empty array root", empty_array, "[]\n"},
      {"empty object root", empty_object, "{}\n"},
      // Single digits: 23 take 4 + 44 + 23 = 71 characters, 24 exactly 74,
      // so the margin breaks the array before the 25-element rule can.
      {"23 digits fit", repeat(23, digit),
       "[ 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 1, 2 "
       "]\n"},
      {"24 digits reach 74", repeat(24, digit), lines(24, digit_text)},
      {"25 digits", repeat(25, digit), lines(25, digit_text)},
      // "0.50": 11 take 4 + 20 + 44 = 68 characters, 12 take 74.
      {"11 reals fit", repeat(11, half),
       "[ 0.50, 0.50, 0.50, 0.50, 0.50, 0.50, 0.50, 0.50, 0.50, 0.50, 0.50 "
       "]\n"},
      {"12 reals reach 74", repeat(12, half), lines(12, half_text)},
      {"non-finite reals", non_finite, "[ null, null ]\n"},
      {"73 characters", line73, "[ \"" + x67 + "\" ]\n"},
      {"74 characters", line74, "\n[\n\t\"" + x68 + "\"\n]\n"},
      {"object element", nested_object,
       "\n[\n\t1,\n\t\n\t{\n\t\t\"k\" : true\n\t},\n\t[]\n]\n"},
      {"array elements", nested_arrays,
       "\n[\n\t{},\n\t[ 2 ],\n\t\n\t[\n\t\t\"" + x68 + "\"\n\t]\n]\n"},
      {"members", members,
       "\n{\n\t\"B\" : [ 18446744073709551615, -9223372036854775808 ],"
       "\n\t\"a\" : {},\n\t\"b\" : \n\t{\n\t\t\"x\" : null\n\t},"
       "\n\t\"c\" : \n\t[\n\t\t\"" +
           x68 + "\"\n\t]\n}\n"},
      {"escapes", Json::Value("q\"b\\\b\f\n\r\t\x01\x1f/\x7f\xc3\xa9"),
       "\"q\\\"b\\\\\\b\\f\\n\\r\\t\\u0001\\u001f/\x7f\xc3\xa9\"\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StyledJSONText(c.value), c.text) << c.name;
  }
}

// The library's own styled stream writer lays documents out the same way,
// except that it omits the line holding only indentation before a container
// element of a multi-line array and the root's leading line break. Oracle
// adds those back: a line holding only indentation and "{" or "[" that does
// not follow a member name (a line ending in " : ") gets that line.
std::string Oracle(const Json::Value& value) {
  std::ostringstream stream;
  Json::StyledStreamWriter("\t").write(stream, value);
  const std::string text = stream.str();
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  std::string result;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const size_t tabs = line.find_first_not_of('\t');
    const bool opener = tabs != std::string::npos && tabs + 1 == line.size() &&
                        (line.back() == '{' || line.back() == '[');
    const bool after_name =
        i > 0 && lines[i - 1].size() >= 3 &&
        lines[i - 1].compare(lines[i - 1].size() - 3, 3, " : ") == 0;
    if (opener && !after_name) result += std::string(tabs, '\t') + "\n";
    result += line + "\n";
  }
  return result;
}

class RandomDocuments {
 public:
  explicit RandomDocuments(uint32_t seed) : random_(seed) {}

  Json::Value Make(int depth) {
    switch (depth > 0 ? Pick(5) : 0) {
      case 0:
      case 1:
        return Scalar();
      case 2:
        return MarginArray();
      case 3: {
        Json::Value array(Json::arrayValue);
        const int size = SizeNearCount();
        for (int i = 0; i < size; ++i) {
          array.append(Pick(4) == 0 ? Make(depth - 1) : Scalar());
        }
        return array;
      }
      default: {
        Json::Value object(Json::objectValue);
        const int size = Pick(6);
        for (int i = 0; i < size; ++i)
          object[Text(1 + Pick(5))] = Make(depth - 1);
        return object;
      }
    }
  }

 private:
  int Pick(int n) {
    return std::uniform_int_distribution<int>(0, n - 1)(random_);
  }

  int SizeNearCount() {
    const int sizes[] = {0, 1, 2, 3, 5, 8, 22, 23, 24, 25, 26, 40};
    return sizes[Pick(12)];
  }

  std::string Text(int length) {
    static const char kChars[] = "abcXYZ09 _\"\\\t\n\x01/";
    std::string text;
    for (int i = 0; i < length; ++i) text += kChars[Pick(sizeof kChars - 1)];
    return text;
  }

  Json::Value Scalar() {
    switch (Pick(8)) {
      case 0:
        return Json::Value();
      case 1:
        return Json::Value(Pick(2) == 1);
      case 2:
        return Json::Value(Pick(2000001) - 1000000);
      case 3:
        return Json::Value(Json::Value::UInt64(1) << Pick(64));
      case 4:
        return Json::Value(Json::arrayValue);
      case 5:
        return Json::Value(Json::objectValue);
      default:
        return Json::Value(Text(Pick(12)));
    }
  }

  // An array of short scalars whose one-line form is 70 to 77 characters.
  Json::Value MarginArray() {
    const int count = 1 + Pick(16);
    const int target = 70 + Pick(8);
    int spare = target - 4 - 2 * (count - 1) - 2 * count;  // quotes
    Json::Value array(Json::arrayValue);
    for (int i = 0; i < count; ++i) {
      const int length = i + 1 == count ? spare : Pick(spare / 2 + 1);
      spare -= length;
      array.append(std::string(length, static_cast<char>('a' + i)));
    }
    return array;
  }

  std::mt19937 random_;
};

TEST(StyledJSONTextTest, AgreesWithTheLibraryLayoutOnRandomDocuments) {
  RandomDocuments documents(20240611);
  for (int i = 0; i < 3000; ++i) {
    const Json::Value document = documents.Make(1 + i % 4);
    ASSERT_EQ(StyledJSONText(document), Oracle(document)) << "document " << i;
  }
}

}  // namespace

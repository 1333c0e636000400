// The layout of the result files: real texts, and the layout rules against
// the library's own styled layout on random documents (the result files'
// tests write reals and NaN in place).
#include "results/json_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The text is "%#.16g" with a fixed form's trailing zeros cut down to one,
// for every kind of double: worked examples, then floats widened (what the
// files hold), integers around 16 digits and the edges of both forms
// against printf itself.
TEST(FormatRealTest, IsPrintfsTextWithTrailingZerosCut) {
  // Below 1e-4 and from 1e16 on, the exponent form keeps its zeros.
  // clang-format off
  const std::pair<double, const char*> cases[] = {
      {0.25f, "0.250"}, {0.0, "0.0"}, {-0.0, "-0.0"}, {10.0, "10.0"},
      {-1.5, "-1.50"}, {1e-4, "0.00010"}, {NAN, "null"}, {-INFINITY, "null"},
      {0.6f, "0.6000000238418579"}, {1e-5, "1.000000000000000e-05"},
      {1e16, "1.000000000000000e+16"},
      {123456789012345.0, "123456789012345.0"}};
  // clang-format on
  for (const auto& [value, text] : cases) EXPECT_EQ(FormatReal(value), text);

  const auto reference = [](double value) {
    char text[64];
    int length = std::snprintf(text, sizeof text, "%#.16g", value);
    if (text[length - 1] == '0' && std::strchr(text, 'e') == nullptr) {
      while (text[length - 2] == '0') --length;
    }
    return std::string(text, length);
  };
  std::mt19937_64 random(11);
  std::vector<double> values = {9999999999999999.0,
                                1234567890123456.0,
                                999999999999999.9,
                                1e15,
                                0.0001,
                                0.00009999999999999999,
                                5e-324,
                                1.7976931348623157e308};
  for (int i = 0; i < 200000; ++i) {
    const uint64_t bits = random();
    float single;
    const uint32_t low = static_cast<uint32_t>(bits);
    std::memcpy(&single, &low, sizeof single);
    double wide;
    std::memcpy(&wide, &bits, sizeof wide);
    values.push_back(single);
    values.push_back(wide);
    values.push_back(static_cast<double>(bits >> (bits % 64)));
    values.push_back(std::ldexp(static_cast<double>(bits % (1 << 24)),
                                -static_cast<int>(bits >> 58)));
  }
  for (const double value : values) {
    if (!std::isfinite(value)) continue;
    for (const double signed_value : {value, -value}) {
      ASSERT_EQ(FormatReal(signed_value), reference(signed_value))
          << std::hexfloat << signed_value;
    }
  }
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

TEST(JsonTextWriterTest, NumberListsAndResumedArraysLayOutAsStrings) {
  // Lists of every length around the one-line limits, at three depths (the
  // deepest indented by more than 32 tabs), laid out from numbers and from
  // their texts.
  std::mt19937 random(4);
  for (int trial = 0; trial < 400; ++trial) {
    const size_t count = trial % 30;
    ScalarTexts numbers;
    std::vector<std::string> texts;
    for (size_t i = 0; i < count; ++i) {
      if (random() % 3 == 0) {
        const double real = (random() % 2001) / 64.0 - 15;
        numbers.AddReal(real);
        texts.push_back(FormatReal(real));
      } else {
        const int64_t integer =
            static_cast<int64_t>(random() % 1000000) >> (random() % 20);
        numbers.AddInteger(integer);
        texts.push_back(std::to_string(integer));
      }
    }
    std::string from_numbers, from_texts;
    JsonTextWriter writer(&from_numbers), text_writer(&from_texts);
    for (JsonTextWriter* w : {&writer, &text_writer}) {
      for (int depth = trial % 3 == 0 ? 40 : 1; depth > 0; --depth) {
        w->BeginArray();
        w->Element();
      }
      if (trial % 2 == 0) {
        w->BeginObject();
        w->Member("n");
      }
    }
    writer.ScalarArray(numbers);
    text_writer.ScalarArray(texts);
    ASSERT_EQ(from_numbers, from_texts) << trial;
  }
  // An array laid out in two texts, the second resumed after an element.
  std::string whole, first, second;
  JsonTextWriter one(&whole), begun(&first), resumed(&second);
  one.BeginArray();
  begun.BeginArray();
  for (JsonTextWriter* w : {&one, &begun}) {
    w->Element();
    w->Value("1");
  }
  resumed.ResumeArray();
  for (JsonTextWriter* w : {&one, &resumed}) {
    w->Element();
    w->BeginObject();
    w->Member("a");
    w->Value("2");
    w->EndObject();
    w->EndArray();
  }
  EXPECT_EQ(whole, first + second);
}

}  // namespace

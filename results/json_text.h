// The text layout of the result files: a styled JSON layout with tab
// indentation and a 74-column right margin, members in byte order of their
// names, and reals written with 16 significant digits.
#ifndef FUSE_RESULTS_RESULTS_JSON_TEXT_H_
#define FUSE_RESULTS_RESULTS_JSON_TEXT_H_

#include <string>

#include <json/json.h>

// FormatReal returns the text of a real: "%#.16g", with a run of trailing
// zeros cut back to one zero when the text has no exponent ("0.50", "1.0",
// "9.999999747378752e-06"). A value that is not finite is written "null",
// so that the document stays valid JSON.
std::string FormatReal(double value);

// StyledJSONText returns `root` laid out as a document, ending in one line
// feed:
// - nesting adds one tab per level; every line break is written before the
//   item that starts the new line, so a non-empty object or multi-line array
//   root starts with an empty line;
// - a non-empty object puts "{", each member and "}" on lines of their own,
//   a member as "name" : value, and a member whose value is a non-empty
//   object or multi-line array ends its line with " : " and opens the value
//   on the next line;
// - an array is written on one line, "[ a, b ]", when it has fewer than 25
//   elements, none of them a non-empty array or object, and the line is
//   shorter than 74 characters; otherwise one element per line, a non-empty
//   object or multi-line array element preceded by a line holding only its
//   indentation;
// - empty containers are "[]" and "{}", null "null", integers decimal,
//   reals as FormatReal, strings quoted with JSON escapes.
std::string StyledJSONText(const Json::Value& root);

#endif  // FUSE_RESULTS_RESULTS_JSON_TEXT_H_

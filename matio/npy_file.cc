#include "matio/npy_file.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <new>
#include <string_view>

#include "matio/mat_io.h"
#include "matio/read_errors.h"

namespace {

#ifndef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// Bytes of float64 values converted per read of a C-order file.
constexpr int64_t kConvertBytes = int64_t{1} << 20;
// Bytes of Fortran-order columns read per positioned read and transposed.
constexpr int64_t kPanelBytes = int64_t{4} << 20;
// From a stream of unknown length, a matrix of more bytes than this is not
// allocated on the header's word: its rows are gathered in chunks as they
// arrive (the first of kFirstChunkBytes, each next one twice the last, up
// to kMaxChunkBytes), and the matrix is allocated once all have arrived.
constexpr int64_t kUnstagedBytes = int64_t{1} << 20;
constexpr int64_t kFirstChunkBytes = int64_t{1} << 20;
constexpr int64_t kMaxChunkBytes = int64_t{64} << 20;
#else
// Fuzzing builds use tiny sizes, so that small inputs reach every path:
// several conversions and panels per read, columns split across panels,
// staging in growing chunks.
constexpr int64_t kConvertBytes = 24;
constexpr int64_t kPanelBytes = 40;
constexpr int64_t kUnstagedBytes = 64;
constexpr int64_t kFirstChunkBytes = 16;
constexpr int64_t kMaxChunkBytes = 256;
#endif
// A score matrix's header is under 128 bytes; NumPy pads it to 64-byte
// alignment. Anything far longer describes something else.
constexpr int64_t kMaxHeaderBytes = int64_t{1} << 16;
// Rows and columns are counted in 32-bit signed integers elsewhere.
constexpr int64_t kMaxDimension = std::numeric_limits<int32_t>::max();
// Doubles from here up (2^128 - 2^103, halfway between FLT_MAX and 2^128)
// round to infinity; converting them with a cast is undefined in C++.
constexpr double kFloatOverflow = 0x1.ffffffp127;

// NarrowOne returns `value` as float32 (nearest, ties to even; infinite
// from kFloatOverflow up; NaN stays NaN) and adds 1 to `*changed` when
// that is not exactly `value`.
inline float NarrowOne(double value, int64_t* changed) {
  const float narrow =
      !(std::fabs(value) >= kFloatOverflow)
          ? static_cast<float>(value)
          : (value > 0 ? std::numeric_limits<float>::infinity()
                       : -std::numeric_limits<float>::infinity());
  // NaN compares unequal to everything but stays NaN: unchanged.
  *changed += static_cast<double>(narrow) != value && value == value;
  return narrow;
}

// Quotes `text` for a one-line message: printable ASCII kept, other bytes
// as \xNN, long text cut.
std::string Printable(std::string_view text) {
  constexpr size_t kMaxShown = 40;
  std::string shown;
  for (size_t i = 0; i < text.size() && i < kMaxShown; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      shown += static_cast<char>(c);
    } else {
      shown += Format("\\x%02x", c);
    }
  }
  if (text.size() > kMaxShown) shown += "...";
  return shown;
}

// The header dict as written, before its values are checked.
struct NpyDict {
  bool structured = false;  // 'descr' is a list: a structured array.
  std::string descr;
  bool fortran_order = false;
  std::vector<std::string> shape;  // Each size as written, sign included.
};

// DictParser parses the header's Python dict literal strictly: exactly the
// keys 'descr' (a string, or a list, which ends the parse), 'fortran_order'
// (True or False) and 'shape' (a tuple of integers), once each, in any
// order, with Python's whitespace and trailing commas; then only
// whitespace. Strings hold no escapes; integers are decimal without
// leading zeros (a Python 2 'L' suffix is allowed).
class DictParser {
 public:
  explicit DictParser(std::string_view text) : text_(text) {}

  // Parse returns true with `*dict` filled, or false with `error`.
  bool Parse(NpyDict* dict, std::string* error) {
    if (!Take('{')) return Fail("expected '{'", at_, error);
    bool seen[3] = {false, false, false};
    static const char* const kKeys[3] = {"descr", "fortran_order", "shape"};
    SkipSpace();
    while (!Take('}')) {
      // Errors about a key or a value point at its first byte.
      const size_t key_at = at_;
      std::string key;
      if (!String(&key)) return Fail("expected a key", key_at, error);
      const int k = static_cast<int>(std::find(kKeys, kKeys + 3, key) - kKeys);
      if (k == 3) {
        return Fail("unknown key '" + Printable(key) + "'", key_at, error);
      }
      if (seen[k]) return Fail("key '" + key + "' given twice", key_at, error);
      seen[k] = true;
      SkipSpace();
      if (!Take(':')) return Fail("expected ':'", at_, error);
      SkipSpace();
      const size_t value_at = at_;
      if (k == 0 && Peek('[')) {
        dict->structured = true;
        return true;
      }
      if (k == 0 && !String(&dict->descr)) {
        return Fail("'descr' is not a string", value_at, error);
      }
      if (k == 1 && !Boolean(&dict->fortran_order)) {
        return Fail("'fortran_order' is not True or False", value_at, error);
      }
      if (k == 2 && !Tuple(&dict->shape)) {
        return Fail("'shape' is not a tuple of integers", value_at, error);
      }
      SkipSpace();
      if (Take(',')) {
        SkipSpace();
      } else if (!Peek('}')) {
        return Fail("expected ',' or '}'", at_, error);
      }
    }
    for (int k = 0; k < 3; ++k) {
      if (!seen[k]) {
        return Fail(std::string("no key '") + kKeys[k] + "'", at_, error);
      }
    }
    SkipSpace();
    if (at_ != text_.size()) return Fail("text after the dict", at_, error);
    return true;
  }

 private:
  bool Fail(const std::string& what, size_t at, std::string* error) const {
    SetError(error, Format("malformed .npy header: %s at byte %zu of its dict",
                           what.c_str(), at));
    return false;
  }
  bool Peek(char c) const { return at_ < text_.size() && text_[at_] == c; }
  bool Take(char c) {
    if (!Peek(c)) return false;
    ++at_;
    return true;
  }
  bool IsDigit() const {
    return at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9';
  }
  // Python's whitespace between tokens inside brackets.
  void SkipSpace() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' ||
            text_[at_] == '\r' || text_[at_] == '\f')) {
      ++at_;
    }
  }
  bool String(std::string* out) {
    if (!Peek('\'') && !Peek('"')) return false;
    const char quote = text_[at_++];
    const size_t end = text_.find(quote, at_);
    if (end == std::string_view::npos) return false;
    const std::string_view body = text_.substr(at_, end - at_);
    if (body.find_first_of("\\\n\r") != std::string_view::npos) return false;
    *out = std::string(body);
    at_ = end + 1;
    return true;
  }
  bool Word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    const size_t next = at_ + word.size();
    if (next < text_.size() &&
        (std::isalnum(static_cast<unsigned char>(text_[next])) ||
         text_[next] == '_')) {
      return false;
    }
    at_ = next;
    return true;
  }
  bool Boolean(bool* value) {
    if (Word("True")) return *value = true;
    if (Word("False")) return !(*value = false);
    return false;
  }
  bool Integer(std::string* digits) {
    const size_t begin = at_;
    Take('-');
    if (!IsDigit()) return false;
    const bool zero = Peek('0');
    while (IsDigit()) ++at_;
    if (zero && at_ - begin > 1 + (text_[begin] == '-')) return false;
    *digits = std::string(text_.substr(begin, at_ - begin));
    Take('L');
    return true;
  }
  // A tuple: "()", "(n,)" or "(n, m, ...)" with an optional trailing comma;
  // "(n)" is a parenthesised integer, not a tuple.
  bool Tuple(std::vector<std::string>* items) {
    if (!Take('(')) return false;
    SkipSpace();
    bool comma = false;
    while (!Take(')')) {
      std::string item;
      if (!Integer(&item)) return false;
      items->push_back(item);
      SkipSpace();
      comma = Take(',');
      SkipSpace();
      if (!comma && !Peek(')')) return false;
    }
    return items->size() != 1 || comma;
  }

  std::string_view text_;
  size_t at_ = 0;
};

// Returns the size written as `digits` (a sign and decimal digits),
// saturated at kMaxDimension + 1; -1 for a negative size.
int64_t SizeValue(const std::string& digits) {
  if (digits[0] == '-')
    return digits.find_first_not_of("-0") == std::string::npos ? 0 : -1;
  int64_t value = 0;
  for (char c : digits) {
    value = std::min(value * 10 + (c - '0'), kMaxDimension + 1);
  }
  return value;
}

// The shape as Python prints it: "()", "(5,)", "(2, 3, 4)".
std::string ShapeText(const std::vector<std::string>& shape) {
  std::string text = "(";
  for (size_t i = 0; i < shape.size(); ++i) {
    text += (i > 0 ? ", " : "") + shape[i];
  }
  return text + (shape.size() == 1 ? ",)" : ")");
}

// Returns the NumPy name of the values a simple descr such as '<i8' holds
// ("int64"), or "" when it names no number type.
std::string NumberName(std::string_view type) {
  if (type.size() < 2 || type[1] < '1' || type[1] > '9' ||
      type.find_first_not_of("0123456789", 1) != std::string_view::npos ||
      type.size() > 3) {
    return "";
  }
  const int bytes = std::stoi(std::string(type.substr(1)));
  const int bits = 8 * bytes;
  switch (type[0]) {
    case 'b':
      return bytes == 1 ? "bool" : "";
    case 'i':
    case 'u':
      if (bytes != 1 && bytes != 2 && bytes != 4 && bytes != 8) return "";
      return (type[0] == 'u' ? "uint" : "int") + std::to_string(bits);
    case 'f':
      if (bytes != 2 && bytes != 4 && bytes != 8 && bytes != 12 && bytes != 16)
        return "";
      return "float" + std::to_string(bits);
    case 'c':
      if (bytes != 8 && bytes != 16 && bytes != 24 && bytes != 32) return "";
      return "complex" + std::to_string(bits);
  }
  return "";
}

// Checks the values of `descr`: returns the element size of '<f4' (4) or
// '<f8' (8), or 0 with a message saying what the file holds instead.
int32_t ElementSize(const std::string& descr, std::string* error) {
  if (descr == "<f4") return 4;
  if (descr == "<f8") return 8;
  const bool ordered = !descr.empty() && (descr[0] == '<' || descr[0] == '>' ||
                                          descr[0] == '|' || descr[0] == '=');
  const std::string name = NumberName(ordered ? descr.substr(1) : descr);
  const std::string quoted = "'" + Printable(descr) + "'";
  if (name.empty()) {
    SetError(error, "holds values of NumPy type " + quoted +
                        "; only float32 and float64 are read");
    return 0;
  }
  const char order = ordered ? descr[0] : '\0';
  if (name == "float32" || name == "float64") {
    const std::string how =
        order == '>' ? "big-endian " + name + " values "
        : order == 0 ? name + " values of unstated byte order "
                     : name + " values of byte order '" + order + "' ";
    SetError(error, "holds " + how + "(" + quoted + ")" +
                        "; only little-endian float32 and float64 are read");
    return 0;
  }
  const bool big =
      order == '>' && name != "bool" && name != "int8" && name != "uint8";
  SetError(error, "holds " + std::string(big ? "big-endian " : "") + name +
                      " values (" + quoted + ")" +
                      "; only float32 and float64 are read");
  return 0;
}

// Checks that `dict` describes a score matrix and fills the matching fields
// of `header`; otherwise says what the file holds.
bool CheckDict(const NpyDict& dict, NpyHeader* header, std::string* error) {
  if (dict.structured) {
    SetError(error,
             "holds structured values (its 'descr' is a list); only float32 "
             "and float64 are read");
    return false;
  }
  const int32_t element_size = ElementSize(dict.descr, error);
  if (element_size == 0) return false;
  const std::string shape = ShapeText(dict.shape);
  for (const std::string& size : dict.shape) {
    if (SizeValue(size) < 0) {
      SetError(error, "malformed .npy header: shape " + shape +
                          " has a negative size");
      return false;
    }
  }
  if (dict.shape.size() != 2) {
    SetError(error, Format("holds a %zu-D array of shape %s; a score matrix "
                           "is 2-D",
                           dict.shape.size(), shape.c_str()));
    return false;
  }
  const int64_t rows = SizeValue(dict.shape[0]);
  const int64_t cols = SizeValue(dict.shape[1]);
  if (rows > kMaxDimension || cols > kMaxDimension) {
    SetError(error,
             Format("holds an array of shape %s; a score matrix has at "
                    "most %lld rows and columns",
                    shape.c_str(), static_cast<long long>(kMaxDimension)));
    return false;
  }
  if (cols * element_size > kMaxDimension) {
    SetError(error,
             Format("holds an array of shape %s of float%d values, rows of "
                    "%lld bytes; a score matrix row has at most %lld bytes",
                    shape.c_str(), 8 * element_size,
                    static_cast<long long>(cols * element_size),
                    static_cast<long long>(kMaxDimension)));
    return false;
  }
  header->rows = static_cast<int32_t>(rows);
  header->cols = static_cast<int32_t>(cols);
  header->element_size = element_size;
  header->fortran_order = dict.fortran_order;
  return true;
}

// Reads from `file` until `bytes` holds `size` bytes; returns false when
// the stream ends or fails first, `*why` then saying which.
bool ReadUpTo(FILE* file, size_t size, std::string* bytes, const char** why) {
  const size_t had = bytes->size();
  if (had >= size) return true;
  bytes->resize(size);
  const size_t got = std::fread(&(*bytes)[had], 1, size - had, file);
  bytes->resize(had + got);
  if (had + got == size) return true;
  *why = std::ferror(file) ? std::strerror(errno) : "end of file";
  return false;
}

// Reads `count` elements of `element_size` bytes from `file` into `out` as
// float32, converting float64 through `scratch`. Adds the bytes that
// arrived to `*delivered` and the values that changed to `*changed`.
// Returns false when the stream ends or fails first, `*why` then saying
// which.
bool ReadElements(FILE* file, int32_t element_size, int64_t count, float* out,
                  std::vector<char>* scratch, int64_t* delivered,
                  int64_t* changed, const char** why) {
  const int64_t piece = element_size == 4
                            ? int64_t{1} << 28
                            : std::max<int64_t>(kConvertBytes / 8, 1);
  if (element_size == 8) scratch->resize(static_cast<size_t>(piece * 8));
  for (int64_t done = 0; done < count;) {
    const int64_t n = std::min(piece, count - done);
    char* dst = element_size == 4 ? reinterpret_cast<char*>(out + done)
                                  : scratch->data();
    const size_t want = static_cast<size_t>(n * element_size);
    const size_t got = std::fread(dst, 1, want, file);
    *delivered += static_cast<int64_t>(got);
    if (got != want) {
      *why = std::ferror(file) ? std::strerror(errno) : "end of file";
      return false;
    }
    if (element_size == 8) *changed += NarrowToFloats(dst, n, out + done);
    done += n;
  }
  return true;
}

// Allocates a rows x cols CV_32FC1 matrix into `*mat`; false with `error`
// when it cannot be allocated.
bool Allocate(int32_t rows, int32_t cols, cv::Mat* mat, std::string* error) {
  try {
    CreateOnHugePages(rows, cols, CV_32FC1, mat);
    return true;
  } catch (const cv::Exception&) {
  } catch (const std::bad_alloc&) {
  }
  SetError(error, Format("cannot allocate %d x %d floats", rows, cols));
  return false;
}

// Reads C-order data of unknown length: the converted rows are gathered in
// growing chunks as they arrive, and `*mat` is allocated only once all of
// them are there, then filled chunk by chunk as each is released.
bool ReadStaged(FILE* file, const NpyHeader& header, cv::Mat* mat,
                int64_t* changed, std::string* error) {
  struct Chunk {
    std::unique_ptr<float[]> values;
    int64_t count;
  };
  std::deque<Chunk> chunks;
  std::vector<char> scratch;
  const int64_t total = int64_t{header.rows} * header.cols;
  int64_t chunk_count = std::max<int64_t>(kFirstChunkBytes / 4, 1);
  int64_t delivered = 0;
  const char* why = "";
  for (int64_t done = 0; done < total;) {
    const int64_t n = std::min(total - done, chunk_count);
    // Not value-initialised: no page is touched before its values arrive.
    chunks.push_back({std::unique_ptr<float[]>(new float[n]), n});
    if (!ReadElements(file, header.element_size, n, chunks.back().values.get(),
                      &scratch, &delivered, changed, &why)) {
      SetError(error, ShortData(delivered, header.data_bytes(), why));
      return false;
    }
    done += n;
    chunk_count = std::min(2 * chunk_count, kMaxChunkBytes / 4);
  }
  if (!Allocate(header.rows, header.cols, mat, error)) return false;
  float* out = mat->ptr<float>();
  while (!chunks.empty()) {
    std::memcpy(out, chunks.front().values.get(),
                static_cast<size_t>(chunks.front().count) * 4);
    out += chunks.front().count;
    chunks.pop_front();
  }
  return true;
}

// Reads exactly `length` bytes at data-section offset `at` of `header` from
// `fd`. On failure says where the data ended.
bool ReadAt(int fd, const NpyHeader& header, char* dst, int64_t length,
            int64_t at, std::string* error) {
  while (length > 0) {
    const ssize_t got = pread(fd, dst, static_cast<size_t>(length),
                              static_cast<off_t>(header.data_offset + at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      SetError(error,
               ShortData(at, header.data_bytes(),
                         got < 0 ? std::strerror(errno) : "end of file"));
      return false;
    }
    dst += got;
    at += got;
    length -= got;
  }
  return true;
}

// Writes the panel of `cols` stored columns of `rows` elements of type
// Stored each, held one after the other at `panel`, transposed into
// out[r * out_stride + c] as float32. Works in square tiles small enough
// that the lines a tile reads and writes stay in the first-level cache
// whatever the strides.
template <typename Stored>
void TransposeAs(const char* panel, int64_t rows, int64_t cols, float* out,
                 int64_t out_stride, int64_t* changed) {
  constexpr int64_t kTile = 32;
  for (int64_t r0 = 0; r0 < rows; r0 += kTile) {
    const int64_t r1 = std::min(rows, r0 + kTile);
    for (int64_t c0 = 0; c0 < cols; c0 += kTile) {
      const int64_t c1 = std::min(cols, c0 + kTile);
      for (int64_t r = r0; r < r1; ++r) {
        float* out_row = out + r * out_stride;
        const char* in = panel + r * sizeof(Stored);
        for (int64_t c = c0; c < c1; ++c) {
          Stored value;
          std::memcpy(&value, in + c * rows * sizeof(Stored), sizeof(Stored));
          if constexpr (sizeof(Stored) == 4) {
            out_row[c] = value;
          } else {
            out_row[c] = NarrowOne(value, changed);
          }
        }
      }
    }
  }
}

void Transpose(const char* panel, int64_t rows, int64_t cols,
               int32_t element_size, float* out, int64_t out_stride,
               int64_t* changed) {
  if (element_size == 4) {
    TransposeAs<float>(panel, rows, cols, out, out_stride, changed);
  } else {
    TransposeAs<double>(panel, rows, cols, out, out_stride, changed);
  }
}

}  // namespace

bool HasNpyMagic(const char* start, size_t size) {
  return size >= kNpyMagicBytes &&
         std::memcmp(start, kNpyMagic, kNpyMagicBytes) == 0;
}

bool ReadNpyHeader(const char* start, size_t start_size, int64_t file_size,
                   FILE* file, NpyHeader* header, std::string* error) {
  std::string bytes(start, start_size);
  const char* why = "";
  // The magic and the version.
  if (!ReadUpTo(file, 8, &bytes, &why)) {
    SetError(error, Format("stream ends after %zu bytes, within the .npy "
                           "header (%s)",
                           bytes.size(), why));
    return false;
  }
  const int major = static_cast<unsigned char>(bytes[6]);
  const int minor = static_cast<unsigned char>(bytes[7]);
  if (major < 1 || major > 3 || minor != 0) {
    SetError(error, Format("is a .npy file of version %d.%d; only versions "
                           "1.0, 2.0 and 3.0 are read",
                           major, minor));
    return false;
  }
  const size_t length_bytes = major == 1 ? 2 : 4;
  const size_t prefix = 8 + length_bytes;
  if (!ReadUpTo(file, prefix, &bytes, &why)) {
    SetError(error, Format("stream ends after %zu bytes, within the .npy "
                           "header (%s)",
                           bytes.size(), why));
    return false;
  }
  int64_t dict_bytes = 0;
  for (size_t i = length_bytes; i-- > 0;) {
    dict_bytes = dict_bytes << 8 | static_cast<unsigned char>(bytes[8 + i]);
  }
  const int64_t header_bytes = static_cast<int64_t>(prefix) + dict_bytes;
  if (file_size >= 0 && header_bytes > file_size) {
    SetError(error, Format("header announces %lld header bytes but only %lld "
                           "remain",
                           static_cast<long long>(dict_bytes),
                           static_cast<long long>(file_size - prefix)));
    return false;
  }
  if (dict_bytes > kMaxHeaderBytes) {
    SetError(error, Format("header announces %lld header bytes, more than the "
                           "%lld a score matrix's header can take",
                           static_cast<long long>(dict_bytes),
                           static_cast<long long>(kMaxHeaderBytes)));
    return false;
  }
  if (!ReadUpTo(file, static_cast<size_t>(header_bytes), &bytes, &why)) {
    SetError(error,
             Format("stream ends after %zu of the %lld .npy header "
                    "bytes (%s)",
                    bytes.size(), static_cast<long long>(header_bytes), why));
    return false;
  }
  // A dict with its three keys takes more than the 16 bytes read to tell
  // the format; a shorter one fails the parse, so `file` is positioned at
  // the data whenever the parse succeeds.
  NpyDict dict;
  const std::string_view text(bytes.data() + prefix,
                              static_cast<size_t>(dict_bytes));
  if (!DictParser(text).Parse(&dict, error) || !CheckDict(dict, header, error))
    return false;
  if (static_cast<int64_t>(start_size) > header_bytes) {
    SetError(error, "malformed .npy header: too short to hold its dict");
    return false;
  }
  header->data_offset = header_bytes;
  if (header->fortran_order && file_size < 0) {
    SetError(error,
             "is in Fortran order, which can only be read from a regular "
             "file; save it in C order (np.ascontiguousarray) to stream it");
    return false;
  }
  const int64_t remaining = file_size - header_bytes;
  if (file_size >= 0 && remaining < header->data_bytes()) {
    SetError(error,
             Format("header announces %d x %d float%d values = %lld data "
                    "bytes but only %lld remain",
                    header->rows, header->cols, 8 * header->element_size,
                    static_cast<long long>(header->data_bytes()),
                    static_cast<long long>(remaining)));
    return false;
  }
  return true;
}

int64_t NarrowToFloats(const char* bytes, int64_t count, float* out) {
  int64_t changed = 0;
  for (int64_t i = 0; i < count; ++i) {
    double value;
    std::memcpy(&value, bytes + 8 * i, 8);
    out[i] = NarrowOne(value, &changed);
  }
  return changed;
}

bool ReadNpyMatrix(FILE* file, const NpyHeader& header, bool regular,
                   cv::Mat* mat, int64_t* changed_values, std::string* error) {
  cv::Mat fresh;
  int64_t changed = 0;
  try {
    if (header.fortran_order) {
      std::vector<char> scratch;
      if (!Allocate(header.rows, header.cols, &fresh, error) ||
          !ReadNpyFortranBlock(fileno(file), header, 0, header.rows, 0,
                               header.cols, header.cols, fresh.ptr<float>(),
                               &scratch, &changed, error)) {
        return false;
      }
    } else if (regular ||
               int64_t{header.rows} * header.cols * 4 <= kUnstagedBytes) {
      std::vector<char> scratch;
      int64_t delivered = 0;
      const char* why = "";
      if (!Allocate(header.rows, header.cols, &fresh, error)) return false;
      if (!ReadElements(file, header.element_size,
                        int64_t{header.rows} * header.cols, fresh.ptr<float>(),
                        &scratch, &delivered, &changed, &why)) {
        SetError(error, ShortData(delivered, header.data_bytes(), why));
        return false;
      }
    } else if (!ReadStaged(file, header, &fresh, &changed, error)) {
      return false;
    }
  } catch (const std::bad_alloc&) {
    SetError(error, Format("cannot allocate a read buffer for %d x %d floats",
                           header.rows, header.cols));
    return false;
  }
  *mat = fresh;
  *changed_values = changed;
  return true;
}

bool ReadNpyFortranBlock(int fd, const NpyHeader& header, int32_t row,
                         int32_t rows, int32_t col, int32_t cols,
                         int64_t out_stride, float* out,
                         std::vector<char>* scratch, int64_t* changed_values,
                         std::string* error) {
  if (rows <= 0 || cols <= 0) return true;
  const int32_t size = header.element_size;
  const int64_t panel_elements = std::max<int64_t>(kPanelBytes / size, 1);
  // Where element (r, c) lies in the data section.
  const auto at = [&](int64_t r, int64_t c) {
    return (c * header.rows + r) * size;
  };
  if (rows <= panel_elements) {
    // Panels of whole columns; all rows of a column block lie back to back.
    const int64_t panel_cols = std::max<int64_t>(panel_elements / rows, 1);
    scratch->resize(
        static_cast<size_t>(std::min<int64_t>(panel_cols, cols) * rows * size));
    for (int64_t c = 0; c < cols; c += panel_cols) {
      const int64_t n = std::min<int64_t>(panel_cols, cols - c);
      if (rows == header.rows) {
        if (!ReadAt(fd, header, scratch->data(), n * rows * size,
                    at(0, col + c), error)) {
          return false;
        }
      } else {
        for (int64_t k = 0; k < n; ++k) {
          if (!ReadAt(fd, header, scratch->data() + k * rows * size,
                      int64_t{rows} * size, at(row, col + c + k), error)) {
            return false;
          }
        }
      }
      Transpose(scratch->data(), rows, n, size, out + c, out_stride,
                changed_values);
    }
    return true;
  }
  // Columns longer than a panel: each in pieces.
  scratch->resize(static_cast<size_t>(panel_elements * size));
  for (int64_t c = 0; c < cols; ++c) {
    for (int64_t r = 0; r < rows; r += panel_elements) {
      const int64_t n = std::min<int64_t>(panel_elements, rows - r);
      if (!ReadAt(fd, header, scratch->data(), n * size, at(row + r, col + c),
                  error)) {
        return false;
      }
      Transpose(scratch->data(), n, 1, size, out + r * out_stride + c,
                out_stride, changed_values);
    }
  }
  return true;
}

#include "matio/mat_io.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <istream>
#include <memory>
#include <new>
#include <ostream>
#include <vector>

#include "matio/read_errors.h"

namespace {

#ifndef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// Largest byte count handed to one write call by every writer.
constexpr int64_t kWritePieceBytes = 0x10000000;
// Largest byte count asked of one read call by MatIO::read and MatIO::Read.
constexpr int64_t kReadPieceBytes = 0x20000000;
// Largest byte count asked of one read call by MatIO::PartialRead.
constexpr int64_t kPartialReadPieceBytes = 0x10000000;
// Size of the buffer through which stored rows with bytes beyond their
// elements pass (several rows at a time when they fit), and through which
// those extra bytes are dropped. Streams may be pipes, so nothing is skipped
// by seeking.
constexpr int64_t kScratchBytes = int64_t{1} << 20;
// From a stream whose length cannot be known beforehand (a pipe, a memory
// stream), a matrix of more element bytes than this is not allocated on the
// header's word: its data section is first gathered in chunks as it
// arrives, the first chunk of kFirstStageChunkBytes and each next one twice
// the last, up to kMaxStageChunkBytes. So what is held never exceeds what
// the stream delivered plus one chunk, and the matrix itself is allocated
// only once all of its bytes are there.
constexpr int64_t kUnstagedBytes = int64_t{1} << 20;
constexpr int64_t kFirstStageChunkBytes = int64_t{1} << 20;
constexpr int64_t kMaxStageChunkBytes = int64_t{64} << 20;
#else
// Fuzzing builds use the same code with tiny sizes, so that inputs of a few
// bytes reach every path: several pieces per read, row batches and long
// rows through the scratch buffer, staging in growing chunks.
constexpr int64_t kWritePieceBytes = 24;
constexpr int64_t kReadPieceBytes = 40;
constexpr int64_t kPartialReadPieceBytes = 24;
constexpr int64_t kScratchBytes = 64;
constexpr int64_t kUnstagedBytes = 64;
constexpr int64_t kFirstStageChunkBytes = 16;
constexpr int64_t kMaxStageChunkBytes = 256;
#endif
// No x86-64 process can address more than 2^47 bytes, so a matrix with
// more element bytes is refused at once rather than after its data.
constexpr int64_t kMaxMatrixBytes = int64_t{1} << 47;

constexpr int32_t kTypeMask = 0xFFF;
constexpr int kHeaderBytes = 16;

// Header fields are at most 2^31 - 1 and an element at most 512 x 8 bytes, so
// a row is below 2^43 bytes and a data section below 2^62 bytes: the int64_t
// arithmetic below cannot overflow, and sizes fit size_t.
static_assert(sizeof(size_t) >= sizeof(int64_t), "64-bit sizes required");

// Describes the elements of `type` in the plural, for messages.
std::string ElementsName(int32_t type) {
  static const char* const kDepthNames[] = {"uint8", "int8",  "uint16", "int16",
                                            "int32", "float", "double"};
  const int depth = type & 7;
  const int channels = ((type & kTypeMask) >> 3) + 1;
  if (depth > 6) return Format("elements of type code %d", type);
  if (channels == 1) {
    if (depth == 5) return "floats";
    if (depth == 6) return "doubles";
    return std::string(kDepthNames[depth]) + " values";
  }
  return Format("%d-channel %s elements", channels, kDepthNames[depth]);
}

// What a valid header implies about the data section that follows it.
struct DataLayout {
  int64_t row_bytes = 0;  // Bytes of elements at the start of a stored row.
  int64_t step = 0;
  int64_t Length(int64_t kept_rows) const { return kept_rows * step; }
};

// ValidateHeader returns true iff `header` (type already masked) describes a
// data section that can be read, filling `layout`; otherwise false with a
// description in `error`.
bool ValidateHeader(const MatHeader& header, DataLayout* layout,
                    std::string* error) {
  if (header.rows < 0) {
    SetError(error, Format("negative row count %d", header.rows));
    return false;
  }
  if (header.cols < 0) {
    SetError(error, Format("negative column count %d", header.cols));
    return false;
  }
  const int64_t element_size = MatIO::ElementSize(header.type);
  if (element_size == 0) {
    SetError(error, Format("type code %d has depth %d, outside 0..6",
                           header.type, header.type & 7));
    return false;
  }
  const int64_t row_bytes = element_size * header.cols;
  if (header.rows > 0 && header.cols > 0 && header.step < row_bytes) {
    SetError(error,
             Format("step %d is smaller than a row of %d %s (%lld bytes)",
                    header.step, header.cols, ElementsName(header.type).c_str(),
                    static_cast<long long>(row_bytes)));
    return false;
  }
  const int64_t length = int64_t{header.rows} * header.step;
  if (length < 0) {
    SetError(error, Format("negative data length: %d rows of step %d",
                           header.rows, header.step));
    return false;
  }
  layout->row_bytes = row_bytes;
  layout->step = header.step;
  return true;
}

// Checks that `available` bytes (negative: unknown) hold the data section of
// `kept_rows` rows; on failure describes the shortfall in `error`.
bool CheckAvailable(const MatHeader& header, const DataLayout& layout,
                    int64_t kept_rows, int64_t available, std::string* error) {
  const int64_t length = layout.Length(kept_rows);
  if (available < 0 || available >= length) return true;
  SetError(error,
           Format("header announces %lld x %d %s (step %d) = %lld data bytes "
                  "but only %lld remain",
                  static_cast<long long>(kept_rows), header.cols,
                  ElementsName(header.type).c_str(), header.step,
                  static_cast<long long>(length),
                  static_cast<long long>(available)));
  return false;
}

// Returns the bytes between the current position of `file` and its end when
// it is a regular file, or -1 when that cannot be known (pipes, terminals,
// memory streams).
int64_t RemainingInRegularFile(FILE* file) {
  const int fd = fileno(file);
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return -1;
  const off_t position = ftello(file);
  if (position < 0) return -1;
  return status.st_size > position ? status.st_size - position : 0;
}

// Returns the bytes between the current read position of `stream` and its
// end when its buffer can seek, or -1 when it cannot (the position is then
// unchanged). The stream's state flags are not touched.
int64_t RemainingInStream(std::istream* stream) {
  std::streambuf* buffer = stream->rdbuf();
  if (buffer == nullptr) return -1;
  const std::streampos position =
      buffer->pubseekoff(0, std::ios_base::cur, std::ios_base::in);
  if (position == std::streampos(-1)) return -1;
  const std::streampos end =
      buffer->pubseekoff(0, std::ios_base::end, std::ios_base::in);
  const std::streampos back = buffer->pubseekpos(position, std::ios_base::in);
  if (end == std::streampos(-1) || back != position) return -1;
  return end > position ? static_cast<int64_t>(end - position) : 0;
}

// Byte sources for the readers: Read(dst, n) asks for n > 0 bytes and
// returns how many arrived, 0 at the end of the stream or on an error.
class FileSource {
 public:
  explicit FileSource(FILE* file) : file_(file) {}
  int64_t Read(void* dst, int64_t n) {
    const size_t got = fread(dst, 1, static_cast<size_t>(n), file_);
    if (got == 0 && ferror(file_)) error_number_ = errno;
    return static_cast<int64_t>(got);
  }
  // Describes why the stream delivered no more bytes.
  std::string Why() const {
    return error_number_ != 0 ? std::string(strerror(error_number_))
                              : "end of file";
  }

 private:
  FILE* file_;
  int error_number_ = 0;
};

class StreamSource {
 public:
  explicit StreamSource(std::istream* stream) : stream_(stream) {}
  int64_t Read(void* dst, int64_t n) {
    stream_->read(static_cast<char*>(dst), static_cast<std::streamsize>(n));
    return static_cast<int64_t>(stream_->gcount());
  }
  std::string Why() const {
    return stream_->eof() ? "end of stream" : "stream error";
  }

 private:
  std::istream* stream_;
};

// Reads the four header fields as four 4-byte reads and masks the type.
template <typename Source>
bool ReadHeaderFrom(Source* source, MatHeader* header, std::string* error) {
  int32_t fields[4];
  int64_t delivered = 0;
  for (int32_t& field : fields) {
    const int64_t got = source->Read(&field, 4);
    delivered += got;
    if (got != 4) {
      // A 4-byte read from a stdio or standard stream delivers fewer bytes
      // only at the end or on an error; nothing more will come.
      SetError(error,
               Format("stream ends after %lld of the %d header bytes (%s)",
                      static_cast<long long>(delivered), kHeaderBytes,
                      source->Why().c_str()));
      return false;
    }
  }
  header->rows = fields[0];
  header->cols = fields[1];
  header->step = fields[2];
  header->type = fields[3] & kTypeMask;
  return true;
}

// Reads the header and validates it, filling `layout`.
template <typename Source>
bool ReadValidHeader(Source* source, MatHeader* header, DataLayout* layout,
                     std::string* error) {
  return ReadHeaderFrom(source, header, error) &&
         ValidateHeader(*header, layout, error);
}

// Reads exactly `length` bytes into `dst`, asking for at most `piece` bytes
// at a time and advancing by what each read delivered. Adds the bytes that
// arrived to `*delivered`.
template <typename Source>
bool ReadExactly(Source* source, uchar* dst, int64_t length, int64_t piece,
                 int64_t* delivered) {
  int64_t done = 0;
  while (done < length) {
    const int64_t got =
        source->Read(dst + done, std::min(length - done, piece));
    if (got <= 0) break;
    done += got;
  }
  *delivered += done;
  return done == length;
}

// Reads and drops `length` bytes through `scratch`.
template <typename Source>
bool Discard(Source* source, std::vector<uchar>* scratch, int64_t length,
             int64_t* delivered) {
  while (length > 0) {
    const int64_t chunk =
        std::min(length, static_cast<int64_t>(scratch->size()));
    if (!ReadExactly(source, scratch->data(), chunk, chunk, delivered)) {
      return false;
    }
    length -= chunk;
  }
  return true;
}

// Reads the data section of `rows` stored rows into `out`, which already has
// `rows` rows of `layout.row_bytes` bytes of elements each. Stored bytes
// beyond a row's elements are read and dropped.
template <typename Source>
bool ReadRowsFrom(Source* source, const DataLayout& layout, int64_t rows,
                  int64_t piece, cv::Mat* out, std::string* error) {
  const int64_t length = layout.Length(rows);
  const int64_t row_bytes = layout.row_bytes;
  const int64_t step = layout.step;
  int64_t delivered = 0;
  bool ok = true;
  if (length == 0) {
    // Nothing stored.
  } else if (step == row_bytes && out->isContinuous()) {
    ok = ReadExactly(source, out->data, length, piece, &delivered);
  } else {
    std::vector<uchar> scratch(static_cast<size_t>(
        std::min(std::max(step, int64_t{1}), kScratchBytes)));
    if (row_bytes == 0) {
      // Rows without columns: the stored rows hold no elements.
      ok = Discard(source, &scratch, length, &delivered);
    } else if (step <= kScratchBytes) {
      // Several whole stored rows per read, elements copied out.
      const int64_t batch_rows = kScratchBytes / step;
      scratch.resize(static_cast<size_t>(std::min(batch_rows, rows) * step));
      for (int64_t row = 0; ok && row < rows; row += batch_rows) {
        const int64_t count = std::min(batch_rows, rows - row);
        ok = ReadExactly(source, scratch.data(), count * step, piece,
                         &delivered);
        for (int64_t i = 0; ok && i < count; ++i) {
          std::memcpy(out->ptr(static_cast<int>(row + i)),
                      scratch.data() + i * step,
                      static_cast<size_t>(row_bytes));
        }
      }
    } else {
      // Long stored rows: elements straight into the row, the rest dropped.
      for (int64_t row = 0; ok && row < rows; ++row) {
        ok = ReadExactly(source, out->ptr(static_cast<int>(row)), row_bytes,
                         piece, &delivered) &&
             Discard(source, &scratch, step - row_bytes, &delivered);
      }
    }
  }
  if (!ok) {
    SetError(error, ShortData(delivered, length, source->Why().c_str()));
  }
  return ok;
}

// Shapes `out` as `rows` x `cols` of `type` with cv::Mat::create (storage
// kept when shape and type already match). Returns false with `error` when
// the storage cannot be allocated.
bool Shape(int rows, const MatHeader& header, cv::Mat* out,
           std::string* error) {
  try {
    const bool fresh = out->empty() || out->rows != rows ||
                       out->cols != header.cols || out->type() != header.type;
    if (fresh) {
      CreateOnHugePages(rows, header.cols, header.type, out);
    } else {
      out->create(rows, header.cols, header.type);
    }
    return true;
  } catch (const cv::Exception&) {
  } catch (const std::bad_alloc&) {
  }
  SetError(error, Format("cannot allocate %d x %d %s", rows, header.cols,
                         ElementsName(header.type).c_str()));
  return false;
}

// True iff cv::Mat::create(rows, header.cols, header.type) keeps the
// storage `out` already has, so shaping it allocates nothing.
bool KeepsStorage(const cv::Mat& out, int rows, const MatHeader& header) {
  return out.data != nullptr && out.dims == 2 && out.rows == rows &&
         out.cols == header.cols && out.type() == header.type;
}

// A data section gathered from a stream in chunks, then handed on as a
// byte source that releases each chunk once it has been read.
class StagedSource {
 public:
  // Stage reads `length` bytes from `source`, asking for at most `piece`
  // bytes per read. Each chunk is allocated only when the previous one is
  // full. Returns false with `error` when the stream ends early; throws
  // std::bad_alloc when a chunk cannot be allocated.
  template <typename Source>
  bool Stage(Source* source, int64_t length, int64_t piece,
             std::string* error) {
    int64_t delivered = 0;
    int64_t chunk_bytes = kFirstStageChunkBytes;
    while (delivered < length) {
      const int64_t size = std::min(length - delivered, chunk_bytes);
      // Not value-initialised: no page is touched before its bytes arrive.
      chunks_.push_back({std::unique_ptr<uchar[]>(new uchar[size]), size});
      if (!ReadExactly(source, chunks_.back().bytes.get(), size, piece,
                       &delivered)) {
        SetError(error, ShortData(delivered, length, source->Why().c_str()));
        return false;
      }
      chunk_bytes = std::min(2 * chunk_bytes, kMaxStageChunkBytes);
    }
    return true;
  }

  int64_t Read(void* dst, int64_t n) {
    int64_t done = 0;
    while (done < n && !chunks_.empty()) {
      Chunk& chunk = chunks_.front();
      const int64_t take = std::min(n - done, chunk.size - offset_);
      std::memcpy(static_cast<uchar*>(dst) + done, chunk.bytes.get() + offset_,
                  static_cast<size_t>(take));
      done += take;
      offset_ += take;
      if (offset_ == chunk.size) {
        chunks_.pop_front();
        offset_ = 0;
      }
    }
    return done;
  }
  std::string Why() const { return "end of staged data"; }

 private:
  struct Chunk {
    std::unique_ptr<uchar[]> bytes;
    int64_t size;
  };
  std::deque<Chunk> chunks_;
  int64_t offset_ = 0;  // Bytes of the front chunk already read.
};

// Shapes `out` as `kept_rows` rows of `header` and fills it from the next
// kept_rows x step bytes of `source`, in pieces of at most `piece` bytes.
// When `length_known` is false and shaping would allocate more than
// kUnstagedBytes, the bytes are staged first (see kUnstagedBytes) and `out`
// is shaped only once they have all arrived. Every allocation failure,
// of the matrix, a chunk or a scratch buffer, becomes false with `error`.
template <typename Source>
bool LoadRows(Source* source, const MatHeader& header, const DataLayout& layout,
              int64_t kept_rows, bool length_known, int64_t piece, cv::Mat* out,
              std::string* error) {
  const int rows = static_cast<int>(kept_rows);
  const int64_t element_bytes = kept_rows * layout.row_bytes;
  if (element_bytes > kMaxMatrixBytes) {
    SetError(error, Format("cannot allocate %d x %d %s: %lld bytes", rows,
                           header.cols, ElementsName(header.type).c_str(),
                           static_cast<long long>(element_bytes)));
    return false;
  }
  try {
    if (length_known || element_bytes <= kUnstagedBytes ||
        KeepsStorage(*out, rows, header)) {
      return Shape(rows, header, out, error) &&
             ReadRowsFrom(source, layout, kept_rows, piece, out, error);
    }
    StagedSource staged;
    return staged.Stage(source, layout.Length(kept_rows), piece, error) &&
           Shape(rows, header, out, error) &&
           ReadRowsFrom(&staged, layout, kept_rows, piece, out, error);
  } catch (const std::bad_alloc&) {
    SetError(error, Format("cannot allocate a read buffer for %d x %d %s", rows,
                           header.cols, ElementsName(header.type).c_str()));
    return false;
  }
}

// Reads a header and the first `kept_rows` (at most all) of its rows from
// `file`, in pieces of at most `piece` bytes. kept_rows < 0 means all rows.
bool ReadFromFile(FILE* file, int64_t kept_rows, int64_t piece, cv::Mat* mat,
                  std::string* error) {
  FileSource source(file);
  MatHeader header;
  DataLayout layout;
  if (!ReadValidHeader(&source, &header, &layout, error)) return false;
  if (kept_rows < 0 || kept_rows > header.rows) kept_rows = header.rows;
  const int64_t available = RemainingInRegularFile(file);
  return CheckAvailable(header, layout, kept_rows, available, error) &&
         LoadRows(&source, header, layout, kept_rows, available >= 0, piece,
                  mat, error);
}

// The bytes a writer stores for one matrix.
struct StoredForm {
  MatHeader header;
  const uchar* data = nullptr;
  int64_t length = 0;
  cv::Mat copy;  // Holds the contiguous copy when `data` points into it.
};

// Prepares what the writers store for `mat`: its own rows and stride when
// the bytes from its first element to the end of its last row lie within its
// storage, else a contiguous copy. Returns false for what the format cannot
// hold: more than two dimensions, depth 7, a row of 2 GiB or more.
bool PrepareStoredForm(const cv::Mat& mat, StoredForm* form) {
  if (mat.dims > 2) return false;
  const int32_t type = mat.type() & kTypeMask;
  const int64_t element_size = MatIO::ElementSize(type);
  if (element_size == 0) return false;
  const int64_t row_bytes = element_size * mat.cols;
  if (row_bytes > INT32_MAX) return false;
  form->header.rows = mat.rows;
  form->header.cols = mat.cols;
  form->header.type = type;
  form->header.step = static_cast<int32_t>(row_bytes);
  if (mat.empty()) return true;  // No data section; the stride is immaterial.
  const int64_t stride = static_cast<int64_t>(mat.step[0]);
  if (mat.isContinuous()) {
    form->data = mat.data;
  } else if (stride <= INT32_MAX &&
             mat.datalimit - mat.data >=
                 static_cast<std::ptrdiff_t>(stride * mat.rows)) {
    form->header.step = static_cast<int32_t>(stride);
    form->data = mat.data;
  } else {
    try {
      form->copy = mat.clone();
    } catch (const cv::Exception&) {
      return false;
    } catch (const std::bad_alloc&) {
      return false;
    }
    form->data = form->copy.data;
  }
  form->length = int64_t{form->header.step} * form->header.rows;
  return true;
}

// Writes `form` through `put(pointer, bytes)`, which returns false when a
// write fails: the four header fields one by one, then the data section in
// pieces of at most kWritePieceBytes.
template <typename Put>
bool WriteStoredForm(const StoredForm& form, Put put) {
  const int32_t fields[4] = {form.header.rows, form.header.cols,
                             form.header.step, form.header.type & kTypeMask};
  for (const int32_t& field : fields) {
    if (!put(&field, 4)) return false;
  }
  for (int64_t done = 0; done < form.length;) {
    const int64_t piece = std::min(form.length - done, kWritePieceBytes);
    if (!put(form.data + done, piece)) return false;
    done += piece;
  }
  return true;
}

bool PutToFile(FILE* file, const void* bytes, int64_t length) {
  return fwrite(bytes, 1, static_cast<size_t>(length), file) ==
         static_cast<size_t>(length);
}

}  // namespace

bool MatIO::Save(const std::string& path, const cv::Mat& mat) {
  StoredForm form;
  if (!PrepareStoredForm(mat, &form)) return false;
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = WriteStoredForm(form, [file](const void* bytes, int64_t length) {
    return PutToFile(file, bytes, length);
  });
  if (fclose(file) != 0) ok = false;
  return ok;
}

bool MatIO::Load(const std::string& path, cv::Mat* mat, std::string* error) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) {
    SetError(error, Format("cannot be opened (%s)", strerror(errno)));
    return false;
  }
  const bool ok = read(file, mat, error);
  fclose(file);
  return ok;
}

bool MatIO::write(const cv::Mat& mat, FILE* file) {
  StoredForm form;
  if (!PrepareStoredForm(mat, &form)) return false;
  // The flush makes a failing device report here rather than at close.
  return WriteStoredForm(form,
                         [file](const void* bytes, int64_t length) {
                           return PutToFile(file, bytes, length);
                         }) &&
         fflush(file) == 0;
}

bool MatIO::read(FILE* file, cv::Mat* mat, std::string* error) {
  return ReadFromFile(file, -1, kReadPieceBytes, mat, error);
}

bool MatIO::PartialRead(FILE* file, cv::Mat* mat, int n, std::string* error) {
  return ReadFromFile(file, std::max(n, 0), kPartialReadPieceBytes, mat, error);
}

bool MatIO::Write(const cv::Mat& mat, std::ostream* stream) {
  StoredForm form;
  if (!PrepareStoredForm(mat, &form) || !*stream) return false;
  return WriteStoredForm(form,
                         [stream](const void* bytes, int64_t length) {
                           stream->write(static_cast<const char*>(bytes),
                                         static_cast<std::streamsize>(length));
                           return static_cast<bool>(*stream);
                         }) &&
         static_cast<bool>(stream->flush());
}

bool MatIO::Read(cv::Mat* mat, std::istream* stream, std::string* error) {
  StreamSource source(stream);
  MatHeader header;
  DataLayout layout;
  if (!ReadValidHeader(&source, &header, &layout, error)) return false;
  const int64_t available = RemainingInStream(stream);
  // The rows go into fresh storage (through staging when the stream's length
  // is unknown), and `*mat` changes only once everything has arrived.
  cv::Mat fresh;
  if (!CheckAvailable(header, layout, header.rows, available, error) ||
      !LoadRows(&source, header, layout, header.rows, available >= 0,
                kReadPieceBytes, &fresh, error)) {
    return false;
  }
  *mat = fresh;
  return true;
}

bool MatIO::LoadFromMatlabMat(const std::string& /*path*/,
                              const std::string& /*variable*/,
                              cv::Mat* /*mat*/) {
  return false;
}

bool MatIO::ReadHeader(FILE* file, MatHeader* header, std::string* error) {
  FileSource source(file);
  MatHeader read_header;
  DataLayout layout;
  if (!ReadValidHeader(&source, &read_header, &layout, error)) return false;
  *header = read_header;
  return true;
}

bool MatIO::WriteHeader(FILE* file, const MatHeader& header) {
  StoredForm form;
  form.header = header;
  return WriteStoredForm(form,
                         [file](const void* bytes, int64_t length) {
                           return PutToFile(file, bytes, length);
                         }) &&
         fflush(file) == 0;
}

int64_t MatIO::ElementSize(int32_t type) {
  static const int64_t kDepthSizes[] = {1, 1, 2, 2, 4, 4, 8};
  const int depth = type & 7;
  if (depth > 6) return 0;
  return (((type & kTypeMask) >> 3) + 1) * kDepthSizes[depth];
}

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

// Storage that starts on a 2 MiB boundary and is advised for huge pages, so
// that they can back all of it, not only its aligned middle. The steps are
// laid out as OpenCV's own allocator lays them out.
class HugePageAllocator : public cv::MatAllocator {
 public:
  cv::UMatData* allocate(int dims, const int* sizes, int type, void* given,
                         size_t* step, cv::AccessFlag,
                         cv::UMatUsageFlags) const override {
    size_t total = CV_ELEM_SIZE(type);
    for (int i = dims - 1; i >= 0; --i) {
      if (step != nullptr) {
        if (given != nullptr && step[i] != cv::Mat::AUTO_STEP) {
          total = step[i];
        } else {
          step[i] = total;
        }
      }
      total *= static_cast<size_t>(sizes[i]);
    }
    void* data = given;
    if (data == nullptr) {
      const size_t rounded = (total + kHugePage - 1) / kHugePage * kHugePage;
      data = std::aligned_alloc(kHugePage, std::max(rounded, kHugePage));
      if (data == nullptr) throw std::bad_alloc();
      madvise(data, rounded, MADV_HUGEPAGE);
    }
    auto* storage = new cv::UMatData(this);
    storage->data = storage->origdata = static_cast<uchar*>(data);
    storage->size = total;
    if (given != nullptr) storage->flags |= cv::UMatData::USER_ALLOCATED;
    return storage;
  }

  bool allocate(cv::UMatData* storage, cv::AccessFlag,
                cv::UMatUsageFlags) const override {
    return storage != nullptr;
  }

  void deallocate(cv::UMatData* storage) const override {
    if (storage == nullptr) return;
    if ((storage->flags & cv::UMatData::USER_ALLOCATED) == 0) {
      std::free(storage->origdata);
    }
    delete storage;
  }
};

}  // namespace

void CreateOnHugePages(int rows, int cols, int type, cv::Mat* out) {
  // Never destroyed: a matrix may outlive any scope it could be tied to.
  static HugePageAllocator* const allocator = new HugePageAllocator;
  const size_t bytes = static_cast<size_t>(std::max(rows, 0)) *
                       static_cast<size_t>(std::max(cols, 0)) *
                       CV_ELEM_SIZE(type);
  cv::Mat shaped;
  if (bytes >= 2 * kHugePage) shaped.allocator = allocator;
  shaped.create(rows, cols, type);
  *out = shaped;
}

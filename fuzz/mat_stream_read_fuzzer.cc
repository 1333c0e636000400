// MatIO::Read on an arbitrary matrix file, from a std::istringstream (whose
// length the reader can learn by seeking) and from a stream that cannot
// seek: both keep the reader's contract and agree, a success yields fresh
// contiguous storage (unless empty), and a failure leaves the output
// matrix as it was.
#include <cstdint>
#include <sstream>
#include <streambuf>
#include <string>

#include "fuzz/matrix_contract.h"
#include "matio/mat_io.h"

namespace {

// Serves fixed bytes and cannot seek, as a pipe does.
class UnseekableBuffer : public std::streambuf {
 public:
  explicit UnseekableBuffer(std::string bytes) : bytes_(std::move(bytes)) {
    setg(bytes_.data(), bytes_.data(), bytes_.data() + bytes_.size());
  }

 private:
  std::string bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  bool outcomes[2];
  for (int seekable = 0; seekable < 2; ++seekable) {
    std::istringstream seekable_stream(bytes);
    UnseekableBuffer unseekable_buffer(bytes);
    std::istream unseekable_stream(&unseekable_buffer);
    std::istream& in = seekable ? static_cast<std::istream&>(seekable_stream)
                                : unseekable_stream;
    cv::Mat mat(1, 1, CV_8U, cv::Scalar(0xAB));
    const cv::Mat before = mat;
    std::string error;
    const bool ok = MatIO::Read(&mat, &in, &error);
    outcomes[seekable] = ok;
    const int64_t consumed = ok ? (seekable ? static_cast<int64_t>(in.tellg())
                                            : static_cast<int64_t>(size) -
                                                  unseekable_buffer.in_avail())
                                : -1;
    fuzz::CheckRead(data, size, INT64_MAX, ok, error, mat, consumed);
    if (ok) {
      // An empty matrix has no storage to speak of.
      FUZZ_CHECK(mat.empty() ||
                 (mat.data != before.data && mat.isContinuous()));
    } else {
      FUZZ_CHECK(mat.data == before.data && mat.rows == 1 &&
                 mat.at<uint8_t>(0, 0) == 0xAB);
    }
  }
  FUZZ_CHECK(outcomes[0] == outcomes[1]);
  return 0;
}

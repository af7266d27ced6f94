#include "core/readers/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>
#include <string_view>
#include <system_error>
#include <utility>

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <zlib.h>
#include <zstd.h>

namespace vorpel::readers {
namespace {

// Compressed input, decompressed text awaiting conversion: read in blocks of
// this size. It bounds the memory of a source together with the pivot.
constexpr std::size_t kChunkSize = std::size_t{1} << 20;
// UTF-16 units between the input converter and the UTF-8 one.
constexpr std::size_t kPivotUnits = std::size_t{1} << 16;
// A single read(2) asks for at most this much, below SSIZE_MAX and below the
// int32 limits of zlib and ICU.
constexpr std::size_t kMaxRequest = std::size_t{1} << 30;

constexpr char kUtf8Bom[] = {'\xEF', '\xBB', '\xBF'};
constexpr unsigned char kGzipMagic[] = {0x1F, 0x8B};
constexpr unsigned char kZstdMagic[] = {0x28, 0xB5, 0x2F, 0xFD};

std::unexpected<SourceError> io_failure(std::string message, int os_error = 0) {
  return std::unexpected(SourceError{SourceError::Kind::Io, std::move(message), os_error, 0});
}

std::unexpected<SourceError> os_failure(const std::string& name, int os_error) {
  return io_failure(name + ": " + std::generic_category().message(os_error), os_error);
}

std::unexpected<SourceError> truncated(const std::string& name) {
  return io_failure(name + ": the compressed stream ends early; the file may be truncated");
}

// One stage of the pipeline from the input's bytes to UTF-8 text.
class Stage {
 public:
  virtual ~Stage() = default;
  // Copies up to `size` (> 0) bytes into `out`; 0 only at the end.
  virtual SourceResult<std::size_t> read(char* out, std::size_t size) = 0;
  // The next bytes, which the caller consumes entirely before asking again;
  // valid until then. Empty only at the end. By default a read into a buffer
  // allocated on first use; a stage holding its bytes in memory hands them
  // out directly.
  virtual SourceResult<std::span<const char>> next_chunk() {
    if (!chunk_) chunk_ = std::make_unique_for_overwrite<char[]>(kChunkSize);
    auto n = read(chunk_.get(), kChunkSize);
    if (!n) return std::unexpected(std::move(n.error()));
    return std::span<const char>(chunk_.get(), *n);
  }

 private:
  std::unique_ptr<char[]> chunk_;
};

// The underlying input: its size when known and how much of it has been read.
class RawInput : public Stage {
 public:
  virtual std::optional<std::uint64_t> size() const = 0;
  virtual std::uint64_t consumed() const = 0;
  // The first bytes of the input (up to 4), for recognising compression.
  virtual std::span<const unsigned char> head() const = 0;
};

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

class FileInput final : public RawInput {
 public:
  static SourceResult<std::unique_ptr<FileInput>> open(const std::string& path) {
    int fd;
    do {
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return os_failure(path, errno);
    auto input = std::unique_ptr<FileInput>(new FileInput(path, fd));
    struct stat st;
    if (::fstat(fd, &st) != 0) return os_failure(path, errno);
    // Pipes and devices have no size. A directory fails below: reading it
    // gives EISDIR.
    if (S_ISREG(st.st_mode)) input->size_ = static_cast<std::uint64_t>(st.st_size);
    // The first bytes are kept to recognise compression and handed out first.
    while (input->head_len_ < sizeof input->head_) {
      auto n = input->read_fd(input->head_ + input->head_len_, sizeof input->head_ - input->head_len_);
      if (!n) return std::unexpected(std::move(n.error()));
      if (*n == 0) break;
      input->head_len_ += *n;
    }
    return input;
  }

  SourceResult<std::size_t> read(char* out, std::size_t size) override {
    std::size_t done = 0;
    if (head_pos_ < head_len_) {
      done = std::min(size, head_len_ - head_pos_);
      std::memcpy(out, head_ + head_pos_, done);
      head_pos_ += done;
      if (done == size) return done;
    }
    auto n = read_fd(out + done, size - done);
    if (!n) return n;
    return done + *n;
  }

  std::optional<std::uint64_t> size() const override { return size_; }
  std::uint64_t consumed() const override { return consumed_; }
  std::span<const unsigned char> head() const override {
    return {reinterpret_cast<const unsigned char*>(head_), head_len_};
  }

 private:
  FileInput(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

  SourceResult<std::size_t> read_fd(char* out, std::size_t size) {
    for (;;) {
      const ssize_t n = ::read(fd_.get(), out, std::min(size, kMaxRequest));
      if (n >= 0) {
        consumed_ += static_cast<std::uint64_t>(n);
        return static_cast<std::size_t>(n);
      }
      if (errno != EINTR) return os_failure(path_, errno);
    }
  }

  std::string path_;
  FileDescriptor fd_;
  char head_[4] = {};
  std::size_t head_len_ = 0;
  std::size_t head_pos_ = 0;
  std::optional<std::uint64_t> size_;
  std::uint64_t consumed_ = 0;
};

class BufferInput final : public RawInput {
 public:
  BufferInput(const char* data, std::size_t size) : data_(data), size_(size) {}

  SourceResult<std::size_t> read(char* out, std::size_t size) override {
    const std::size_t n = std::min(size, size_ - pos_);
    if (n > 0) std::memcpy(out, data_ + pos_, n);
    pos_ += n;
    return n;
  }

  // Hands out the caller's bytes in place, a chunk at a time so that progress
  // advances with the decompression.
  SourceResult<std::span<const char>> next_chunk() override {
    const std::size_t n = std::min(kChunkSize, size_ - pos_);
    std::span<const char> chunk(data_ + pos_, n);
    pos_ += n;
    return chunk;
  }

  std::optional<std::uint64_t> size() const override { return size_; }
  std::uint64_t consumed() const override { return pos_; }
  std::span<const unsigned char> head() const override {
    return {reinterpret_cast<const unsigned char*>(data_), std::min<std::size_t>(size_, 4)};
  }

 private:
  const char* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

struct InflateEnd {
  void operator()(z_stream* stream) const {
    inflateEnd(stream);
    delete stream;
  }
};

// Gzip (or zlib) members one after another, each inflated with the header
// recognised by zlib; a stream that ends inside a member is truncated.
class GzipStage final : public Stage {
 public:
  static SourceResult<std::unique_ptr<Stage>> create(Stage& input, const std::string& name) {
    auto stream = std::make_unique<z_stream>();
    // 15 + 32: the largest window, with a gzip or zlib header detected.
    const int rc = inflateInit2(stream.get(), 15 + 32);
    if (rc != Z_OK) {
      if (rc == Z_MEM_ERROR) return os_failure(name, ENOMEM);
      return io_failure(name + ": cannot start gzip decompression (" + zError(rc) + ")");
    }
    return std::unique_ptr<Stage>(new GzipStage(input, name, std::unique_ptr<z_stream, InflateEnd>(stream.release())));
  }

  SourceResult<std::size_t> read(char* out, std::size_t size) override {
    if (ended_) return 0;
    z_stream& z = *stream_;
    z.next_out = reinterpret_cast<Bytef*>(out);
    z.avail_out = static_cast<uInt>(std::min<std::size_t>(size, kMaxRequest));
    const uInt capacity = z.avail_out;
    while (z.avail_out > 0) {
      if (z.avail_in == 0 && !input_ended_) {
        auto chunk = input_.next_chunk();
        if (!chunk) return std::unexpected(std::move(chunk.error()));
        if (chunk->empty()) {
          input_ended_ = true;
        } else {
          z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(chunk->data()));
          z.avail_in = static_cast<uInt>(chunk->size());
        }
      }
      if (z.avail_in == 0 && input_ended_ && !in_member_) {
        ended_ = true;
        break;
      }
      if (z.avail_in > 0) in_member_ = true;
      const uInt out_before = z.avail_out;
      const int rc = inflate(&z, Z_NO_FLUSH);
      if (rc == Z_STREAM_END) {
        // The next member, if any, starts with its own header.
        inflateReset(&z);
        in_member_ = false;
        continue;
      }
      if (rc == Z_OK || rc == Z_BUF_ERROR) {
        // All input inflated and nothing more to flush: the member is cut off.
        if (input_ended_ && z.avail_in == 0 && z.avail_out == out_before) return truncated(name_);
        continue;
      }
      if (rc == Z_MEM_ERROR) return os_failure(name_, ENOMEM);
      const char* detail = z.msg != nullptr ? z.msg : zError(rc);
      return io_failure(name_ + ": not a valid gzip stream (" + detail +
                        "); the file may be damaged or not gzip-compressed");
    }
    return static_cast<std::size_t>(capacity - z.avail_out);
  }

 private:
  GzipStage(Stage& input, std::string name, std::unique_ptr<z_stream, InflateEnd> stream)
      : input_(input), name_(std::move(name)), stream_(std::move(stream)) {}

  Stage& input_;
  std::string name_;
  std::unique_ptr<z_stream, InflateEnd> stream_;
  bool input_ended_ = false;
  bool in_member_ = false;  // bytes of a member given to zlib, and its end not reached
  bool ended_ = false;
};

struct FreeDCtx {
  void operator()(ZSTD_DCtx* ctx) const { ZSTD_freeDCtx(ctx); }
};

// Zstd frames one after another (skippable frames included); a stream that
// ends inside a frame is truncated.
class ZstdStage final : public Stage {
 public:
  static SourceResult<std::unique_ptr<Stage>> create(Stage& input, const std::string& name) {
    std::unique_ptr<ZSTD_DCtx, FreeDCtx> ctx(ZSTD_createDCtx());
    if (!ctx) return os_failure(name, ENOMEM);
    return std::unique_ptr<Stage>(new ZstdStage(input, name, std::move(ctx)));
  }

  SourceResult<std::size_t> read(char* out, std::size_t size) override {
    if (ended_) return 0;
    ZSTD_outBuffer o{out, size, 0};
    while (o.pos < o.size) {
      if (in_.pos == in_.size && !input_ended_) {
        auto chunk = input_.next_chunk();
        if (!chunk) return std::unexpected(std::move(chunk.error()));
        if (chunk->empty()) {
          input_ended_ = true;
        } else {
          in_ = ZSTD_inBuffer{chunk->data(), chunk->size(), 0};
        }
      }
      if (in_.pos == in_.size && input_ended_ && !in_frame_) {
        ended_ = true;
        break;
      }
      const std::size_t out_before = o.pos;
      const std::size_t in_before = in_.pos;
      const std::size_t rc = ZSTD_decompressStream(ctx_.get(), &o, &in_);
      if (ZSTD_isError(rc)) {
        return io_failure(name_ + ": not a valid zstd stream (" + ZSTD_getErrorName(rc) +
                          "); the file may be damaged or not zstd-compressed");
      }
      // 0: a frame is complete and flushed; otherwise one is under way once
      // any of its bytes were taken.
      if (rc == 0) {
        in_frame_ = false;
      } else if (in_.pos > in_before) {
        in_frame_ = true;
      }
      if (input_ended_ && in_.pos == in_.size && o.pos == out_before && in_frame_) return truncated(name_);
    }
    return o.pos;
  }

 private:
  ZstdStage(Stage& input, std::string name, std::unique_ptr<ZSTD_DCtx, FreeDCtx> ctx)
      : input_(input), name_(std::move(name)), ctx_(std::move(ctx)) {}

  Stage& input_;
  std::string name_;
  std::unique_ptr<ZSTD_DCtx, FreeDCtx> ctx_;
  ZSTD_inBuffer in_{nullptr, 0, 0};
  bool input_ended_ = false;
  bool in_frame_ = false;
  bool ended_ = false;
};

struct CloseConverter {
  void operator()(UConverter* cnv) const { ucnv_close(cnv); }
};
using ConverterPtr = std::unique_ptr<UConverter, CloseConverter>;

// Text in another encoding converted to UTF-8 through a UTF-16 pivot, in
// streaming mode: a character cut between two chunks is completed from the
// next one. The first illegal or unmapped sequence stops the conversion.
class TranscodeStage final : public Stage {
 public:
  TranscodeStage(Stage& input, std::string name, std::string encoding, ConverterPtr from, ConverterPtr to)
      : input_(input),
        name_(std::move(name)),
        encoding_(std::move(encoding)),
        from_(std::move(from)),
        to_(std::move(to)),
        pivot_(std::make_unique<UChar[]>(kPivotUnits)),
        pivot_source_(pivot_.get()),
        pivot_target_(pivot_.get()) {}

  SourceResult<std::size_t> read(char* out, std::size_t size) override {
    if (ended_) return 0;
    char* target = out;
    char* const target_limit = out + std::min(size, kMaxRequest);
    for (;;) {
      if (pending_.empty() && !input_ended_) {
        auto chunk = input_.next_chunk();
        if (!chunk) return std::unexpected(std::move(chunk.error()));
        if (chunk->empty()) {
          input_ended_ = true;
        } else {
          pending_ = *chunk;
        }
      }
      // ICU wants a pointer even for no input; an empty span may have none.
      const char* const start = pending_.empty() ? "" : pending_.data();
      const char* source = start;
      UErrorCode status = U_ZERO_ERROR;
      ucnv_convertEx(to_.get(), from_.get(), &target, target_limit, &source, start + pending_.size(), pivot_.get(),
                     &pivot_source_, &pivot_target_, pivot_.get() + kPivotUnits, /*reset=*/false,
                     /*flush=*/input_ended_, &status);
      const auto taken = static_cast<std::size_t>(source - start);
      offset_ += taken;
      pending_ = pending_.subspan(taken);
      if (status == U_BUFFER_OVERFLOW_ERROR) break;  // `out` is full
      if (U_FAILURE(status)) return invalid_text();
      if (input_ended_) {
        ended_ = true;
        break;
      }
      if (target != out) break;
    }
    return static_cast<std::size_t>(target - out);
  }

 private:
  // The bad sequence ends where the converter stopped; its length is what
  // the converter holds as invalid.
  std::unexpected<SourceError> invalid_text() {
    char bad[32];  // ICU holds at most UCNV_MAX_CHAR_LEN (8) invalid bytes
    std::int8_t bad_len = sizeof bad;
    UErrorCode status = U_ZERO_ERROR;
    ucnv_getInvalidChars(from_.get(), bad, &bad_len, &status);
    if (U_FAILURE(status)) bad_len = 0;
    const std::uint64_t at = offset_ - std::min<std::uint64_t>(offset_, static_cast<std::uint64_t>(bad_len));
    std::string message = name_ + ": byte " + std::to_string(at) + ": not valid " + encoding_ +
                          " text; pass the file's encoding as encoding=...";
    return std::unexpected(SourceError{SourceError::Kind::Encoding, std::move(message), 0, at});
  }

  Stage& input_;
  std::string name_;
  std::string encoding_;
  ConverterPtr from_;
  ConverterPtr to_;
  std::unique_ptr<UChar[]> pivot_;
  UChar* pivot_source_;
  UChar* pivot_target_;
  std::span<const char> pending_;  // input not yet taken by the converter
  std::uint64_t offset_ = 0;       // input bytes taken by the converter
  bool input_ended_ = false;
  bool ended_ = false;
};

// The converters for a non-UTF-8 encoding, or none for UTF-8.
struct Converters {
  ConverterPtr from;
  ConverterPtr to;
};

std::unexpected<SourceError> unknown_encoding(const std::string& encoding) {
  return std::unexpected(SourceError{SourceError::Kind::Encoding,
                                     "unknown encoding \"" + encoding +
                                         "\"; pass an encoding name such as \"utf-8\", \"latin-1\", "
                                         "\"cp1252\" or \"utf-16\"",
                                     0, 0});
}

SourceResult<Converters> open_converters(const std::string& encoding) {
  // ICU compares names ignoring case, '-', '_' and spaces: "UTF8", "utf_8".
  if (ucnv_compareNames(encoding.c_str(), "utf-8") == 0) return Converters{};
  // An empty name would open ICU's default converter; a NUL would cut the name.
  if (encoding.empty() || encoding.find('\0') != std::string::npos) return unknown_encoding(encoding);
  UErrorCode status = U_ZERO_ERROR;
  ConverterPtr from(ucnv_open(encoding.c_str(), &status));
  if (U_FAILURE(status) || !from) return unknown_encoding(encoding);
  // Other names of UTF-8 (ICU aliases such as "ibm-1208") need no conversion either.
  if (ucnv_getType(from.get()) == UCNV_UTF8) return Converters{};
  ucnv_setToUCallBack(from.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  ConverterPtr to(ucnv_open("utf-8", &status));
  if (U_SUCCESS(status)) {
    ucnv_setFromUCallBack(to.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  }
  if (U_FAILURE(status) || !to) {
    return std::unexpected(SourceError{SourceError::Kind::Encoding,
                                       std::string("cannot convert from \"") + encoding +
                                           "\" to UTF-8 (" + u_errorName(status) + ")",
                                       0, 0});
  }
  return Converters{std::move(from), std::move(to)};
}

enum class Compression { None, Gzip, Zstd };

bool starts_with(std::span<const unsigned char> head, std::span<const unsigned char> magic) {
  return head.size() >= magic.size() && std::equal(magic.begin(), magic.end(), head.begin());
}

Compression by_magic(std::span<const unsigned char> head) {
  if (starts_with(head, kGzipMagic)) return Compression::Gzip;
  if (starts_with(head, kZstdMagic)) return Compression::Zstd;
  return Compression::None;
}

bool ends_with_nocase(std::string_view s, std::string_view suffix) {
  if (s.size() < suffix.size()) return false;
  return std::equal(suffix.begin(), suffix.end(), s.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                    [](char a, char b) { return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b + 32) : b); });
}

Compression by_extension(std::string_view path) {
  if (ends_with_nocase(path, ".gz")) return Compression::Gzip;
  if (ends_with_nocase(path, ".zst") || ends_with_nocase(path, ".zstd")) return Compression::Zstd;
  return Compression::None;
}

// The pipeline: input, decompression, conversion; the decoded text's leading
// UTF-8 byte-order mark is dropped here, whatever produced it. After a
// failure the same failure is returned for good.
class PipelineSource final : public ByteSource {
 public:
  static SourceResult<std::unique_ptr<ByteSource>> create(std::unique_ptr<RawInput> raw, Compression compression,
                                                          Converters converters, const std::string& name,
                                                          const std::string& encoding) {
    auto source = std::unique_ptr<PipelineSource>(new PipelineSource());
    Stage* top = raw.get();
    source->raw_ = std::move(raw);
    if (compression != Compression::None) {
      auto stage = compression == Compression::Gzip ? GzipStage::create(*top, name) : ZstdStage::create(*top, name);
      if (!stage) return std::unexpected(std::move(stage.error()));
      source->decompress_ = std::move(*stage);
      top = source->decompress_.get();
    }
    if (converters.from) {
      source->transcode_ = std::make_unique<TranscodeStage>(*top, name, encoding, std::move(converters.from),
                                                            std::move(converters.to));
      top = source->transcode_.get();
    }
    source->top_ = top;
    return std::unique_ptr<ByteSource>(std::move(source));
  }

  SourceResult<std::size_t> read(char* out, std::size_t size) override {
    if (failure_) return std::unexpected(*failure_);
    auto n = read_text(out, size);
    if (!n) failure_ = n.error();
    return n;
  }

  std::optional<std::uint64_t> input_size() const override { return raw_->size(); }
  std::uint64_t input_consumed() const override { return raw_->consumed(); }
  std::uint64_t dropped_prefix() const override { return dropped_; }

 private:
  PipelineSource() = default;

  SourceResult<std::size_t> read_text(char* out, std::size_t size) {
    if (!bom_checked_) {
      // Gather the first three bytes, however small the stages' reads.
      while (lead_len_ < sizeof lead_) {
        auto n = top_->read(lead_ + lead_len_, sizeof lead_ - lead_len_);
        if (!n) return n;
        if (*n == 0) break;
        lead_len_ += *n;
      }
      bom_checked_ = true;
      if (lead_len_ == sizeof kUtf8Bom && std::memcmp(lead_, kUtf8Bom, sizeof kUtf8Bom) == 0) {
        lead_len_ = 0;
        dropped_ = sizeof kUtf8Bom;
      }
    }
    std::size_t done = 0;
    if (lead_pos_ < lead_len_) {
      done = std::min(size, lead_len_ - lead_pos_);
      std::memcpy(out, lead_ + lead_pos_, done);
      lead_pos_ += done;
      if (done == size) return done;
    }
    auto n = top_->read(out + done, size - done);
    if (!n) return n;
    return done + *n;
  }

  // Declared in pipeline order, so each stage is destroyed before the one it reads.
  std::unique_ptr<RawInput> raw_;
  std::unique_ptr<Stage> decompress_;
  std::unique_ptr<Stage> transcode_;
  Stage* top_ = nullptr;
  char lead_[3] = {};
  std::size_t lead_len_ = 0;
  std::size_t lead_pos_ = 0;
  bool bom_checked_ = false;
  std::uint64_t dropped_ = 0;
  std::optional<SourceError> failure_;
};

}  // namespace

SourceResult<std::unique_ptr<ByteSource>> open_file(const std::string& path, const SourceOptions& options) {
  auto converters = open_converters(options.encoding);
  if (!converters) return std::unexpected(std::move(converters.error()));
  auto raw = FileInput::open(path);
  if (!raw) return std::unexpected(std::move(raw.error()));
  // The bytes decide; the extension only makes a file without the magic bytes
  // fail as the compressed file it claims to be.
  Compression compression = by_magic((*raw)->head());
  if (compression == Compression::None) compression = by_extension(path);
  return PipelineSource::create(std::move(*raw), compression, std::move(*converters), path, options.encoding);
}

SourceResult<std::unique_ptr<ByteSource>> open_buffer(const char* data, std::size_t size, std::string name,
                                                      const SourceOptions& options) {
  auto converters = open_converters(options.encoding);
  if (!converters) return std::unexpected(std::move(converters.error()));
  auto raw = std::make_unique<BufferInput>(data, size);
  const Compression compression = by_magic(raw->head());
  return PipelineSource::create(std::move(raw), compression, std::move(*converters), name, options.encoding);
}

}  // namespace vorpel::readers

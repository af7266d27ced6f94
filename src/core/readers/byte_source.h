#pragma once
// The byte source of the CSV reader: a sequential stream of UTF-8 bytes from
// a file or a caller's buffer, decompressed (gzip, zstd) and transcoded from
// the input's encoding. Memory is a few fixed buffers whatever the input's
// size; plain UTF-8 is read straight into the caller's blocks.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>

namespace vorpel::readers {

// Where a read failed, for the message and the Python exception.
struct SourceError {
  enum class Kind : std::uint8_t { Io, Encoding };
  Kind kind;
  // Complete and user-visible, e.g. "orders.csv: No such file or directory".
  std::string message;
  // errno for an operating-system failure, 0 otherwise.
  int os_error = 0;
  // Encoding: offset in the (decompressed) input of the first bad byte.
  std::uint64_t byte_offset = 0;
};

template <class T>
using SourceResult = std::expected<T, SourceError>;

struct SourceOptions {
  // An ICU converter name: "utf-8" (the default: no conversion), "latin-1",
  // "cp1252", "utf-16", "utf-16le", "shift_jis", ...
  std::string encoding = "utf-8";
};

// A sequential source of UTF-8 bytes: decompressed and transcoded.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `size` (> 0) bytes into `out`; returns 0 only at the end of
  // the input. After a failure every later read returns the same failure.
  virtual SourceResult<std::size_t> read(char* out, std::size_t size) = 0;
  // Bytes of the underlying input (the file size, or the buffer size) when
  // known; for engine choice and progress.
  virtual std::optional<std::uint64_t> input_size() const = 0;
  // Bytes of underlying input consumed so far (compressed bytes for a
  // compressed file), for progress.
  virtual std::uint64_t input_consumed() const = 0;
  // Bytes dropped from the start of the text (a byte-order mark), so that
  // offsets in the text can be given as offsets in the decoded input.
  virtual std::uint64_t dropped_prefix() const = 0;
};

// Opens a file: plain, gzip or zstd. Compression is recognised by the magic
// bytes (1f 8b for gzip, 28 b5 2f fd for zstd) and otherwise by the extension
// (".gz"; ".zst", ".zstd"), so a compressed file without the extension still
// reads and a damaged one with it reports its damage. Concatenated gzip
// members and zstd frames are all read. A leading UTF-8 byte-order mark of the
// decoded text is dropped. With an encoding other than UTF-8 the bytes are
// converted to UTF-8, stopping at the first illegal or unmapped sequence.
// UTF-8 input is passed on unvalidated.
SourceResult<std::unique_ptr<ByteSource>> open_file(const std::string& path, const SourceOptions& options);

// The same over bytes the caller keeps alive for the source's lifetime (plain
// UTF-8 is not copied). Compression is recognised by the magic bytes only.
// `name` stands for the input in messages (e.g. "<bytes>").
SourceResult<std::unique_ptr<ByteSource>> open_buffer(const char* data, std::size_t size, std::string name,
                                                      const SourceOptions& options);

}  // namespace vorpel::readers

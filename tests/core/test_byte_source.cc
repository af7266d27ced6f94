// The byte source: plain, gzip and zstd files and buffers read back exactly at
// any read size, the byte-order mark, conversion from other encodings across
// chunk edges with the offset of bad text, and the message of every failure.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <tuple>

#include <zlib.h>
#include <zstd.h>

#include "core/readers/byte_source.h"

namespace vorpel::readers {
namespace {

// Test names: the case's name, and the read size when there is one.
struct CaseName {
  template <class Info>
  std::string operator()(const Info& info) const {
    if constexpr (requires { info.param.name; }) {
      return info.param.name;
    } else {
      return std::string(std::get<0>(info.param).name) + "_read" + std::to_string(std::get<1>(info.param));
    }
  }
};

std::string gzip(std::string_view text) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, text.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string zstd(std::string_view text) {
  std::string out(ZSTD_compressBound(text.size()), '\0');
  out.resize(ZSTD_compress(out.data(), out.size(), text.data(), text.size(), 3));
  return out;
}

std::string utf16(std::u16string_view text, bool big_endian) {
  std::string out;
  for (char16_t u : text) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += big_endian ? std::string{hi, lo} : std::string{lo, hi};
  }
  return out;
}

std::string repeat(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "byte_source_XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string path(const std::string& name) const { return (path_ / name).string(); }
  std::string write(const std::string& name, std::string_view bytes) const {
    std::ofstream(path(name), std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path(name);
  }

 private:
  std::filesystem::path path_;
};

SourceResult<std::string> read_all(ByteSource& source, std::size_t step) {
  std::string text, block(step, '\0');
  for (;;) {
    auto n = source.read(block.data(), step);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) return text;
    EXPECT_LE(*n, step);
    text.append(block, 0, *n);
  }
}

// ---------------------------------------------------------------- round trip

struct RoundTripCase {
  const char* name;
  std::function<std::string(std::string_view)> compress;  // one member or frame
  const char* file;                                       // nullptr: read from a buffer
  int members;                                            // the text split into this many
};

class RoundTrip : public ::testing::TestWithParam<std::tuple<RoundTripCase, std::size_t>> {};

TEST_P(RoundTrip, ReadsBackTheTextAndConsumesTheInput) {
  const auto& [c, step] = GetParam();
  // Random fields compress poorly: the compressed input spans several 1 MiB chunks.
  static const std::string text = [] {
    static constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789,,\n";
    std::mt19937 rng(7);
    std::string s = "id,caf\xC3\xA9\n";
    while (s.size() < 1600 * 1024) s += kAlphabet[rng() % kAlphabet.size()];
    return s;
  }();
  std::string input;
  for (int i = 0; i < c.members; ++i) {
    const std::size_t begin = text.size() * i / c.members, end = text.size() * (i + 1) / c.members;
    input += c.compress(std::string_view(text).substr(begin, end - begin));
    if (i == 0 && c.members > 1) input += c.compress("");  // a member that gives no byte
  }
  TempDir dir;
  auto source = c.file ? open_file(dir.write(c.file, input), {}) : open_buffer(input.data(), input.size(), "<b>", {});
  ASSERT_TRUE(source) << source.error().message;
  auto got = read_all(**source, step);
  ASSERT_TRUE(got) << got.error().message;
  EXPECT_TRUE(*got == text) << "read " << got->size() << " bytes of " << text.size();
  EXPECT_EQ((*source)->input_size(), input.size());
  EXPECT_EQ((*source)->input_consumed(), input.size());
}

const auto plain = [](std::string_view s) { return std::string(s); };

INSTANTIATE_TEST_SUITE_P(
    All, RoundTrip,
    ::testing::Combine(::testing::Values(RoundTripCase{"plain_file", plain, "data.csv", 1},
                                         RoundTripCase{"plain_buffer", plain, nullptr, 1},
                                         RoundTripCase{"gz_file", gzip, "data.csv.gz", 1},
                                         RoundTripCase{"gz_members_no_extension", gzip, "data", 3},
                                         RoundTripCase{"gz_members_buffer", gzip, nullptr, 3},
                                         RoundTripCase{"zst_file", zstd, "data.csv.zst", 1},
                                         RoundTripCase{"zst_frames_file", zstd, "data.zstd", 3},
                                         RoundTripCase{"zst_frames_buffer", zstd, nullptr, 3}),
                       ::testing::Values(std::size_t{1}, std::size_t{7}, std::size_t{65536})),
    CaseName());

// ---------------------------------------------------------------- decoding

struct DecodeCase {
  const char* name;
  const char* encoding;
  std::string input;
  std::string expected;                                  // the text, when it decodes
  std::optional<std::uint64_t> bad_byte = std::nullopt;  // else the offset of the bad text
};

class Decode : public ::testing::TestWithParam<std::tuple<DecodeCase, std::size_t>> {};

TEST_P(Decode, GivesTheUtf8TextOrTheOffsetOfBadText) {
  const auto& [c, step] = GetParam();
  auto source = open_buffer(c.input.data(), c.input.size(), "<bytes>", {c.encoding});
  ASSERT_TRUE(source) << source.error().message;
  auto got = read_all(**source, step);
  if (!c.bad_byte) {
    ASSERT_TRUE(got) << got.error().message;
    EXPECT_EQ(*got, c.expected);
    return;
  }
  for (int attempt = 0; attempt < 2; ++attempt, got = read_all(**source, step)) {  // the failure stays
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().kind, SourceError::Kind::Encoding);
    EXPECT_EQ(got.error().byte_offset, *c.bad_byte);
    EXPECT_EQ(got.error().message, "<bytes>: byte " + std::to_string(*c.bad_byte) + ": not valid " + c.encoding +
                                       " text; pass the file's encoding as encoding=...");
  }
}

// One ASCII byte, then two-byte Shift_JIS characters: every 1 MiB chunk edge
// falls inside a character.
const std::string kSjis = "a" + repeat("\x93\xFA\x96\x7B", 400000);
const std::string kSjisUtf8 = "a" + repeat("日本", 400000);
const std::string kText16 = "é € ÿ 😀";

INSTANTIATE_TEST_SUITE_P(
    All, Decode,
    ::testing::Combine(
        ::testing::Values(
            DecodeCase{"bom_dropped", "utf-8", "\xEF\xBB\xBF" "a,b\n", "a,b\n"},
            DecodeCase{"only_the_leading_bom", "UTF8", "\xEF\xBB\xBF\xEF\xBB\xBFx", "\xEF\xBB\xBFx"},
            DecodeCase{"partial_bom_kept", "utf-8", "\xEF\xBB", "\xEF\xBB"},
            DecodeCase{"empty", "utf-8", "", ""},
            DecodeCase{"utf8_not_validated", "utf-8", "\xFF\xFE\x80", "\xFF\xFE\x80"},
            DecodeCase{"bom_of_decompressed_text", "utf-8", gzip("\xEF\xBB\xBFq"), "q"},
            DecodeCase{"latin1", "latin-1", "caf\xE9 \xFF", "café ÿ"},
            DecodeCase{"cp1252", "cp1252", "\x80 caf\xE9 \xFF", "€ café ÿ"},
            DecodeCase{"utf16_le_bom", "utf-16", utf16(u"\uFEFFé € ÿ 😀", false), kText16},
            DecodeCase{"utf16_be_bom", "utf-16", utf16(u"\uFEFFé € ÿ 😀", true), kText16},
            DecodeCase{"utf16le_bom_dropped", "utf-16le", utf16(u"\uFEFFé € ÿ 😀", false), kText16},
            DecodeCase{"shift_jis_over_chunk_edges", "shift_jis", kSjis, kSjisUtf8},
            DecodeCase{"shift_jis_gz_over_chunk_edges", "shift_jis", gzip(kSjis), kSjisUtf8},
            DecodeCase{"utf16le_odd_last_byte", "utf-16le", std::string("a\0b\0c", 5), "", 4},
            DecodeCase{"utf16_lone_surrogate", "utf-16", utf16(u"\uFEFFa\xD800" u"b", false), "", 4},
            DecodeCase{"shift_jis_bad_trail_byte", "shift_jis", "ab\x81\x20zz", "", 2},
            DecodeCase{"ascii_past_chunk_edges", "us-ascii", std::string(1536 * 1024, 'a') + "\x80", "", 1536 * 1024},
            DecodeCase{"offset_in_decompressed_bytes", "utf-16le", gzip(std::string(4001, 'a')), "", 4000}),
        ::testing::Values(std::size_t{1}, std::size_t{65536})),
    CaseName());

// ---------------------------------------------------------------- failures

struct FailureCase {
  const char* name;
  const char* file;                    // "": the directory itself
  std::function<std::string()> bytes;  // nullptr: no such file
  const char* encoding;
  SourceError::Kind kind;
  int os_error;
  std::string message;  // "{path}" stands for the path; empty: reads as empty text
};

class Failure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(Failure, ReportsTheMessage) {
  const auto& c = GetParam();
  TempDir dir;
  const std::string path = c.bytes && *c.file ? dir.write(c.file, c.bytes()) : dir.path(c.file);
  std::string message = c.message;
  if (auto at = message.find("{path}"); at != std::string::npos) message.replace(at, 6, path);
  auto source = open_file(path, {c.encoding});
  auto got = source ? read_all(**source, 65536) : std::unexpected(source.error());
  if (message.empty()) {
    ASSERT_TRUE(got) << got.error().message;
    EXPECT_EQ(*got, "");
    return;
  }
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().message, message);
  EXPECT_EQ(got.error().kind, c.kind);
  EXPECT_EQ(got.error().os_error, c.os_error);
}

const std::string kGzip = gzip("a,b\n1,2\n");
const std::string kZstd = zstd("a,b\n1,2\n");
constexpr auto kIo = SourceError::Kind::Io;
const std::string kTruncated = "{path}: the compressed stream ends early; the file may be truncated";

std::function<std::string()> bytes(std::string s) {
  return [s] { return s; };
}
std::string bad_gzip(std::string detail) {
  return "{path}: not a valid gzip stream (" + detail + "); the file may be damaged or not gzip-compressed";
}
std::string bad_zstd(std::string detail) {
  return "{path}: not a valid zstd stream (" + detail + "); the file may be damaged or not zstd-compressed";
}

INSTANTIATE_TEST_SUITE_P(
    All, Failure,
    ::testing::Values(
        FailureCase{"missing", "absent.csv", nullptr, "utf-8", kIo, ENOENT, "{path}: No such file or directory"},
        FailureCase{"directory", "", bytes(""), "utf-8", kIo, EISDIR, "{path}: Is a directory"},
        FailureCase{"unknown_encoding", "absent.csv", nullptr, "klingon", SourceError::Kind::Encoding, 0,
                    "unknown encoding \"klingon\"; pass an encoding name such as \"utf-8\", \"latin-1\", "
                    "\"cp1252\" or \"utf-16\""},
        FailureCase{"plain_named_gz", "x.csv.gz", bytes("a,b\n"), "utf-8", kIo, 0, bad_gzip("incorrect header check")},
        FailureCase{"gz_bad_checksum", "x.gz", [] { auto s = kGzip; s[s.size() - 8] ^= 1; return s; }, "utf-8", kIo,
                    0, bad_gzip("incorrect data check")},
        FailureCase{"gz_garbage_after", "x.gz", bytes(kGzip + "junk"), "utf-8", kIo, 0,
                    bad_gzip("incorrect header check")},
        FailureCase{"gz_cut_in_trailer", "x.gz", bytes(kGzip.substr(0, kGzip.size() - 3)), "utf-8", kIo, 0, kTruncated},
        FailureCase{"gz_cut_in_header", "x", bytes(kGzip.substr(0, 3)), "utf-8", kIo, 0, kTruncated},
        FailureCase{"gz_empty_file", "x.gz", bytes(""), "utf-8", kIo, 0, ""},
        FailureCase{"plain_named_zst", "x.zst", bytes("a,b\n"), "utf-8", kIo, 0, bad_zstd("Unknown frame descriptor")},
        FailureCase{"plain_named_zstd", "x.ZSTD", bytes("a"), "utf-8", kIo, 0, bad_zstd("Unknown frame descriptor")},
        FailureCase{"zst_cut", "x.zst", bytes(kZstd.substr(0, kZstd.size() - 2)), "utf-8", kIo, 0, kTruncated},
        FailureCase{"zst_cut_transcoding", "x", bytes(kZstd.substr(0, 6)), "latin-1", kIo, 0, kTruncated}),
    CaseName());

}  // namespace
}  // namespace vorpel::readers

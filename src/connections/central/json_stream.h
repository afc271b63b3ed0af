// The DataSnap TCP/IP message stream: JSON-like objects, no length prefix, raw binary blocks inside.
//
// The stream is byte = char: each byte read is the character of the same number (Latin-1), and the
// writer sends characters below 32 or above 255 as \uXXXX. Texts in this program are UTF-8, so the
// reader and writer convert at this boundary.
//
// Binary blocks are written `{"data":[N,<exactly |N| raw bytes>]}` (also under "metadata" and
// "callback"); N may be followed by blanks before the comma, and N <= 0 marks the last chunk of a
// blob transfer. Plain brace matching cannot find the end of such a message, so the reader works
// token by token and switches to counting raw bytes after `"data":[N,`.
//
// Everything read comes from a peer that may be broken or hostile: every malformed, truncated or
// oversized input raises ProtocolError, and no allocation is sized by a number the peer wrote
// before the bytes themselves have arrived.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "connections/central/protocol_error.h"

namespace central {

// Where the reader's bytes come from: a socket, or memory in tests.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to `capacity` bytes; 0 at the end of the stream. May throw (time-out, reset).
  virtual std::size_t Read(char* buffer, std::size_t capacity) = 0;
};

class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
  explicit MemorySource(std::string&&) = delete;  // keeps a view: the bytes must outlive it
  std::size_t Read(char* buffer, std::size_t capacity) override;

 private:
  std::string_view bytes_;
};

// Buffered reading with one byte of look-ahead.
class StreamReader {
 public:
  explicit StreamReader(ByteSource& source) : source_(source) {}
  // The next byte without consuming it; -1 at the end of the stream.
  int Peek();
  // The next byte; ProtocolError at the end of the stream.
  unsigned char Get();
  // Appends exactly n bytes to `out`, growing it only as bytes arrive.
  void ReadExact(std::string& out, std::size_t n);
  // Bytes consumed since construction.
  std::uint64_t Consumed() const { return consumed_; }

 private:
  bool Fill();
  ByteSource& source_;
  std::vector<char> buf_ = std::vector<char>(16384);
  std::size_t pos_ = 0, end_ = 0;
  std::uint64_t consumed_ = 0;
};

struct JMember;

struct JValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject, kBlob };
  Kind kind = Kind::kNull;
  bool boolean = false;
  std::string text;              // number as written; string as UTF-8; blob bytes
  std::int64_t blob_count = 0;   // a blob's N as written (negative or 0: last chunk)
  std::vector<JValue> items;     // array elements
  std::vector<JMember> members;  // object members in order

  bool Is(Kind k) const { return kind == k; }
  // The member of an object, or nullptr.
  const JValue* Find(std::string_view key) const;
  // Typed access; ProtocolError when the value is not of that kind.
  std::int64_t AsInt() const;
  std::int32_t AsInt32() const;  // ProtocolError outside the 32-bit range as well
  const std::string& AsString() const;
  const JValue& At(std::size_t i) const;  // array element
};

struct JMember {
  std::string first;  // the name
  JValue second;
};

// What one message may cost. Bytes alone do not bound the memory a message takes: every value
// read becomes a node of about a hundred bytes, so "[0,0,0,...]" would cost fifty times its
// size. The values are counted too. No answer the agent needs comes near these limits (the
// largest, a prepare answer, holds about a hundred values; a binary block holds one parameter
// row or one chunk of a value).
struct ReadLimits {
  std::size_t max_depth = 32;
  std::uint64_t max_message = 2u << 20;  // bytes per message
  std::uint64_t max_blob = 1u << 20;     // bytes per binary block
  std::size_t max_values = 4096;         // values (of any kind, members included) per message
};

// Reads the next message object. Blanks and stray '}' before it are skipped: the server closes an
// error object with one brace only, so when the outer object's first member is "error" the message
// ends right after that member's value, and a '}' that may still follow is skipped by the next read.
JValue ReadMessage(StreamReader& in, const ReadLimits& limits = {});
// The first message of a byte string (tests, fuzzing).
JValue ParseMessage(std::string_view bytes, const ReadLimits& limits = {});

// ---- writing ---------------------------------------------------------------------------------

// A quoted string, byte = char, with \u escapes for characters below 32 or above 255.
void AppendJsonString(std::string& out, std::string_view utf8);
// `{"data":[N,<bytes>]}`; `last` makes N = -size (0 for an empty last chunk). `pad` writes N
// space-padded to 9 characters, as the server's blob chunks are.
void AppendDataObject(std::string& out, std::string_view bytes, bool last, bool pad);

}  // namespace central

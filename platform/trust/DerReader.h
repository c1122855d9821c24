#pragma once

#include <cstddef>
#include <cstdint>

namespace qrv::platform {

// Internal to platform/trust: walks definite-length DER one element at a
// time without copying. Used where the signature check must see the exact
// bytes that were signed (OpenSSL's parsed structures re-encode them).
//
// Only what the signature formats use is accepted: one-byte tags and
// definite lengths of at most four length bytes. Anything else, or an
// element that claims more bytes than are left, makes Next() fail, so
// malformed input can never make a caller read outside the buffer.
//
// Thread: any; the reader only looks at the caller's buffer, which must
// outlive it.
class DerReader {
 public:
  struct Element {
    uint8_t tag = 0;
    const uint8_t* begin = nullptr;    // first byte of the tag
    const uint8_t* content = nullptr;  // first byte of the content
    size_t length = 0;                 // content length
    size_t Total() const { return static_cast<size_t>(content - begin) + length; }
  };

  DerReader(const uint8_t* data, size_t size) : m_pos(data), m_end(data + size) {}

  // Reads the next element; false (and the reader stuck) at the end or on a
  // malformed element.
  bool Next(Element& out);
  // Reads the next element and requires its tag.
  bool Next(uint8_t tag, Element& out) { return Next(out) && out.tag == tag; }
  bool AtEnd() const { return m_pos == m_end; }

 private:
  const uint8_t* m_pos;
  const uint8_t* m_end;
};

}  // namespace qrv::platform

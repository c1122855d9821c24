#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

namespace qrv {

// Base of the streaming text coders (hex, Base64, URL encoding). A coder
// takes input through Put, turns it byte by byte (PutByte) into output bytes
// that wait in a queue, and hands the whole waiting output out through Get.
// This base passes bytes through unchanged.
//
// Call order: any number of Put calls, then End() exactly once so that a
// coder holding a partial group writes (or drops) it, then GetLength / Get.
// End() leaves the coder ready for a new input.
//
// Ownership: the output queue is either the coder's own (no queue given) or
// one the caller passes in and keeps alive for the coder's lifetime, which
// lets several coders write into one queue.
//
// Errors: throws CQUpdateUtilCoderException for a Put of length 0 (from the
// subclasses, with their class name in the text), for a Put of a null pointer
// with a non-zero length, and for Get into a null buffer. std::bad_alloc may
// pass through when the queue cannot grow. Bad input characters of the
// decoders are skipped, never reported.
//
// Thread: an object belongs to one thread at a time.
class CQUpdateUtilCoder {
 public:
  using Queue = std::deque<uint8_t>;

  explicit CQUpdateUtilCoder(Queue* queue = nullptr);
  virtual ~CQUpdateUtilCoder();
  CQUpdateUtilCoder(const CQUpdateUtilCoder&) = delete;
  CQUpdateUtilCoder& operator=(const CQUpdateUtilCoder&) = delete;

  // Feeds `length` bytes to PutByte, in order.
  virtual void Put(const uint8_t* data, size_t length);
  virtual void PutByte(uint8_t byte);
  virtual void End();

  // Put of the bytes of a text (an empty text is a zero-length Put).
  void PutText(std::string_view text);

  // Bytes waiting in the output queue.
  size_t GetLength() const;
  // Moves all waiting bytes into `buffer`, which must hold GetLength() bytes
  // (no terminating zero is written), and returns their number; the queue is
  // empty afterwards.
  size_t Get(uint8_t* buffer);
  // Same as Get, into a string.
  std::string GetText();

 protected:
  // The queue output goes to, for subclasses that hand it on to a helper
  // coder of their own.
  Queue* OutputQueue() const { return m_queue; }
  void Emit(uint8_t byte) { m_queue->push_back(byte); }
  // Throws "<coder>::Put() -- 0 length received" when length is 0.
  static void CheckLength(size_t length, const char* coder);

 private:
  std::unique_ptr<Queue> m_ownQueue;
  Queue* m_queue;
};

}  // namespace qrv

#include "config/CQUpdateUtilCoder.h"

#include <algorithm>
#include <new>

#include "config/CQUpdateUtilCoderException.h"

namespace qrv {

CQUpdateUtilCoder::CQUpdateUtilCoder(Queue* queue)
    : m_ownQueue(queue == nullptr ? std::make_unique<Queue>() : nullptr),
      m_queue(queue == nullptr ? m_ownQueue.get() : queue) {}

CQUpdateUtilCoder::~CQUpdateUtilCoder() = default;

void CQUpdateUtilCoder::Put(const uint8_t* data, size_t length) {
  if (data == nullptr && length != 0) {
    throw CQUpdateUtilCoderException("CQUpdateUtilCoder::Put() -- parameter required non-null value");
  }
  for (size_t i = 0; i < length; ++i) PutByte(data[i]);
}

void CQUpdateUtilCoder::PutByte(uint8_t byte) { Emit(byte); }

void CQUpdateUtilCoder::End() {}

void CQUpdateUtilCoder::PutText(std::string_view text) {
  Put(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

size_t CQUpdateUtilCoder::GetLength() const { return m_queue->size(); }

size_t CQUpdateUtilCoder::Get(uint8_t* buffer) {
  if (buffer == nullptr) {
    throw CQUpdateUtilCoderException("CQUpdateUtilCoder::Get() -- parameter required non-null value");
  }
  const size_t count = m_queue->size();
  std::copy(m_queue->begin(), m_queue->end(), buffer);
  m_queue->clear();
  return count;
}

std::string CQUpdateUtilCoder::GetText() {
  std::string text;
  try {
    text.assign(m_queue->begin(), m_queue->end());
  } catch (const std::bad_alloc&) {
    // The queue is kept, so a caller that frees memory can fetch it again.
    throw CQUpdateUtilCoderException("CQUpdateUtilCoder::Get() -- internal memory allocation error");
  }
  m_queue->clear();
  return text;
}

void CQUpdateUtilCoder::CheckLength(size_t length, const char* coder) {
  if (length == 0) {
    throw CQUpdateUtilCoderException(std::string(coder) + "::Put() -- 0 length received");
  }
}

}  // namespace qrv

#include "platform/core/LastError.h"

#include <utility>

namespace qrv::platform {
namespace {
thread_local std::string t_text;
}

void LastError::Set(std::string text) { t_text = std::move(text); }
void LastError::Clear() { t_text.clear(); }
const std::string& LastError::Text() { return t_text; }

}  // namespace qrv::platform

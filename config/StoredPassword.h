#pragma once

#include <string>
#include <string_view>

namespace qrv {

// Server passwords kept in the settings store are never written in plain
// text: they are RC2-encrypted under the key of a pass phrase built into the
// program and stored as upper-case hexadecimal text, readable by (and from)
// other installations of the updater.
//
// Neither function throws. On failure the out string is left empty and,
// when `error` is given, it receives the reason with the actual values; on
// success `error` is cleared.
//
// Thread: any; no shared state.

// Encrypts a password. The text has 16 * (n / 8 + 1) digits for n bytes of
// password. A password holding a NUL byte is refused, since reading it back
// stops at the first NUL.
bool EncryptPassword(std::string_view plain, std::string& hexOut, std::string* error = nullptr);

// Decrypts a stored text. Characters that are not hexadecimal digits are
// skipped and an odd last digit is dropped; either case of letters reads.
// Values written by old installations with the 40-bit key are recognised by
// their padding and read as well. Fails for a text without digits, for a
// byte count that is not a whole number of 8-byte blocks, and when the
// padding checks out under neither key. The result stops at the first NUL.
bool DecryptPassword(std::string_view hexText, std::string& plainOut, std::string* error = nullptr);

}  // namespace qrv

#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qrv::platform {

// Text that came from outside (an update server's version texts, product and
// file names) made safe to put on a terminal or into a log. A terminal acts
// on control characters: ESC starts sequences that retitle the window, move
// the cursor or clear the screen, and C1 characters (U+0080..U+009F) do the
// same on terminals that honour them. Each such character, and each byte that
// is not part of valid UTF-8, is shown as a visible escape instead:
//
//   ESC -> \e   LF -> \n   CR -> \r   TAB -> \t
//   other C0 and DEL, invalid bytes   -> \xNN   (the byte, upper-case hex)
//   C1 characters (two bytes in UTF-8) -> \u00NN
//   bidirectional controls (U+200E, U+200F, U+202A..U+202E,
//   U+2066..U+2069), which reorder what is shown -> \uNNNN
//
// Everything else stays as it is: printable ASCII (a backslash too, so
// server paths such as "sub\file.cab" read as written) and valid UTF-8 of
// non-control characters. Escaped text holds only such characters, so
// escaping it again changes nothing.
//
// Thread: any; no state.
class DisplayText {
 public:
  static std::string Escape(std::string_view text);

  // The escaped text as the pieces a cut may not split: one piece per
  // character kept, one per escape. Joined, they are Escape(text).
  static std::vector<std::string> Pieces(std::string_view text);

  // Whether Escape would change text.
  static bool NeedsEscape(std::string_view text);

  // Characters a piece takes on the screen: one for a kept character, the
  // length of an escape for an escape.
  static size_t Width(std::string_view piece);
};

}  // namespace qrv::platform

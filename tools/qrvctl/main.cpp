// qrvctl: the administrators' tool. Reads and writes the updater's registry
// store, profile files and stored passwords exactly as the updater does, so
// scripts and installers can prepare and inspect a machine.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/core/SystemRoot.h"
#include "tools/qrvctl/CabCommand.h"
#include "tools/qrvctl/CommandOutput.h"
#include "tools/qrvctl/FetchCommand.h"
#include "tools/qrvctl/VerifyCommand.h"
#include "tools/qrvctl/IniCommand.h"
#include "tools/qrvctl/PasswordCommand.h"
#include "tools/qrvctl/PendingCommand.h"
#include "tools/qrvctl/RegCommand.h"

namespace {

constexpr const char* kHelp =
    R"(Usage: qrvctl [--root DIR] COMMAND ...

Administer Qorvane Update: its registry store, profile files and stored passwords.

Options:
  --root DIR     use DIR as the system root (default: $QRVUPDATE_ROOT, else /);
                 the registry stores live in DIR/var/lib/qrvupdate/
  --help         show this help
  --version      show the version

Registry (KEY is ROOT\path, ROOT one of HKLM, HKCU, HKCR, HKU, HKCC or
HKEY_LOCAL_MACHINE, ...; e.g. HKLM\SOFTWARE\QRV\Shared\QrvUpdate):
  reg query KEY [VALUE]         print NAME<TAB>TYPE<TAB>DATA per value (DWORD in
                                decimal, BINARY in upper-case hex); exit 1 when
                                the key or value does not exist
  reg add KEY VALUE TYPE DATA   write a value, creating missing keys; TYPE is
                                REG_SZ, REG_DWORD (decimal or 0x-hex) or
                                REG_BINARY (hex digit pairs)
  reg delete KEY [VALUE]        delete a value, or the key with all below it
  reg subkeys KEY               print the subkeys, one a line, in order
  reg export KEY FILE           write KEY and all below it as a REGEDIT4 file,
                                readable by its owner only (it may hold the
                                stored password); FILE - for standard output;
                                strings with control characters, NUL or bytes
                                that are not UTF-8 are written as hex(1) bytes
  reg import FILE               apply a REGEDIT4 (or version 5.00) file in one
                                transaction; a file with any error, or a name
                                or value the store cannot hold, changes nothing

Profile (INI) files:
  ini get FILE SECTION KEY [DEFAULT]      print the value as the updater reads
                                          it (at most 259 characters)
  ini getint FILE SECTION KEY DEFAULT     print the value as a signed 32-bit number
  ini set FILE SECTION KEY VALUE          write a value (file created if missing)
  ini delete FILE SECTION [KEY]           delete a key, or the whole section

Stored passwords:
  password encrypt [TEXT]       print the hexadecimal text stored for TEXT;
                                without TEXT it is read from standard input
                                (a terminal: one line, not echoed), which keeps
                                it out of the process list other users see
  password decrypt [HEX]        print the plain text of a stored password
                                (HEX from standard input when not given)

Cabinets and signatures:
  cab list FILE                 print one line per file of FILE (and of the
                                cabinets that continue it): NAME<TAB>SIZE<TAB>
                                YYYY-MM-DD HH:MM:SS<TAB>ATTRIBUTES; the time as
                                stored; attributes as 7 letters, '-' when not
                                set: R read-only, H hidden, S system, A archive,
                                X executable, U UTF-8 name, Z UTC time; a name
                                that extraction refuses ends in <TAB>refused: WHY
  cab extract FILE DIR          unpack FILE (and the cabinets that continue it)
                                below DIR, creating missing folders
  verify [--anchors PEM] FILE   check FILE's signature; print the signer's
                                subject and "accepted", or the reason for refusal

Update server:
  fetch FILE DIR                with the server settings of the store, connect
                                and download FILE into DIR; print the result

Replacements queued for the next start (files that could not be replaced
while the system ran):
  pending list                  print SOURCE<TAB>TARGET per queued file, in order
  pending run                   copy every queued file over its target, in order;
                                done entries are removed, failing ones stay
                                queued (exit 1, one message per entry); an
                                entry whose file is not in the pending folder,
                                whose target lies outside the root (on a real
                                system: outside every product's folder) or is
                                reached through a symbolic link is refused;
                                what qrvupdate --finish-pending runs at boot,
                                refused (exit 1) while an update run holds
                                the run lock

Text printed for reading (values, names, paths, messages) shows control
characters and bytes that are not UTF-8 as escapes: \e for ESC, \n, \r, \t,
\xNN for other bytes, \u00NN for C1 characters. Exports and decrypted
passwords are written byte for byte.

Exit status: 0 success, 1 failure (reason on standard error), 2 usage error.
)";

}  // namespace

int main(int argc, char** argv) {
  using qrv::tools::CommandOutput;
  std::vector<std::string> args(argv + 1, argv + argc);
  size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("qrvctl %s\n", QRV_VERSION);
      return 0;
    }
    if (a == "--root") {
      if (i + 1 >= args.size() || !qrv::platform::SystemRoot::SetFromOption(args[++i])) {
        return CommandOutput::Usage("--root needs a folder, not an empty value");
      }
    } else if (a.rfind("--root=", 0) == 0) {
      if (!qrv::platform::SystemRoot::SetFromOption(a.substr(7))) {
        return CommandOutput::Usage("--root needs a folder, not an empty value");
      }
    } else if (a.rfind("-", 0) == 0) {
      return CommandOutput::Usage("unknown option \"" + a + "\"");
    } else {
      break;
    }
  }
  if (i >= args.size()) return CommandOutput::Usage("no command given");
  // A root that does not exist (from --root or QRVUPDATE_ROOT) is a typing
  // slip; a sandbox is set up by making its folder first.
  if (!std::filesystem::is_directory(qrv::platform::SystemRoot::Get())) {
    return CommandOutput::Usage("the root folder " + qrv::platform::SystemRoot::Get().string() + " does not exist");
  }
  std::string command = args[i];
  std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
  if (command == "reg") return qrv::tools::RegCommand::Run(rest);
  if (command == "ini") return qrv::tools::IniCommand::Run(rest);
  if (command == "password") return qrv::tools::PasswordCommand::Run(rest);
  if (command == "cab") return qrv::tools::CabCommand::Run(rest);
  if (command == "verify") return qrv::tools::VerifyCommand::Run(rest);
  if (command == "fetch") return qrv::tools::FetchCommand::Run(rest);
  if (command == "pending") return qrv::tools::PendingCommand::Run(rest);
  if (command == "help") {
    std::fputs(kHelp, stdout);
    return 0;
  }
  return CommandOutput::Usage("unknown command \"" + command + "\"");
}

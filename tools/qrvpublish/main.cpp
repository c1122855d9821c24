// qrvpublish: the publisher's tool. Builds, signs, checks and serves an
// update server tree in the format the updater reads.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/qrvpublish/BuildCommand.h"
#include "tools/qrvpublish/CheckCommand.h"
#include "tools/qrvpublish/PublishOutput.h"
#include "tools/qrvpublish/ServeCommand.h"

namespace {

constexpr const char* kHelp =
    R"(Usage: qrvpublish COMMAND ...

Build, sign, check and serve a Qorvane Update server tree.

  build RELEASE.toml OUT [options]
      Make the tree OUT (a new or empty folder) from the release file:
      qupdate_s.ini, one product file and update-content file per product,
      and signed MSZIP cabinets of each feature's source folder.
      --cab-size SIZE         largest cabinet before splitting, in bytes or
                              with K, M or G (default 64M; 1K to 1G)
      --previous OLD          an incremental release on top of the tree OLD:
                              only files that differ from OLD are packed; OLD's
                              cabinets stay listed, so every earlier level
                              reaches the new one
      Signed update information: qupdate_s.ini and each product file get a
      detached CMS signature beside them (NAME.p7s, SHA-256, the cabinets'
      key); qupdate_s.ini gets [Release] with Serial, Date and Expires, and
      the size and SHA-256 of each product file; each product file the size
      and SHA-256 of each cabinet it lists.
      --serial N              the release's serial, 1 to 4294967295 (default:
                              one more than OLD's, else the Unix time now);
                              it must be greater than OLD's
      --valid-days DAYS       the updater refuses the release DAYS days after
                              it was built (default 30; 1 to 3650)
      --force                 accept a serial not greater than OLD's
      Signing (SHA-256 Authenticode, through osslsigncode):
      --cert PEM --key PEM    certificate chain (signer first) and key
      --pkcs12 FILE           key and chain in one PKCS#12 file
      --cert PEM --key pkcs11:URI --pkcs11-module SO
                              a key on a hardware token
      --pass-fd N             read the key's pass phrase from descriptor N
      --pass-file FILE        read it from the first line of FILE
      --timestamp-url URL     add an RFC 3161 time stamp from URL

  check TREE [--anchors PEM] [--publisher PATTERN] [--expiry-warning DAYS]
      Read TREE as the updater will and report every fault with its file,
      section, key and values. The signer must chain to the system's
      anchors or PEM and pass the updater's maker rule (O="QORVANE. INC
      and CN="QORVANE. INC in its subject); PATTERN, if given, must be in
      the subject as well. The information's signatures must verify over
      the files as they are, by the cabinets' signer; [Release] must be
      complete and not expired; every size and SHA-256 must match. A
      release that expires within DAYS days (default 7) is a warning.

  serve TREE [--port N] [--address ADDR] [--location URL]
      Serve TREE over HTTP below /updates/ (127.0.0.1 unless ADDR is given;
      port 8080, 0 lets the system choose) and answer any path ending in
      AUpdate70.jsp with the download location (default
      http://ADDR:PORT/updates/), to try a tree with the updater before it
      goes to a real web server. Prints the port on the first line; SIGINT
      or SIGTERM ends it.

Exit status: 0 success, 1 failure or faults found, 2 usage error.
)";

}  // namespace

int main(int argc, char** argv) {
  using qrv::tools::PublishOutput;
  // A helper that ends before reading its input must not end us.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return PublishOutput::Usage("no command given");
  const std::string command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (command == "--version") {
    std::printf("qrvpublish %s\n", QRV_VERSION);
    return 0;
  }
  if (command == "build") return qrv::tools::BuildCommand::Run(rest);
  if (command == "check") return qrv::tools::CheckCommand::Run(rest);
  if (command == "serve") return qrv::tools::ServeCommand::Run(rest);
  return PublishOutput::Usage("unknown command \"" + command + "\"");
}

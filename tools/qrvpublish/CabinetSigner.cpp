#include "tools/qrvpublish/CabinetSigner.h"

#include <unistd.h>

#include "tools/qrvpublish/ChildProcess.h"

namespace qrv::tools {

namespace {

bool Readable(const std::string& path, const std::string& option, std::string& why) {
  if (access(path.c_str(), R_OK) != 0) {
    why = option + " \"" + path + "\" cannot be read";
    return false;
  }
  return true;
}

// osslsigncode's own words, without its empty lines.
std::string Trimmed(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    // OpenSSL's error stack and the pass-phrase prompt say nothing a
    // publisher can act on; osslsigncode's own lines do.
    const bool noise = line.find(":error:") != std::string::npos || line.rfind("Enter ", 0) == 0;
    if (!noise && line.find_first_not_of(" \t\r") != std::string::npos) out += (out.empty() ? "" : "; ") + line;
    start = end + 1;
  }
  return out;
}

}  // namespace

bool CabinetSigner::Check(std::string& why) const {
  const bool pkcs11 = !m_key.pkcs11Module.empty() || m_key.key.rfind("pkcs11:", 0) == 0;
  if (!m_key.pkcs12.empty()) {
    if (!m_key.key.empty() || !m_key.pkcs11Module.empty()) {
      why = "--pkcs12 holds the key and the chain; do not give --key or --pkcs11-module with it";
      return false;
    }
    return Readable(m_key.pkcs12, "--pkcs12", why);
  }
  if (m_key.key.empty()) {
    why = "no signing key: give --cert and --key, --pkcs12, or --cert, --key pkcs11:URI and --pkcs11-module";
    return false;
  }
  if (m_key.certificates.empty()) {
    why = "--key needs --cert with the signer's certificate chain (PEM)";
    return false;
  }
  if (!Readable(m_key.certificates, "--cert", why)) return false;
  if (pkcs11) {
    if (m_key.pkcs11Module.empty() || m_key.key.rfind("pkcs11:", 0) != 0) {
      why = "a token key needs both --key pkcs11:URI and --pkcs11-module MODULE";
      return false;
    }
    return Readable(m_key.pkcs11Module, "--pkcs11-module", why);
  }
  return Readable(m_key.key, "--key", why);
}

bool CabinetSigner::Sign(const std::filesystem::path& in, const std::filesystem::path& out, std::string& why) const {
  std::vector<std::string> args{"osslsigncode", "sign"};
  if (!m_key.pkcs12.empty()) {
    args.insert(args.end(), {"-pkcs12", m_key.pkcs12});
  } else if (!m_key.pkcs11Module.empty()) {
    args.insert(args.end(), {"-pkcs11module", m_key.pkcs11Module, "-certs", m_key.certificates, "-key", m_key.key});
  } else {
    args.insert(args.end(), {"-certs", m_key.certificates, "-key", m_key.key});
  }
  // "-readpass -" reads the pass phrase from standard input: our pipe.
  if (!m_key.passphrase.empty()) args.insert(args.end(), {"-readpass", "-"});
  args.insert(args.end(), {"-h", "sha256"});
  if (!m_key.timestampUrl.empty()) args.insert(args.end(), {"-ts", m_key.timestampUrl});
  args.insert(args.end(), {"-in", in.string(), "-out", out.string()});
  std::string output;
  const int status = ChildProcess::Run(args, m_key.passphrase, output);
  if (status != 0) {
    why = "osslsigncode cannot sign " + in.string() + " (exit status " + std::to_string(status) + "): " + Trimmed(output);
    return false;
  }
  return true;
}

}  // namespace qrv::tools

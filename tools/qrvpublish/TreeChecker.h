#pragma once

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace qrv::tools {

// Reads an update server tree the way the updater will and lists every
// fault: profile-file syntax and the 259-character value limit; products
// with a level, version text and file count; dependencies naming products
// of the tree; each product file with its feature lists and actions; every
// listed path relative, inside the tree, free of symbolic links, a cabinet
// whose names extraction accepts and whose signature the updater's own
// verifier accepts from the expected publisher; counts that match the
// lists; update-content files present. And the signed information as the
// updater checks it when it requires it: qupdate_s.ini.p7s and KEY.ini.p7s
// present and verifying over the files as they are, by the certificate that
// signs the cabinets; [Release] complete and not expired (a warning when it
// expires within the given days); each product file's size and SHA-256 as
// [ProductFileSize] and [ProductFileSHA256] give them, each listed
// cabinet's as its F%dSIZE and F%dSHA256 keys give them.
//
// Values are read with the updater's profile-file code, and signatures with
// its Authenticode verifier, so the checker and the client cannot disagree.
//
// Thread: any; a checker is used by one thread.
class TreeChecker {
 public:
  struct Finding {
    std::string file;      // relative to the tree
    std::string section;   // empty: the file as a whole
    std::string key;       // empty: the section as a whole
    std::string message;   // with the values involved
    bool warning = false;  // worth knowing, but the updater takes the tree
    // "FILE [SECTION] KEY: message"
    std::string Text() const;
  };

  // anchors: PEM files trusted besides the system's. publisher: a text the
  // signer's X.500 subject must also contain, on top of the updater's own
  // rule (both O="QORVANE. INC and CN="QORVANE. INC), which always applies;
  // empty: the updater's rule alone. expiryWarningDays: a release that
  // expires within this many days is a warning.
  TreeChecker(std::filesystem::path tree, std::vector<std::string> anchors, std::string publisher,
              int expiryWarningDays = 7)
      : m_tree(std::move(tree)),
        m_anchors(std::move(anchors)),
        m_publisher(std::move(publisher)),
        m_expiryWarningDays(expiryWarningDays) {}

  // Runs every check; the faults and warnings found (none for a good tree).
  std::vector<Finding> Check();

  // What was looked at, for the summary line.
  size_t Products() const { return m_products; }
  size_t Cabinets() const { return m_cabinets; }

 private:
  void Add(const std::string& file, const std::string& section, const std::string& key, const std::string& message);
  bool Syntax(const std::string& file);
  void CheckProduct(const std::string& product, const std::vector<std::string>& products);
  void CheckCabinet(const std::string& productFile, const std::string& product, const std::string& key,
                    const std::string& listed);
  void CheckActions(const std::string& productFile, const std::string& product);
  void CheckRelease();
  // The signature FILE.p7s over `bytes`, the content of FILE.
  void CheckSignature(const std::string& file, const std::string& bytes);
  // The maker rule and --publisher on a signer's subject.
  void CheckSubject(const std::string& file, const std::string& section, const std::string& key,
                    const std::string& shown, const std::string& subject);
  // A listed size and SHA-256 against the file's own.
  void CheckMeasure(const std::string& file, const std::string& sizeSection, const std::string& sizeKey,
                    const std::string& hashSection, const std::string& hashKey, const std::string& shown,
                    uint64_t size, const std::string& sha256);

  std::filesystem::path m_tree;
  std::vector<std::string> m_anchors;
  std::string m_publisher;
  int m_expiryWarningDays;
  // Who signed the cabinets (an incremental tree may hold cabinets of an
  // earlier key) and each information file (file, signer DER, subject), to
  // find information signed by a certificate that signs no cabinet.
  std::set<std::vector<uint8_t>> m_cabinetSigners;
  std::string m_cabinetSubject;  // of the first one
  struct SignedInfo {
    std::string file;
    std::vector<uint8_t> certificate;
    std::string subject;
  };
  std::vector<SignedInfo> m_infoSigners;
  std::vector<Finding> m_findings;
  size_t m_products = 0;
  size_t m_cabinets = 0;
};

}  // namespace qrv::tools

#pragma once

#include <filesystem>
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
// lists; update-content files present.
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
    // "FILE [SECTION] KEY: message"
    std::string Text() const;
  };

  // anchors: PEM files trusted besides the system's. publisher: a text the
  // signer's X.500 subject must also contain, on top of the updater's own
  // rule (both O="QORVANE. INC and CN="QORVANE. INC), which always applies;
  // empty: the updater's rule alone.
  TreeChecker(std::filesystem::path tree, std::vector<std::string> anchors, std::string publisher)
      : m_tree(std::move(tree)), m_anchors(std::move(anchors)), m_publisher(std::move(publisher)) {}

  // Runs every check; the faults found (none for a good tree).
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

  std::filesystem::path m_tree;
  std::vector<std::string> m_anchors;
  std::string m_publisher;
  std::vector<Finding> m_findings;
  size_t m_products = 0;
  size_t m_cabinets = 0;
};

}  // namespace qrv::tools

#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qrv::tools {

// One release as a publisher describes it (ReleaseReader reads it from a
// TOML file): the products with their level, version text, notes,
// dependencies, features (each a source folder packed into cabinets) and the
// actions the client runs after the copy.
//
// Every text has already been checked to fit the client's profile-file
// reader (at most 259 characters, no line breaks or control characters) and
// every source folder to lie below the release file's folder without a
// symbolic link on the way; the builder relies on that.
struct ReleaseDescription {
  struct Feature {
    std::string name;               // the product key, or a registry subkey name of the product
    std::filesystem::path source;   // absolute, checked folder
    std::string cabinet;            // base name of its cabinets (without ".cab")
  };
  struct RegistryValue {
    uint32_t root = 2;              // 0 HKCR, 1 HKCU, 2 HKLM, 3 HKU, 4 HKCC
    std::string key;
    std::string name;
    std::string value;              // as written to the product file
    uint32_t type = 1;              // 1 REG_SZ, 3 REG_BINARY, 4 REG_DWORD
  };
  struct RemovedRegistryValue {
    uint32_t root = 2;
    std::string key;
    std::string name;
  };
  struct Shortcut {
    uint32_t folder = 0;            // 0 programs menu, 1 desktop, 2 start menu
    std::string target;             // relative to the installation folder
    std::string name;
    std::string description;
  };
  struct RemovedShortcut {
    uint32_t folder = 0;
    std::string name;
  };
  struct Product {
    std::string key;
    std::string version;
    int32_t level = 0;
    std::string notes;              // text of the update-content file; empty: none
    bool hasNotes = false;
    std::vector<std::string> depends;
    std::vector<Feature> features;
    std::vector<RegistryValue> registry;
    std::vector<RemovedRegistryValue> removeRegistry;
    std::vector<Shortcut> shortcuts;
    std::vector<RemovedShortcut> removeShortcuts;
    std::vector<std::string> run;   // programs to start, relative to the installation folder
  };

  std::filesystem::path file;       // the release file, for messages
  std::vector<Product> products;
};

}  // namespace qrv::tools

#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace qrv {

// The actions a product file asks for once an update's files are in place:
// registry values written and deleted, shortcuts made and removed, programs
// or documents opened. The orchestrator first takes the installation folders
// (ReadInstallFolders), then calls, for each product of the update log,
// ApplyRegistryAdditions, ApplyRegistryRemovals, TakeRefusedCount,
// CreateShortcuts and DeleteShortcuts, then RunStartActions once for all
// products.
//
// Every entry is read from the product's file (UpdateFiles::ProductFilePath),
// section = the product key; texts count at most 259 characters, missing
// numbers read as 0 and missing texts as empty. Paths in entries are relative
// to the product's installation folder (CQUpdateMgrEnv::GetProductPath with
// one '/' added, as read before any registry entry ran), may use '\' or '/',
// and are refused with a diagnostic when they are absolute or climb out of
// that folder with "..".
//
// The product file is not signed, so its registry entries may not touch the
// values that decide where files go, which key a product is read from and
// whom the updater trusts (ProtectedRegistryValues): such an entry is skipped
// with a diagnostic (its key and value name shown escaped) and counted
// (TakeRefusedCount); the other entries run.
//
// Nothing is thrown and nothing is shown; what went wrong goes to
// platform::Diagnostics. Thread: any, one run at a time (the files and the
// registry are shared).
class CQUpdateActions {
 public:
  // Installation folders by product key as the update log names it: the
  // product's ProductPath with one '/' added, empty when it is not known.
  using InstallFolders = std::map<std::string, std::string, std::less<>>;

  // The installation folder of every product of the update log's
  // PRODUCTLIST, read now. Taken before the first registry entry of a run,
  // so that shortcuts and program starts go where the products were
  // installed whatever the entries (or an installer meanwhile) change.
  static InstallFolders ReadInstallFolders();

  // The number of registry entries (additions and removals) refused since
  // the last call, and then 0 again. Thread: the one running the actions.
  static uint32_t TakeRefusedCount();

  // REGISTRYCOUNT entries of REGISTRY<i>ROOT/KEY/NAME/VALUE/TYPE. Type 1
  // writes the text (creating the key), 4 a REG_DWORD of the decimal number
  // at the start of VALUE, 3 a 4-byte REG_BINARY of VALUE's number, which is
  // read as hexadecimal after a "0x"/"0X" prefix and as decimal otherwise
  // (binary data is usually written in hex; plain decimal reads as type 4
  // does); 3 and 4 need an existing key. The outcome of a write is not looked
  // at (a root index of 5 or more writes nothing). An entry naming a
  // protected value is skipped (diagnostic naming the product, root, key,
  // value and why; counted for TakeRefusedCount). Returns 1, or 0 at the
  // first entry of any other type, which stops the list (the entries before
  // it stay written).
  static int ApplyRegistryAdditions(std::string_view product);

  // REMREGISTRYCOUNT entries of REMREGISTRY<i>ROOT/KEY/NAME, each value
  // deleted (outcome not looked at); protected values are skipped and
  // counted as above. Always 1.
  static int ApplyRegistryRemovals(std::string_view product);

  // SHORTCUTCOUNT entries of SHORTCUT<i>DIR/FILEPATH/NAME/DESC, each passed
  // to CreateShortcut with the product's folder in folders joined to
  // FILEPATH (a product missing from folders has no known folder). An entry
  // whose FILEPATH is unsafe is skipped. Returns 1, or 0 at the first entry
  // CreateShortcut fails, which stops the list.
  static int CreateShortcuts(std::string_view product, const InstallFolders& folders);
  // The same with the folder as it is now (ReadInstallFolders), for callers
  // that run no registry entries before.
  static int CreateShortcuts(std::string_view product);

  // DELSHORTCUTCOUNT entries of DELSHORTCUT<i>DIR/NAME, each passed to
  // DeleteShortcut (outcome not looked at). Always 1.
  static int DeleteShortcuts(std::string_view product);

  // For every product of the update log's PRODUCTLIST, the entries
  // EXEC0FILEPATH through EXEC<EXECCOUNT>FILEPATH (EXECCOUNT itself
  // included) joined to the installation folder; equal paths are kept once,
  // in first-seen order, over all products. Then each path that names an
  // existing file (not a folder) is opened through platform::Launcher, with
  // its folder as the working folder, without waiting. The folders come from
  // folders, as for CreateShortcuts. Always 1.
  static int RunStartActions(const InstallFolders& folders);
  // The same with the folders as they are now.
  static int RunStartActions();

  // Makes NAME.desktop in the shell folder of code (platform::ShellFolders)
  // starting target (an absolute path) in target's folder, with description
  // as its comment. The applications folder is created when missing; a
  // missing desktop folder means the machine has no desktop to put it on:
  // nothing is made and the result is 1. Returns 0 for an unknown code, a
  // name that cannot be a file name ('/', empty, ".", "..", control
  // characters), a target holding a control character (any other character,
  // '=' too, is quoted in the Exec line) and a write that fails; nothing is
  // written then.
  static int CreateShortcut(uint32_t code, const std::string& target, const std::string& name,
                            const std::string& description);

  // Deletes NAME.desktop from the shell folder of code. 1 when it is gone
  // (deleted or never there; a failure to delete is reported as a
  // diagnostic), 0 for an unknown code or an invalid name (nothing deleted).
  static int DeleteShortcut(uint32_t code, const std::string& name);
};

}  // namespace qrv

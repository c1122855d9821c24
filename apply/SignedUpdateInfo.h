#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qrv {

class CQUpdateTransferMgr;

// Whether the update information of one run (qupdate_s.ini, the product
// files PRODUCT.ini and the files they list) may be used, when the server
// signs it: a detached signature NAME.p7s beside each information file,
// checked by the cabinets' rules (VerifyDetachedSignature), a [Release]
// section (Serial, Date, Expires) in qupdate_s.ini, each product file bound
// to it by [ProductFileSize] / [ProductFileSHA256], and each listed file by
// FEATUREnSIZE / FEATUREnSHA256 in its product file.
//
// Signed information is in use when qupdate_s.ini came with a valid
// signature, or when the RequireSignedInfo setting asks for it. Then a
// missing signature, a missing or unreadable value, an older release than
// the highest accepted one (rollback), an expired release (freeze) and a
// file that differs from its listed size or hash are refusals. Otherwise
// (an old server, RequireSignedInfo off) the files are used as before, but a
// signature that is present must still be valid.
//
// Why the checked bytes are the ones used: each information file is read
// once into memory (at most TransferLimits::kMaxProfileFileBytes), those
// bytes are checked, and then the very same bytes are written back over the
// file (atomically) before anything reads it by name. The download folder is
// private to this process's user (platform::PrivateFolder, checked before
// every phase), so from then on nobody else can change what later readers
// of the file, in this run or a resumed one, see. Re-hashing before every
// one of the many reads by name would cost more and protect nothing more.
// A listed file is checked on an open descriptor, and that same descriptor
// is then checked for its signature and unpacked (MatchesOpenFile).
//
// Each refusal shows its message (kStringInfo..., ids 300 and up) through
// platform::MessageService, as the other refusals of a run are shown, and
// leaves the reason, with the values, in Reason() and the diagnostics.
//
// Thread: the user-interface thread. One object per run; a fresh one has
// checked nothing (InUse() then follows RequireSignedInfo, or a signed
// release accepted before: once signed, a machine takes signed information
// only, until an administrator deletes HighestReleaseSerial).
class SignedUpdateInfo {
 public:
  // What the signed information says a listed file is.
  struct ListedFile {
    uint64_t size = 0;
    std::string sha256;  // 64 hex digits as listed (either case)
  };

  // Checks qupdate_s.ini, just fetched into folder (ending in '/') by
  // transport, which then fetches qupdate_s.ini.p7s. True when it may be
  // used. With signed information in use, a release whose Serial is higher
  // than the highest one accepted before is recorded as the new highest one
  // here, once every check passed: the maker vouches that this release
  // exists, so an older one offered later is a rollback whether or not this
  // run goes on to install anything (a machine with nothing pending, or a
  // run the user stops, must be protected too).
  bool AcceptInfo(CQUpdateTransferMgr& transport, const std::string& folder);
  // Checks PRODUCT.ini, just fetched into folder by transport (prepared
  // for product), which then fetches PRODUCT.ini.p7s; with signed
  // information in use, also its size and hash against the checked
  // qupdate_s.ini. True when it may be used.
  bool AcceptProductFile(CQUpdateTransferMgr& transport, const std::string& folder, const std::string& product);
  // The size the accepted, signed qupdate_s.ini lists for PRODUCT.ini: what
  // its download is held to. 0 when there is none (unsigned, or not listed).
  uint64_t ProductFileSize(const std::string& product) const;
  // What productFile lists for file index of feature: with signed
  // information in use, its size and hash (true, out set; false when one is
  // missing or unreadable, a refusal); else true with out empty.
  bool ListedFileOf(const std::string& productFile, const std::string& product, const std::string& feature,
                    uint32_t index, std::optional<ListedFile>& out);
  // Refuses the listed file `shownPath` (message 304): it differs from what
  // is listed, as `what` says.
  bool RefuseMismatch(const std::string& shownPath, const std::string& what);

  // Whether the open file fd holds exactly `listed`: its size and SHA-256,
  // read with pread only. False with `reason` naming shownPath and both
  // values.
  static bool MatchesOpenFile(int fd, const ListedFile& listed, const std::string& shownPath, std::string& reason);

  // Signed information is demanded: RequireSignedInfo, or a signed release
  // taken before (once signed, a machine takes signed information only).
  static bool Required();
  // Whether `bytes`, the whole update notes of product as read from the
  // download folder, may be shown: they must have the size and SHA-256 that
  // qupdate_s.ini lists ([UpdateInfoSize], [UpdateInfoSHA256]), and must be
  // listed at all where signed information is demanded (only the maker's
  // words are shown as the maker's). False with `reason` naming the values.
  static bool NotesMayBeShown(const std::string& product, const std::string& bytes, std::string& reason);

  bool InUse() const;
  // The accepted release's Serial; 0 when unsigned or not checked.
  uint32_t Serial() const { return m_serial; }
  // Why the last refusal happened, with the values; empty when none.
  const std::string& Reason() const { return m_reason; }

 private:
  enum class Fetched { kUnsigned, kSigned, kRefused };
  // Reads folder + name, fetches name + ".p7s" and checks it over those
  // bytes; with expected set, also the bytes' size and hash. Writes the
  // checked bytes back in place.
  Fetched Check(CQUpdateTransferMgr& transport, const std::string& folder, const std::string& name, bool inUse,
                const std::optional<ListedFile>& expected);
  // The [Release] checks of the accepted qupdate_s.ini at infoPath.
  bool AcceptRelease(const std::string& infoPath);
  // Shows message id with argument (none when empty), keeps reason; false.
  bool Refuse(uint32_t id, const std::string& argument, const std::string& reason);

  bool m_checked = false;
  bool m_signed = false;
  bool m_required = false;
  uint32_t m_serial = 0;
  std::string m_infoPath;
  std::string m_reason;
};

}  // namespace qrv

#pragma once

#include <set>
#include <string>

#include "apply/SignedUpdateInfo.h"

namespace qrv {

// Putting an update's files into a product folder: unpacking a cabinet in
// place, falling back to a holding folder whose files are copied over one by
// one, and queueing what still cannot be replaced for the next start
// (PendingReplacements). Paths use '/'; folders may or may not end in '/'.
//
// None of these functions changes the current directory or the process's
// locale, so they may run on a worker thread while other threads use
// relative paths. None throws.

// Unpacks cabinet (an absolute path in the download folder) into
// installFolder (absolute; one final '/' is dropped) for product.
//
// The cabinet is opened once (O_NOFOLLOW: a link in its place is refused),
// its signature is checked on that open file by VerifyFileSignature's rules
// (VerifyOpenFileSignature), and the very same open file is what gets
// unpacked, only as far as the signature reaches. Replacing the file in the
// download folder at any moment changes nothing: either the bytes read are
// the ones checked, or nothing is unpacked. A cabinet naming a successor is
// refused (a successor could only be opened by name, unchecked). With
// `listed` (may be null: none), the same open file must first have exactly
// the size and SHA-256 the signed update information lists for it
// (SignedUpdateInfo::MatchesOpenFile): a file of another release is refused
// even though its own signature is good.
//
// Writes UpdateRemainDest = the folder and UpdateRemainSrc = the product's
// holding folder (REG_SZ under the main key) once the cabinet is accepted.
// Every file is written under a temporary name and renamed over its target,
// so a running program keeps the file it has open; nothing is written
// through a symbolic link below installFolder (Cabinet::ConfinedFolder).
// When a file cannot be written in place the holding folder is emptied, the
// cabinet (the same open file) unpacked there, and CopyFolderTree copies it
// over, queueing what cannot be replaced now (a restart is then requested).
//
// Returns 1 when every file was unpacked in place, 2 when through the
// holding folder (some may wait for the next start), 0 when the cabinet is
// refused or cannot be unpacked: its signature is refused, it cannot be
// read, it is damaged, a file would land outside installFolder, or it cannot
// be unpacked even into the holding folder (a full disk). On 0, failure (may
// be null) gets the reason with the paths, also reported to the diagnostics;
// files written before the failure stay. After 1 or 2 the temporaries an
// interrupted earlier run left in the folders this cabinet wrote to are
// removed (platform::AtomicFileWriter::IsTemporaryName). Runs on a worker thread.
//
// swept (may be null): the folders below installFolder (relative, as
// Cabinet::CExtract::Written() names them) that earlier cabinets of the same
// run have cleared of stale temporaries already; they are not listed again,
// and the folders cleared now are added. The cabinets of a product share one
// set, so a folder of thousands of files is listed once, not per cabinet.
int ExtractCabinetToProduct(const std::string& cabinet, const std::string& installFolder, const std::string& product,
                            std::string* failure = nullptr, std::set<std::string>* swept = nullptr,
                            const SignedUpdateInfo::ListedFile* listed = nullptr);

// CopyFolderTree(UpdateRemainSrc, UpdateRemainDest). 0, or -1 when the main
// key cannot be opened.
int FinishPendingReplace();

// Copies every file below source to the same place below target (creating
// missing target folders, mode 0755: an update may bring new sub-folders),
// replacing existing files by temporary + rename. Nothing is written through
// a symbolic link below target: such a file is refused, its source deleted,
// and the refusal (paths and reason) appended to refusal (may be null); it
// is never queued, since the queue works by path. A file whose copy fails
// otherwise goes to QueueReplaceAtRestart. Each source file is gone
// afterwards (copied and deleted, refused, or moved into the queue), except
// one that could not even be queued, which stays for the clean-up; symbolic
// links in source are removed, never followed. Returns 0, or -1 when a file
// was refused or target cannot be opened or made (refusal says which).
int CopyFolderTree(const std::string& source, const std::string& target, std::string* refusal = nullptr);

// Queues sourceFile to replace targetFile at the next start
// (PendingReplacements::Queue) and asks for a restart through
// platform::UpdateProgress. A failure to queue is reported to the diagnostics (the
// source file then stays in place). Always 1.
int QueueReplaceAtRestart(const std::string& sourceFile, const std::string& targetFile);

// Deletes everything in folder except the files the update run keeps: a name
// whose first (length - 4) characters start "quplog.ini" or "qupdate_s.ini"
// (case ignored; so quplog.ini and qupdate_s.ini stay, quplog.ini20110315
// goes), or one holding ".bak" after its first character. Sub-folders are
// removed with everything in them; symbolic links are removed as links.
// Names of four characters or fewer are never kept by the prefix rule.
void CleanFolder(const std::string& folder);

// Whether CleanFolder keeps a file of this name.
bool CleanFolderKeeps(const std::string& name);

// Copies one file over target: a temporary file in target's folder (made
// when missing, mode 0755), flushed, then renamed over target, with source's
// mode (platform::AtomicFileWriter). False with `error` naming the paths and
// the reason (a folder in the way, no permission, a full disk); target is
// then unchanged.
bool CopyFileOver(const std::string& source, const std::string& target, std::string& error);

}  // namespace qrv

#pragma once

#include <string>

namespace qrv {

// Putting an update's files into a product folder: unpacking a cabinet in
// place, falling back to a holding folder whose files are copied over one by
// one, and queueing what still cannot be replaced for the next start
// (PendingReplacements). Paths use '/'; folders may or may not end in '/'.
//
// None of these functions changes the current directory or the process's
// locale, so they may run on a worker thread while other threads use
// relative paths. None throws.

// Unpacks cabinet (an absolute path) into installFolder (absolute; one
// final '/' is dropped) for product. First writes UpdateRemainDest = the
// folder and UpdateRemainSrc = the product's holding folder (REG_SZ under the
// main key). Every file is written under a temporary name and renamed over
// its target, so a running program keeps the file it has open.
// Returns 1 when every file was unpacked in place. Otherwise 0: when the
// cabinet itself cannot be read nothing else happens; when a file could not
// be written in place the cabinet is unpacked into the holding folder and
// FinishPendingReplace() copies it over (a restart is requested only when a
// file had to be queued). Runs on a worker thread.
int ExtractCabinetToProduct(const std::string& cabinet, const std::string& installFolder, const std::string& product);

// CopyFolderTree(UpdateRemainSrc, UpdateRemainDest). 0, or -1 when the main
// key cannot be opened.
int FinishPendingReplace();

// Copies every file below source to the same place below target (creating
// missing target folders: an update may bring new sub-folders), replacing
// existing files by temporary + rename. A file whose copy fails goes to
// QueueReplaceAtRestart. Each source file is gone afterwards (copied and
// deleted, or moved into the queue), except one that could not even be
// queued, which stays for the clean-up; symbolic links in source are
// removed, never followed. Returns 0.
int CopyFolderTree(const std::string& source, const std::string& target);

// Queues sourceFile to replace targetFile at the next start
// (PendingReplacements::Queue) and asks for a restart through
// UpdateProgress. A failure to queue is reported to the diagnostics (the
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
// when missing), flushed, then renamed over target, with source's mode.
// False with `error` naming the paths and the reason (a folder in the way,
// no permission, a full disk); target is then unchanged.
bool CopyFileOver(const std::string& source, const std::string& target, std::string& error);

}  // namespace qrv

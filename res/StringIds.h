#pragma once

#include <cstdint>

namespace qrv {

// The ids of the string table (res/CQUpdateStrings.cpp) that the code shows,
// named once. The numbers are the table's and never change: translations
// and stored texts are keyed by them.
inline constexpr uint32_t kStringProductName = 102;         // list column
inline constexpr uint32_t kStringCurrentVersion = 103;      // list column
inline constexpr uint32_t kStringLatestVersion = 104;       // list column
inline constexpr uint32_t kStringStopDownload = 106;        // question
inline constexpr uint32_t kStringDownloading = 111;         // "Downloading : " status prefix
inline constexpr uint32_t kStringCopying = 112;             // "Copying : " status prefix
inline constexpr uint32_t kStringDeleting = 113;            // status
inline constexpr uint32_t kStringWait = 114;                // status
inline constexpr uint32_t kStringUpdateAvailable = 116;     // stand-by / automatic run text
inline constexpr uint32_t kStringStopCopy = 121;            // question
inline constexpr uint32_t kStringCancelingUpdate = 127;     // "Canceling update...."
inline constexpr uint32_t kStringUpdateAbortedRetry = 130;  // shown by a prepare after a failed download
inline constexpr uint32_t kStringRestartQuestion = 134;
inline constexpr uint32_t kStringRestartFailed = 135;
inline constexpr uint32_t kStringDownloadingProduct = 138;  // "Downloading %s..."
inline constexpr uint32_t kStringCopyingProduct = 139;      // "Copying %s..."
inline constexpr uint32_t kStringInvalidDownloadPath = 140;
inline constexpr uint32_t kStringNoNetwork = 142;
inline constexpr uint32_t kStringConnectFailed = 144;
inline constexpr uint32_t kStringFilesMissing = 146;
inline constexpr uint32_t kStringAborted = 153;
inline constexpr uint32_t kStringUpdateError = 154;
inline constexpr uint32_t kStringFinalizeError = 155;
inline constexpr uint32_t kStringNoUpdateInfo = 157;
inline constexpr uint32_t kStringOldPlatform = 158;        // "%s": the maker's home page
inline constexpr uint32_t kStringCancelingPrefix = 159;     // "Canceling : " status prefix
inline constexpr uint32_t kStringNotAdministrator = 160;
inline constexpr uint32_t kStringFinished = 161;
inline constexpr uint32_t kStringSignature = 162;
inline constexpr uint32_t kStringProductNotUpdated = 180;   // "%s was not updated: ..."
inline constexpr uint32_t kStringNotUpdatedPrefix = 181;    // "Not updated : " status prefix
inline constexpr uint32_t kStringStoreDamaged = 190;        // "%s": the damage report
inline constexpr uint32_t kStringAnotherRun = 191;          // "%s": who holds the run lock
inline constexpr uint32_t kStringProductsNotUpdated = 192;  // "%s": the product names
inline constexpr uint32_t kStringCannotStart = 193;         // "%s": why
inline constexpr uint32_t kStringPasswordTooLong = 194;     // settings: stored form would not read back
// Refusals of update information that is unsigned, forged, old or frozen,
// and of files that differ from what the signed information lists.
inline constexpr uint32_t kStringInfoUnsigned = 300;         // signatures required, the server has none
inline constexpr uint32_t kStringInfoBadSignature = 301;     // "%s": the file whose signature is refused
inline constexpr uint32_t kStringInfoRollback = 302;         // "%s": "offered / accepted" release numbers
inline constexpr uint32_t kStringInfoExpired = 303;          // "%s": the expiry time (UTC)
inline constexpr uint32_t kStringInfoFileMismatch = 304;     // "%s": the file and what differs
inline constexpr uint32_t kStringInfoIncomplete = 305;       // "%s": the file and the value missing
inline constexpr uint32_t kStringAppTitle = 57344;

}  // namespace qrv

#include "cabinet/ExtractError.h"

namespace Cabinet {

const char* ExtractError::Text(int code) {
  switch (code) {
    case kSuccess: return "Success";
    case kCabinetNotFound: return "Cabinet file (or part of splitted CAB) not found";
    case kNotACabinet: return "The file is not a cabinet";
    case kUnknownVersion: return "Unknown cabinet version";
    case kCorruptCabinet: return "Corrupt cabinet";
    case kOutOfMemory: return "Memory allocation failed";
    case kUnknownCompression: return "Unknown compression type";
    case kDecompressFailure: return "Failure decompressing data";
    case kTargetFile: return "Failure writing to target file";
    case kReserveMismatch: return "Cabinets in set have different RESERVE sizes";
    case kWrongCabinet: return "Cabinet returned on fdintNEXT_CABINET is incorrect";
    case kUserAbort: return "User aborted";
    case kNoLibrary: return "Could not load Cabinet.dll";
    case kInvalidParameters: return "Invalid parameters passed to extraction function. Read the documentation!";
    case kNotEncrypted: return "The CAB archive is not encrypted but a decryption key was set.";
    case kEncrypted: return "The CAB archive is encrypted but no decryption key was set.";
    case kOutsideTarget: return "A file would be written outside the target folder";
    default: return "Unknown error";
  }
}

}  // namespace Cabinet

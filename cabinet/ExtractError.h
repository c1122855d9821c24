#pragma once

namespace Cabinet {

// The error codes of an extraction and their fixed texts. Codes 1 to 11 are
// the cabinet decompression service's own codes; the 1000s are the
// extractor's (1009: a file would have been written outside the target
// folder, through a link below it). Callers that only need success or failure look at 0 / not 0.
class ExtractError {
 public:
  enum Code : int {
    kSuccess = 0,
    kCabinetNotFound = 1,
    kNotACabinet = 2,
    kUnknownVersion = 3,
    kCorruptCabinet = 4,
    kOutOfMemory = 5,
    kUnknownCompression = 6,
    kDecompressFailure = 7,
    kTargetFile = 8,
    kReserveMismatch = 9,
    kWrongCabinet = 10,
    kUserAbort = 11,
    kNoLibrary = 1000,
    kInvalidParameters = 1002,
    kNotEncrypted = 1007,
    kEncrypted = 1008,
    kOutsideTarget = 1009,
  };

  // The fixed text of a code; "Unknown error" for any code not listed above.
  static const char* Text(int code);
};

}  // namespace Cabinet

#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/remote/EngineProtocol.pb.h"
#include "config/tagSERVERINFO.h"
#include "config/tagUPDATETYPE.h"

namespace qrv::remote {

using Values = google::protobuf::RepeatedPtrField<Value>;

// Writing and reading the values of a call or a reply. A reader checks
// what it takes: a value that is missing or of another kind, or a number
// outside the range asked for, reads as false and leaves out untouched, so
// whatever the other side sends cannot be taken for something it is not.
//
// Thread: any.
class RemoteValues {
 public:
  // Longest list of products or texts either side takes.
  static constexpr size_t kMaxItems = 4096;

  static void AddNumber(Values& values, int64_t number);
  static void AddText(Values& values, const std::string& text);
  static void AddServer(Values& values, const tagSERVERINFO& server);
  static void AddProducts(Values& values, const std::vector<tagUPDATETYPE>& products);
  static void AddTexts(Values& values, const std::vector<std::string>& texts);
  // The answer of a window's errand done for the engine: 1 or 0, and the
  // reason when it was not done (LastError of the side that tried).
  static void AddOutcome(Values& values, bool done);

  static bool Number(const Values& values, int index, int64_t low, int64_t high, int64_t& out);
  static bool Text(const Values& values, int index, std::string& out);
  static bool Server(const Values& values, int index, tagSERVERINFO& out);
  static bool Products(const Values& values, int index, std::vector<tagUPDATETYPE>& out);
  static bool Texts(const Values& values, int index, std::vector<std::string>& out);
  // Reads what AddOutcome wrote: true when done; else false with the reason
  // (or `fallback` when none came) in LastError.
  static bool Outcome(const Values& values, const std::string& fallback);
};

}  // namespace qrv::remote

#pragma once

#include <cstdint>
#include <vector>

#include "ui/TrayArea.h"

namespace qrv::test {

// A notification area that records every add, modify and delete in order
// and raises the desktop's events by hand: Click(id, message) as a mouse
// message or balloon click, AreaCreated() as the area coming back. Each call
// answers `result`; Available() answers `available`.
//
// Thread: the user-interface thread. Install it with TrayArea::Install
// before the object under test asks for TrayArea::Current().
class RecordingTrayArea : public TrayArea {
 public:
  enum class Kind { kAdd, kModify, kDelete };
  struct Entry {
    Kind kind;
    Record record;  // for kDelete only record.id is set
  };

  bool Add(const Record& record) override { return Note(Kind::kAdd, record); }
  bool Modify(const Record& record) override { return Note(Kind::kModify, record); }
  bool Delete(uint32_t id) override {
    Record record;
    record.id = id;
    return Note(Kind::kDelete, record);
  }
  bool Available() const override { return available; }

  void Click(uint32_t id, uint32_t message) {
    auto handler = onMouse;
    if (handler) handler(id, message);
  }
  void AreaCreated() {
    auto handler = onAreaCreated;
    if (handler) handler();
  }

  std::vector<Entry> entries;
  bool result = true;
  bool available = true;

 private:
  bool Note(Kind kind, const Record& record) {
    entries.push_back({kind, record});
    return result;
  }
};

}  // namespace qrv::test

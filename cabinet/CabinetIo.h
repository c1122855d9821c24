#pragma once

#include <mspack.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace Cabinet {

// The file and memory primitives libmspack calls back (its mspack_system), on
// POSIX descriptors with UTF-8 paths. Every failure is recorded with the path
// and the system's reason, so the extractor can report more than libmspack's
// bare error number.
//
// Reading: cabinets are opened read-only; a path that is not a regular file
// is refused (a FIFO would block, a folder cannot be a cabinet). Every read
// from offset 0 asking for at least four bytes checks the signature: "MSCF"
// is a cabinet, "CRYP" an enciphered one (kEncrypted), anything else, or a
// file shorter than four bytes, kNotACabinet; the read then fails. The
// header's version bytes are kept for the caller. Reads use pread at each
// handle's own position, so handles on one descriptor never disturb each
// other or the descriptor's offset.
//
// A pinned input (SetInput) replaces opening by name: while it is set, the
// one name it was given opens a view of the caller's descriptor that ends at
// the given length, and every other name is refused. That is how a cabinet
// checked on an open file is unpacked from that same file: nothing is ever
// looked up by path again, and no byte past the checked length is read.
//
// Writing: libmspack may open exactly one file for writing, the one named by
// SetOutput(); any other write open is refused. Writes count against a budget
// (kCorruptCabinet when it runs out: the cabinet unpacks to more than allowed)
// and stop with kUserAbort once the abort flag is set.
//
// Thread: one object per extractor, used by the extractor's thread; only the
// abort flag is read across threads.
class CabinetIo {
 public:
  CabinetIo();
  ~CabinetIo();
  CabinetIo(const CabinetIo&) = delete;
  CabinetIo& operator=(const CabinetIo&) = delete;

  // The table handed to mspack_create_cab_decompressor(); lives as long as this object.
  mspack_system* System() { return &m_system.base; }
  // Makes this object the receiver of libmspack's messages that name no file
  // (it reports some set errors that way) on the calling thread. Call before
  // each operation on the decompressor.
  void MakeCurrent();

  // The first failure recorded since ClearError(): an ExtractError code (0 when
  // none) and its text with the actual values.
  int ErrorCode() const { return m_errorCode; }
  const std::string& ErrorDetail() const { return m_errorDetail; }
  void ClearError();
  // The last message libmspack printed through the table (warnings and its own
  // error texts); cleared by ClearError().
  const std::string& LibraryMessage() const { return m_message; }

  // Version (major, minor) from the header of the last cabinet whose start was
  // read; -1 before any.
  int HeaderMajor() const { return m_headerMajor; }
  int HeaderMinor() const { return m_headerMinor; }

  // Pins the input: libmspack's opens of name read fd (not owned, not
  // closed here; it must stay open until ClearInput) from offset 0 up to
  // length bytes; opens of any other name fail with kCabinetNotFound.
  void SetInput(const std::string& name, int fd, uint64_t length);
  void ClearInput();

  // Names the file libmspack may write next: path is the name the extractor
  // hands to extract(), fd stays owned by the caller and is not closed here.
  void SetOutput(const std::string& path, int fd);
  void ClearOutput();
  // Bytes written to the current output since SetOutput().
  uint64_t OutputBytes() const { return m_outputBytes; }

  // Bytes all outputs together may still take.
  void SetWriteBudget(uint64_t bytes) { m_budget = bytes; }
  // A flag that, once true, makes every read and write fail with kUserAbort;
  // nullptr for none. The flag must outlive its use here.
  void SetAbortFlag(const std::atomic<bool>* flag) { m_abort = flag; }

 private:
  // libmspack passes the table back as its first argument; our context sits
  // right behind it, so base must stay the first member.
  struct Table {
    mspack_system base;
    CabinetIo* owner;
  };
  struct File;
  static File* AsFile(mspack_file* file);

  static mspack_file* Open(mspack_system* self, const char* filename, int mode);
  static void Close(mspack_file* file);
  static int Read(mspack_file* file, void* buffer, int bytes);
  static int Write(mspack_file* file, void* buffer, int bytes);
  static int Seek(mspack_file* file, off_t offset, int mode);
  static off_t Tell(mspack_file* file);
  static void Message(mspack_file* file, const char* format, ...) __attribute__((format(printf, 2, 3)));
  static void* Alloc(mspack_system* self, size_t bytes);
  static void Free(void* block);
  static void Copy(void* src, void* dest, size_t bytes);

  bool Aborted() const { return m_abort != nullptr && m_abort->load(); }
  void Fail(int code, std::string detail);
  bool CheckSignature(const File& file, const unsigned char* head, size_t size);

  Table m_system;
  int m_errorCode = 0;
  std::string m_errorDetail;
  std::string m_message;
  int m_headerMajor = -1;
  int m_headerMinor = -1;
  std::string m_inputName;
  int m_inputFd = -1;
  uint64_t m_inputLength = 0;
  std::string m_outputPath;
  int m_outputFd = -1;
  uint64_t m_outputBytes = 0;
  uint64_t m_budget = UINT64_MAX;
  const std::atomic<bool>* m_abort = nullptr;
};

}  // namespace Cabinet

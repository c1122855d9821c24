#include "cabinet/CabinetIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "cabinet/ExtractError.h"

namespace Cabinet {

struct CabinetIo::File {
  CabinetIo* owner = nullptr;
  int fd = -1;
  bool output = false;  // the caller's output descriptor: never closed here
  bool pinned = false;  // the caller's input descriptor: never closed here
  off_t pos = 0;        // this handle's own position, read with pread
  uint64_t end = 0;     // a pinned view ends here; reads stop at it
  std::string path;
};

namespace {

std::string Reason(int error) { return std::strerror(error); }

thread_local CabinetIo* t_current = nullptr;

}  // namespace

CabinetIo::CabinetIo() {
  m_system.base.open = &CabinetIo::Open;
  m_system.base.close = &CabinetIo::Close;
  m_system.base.read = &CabinetIo::Read;
  m_system.base.write = &CabinetIo::Write;
  m_system.base.seek = &CabinetIo::Seek;
  m_system.base.tell = &CabinetIo::Tell;
  m_system.base.message = &CabinetIo::Message;
  m_system.base.alloc = &CabinetIo::Alloc;
  m_system.base.free = &CabinetIo::Free;
  m_system.base.copy = &CabinetIo::Copy;
  m_system.base.null_ptr = nullptr;
  m_system.owner = this;
}

CabinetIo::File* CabinetIo::AsFile(mspack_file* file) { return reinterpret_cast<File*>(file); }

CabinetIo::~CabinetIo() {
  if (t_current == this) t_current = nullptr;
}

void CabinetIo::MakeCurrent() { t_current = this; }

void CabinetIo::ClearError() {
  m_errorCode = 0;
  m_errorDetail.clear();
  m_message.clear();
}

void CabinetIo::SetOutput(const std::string& path, int fd) {
  m_outputPath = path;
  m_outputFd = fd;
  m_outputBytes = 0;
}

void CabinetIo::SetInput(const std::string& name, int fd, uint64_t length) {
  m_inputName = name;
  m_inputFd = fd;
  m_inputLength = length;
}

void CabinetIo::ClearInput() {
  m_inputName.clear();
  m_inputFd = -1;
  m_inputLength = 0;
}

void CabinetIo::ClearOutput() {
  m_outputPath.clear();
  m_outputFd = -1;
}

void CabinetIo::Fail(int code, std::string detail) {
  // The first failure is the cause; libmspack may run into more on its way out.
  if (m_errorCode != 0) return;
  m_errorCode = code;
  m_errorDetail = std::move(detail);
}

mspack_file* CabinetIo::Open(mspack_system* self, const char* filename, int mode) {
  CabinetIo* io = reinterpret_cast<Table*>(self)->owner;
  if (filename == nullptr) return nullptr;
  auto* file = new File;
  file->owner = io;
  file->path = filename;
  if (mode == MSPACK_SYS_OPEN_WRITE) {
    if (io->m_outputFd < 0 || io->m_outputPath != filename) {
      io->Fail(ExtractError::kTargetFile, std::string("refusing to create ") + filename +
                                              ": not the file being extracted");
      delete file;
      return nullptr;
    }
    file->fd = io->m_outputFd;
    file->output = true;
    return reinterpret_cast<mspack_file*>(file);
  }
  if (mode != MSPACK_SYS_OPEN_READ) {
    io->Fail(ExtractError::kTargetFile, std::string("refusing to open ") + filename + " for update");
    delete file;
    return nullptr;
  }
  if (io->m_inputFd >= 0) {
    if (io->m_inputName != filename) {
      io->Fail(ExtractError::kCabinetNotFound, std::string("refusing to open ") + filename + ": only " +
                                                   io->m_inputName + ", open and checked already, may be read");
      delete file;
      return nullptr;
    }
    file->fd = io->m_inputFd;
    file->pinned = true;
    file->end = io->m_inputLength;
    return reinterpret_cast<mspack_file*>(file);
  }
  // Non-blocking only for the open itself, so a FIFO cannot hang us here.
  int fd = ::open(filename, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    int error = errno;
    io->Fail(ExtractError::kCabinetNotFound, std::string("cannot open ") + filename + ": " + Reason(error));
    delete file;
    return nullptr;
  }
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    io->Fail(ExtractError::kNotACabinet, std::string(filename) + " is not a regular file");
    ::close(fd);
    delete file;
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  file->fd = fd;
  return reinterpret_cast<mspack_file*>(file);
}

void CabinetIo::Close(mspack_file* handle) {
  File* file = AsFile(handle);
  if (file == nullptr) return;
  if (!file->output && !file->pinned && file->fd >= 0) ::close(file->fd);
  delete file;
}

bool CabinetIo::CheckSignature(const File& file, const unsigned char* head, size_t size) {
  if (size < 4) {
    Fail(ExtractError::kNotACabinet, file.path + " is only " + std::to_string(size) + " bytes long");
    return false;
  }
  if (std::memcmp(head, "MSCF", 4) == 0) {
    if (size >= 26) {
      m_headerMinor = head[24];
      m_headerMajor = head[25];
    }
    return true;
  }
  if (std::memcmp(head, "CRYP", 4) == 0) {
    Fail(ExtractError::kEncrypted, file.path + " is an enciphered cabinet (\"CRYP\")");
  } else {
    char shown[40];
    std::snprintf(shown, sizeof shown, "%02X %02X %02X %02X", head[0], head[1], head[2], head[3]);
    Fail(ExtractError::kNotACabinet, file.path + " starts with " + shown + ", not \"MSCF\"");
  }
  return false;
}

int CabinetIo::Read(mspack_file* handle, void* buffer, int bytes) {
  File* file = AsFile(handle);
  CabinetIo* io = file->owner;
  if (bytes < 0 || file->output) return -1;
  if (io->Aborted()) {
    io->Fail(ExtractError::kUserAbort, "the extraction was aborted");
    return -1;
  }
  // libmspack takes a short read for the end of the file, so fill the buffer
  // unless the file really ends.
  auto* out = static_cast<unsigned char*>(buffer);
  const off_t start = file->pos;
  size_t wanted = static_cast<size_t>(bytes);
  if (file->pinned) {
    // The view ends where the checked bytes end.
    const uint64_t left = static_cast<uint64_t>(start) < file->end ? file->end - static_cast<uint64_t>(start) : 0;
    if (wanted > left) wanted = static_cast<size_t>(left);
  }
  size_t done = 0;
  while (done < wanted) {
    ssize_t n = ::pread(file->fd, out + done, wanted - done, start + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      io->Fail(ExtractError::kCorruptCabinet, "cannot read " + file->path + ": " + Reason(error));
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  file->pos += static_cast<off_t>(done);
  if (start == 0 && bytes >= 4 && !io->CheckSignature(*file, out, done)) return -1;
  return static_cast<int>(done);
}

int CabinetIo::Write(mspack_file* handle, void* buffer, int bytes) {
  File* file = AsFile(handle);
  CabinetIo* io = file->owner;
  if (bytes < 0 || !file->output) return -1;
  if (io->Aborted()) {
    io->Fail(ExtractError::kUserAbort, "the extraction was aborted");
    return -1;
  }
  auto size = static_cast<uint64_t>(bytes);
  if (size > io->m_budget) {
    io->Fail(ExtractError::kCorruptCabinet, "writing " + file->path + " would go past the size limit");
    return -1;
  }
  const auto* in = static_cast<const unsigned char*>(buffer);
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(file->fd, in + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      io->Fail(ExtractError::kTargetFile, "cannot write " + file->path + ": " + Reason(error));
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  io->m_budget -= size;
  io->m_outputBytes += size;
  file->pos += static_cast<off_t>(size);
  return bytes;
}

int CabinetIo::Seek(mspack_file* handle, off_t offset, int mode) {
  File* file = AsFile(handle);
  // Outputs are written straight through in order; a seek there would part
  // our position from the descriptor's.
  if (file->output) return -1;
  off_t base = 0;
  switch (mode) {
    case MSPACK_SYS_SEEK_START: break;
    case MSPACK_SYS_SEEK_CUR: base = file->pos; break;
    case MSPACK_SYS_SEEK_END: {
      if (file->pinned) {
        base = static_cast<off_t>(file->end);
        break;
      }
      struct stat st{};
      if (fstat(file->fd, &st) != 0) {
        int error = errno;
        file->owner->Fail(ExtractError::kCorruptCabinet, "cannot seek in " + file->path + ": " + Reason(error));
        return -1;
      }
      base = st.st_size;
      break;
    }
    default: return -1;
  }
  // The position is ours (reads are pread at it), so only its range needs checking.
  if ((offset > 0 && base > std::numeric_limits<off_t>::max() - offset) || base + offset < 0) {
    file->owner->Fail(ExtractError::kCorruptCabinet, "cannot seek in " + file->path + " to offset " +
                                                         std::to_string(offset) + " from " + std::to_string(base));
    return -1;
  }
  file->pos = base + offset;
  return 0;
}

off_t CabinetIo::Tell(mspack_file* handle) { return AsFile(handle)->pos; }

void CabinetIo::Message(mspack_file* handle, const char* format, ...) {
  // libmspack passes no table here, only the file, and for some set errors
  // not even that; those go to the object current on this thread.
  File* file = AsFile(handle);
  CabinetIo* io = file != nullptr ? file->owner : t_current;
  if (io == nullptr || format == nullptr) return;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  io->m_message = file != nullptr ? file->path + ": " + text : std::string(text);
}

void* CabinetIo::Alloc(mspack_system* /*self*/, size_t bytes) { return std::malloc(bytes); }

void CabinetIo::Free(void* block) { std::free(block); }

void CabinetIo::Copy(void* src, void* dest, size_t bytes) { std::memmove(dest, src, bytes); }

}  // namespace Cabinet

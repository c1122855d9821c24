#include "tools/qrvpublish/CabinetWriter.h"

#include <libgcab.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace qrv::tools {

namespace {

// GLib objects released when they go out of scope.
template <typename T>
struct GObjectRef {
  T* p = nullptr;
  explicit GObjectRef(T* ptr) : p(ptr) {}
  ~GObjectRef() {
    if (p) g_object_unref(p);
  }
  GObjectRef(const GObjectRef&) = delete;
  GObjectRef& operator=(const GObjectRef&) = delete;
};

std::string Message(GError* error) {
  std::string text = error ? error->message : "unknown error";
  if (error) g_error_free(error);
  return text;
}

}  // namespace

bool CabinetWriter::Write(const std::vector<Entry>& entries, const std::filesystem::path& out, std::string& why) {
  GObjectRef<GCabCabinet> cabinet(gcab_cabinet_new());
  GObjectRef<GCabFolder> folder(gcab_folder_new(GCAB_COMPRESSION_MSZIP));
  for (const Entry& entry : entries) {
    struct stat st {};
    if (lstat(entry.source.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      why = "\"" + entry.source.string() + "\" is no longer a regular file: " + std::strerror(errno ? errno : EINVAL);
      return false;
    }
    GObjectRef<GFile> source(g_file_new_for_path(entry.source.c_str()));
    GObjectRef<GCabFile> file(gcab_file_new_with_file(entry.name.c_str(), source.p));
    GError* error = nullptr;
    if (!gcab_folder_add_file(folder.p, file.p, FALSE, nullptr, &error)) {
      why = "cannot add \"" + entry.source.string() + "\" to " + out.string() + ": " + Message(error);
      return false;
    }
    // Set after adding: adding reads the file's own facts.
    uint32_t attributes = GCAB_FILE_ATTRIBUTE_ARCH | GCAB_FILE_ATTRIBUTE_NAME_IS_UTF;
    if (st.st_mode & 0111) attributes |= GCAB_FILE_ATTRIBUTE_EXEC;
    gcab_file_set_attributes(file.p, attributes);
    GDateTime* when = g_date_time_new_from_unix_local(st.st_mtim.tv_sec);
    if (when) {
      gcab_file_set_date_time(file.p, when);
      g_date_time_unref(when);
    }
  }
  GError* error = nullptr;
  if (!gcab_cabinet_add_folder(cabinet.p, folder.p, &error)) {
    why = "cannot make " + out.string() + ": " + Message(error);
    return false;
  }
  GObjectRef<GFile> target(g_file_new_for_path(out.c_str()));
  GObjectRef<GFileOutputStream> stream(
      g_file_replace(target.p, nullptr, FALSE, G_FILE_CREATE_REPLACE_DESTINATION, nullptr, &error));
  if (!stream.p) {
    why = "cannot write " + out.string() + ": " + Message(error);
    return false;
  }
  if (!gcab_cabinet_write_simple(cabinet.p, G_OUTPUT_STREAM(stream.p), nullptr, nullptr, nullptr, &error)) {
    why = "cannot write " + out.string() + ": " + Message(error);
    g_output_stream_close(G_OUTPUT_STREAM(stream.p), nullptr, nullptr);
    return false;
  }
  if (!g_output_stream_close(G_OUTPUT_STREAM(stream.p), nullptr, &error)) {
    why = "cannot write " + out.string() + ": " + Message(error);
    return false;
  }
  return true;
}

}  // namespace qrv::tools

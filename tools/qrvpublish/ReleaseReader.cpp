#include "tools/qrvpublish/ReleaseReader.h"

#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <toml++/toml.h>

#include "tools/qrvpublish/ReleasePath.h"

namespace qrv::tools {
namespace {

// True when `name` is `stem` followed by one or more decimal digits.
bool DigitsAfter(const std::string& name, const std::string& stem) {
  if (name.size() <= stem.size() || name.compare(0, stem.size(), stem) != 0) return false;
  return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(stem.size()), name.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

namespace fs = std::filesystem;

// Values longer than this are cut by the client's 260-character buffers.
constexpr size_t kMaxValue = 259;
constexpr size_t kMaxEntries = 10000;
constexpr uintmax_t kMaxReleaseFile = 4u << 20;
constexpr uintmax_t kMaxNotes = 1u << 20;

class Context {
 public:
  Context(const fs::path& file, std::string& error) : m_file(file), m_error(error) {}

  // "FILE:LINE: product "KEY" key "NAME": what"
  bool Fail(const toml::node* node, const std::string& product, const std::string& key, const std::string& what) {
    std::ostringstream out;
    out << m_file.string();
    if (node && node->source().begin.line) out << ':' << node->source().begin.line;
    out << ": ";
    if (!product.empty()) out << "product \"" << product << "\" ";
    if (!key.empty()) out << "key \"" << key << "\": ";
    out << what;
    m_error = out.str();
    return false;
  }

  const fs::path& File() const { return m_file; }

 private:
  fs::path m_file;
  std::string& m_error;
};

bool HasControl(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

// A text value the profile reader gives back unchanged in length and lines.
bool Text(Context& ctx, const toml::table& table, const std::string& product, const std::string& key,
          bool required, std::string& out) {
  const toml::node* node = table.get(key);
  if (!node) {
    if (required) return ctx.Fail(&table, product, key, "missing");
    return true;
  }
  const auto* s = node->as_string();
  if (!s) return ctx.Fail(node, product, key, "must be a text");
  out = s->get();
  if (HasControl(out)) return ctx.Fail(node, product, key, "holds a line break or control character");
  if (out.size() > kMaxValue) {
    return ctx.Fail(node, product, key,
                    std::to_string(out.size()) + " bytes, the client reads at most " + std::to_string(kMaxValue));
  }
  if (required && out.empty()) return ctx.Fail(node, product, key, "is empty");
  return true;
}

// A name the client uses as a file or folder name and a profile key.
bool Name(Context& ctx, const toml::table& table, const std::string& product, const std::string& key,
          std::string& out) {
  if (!Text(ctx, table, product, key, true, out)) return false;
  if (out.size() > 255) return ctx.Fail(table.get(key), product, key, "\"" + out + "\" is longer than 255 bytes");
  if (out == "." || out == ".." || out.find_first_of("/\\;|[]=\"") != std::string::npos ||
      out.front() == ' ' || out.back() == ' ') {
    return ctx.Fail(table.get(key), product, key,
                    "\"" + out + "\" is not a usable name (no / \\ ; | [ ] = \", no outer blanks, not . or ..)");
  }
  return true;
}

bool Unknown(Context& ctx, const toml::table& table, const std::string& product, const std::set<std::string>& known,
             const std::string& where) {
  for (const auto& [k, v] : table) {
    if (!known.count(std::string(k.str()))) {
      return ctx.Fail(&v, product, std::string(k.str()), "unknown key in " + where);
    }
  }
  return true;
}

// An array of tables (possibly missing), each handed to each().
template <typename Each>
bool Tables(Context& ctx, const toml::table& table, const std::string& product, const std::string& key, Each each) {
  const toml::node* node = table.get(key);
  if (!node) return true;
  const toml::array* array = node->as_array();
  if (!array) return ctx.Fail(node, product, key, "must be an array of tables ([[product." + key + "]])");
  if (array->size() > kMaxEntries) {
    return ctx.Fail(node, product, key, std::to_string(array->size()) + " entries, at most " + std::to_string(kMaxEntries));
  }
  for (const toml::node& item : *array) {
    const toml::table* t = item.as_table();
    if (!t) return ctx.Fail(&item, product, key, "every entry must be a table");
    if (!each(*t)) return false;
  }
  return true;
}

bool TextArray(Context& ctx, const toml::table& table, const std::string& product, const std::string& key,
               std::vector<std::string>& out) {
  const toml::node* node = table.get(key);
  if (!node) return true;
  const toml::array* array = node->as_array();
  if (!array) return ctx.Fail(node, product, key, "must be an array of texts");
  if (array->size() > kMaxEntries) return ctx.Fail(node, product, key, "too many entries");
  for (const toml::node& item : *array) {
    const auto* s = item.as_string();
    if (!s) return ctx.Fail(&item, product, key, "every entry must be a text");
    if (HasControl(s->get()) || s->get().size() > kMaxValue || s->get().empty()) {
      return ctx.Fail(&item, product, key, "\"" + s->get() + "\" is empty, too long or holds a control character");
    }
    out.push_back(s->get());
  }
  return true;
}

bool Root(Context& ctx, const toml::table& t, const std::string& product, uint32_t& root) {
  std::string text;
  if (!Text(ctx, t, product, "root", true, text)) return false;
  static const std::pair<const char*, const char*> kRoots[] = {
      {"HKCR", "HKEY_CLASSES_ROOT"}, {"HKCU", "HKEY_CURRENT_USER"}, {"HKLM", "HKEY_LOCAL_MACHINE"},
      {"HKU", "HKEY_USERS"},         {"HKCC", "HKEY_CURRENT_CONFIG"}};
  for (uint32_t i = 0; i < 5; ++i) {
    if (text == kRoots[i].first || text == kRoots[i].second) {
      root = i;
      return true;
    }
  }
  return ctx.Fail(t.get("root"), product, "root", "\"" + text + "\" is not HKCR, HKCU, HKLM, HKU or HKCC");
}

bool ShortcutFolder(Context& ctx, const toml::table& t, const std::string& product, uint32_t& folder) {
  std::string text;
  if (!Text(ctx, t, product, "folder", true, text)) return false;
  if (text == "programs") folder = 0;
  else if (text == "desktop") folder = 1;
  else if (text == "start-menu") folder = 2;
  else return ctx.Fail(t.get("folder"), product, "folder", "\"" + text + "\" is not programs, desktop or start-menu");
  return true;
}

// A path below the installation folder, as the client joins it.
bool InstallPath(Context& ctx, const toml::table& t, const std::string& product, const std::string& key,
                 std::string& out) {
  if (!Text(ctx, t, product, key, true, out)) return false;
  std::string why;
  if (!ReleasePath::IsRelative(out, why)) return ctx.Fail(t.get(key), product, key, "\"" + out + "\" " + why);
  return true;
}

bool ReadProduct(Context& ctx, const toml::table& t, const fs::path& base, ReleaseDescription::Product& p) {
  if (!Name(ctx, t, "", "key", p.key)) return false;
  const std::string& k = p.key;
  // KEY.ini is the product file: this one would overwrite the update information.
  std::string lowerKey;
  for (char c : k) lowerKey += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lowerKey == "qupdate_s") return ctx.Fail(t.get("key"), k, "key", "\"" + k + "\" would name the update information file");
  if (!Unknown(ctx, t, k,
               {"key", "version", "level", "notes", "notes_file", "depends", "run", "feature", "registry",
                "remove_registry", "shortcut", "remove_shortcut"},
               "[[product]]")) {
    return false;
  }
  if (!Text(ctx, t, k, "version", true, p.version)) return false;
  const toml::node* level = t.get("level");
  if (!level) return ctx.Fail(&t, k, "level", "missing");
  const auto* li = level->as_integer();
  if (!li) return ctx.Fail(level, k, "level", "must be a whole number");
  // -1 means "no update" to the client, and 0 is what it reads for a missing
  // level; the value is a signed 32-bit number.
  if (li->get() < 1 || li->get() > 2147483646) {
    return ctx.Fail(level, k, "level", std::to_string(li->get()) + " is not from 1 to 2147483646");
  }
  p.level = static_cast<int32_t>(li->get());

  if (t.get("notes") && t.get("notes_file")) return ctx.Fail(t.get("notes"), k, "notes", "give notes or notes_file, not both");
  if (const toml::node* n = t.get("notes")) {
    const auto* s = n->as_string();
    if (!s) return ctx.Fail(n, k, "notes", "must be a text");
    if (s->get().size() > kMaxNotes) return ctx.Fail(n, k, "notes", "longer than 1 MiB");
    p.notes = s->get();
    p.hasNotes = true;
  }
  if (t.get("notes_file")) {
    std::string rel, why;
    if (!Text(ctx, t, k, "notes_file", true, rel)) return false;
    fs::path file;
    if (!ReleasePath::Resolve(base, rel, false, file, why)) return ctx.Fail(t.get("notes_file"), k, "notes_file", why);
    if (!ReleasePath::ReadSmallFile(file, kMaxNotes, p.notes, why)) return ctx.Fail(t.get("notes_file"), k, "notes_file", why);
    p.hasNotes = true;
  }
  if (!TextArray(ctx, t, k, "depends", p.depends)) return false;
  if (!TextArray(ctx, t, k, "run", p.run)) return false;
  for (const std::string& r : p.run) {
    std::string why;
    if (!ReleasePath::IsRelative(r, why)) return ctx.Fail(t.get("run"), k, "run", "\"" + r + "\" " + why);
  }

  std::set<std::string> featureNames, cabinets;
  if (!Tables(ctx, t, k, "feature", [&](const toml::table& f) {
        ReleaseDescription::Feature feature;
        if (!Unknown(ctx, f, k, {"name", "source", "cabinet"}, "[[product.feature]]")) return false;
        if (!Name(ctx, f, k, "name", feature.name)) return false;
        std::string lower;
        for (char c : feature.name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!featureNames.insert(lower).second) return ctx.Fail(f.get("name"), k, "name", "feature \"" + feature.name + "\" given twice");
        // A feature's keys in the product file are NAME + "COUNT" and NAME +
        // index + "FILE": a name that makes an action list's keys, or another
        // feature's keys with more digits, is read differently by the client.
        for (const char* action : {"registry", "remregistry", "shortcut", "delshortcut", "exec"}) {
          if (lower == action) {
            return ctx.Fail(f.get("name"), k, "name",
                            "feature \"" + feature.name + "\" would share the product file's " + feature.name +
                                "COUNT key with the action list of that name; choose another name");
          }
        }
        for (const auto& other : p.features) {
          std::string otherLower;
          for (char c : other.name) otherLower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
          if (DigitsAfter(lower, otherLower) || DigitsAfter(otherLower, lower)) {
            return ctx.Fail(f.get("name"), k, "name",
                            "features \"" + other.name + "\" and \"" + feature.name +
                                "\" differ only by trailing digits, so their FILE keys in the product file can be the same"
                                " (e.g. " + (lower.size() > otherLower.size() ? feature.name + "0FILE" : other.name + "0FILE") +
                                "); choose another name");
          }
        }
        std::string source, why;
        if (!Text(ctx, f, k, "source", true, source)) return false;
        if (!ReleasePath::Resolve(base, source, true, feature.source, why)) return ctx.Fail(f.get("source"), k, "source", why);
        feature.cabinet = feature.name;
        if (f.get("cabinet") && !Name(ctx, f, k, "cabinet", feature.cabinet)) return false;
        std::string lowerCab;
        for (char c : feature.cabinet) lowerCab += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!cabinets.insert(lowerCab).second) {
          return ctx.Fail(f.get("cabinet") ? f.get("cabinet") : f.get("name"), k, "cabinet",
                          "\"" + feature.cabinet + "\" is used by two features");
        }
        // A feature split into several cabinets also makes NAME_2, NAME_3...
        for (const auto& other : p.features) {
          std::string otherCab;
          for (char c : other.cabinet) otherCab += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
          if (DigitsAfter(lowerCab, otherCab + "_") || DigitsAfter(otherCab, lowerCab + "_")) {
            return ctx.Fail(f.get("cabinet") ? f.get("cabinet") : f.get("name"), k, "cabinet",
                            "feature \"" + feature.name + "\" cabinet \"" + feature.cabinet + "\" and feature \"" +
                                other.name + "\" cabinet \"" + other.cabinet +
                                "\" clash: a split cabinet is named NAME_2, NAME_3 and so on; choose another name");
          }
        }
        p.features.push_back(std::move(feature));
        return true;
      })) {
    return false;
  }
  // The client joins the product key and every subkey name with ';' into one
  // 260-character buffer.
  size_t joined = 0;
  for (const auto& f : p.features) joined += f.name.size() + 1;
  if (joined > kMaxValue) {
    return ctx.Fail(t.get("feature"), k, "feature",
                    "the feature names joined take " + std::to_string(joined) + " characters, the client holds " +
                        std::to_string(kMaxValue));
  }

  if (!Tables(ctx, t, k, "registry", [&](const toml::table& r) {
        ReleaseDescription::RegistryValue v;
        if (!Unknown(ctx, r, k, {"root", "key", "name", "type", "value"}, "[[product.registry]]")) return false;
        if (!Root(ctx, r, k, v.root) || !Text(ctx, r, k, "key", true, v.key) || !Text(ctx, r, k, "name", false, v.name)) return false;
        std::string type = "string";
        if (!Text(ctx, r, k, "type", false, type)) return false;
        const toml::node* value = r.get("value");
        if (type == "string" || type == "REG_SZ") {
          v.type = 1;
          if (!Text(ctx, r, k, "value", false, v.value)) return false;
        } else if (type == "dword" || type == "REG_DWORD" || type == "binary" || type == "REG_BINARY") {
          v.type = (type == "binary" || type == "REG_BINARY") ? 3 : 4;
          if (!value) return ctx.Fail(&r, k, "value", "missing");
          const auto* i = value->as_integer();
          if (!i || i->get() < INT32_MIN || i->get() > UINT32_MAX) {
            return ctx.Fail(value, k, "value", "a " + type + " value is a whole number from -2147483648 to 4294967295");
          }
          // The client reads the text as a signed 32-bit decimal number.
          v.value = std::to_string(static_cast<int32_t>(static_cast<uint32_t>(i->get())));
        } else {
          return ctx.Fail(r.get("type"), k, "type", "\"" + type + "\" is not string, dword or binary");
        }
        p.registry.push_back(std::move(v));
        return true;
      })) {
    return false;
  }
  if (!Tables(ctx, t, k, "remove_registry", [&](const toml::table& r) {
        ReleaseDescription::RemovedRegistryValue v;
        if (!Unknown(ctx, r, k, {"root", "key", "name"}, "[[product.remove_registry]]")) return false;
        if (!Root(ctx, r, k, v.root) || !Text(ctx, r, k, "key", true, v.key) || !Text(ctx, r, k, "name", false, v.name)) return false;
        p.removeRegistry.push_back(std::move(v));
        return true;
      })) {
    return false;
  }
  if (!Tables(ctx, t, k, "shortcut", [&](const toml::table& s) {
        ReleaseDescription::Shortcut v;
        if (!Unknown(ctx, s, k, {"folder", "target", "name", "description"}, "[[product.shortcut]]")) return false;
        if (!ShortcutFolder(ctx, s, k, v.folder) || !InstallPath(ctx, s, k, "target", v.target) ||
            !Name(ctx, s, k, "name", v.name) || !Text(ctx, s, k, "description", false, v.description)) {
          return false;
        }
        p.shortcuts.push_back(std::move(v));
        return true;
      })) {
    return false;
  }
  return Tables(ctx, t, k, "remove_shortcut", [&](const toml::table& s) {
    ReleaseDescription::RemovedShortcut v;
    if (!Unknown(ctx, s, k, {"folder", "name"}, "[[product.remove_shortcut]]")) return false;
    if (!ShortcutFolder(ctx, s, k, v.folder) || !Name(ctx, s, k, "name", v.name)) return false;
    p.removeShortcuts.push_back(std::move(v));
    return true;
  });
}

}  // namespace

bool ReleaseReader::Read(const fs::path& file, ReleaseDescription& release, std::string& error) {
  Context ctx(file, error);
  release = {};
  release.file = file;
  std::string text, why;
  if (!ReleasePath::ReadSmallFile(file, kMaxReleaseFile, text, why)) return ctx.Fail(nullptr, "", "", why);
  toml::table root;
  try {
    root = toml::parse(text, file.string());
  } catch (const toml::parse_error& e) {
    std::ostringstream out;
    out << file.string() << ':' << e.source().begin.line << ':' << e.source().begin.column << ": " << e.description();
    error = out.str();
    return false;
  }
  const fs::path base = fs::absolute(file).parent_path();
  if (!Unknown(ctx, root, "", {"product"}, "the release file")) return false;
  std::set<std::string> keys;
  if (!Tables(ctx, root, "", "product", [&](const toml::table& t) {
        ReleaseDescription::Product p;
        if (!ReadProduct(ctx, t, base, p)) return false;
        std::string lower;
        for (char c : p.key) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!keys.insert(lower).second) return ctx.Fail(t.get("key"), p.key, "key", "product given twice");
        release.products.push_back(std::move(p));
        return true;
      })) {
    return false;
  }
  if (release.products.empty()) return ctx.Fail(nullptr, "", "product", "the release names no product ([[product]])");
  for (const auto& p : release.products) {
    for (const std::string& d : p.depends) {
      bool found = false;
      for (const auto& q : release.products) found = found || (q.key == d && q.key != p.key);
      if (!found) return ctx.Fail(nullptr, p.key, "depends", "\"" + d + "\" is not another product of this release");
    }
    std::string joined;
    for (const std::string& d : p.depends) joined += (joined.empty() ? "" : "|") + d;
    if (joined.size() > kMaxValue) return ctx.Fail(nullptr, p.key, "depends", "the joined list is longer than 259 characters");
  }
  return true;
}

}  // namespace qrv::tools

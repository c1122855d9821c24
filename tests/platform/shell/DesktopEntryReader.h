#pragma once

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace qrv::test {

// A reader of launcher files written from the format's rules, independent of
// the writer: keys of [Desktop Entry] with the value escapes undone.
inline std::map<std::string, std::string> ReadEntry(const std::string& text) {
  std::map<std::string, std::string> keys;
  std::istringstream in(text);
  std::string line;
  bool inGroup = false;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      inGroup = line == "[Desktop Entry]";
      continue;
    }
    size_t eq = line.find('=');
    if (!inGroup || eq == std::string::npos) continue;
    std::string raw = line.substr(eq + 1), value;
    size_t i = raw.find_first_not_of(' ');
    for (; i != std::string::npos && i < raw.size(); ++i) {
      if (raw[i] != '\\' || i + 1 == raw.size()) {
        value += raw[i];
        continue;
      }
      char c = raw[++i];
      value += c == 's' ? ' ' : c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
    }
    keys.emplace(line.substr(0, eq), value);
  }
  return keys;
}

// Splits an (unescaped) Exec value into arguments: double-quoted arguments
// take \" \` \$ \\ escapes; "%%" is a literal percent sign.
inline std::vector<std::string> SplitExec(const std::string& exec) {
  std::vector<std::string> args;
  std::string current;
  bool quoted = false, any = false;
  for (size_t i = 0; i < exec.size(); ++i) {
    char c = exec[i];
    if (c == '%' && i + 1 < exec.size() && exec[i + 1] == '%') {
      current += '%';
      ++i;
      any = true;
    } else if (quoted && c == '\\' && i + 1 < exec.size()) {
      current += exec[++i];
    } else if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (c == ' ' && !quoted) {
      if (any) args.push_back(current);
      current.clear();
      any = false;
    } else {
      current += c;
      any = true;
    }
  }
  EXPECT_FALSE(quoted) << "unterminated quote in " << exec;
  if (any) args.push_back(current);
  return args;
}

}  // namespace qrv::test

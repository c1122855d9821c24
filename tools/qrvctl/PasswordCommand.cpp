#include "tools/qrvctl/PasswordCommand.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

#include "config/StoredPassword.h"
#include "tools/qrvctl/CommandOutput.h"

namespace qrv::tools {
namespace {

// One line from the terminal with echo off, so that nobody looking over the
// administrator's shoulder (or a terminal log) sees the password.
bool ReadFromTerminal(const std::string& prompt, std::string& text, std::string& error) {
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  termios saved {};
  const bool canHide = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (canHide) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool ok = static_cast<bool>(std::getline(std::cin, text));
  if (canHide) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  std::fputc('\n', stderr);
  if (!ok) error = "no text was entered on the terminal";
  return ok;
}

bool ReadInput(const std::string& prompt, std::string& text, std::string& error) {
  if (isatty(STDIN_FILENO) != 0) return ReadFromTerminal(prompt, text, error);
  std::ostringstream all;
  all << std::cin.rdbuf();
  if (std::cin.bad()) {
    error = std::string("cannot read standard input: ") + std::strerror(errno);
    return false;
  }
  text = all.str();
  // `echo secret |` adds a line end that is no part of the password
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return true;
}

}  // namespace

int PasswordCommand::Run(const std::vector<std::string>& args) {
  if (args.empty() || args.size() > 2 || (args[0] != "encrypt" && args[0] != "decrypt")) {
    return CommandOutput::Usage("usage: password encrypt [TEXT] | password decrypt [HEX] (read from standard input "
                                "when not given)");
  }
  const bool encrypt = args[0] == "encrypt";
  std::string in, out, error;
  if (args.size() == 2) {
    in = args[1];
  } else if (!ReadInput(encrypt ? "Password: " : "Stored password (hex): ", in, error)) {
    return CommandOutput::Error(error);
  }
  bool ok = encrypt ? EncryptPassword(in, out, &error) : DecryptPassword(in, out, &error);
  if (!ok) return CommandOutput::Error(error);
  // the password itself, byte for byte: escaping would change it
  CommandOutput::Raw(out + "\n");
  return 0;
}

}  // namespace qrv::tools

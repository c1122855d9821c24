#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace qrv {

// The entry that starts the updater when a user logs on: two records kept
// together, the registry value "QrvUpdate" under the HKLM key kRunKey (read
// by the tools that list the program starts of the registry) and the XDG
// autostart file
// <system root>/etc/xdg/autostart/qrvupdate.desktop (read by the desktop
// sessions). Both hold the same command: "<program folder>/qrvupdate --auto".
//
// Write() puts both in place or neither: the file first (written whole or not
// at all, AtomicFileWriter), then the value; a value that cannot be written
// takes the new file away again. Remove() takes both away; what is already
// missing counts as removed. Errors name the path and the system's reason.
//
// Thread: any, after start-up (SetProgramFolder). Two writers at once: the
// last one wins.
class LogOnEntry {
 public:
  static constexpr std::string_view kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
  static constexpr std::string_view kValueName = "QrvUpdate";
  static constexpr std::string_view kDesktopFile = "etc/xdg/autostart/qrvupdate.desktop";  // below the root
  static constexpr std::string_view kProgramName = "qrvupdate";

  // "<folder>/qrvupdate --auto" for the folder SetProgramFolder named, else
  // that of the running program (/proc/self/exe); for programFolder when one
  // is given.
  static std::string Command();
  static std::string Command(std::string_view programFolder);
  // Where qrvupdate lies, for a program that is not qrvupdate itself (the
  // engine service writes the entry for the windows' program). Empty: the
  // running program's folder. Call at start-up, before other threads.
  static void SetProgramFolder(std::string folder);
  // The autostart file's place below the system root in force.
  static std::filesystem::path DesktopFilePath();
  // The autostart file's text for command ("<program> --auto"): the program
  // is quoted as the Desktop Entry format's Exec key needs.
  static std::string DesktopFileText(std::string_view command);

  // Writes the entry with Command(); the one with command. True when both
  // records hold it; else false, error set and neither record new.
  static bool Write(std::string& error);
  static bool Write(std::string_view command, std::string& error);
  // Removes both records. False (error set) when the file stays.
  static bool Remove(std::string& error);
  // The command the registry value holds; empty when there is none.
  static std::string RegisteredCommand();
};

}  // namespace qrv

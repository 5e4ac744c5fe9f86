// The user's folders and the window's settings as the window's toolkit keeps
// them, read without it: the command-line download files its downloads where
// the window does, and a process that loads no toolkit starts faster.
#pragma once

#include <optional>
#include <string>

namespace platform {

// The user's documents folder: XDG_DOCUMENTS_DIR of user-dirs.dirs, else
// ~/Documents, on Linux; the Documents known folder on Windows.
std::string DocumentsFolder();

// The program's own per-user data folder, where the window keeps its working
// file when the program's folder cannot be written: ~/.local/share/Dravik
// (XDG_DATA_HOME), or %LOCALAPPDATA%\Dravik\Dravik.
std::string AppDataFolder();

// A text value of the window's settings: the INI file the window's toolkit
// writes under the configuration folder on Linux, the registry key
// HKCU\Software\Dravik\Dravik on Windows. Nothing when it is not set or cannot
// be read.
std::optional<std::string> WindowSetting(const std::string& key);

// The value of `key` in the [General] section of an INI text written by the
// window's toolkit, its quoting and escapes undone.
std::optional<std::string> IniGeneralValue(const std::string& text, const std::string& key);

} // namespace platform

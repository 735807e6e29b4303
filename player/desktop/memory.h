// The last sequence played, remembered across runs in the user's
// configuration directory ($XDG_CONFIG_HOME/ambrise/last-played, or
// ~/.config/ambrise/last-played).
#pragma once

#include <string>

namespace desk {

// The memory file for these environment values (either may be null);
// empty when neither names a usable place.
std::string memory_file(const char* xdg_config_home, const char* home);
// From the process's environment.
std::string memory_file();

// Stores the sequence's absolute path; false when it could not be written.
// The file is replaced whole, so a crash never leaves half a name.
bool remember_sequence(const std::string& file, const std::string& sequence);
// The remembered path, or empty.
std::string recall_sequence(const std::string& file);

}  // namespace desk

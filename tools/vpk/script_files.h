// Configuration scripts (".scr") among the files of vpk sign and vpk verify:
// they are signed with a last comment line rather than a Signature part.
#pragma once

#include <iosfwd>
#include <string>

#include "archive/signature.h"

// True for a file name that the installer treats as a configuration script:
// longer than 4 characters and ending in ".scr".
bool isScriptFile(const std::string& path);

// vpk verify's line for one script, checked as the installer does with `key`;
// false when the script would be refused (or cannot be read).
bool verifyScriptFile(const std::string& path, const archive::PublicKey& key, std::ostream& out);

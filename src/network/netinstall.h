// Installation from an installation server on the local network.
#pragma once

#include <string>

#include "disk/installer.h"
#include "network/protocol.h"
#include "pkg/driver.h"

bool networkInstall(Installer& installer);

// Copies the file the server announced last into a new install child:
// InstallMode::driver installs it quietly into the running environment,
// InstallMode::stream into the target system.
bool feedPackageFromServer(InstallClient& client, InstallMode mode);

// Fetches the server's files after STRT until the list ends: packages go to
// install children, configuration scripts into "/flash". False at the first failure.
bool installServerFiles(InstallClient& client);
// Repeats WTRM once a second until the server says TERM or a key is pressed.
void waitForTerm(InstallClient& client);

// The label sent with DSCV: the first line of "/floppy/label.txt" on the
// floppy, if there is one, else "Tarnwick".
std::string deviceLabel();
// Keeps the printable, non-blank characters of a line (at most 63 of them).
std::string filterLabel(const std::string& line);

// Where a configuration script announced by the server is written: "" when
// the name could lead outside "/flash" or would not fit.
std::string scriptTarget(const std::string& name, int32_t size);
// True for a name longer than ".scr" that ends in ".scr".
bool isConfigurationScript(const std::string& name);

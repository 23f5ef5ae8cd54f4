// Installation from an installation server on the local network.
#pragma once

#include "disk/installer.h"

bool networkInstall(Installer& installer);

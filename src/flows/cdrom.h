// Installation from the CD: package choice in the menu, then the disk.
#pragma once

#include "disk/installer.h"

bool cdromInstall(Installer& installer);

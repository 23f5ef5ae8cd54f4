// Installation from a FAT medium on the target disk itself.
#pragma once

#include "disk/installer.h"

bool hardDiskInstall(Installer& installer);

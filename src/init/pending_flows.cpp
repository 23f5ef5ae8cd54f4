// Flows that are not built yet. Each one is removed from here when its real
// definition lands; they are weak so that a real definition linked before
// this library wins even while its placeholder is still here.
#include <cstdio>

#include "disk/installer.h"
#include "flows/cdrom.h"
#include "flows/harddisk.h"

__attribute__((weak)) bool cdromInstall(Installer&) {
    std::puts("ERROR: not available");
    return false;
}

__attribute__((weak)) bool hardDiskInstall(Installer&) {
    std::puts("ERROR: not available");
    return false;
}

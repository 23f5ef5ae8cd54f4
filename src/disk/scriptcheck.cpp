#include "disk/scriptcheck.h"

#include <cstdio>
#include <string>

#include "archive/script_signature.h"

bool configurationScriptAccepted(const char* name, std::string_view script) {
    std::string reason;
    if (archive::scriptAccepted(script, reason)) return true;
    std::printf("\nFATAL ERROR: configuration script %s is not signed with the package key (%s)\n", name,
                reason.c_str());
    std::fflush(stdout);
    return false;
}

#pragma once
// The server's start-up check of what it is asked to serve: every package file
// is checked with the machines' own acceptance rule, so that a server never
// starts handing out a package that its machines refuse halfway through an
// installation.

#include <string>
#include <vector>

#include "server.h"

namespace castdeploy {

// What the machines trust: their package key (64 hex digits, or a key file
// such as vpk keygen's FILE.pub) and their table of known digests (a file;
// none given: they accept no unsigned package).
struct MachineTrust {
    std::string publicKey;
    std::string knownDigests;
};

// True when `name` is served as a configuration script rather than a package:
// longer than 4 characters and ending in ".scr", as the installer tells them.
bool isConfigurationScript(const std::string& name);

// Checks every package among `files` (read through their open descriptors,
// from the start) as the machines will, and every configuration script: the
// machines that trust a key of their own place only scripts signed with it.
// `report` names the key by its fingerprint; on false it adds one line per
// refused package or script, naming the file, the package and the reason (or
// it says why the trust could not be read).
bool checkServedPackages(const MachineTrust& trust, const std::vector<const ServedFile*>& files,
                         std::string& report);

// The machines install the package files in the order served onto an erased
// disk: checks that each one is installed there, judged with the installer's
// own admission rule beside those served before it. On false `report` has one
// line per package the machines would refuse or leave out, naming the file,
// the package and why. Files that are not package files (and scripts) are
// left to the other checks.
bool checkServedOrder(const std::vector<const ServedFile*>& files, std::string& report);

}  // namespace castdeploy

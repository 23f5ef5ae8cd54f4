#include "pkg/package.h"

const char* actionVerb(ScheduledAction action) {
    switch (action) {
    case ScheduledAction::uninstall:
        return "uninstall";
    case ScheduledAction::enable:
        return "enable";
    case ScheduledAction::disable:
        return "disable";
    case ScheduledAction::none:
        break;
    }
    return "";
}

std::string displayLabel(const Package& package) {
    if (package.belongsToBundle())
        return label(package.bundle);
    return label(package);
}

namespace {

// A name that the database's text files hold as one token: not empty, no
// blank, newline or other control character.
bool isOneToken(const std::string& name) {
    if (name.empty())
        return false;
    for (unsigned char c : name)
        if (c <= ' ' || c == 0x7f)
            return false;
    return true;
}

}  // namespace

bool isUsablePackageName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool hasRecordableNames(const PackageHeader& header) {
    // A name that begins with "." would be a database entry that loading
    // never sees, or the installation journal's own place.
    if (!isUsablePackageName(header.name) || !isOneToken(header.name) || header.name[0] == '.')
        return false;
    for (const auto* list : {&header.dependencies, &header.provides, &header.conflicts})
        for (const DependencyEntry& entry : *list)
            if (!isOneToken(entry.name))
                return false;
    return true;
}

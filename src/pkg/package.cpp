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

bool isUsablePackageName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

#include "command.h"

#include <cstdio>
#include <iostream>

namespace {

std::vector<Command>& table() {
    static std::vector<Command> commands;
    return commands;
}

int help(const std::vector<std::string>& args) {
    if (!args.empty()) {
        if (const Command* c = findCommand(args[0])) {
            std::cout << c->usage;
            return kExitOk;
        }
        return fail("unknown command " + args[0]);
    }
    std::cout << "usage: vpk COMMAND [ARGS...]\n\ncommands:\n";
    for (const auto& c : registeredCommands()) {
        std::string name = c.name;
        name.resize(10, ' ');
        std::cout << "  " << name << c.summary << "\n";
    }
    std::cout << "\n\"vpk help COMMAND\" shows a command's options.\n";
    return kExitOk;
}

CommandRegistration helpCommand({"help", "show the commands or one command's usage", "usage: vpk help [COMMAND]\n", help});

}  // namespace

CommandRegistration::CommandRegistration(Command command) { table().push_back(std::move(command)); }

const std::vector<Command>& registeredCommands() { return table(); }

const Command* findCommand(std::string_view name) {
    for (const auto& c : table())
        if (c.name == name)
            return &c;
    return nullptr;
}

int fail(const std::string& message) {
    std::cerr << "vpk: " << message << "\n";
    return kExitFailure;
}

int usageError(const std::string& command, const std::string& message) {
    std::cerr << "vpk " << command << ": " << message << "\n";
    if (const Command* c = findCommand(command))
        std::cerr << c->usage;
    return kExitUsage;
}

bool Args::flag(std::string_view name) {
    for (auto it = rest_.begin(); it != rest_.end(); ++it) {
        if (*it == "--")
            return false;
        if (*it == name) {
            rest_.erase(it);
            return true;
        }
    }
    return false;
}

bool Args::value(std::string_view name, std::string& out) {
    for (auto it = rest_.begin(); it != rest_.end(); ++it) {
        if (*it == "--")
            return false;
        if (*it == name) {
            if (it + 1 == rest_.end()) {
                missing_ = std::string(name);
                rest_.erase(it);
                return false;
            }
            out = *(it + 1);
            rest_.erase(it, it + 2);
            return true;
        }
        if (it->size() > name.size() && it->compare(0, name.size(), name) == 0 && (*it)[name.size()] == '=') {
            out = it->substr(name.size() + 1);
            rest_.erase(it);
            return true;
        }
    }
    return false;
}

std::vector<std::string> Args::positional() const {
    std::vector<std::string> out;
    bool dashes = false;
    for (const auto& a : rest_) {
        if (a == "--" && !dashes)
            dashes = true;
        else
            out.push_back(a);
    }
    return out;
}

std::string Args::unknownOption() const {
    for (const auto& a : rest_) {
        if (a == "--")
            return {};
        if (a.size() > 1 && a[0] == '-')
            return a;
    }
    return {};
}

int runVpk(int argc, char** argv) {
    if (argc < 2) {
        help({});
        return kExitUsage;
    }
    std::string name = argv[1];
    if (name == "--help" || name == "-h")
        name = "help";
    const Command* c = findCommand(name);
    if (!c) {
        std::cerr << "vpk: unknown command \"" << name << "\" (see \"vpk help\")\n";
        return kExitUsage;
    }
    std::vector<std::string> args(argv + 2, argv + argc);
    int status = c->run(args);
    std::cout.flush();
    return status;
}

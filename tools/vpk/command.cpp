#include "command.h"

#include <cstdio>
#include <iostream>

namespace {

std::vector<Command>& table() {
    static std::vector<Command> commands;
    return commands;
}

void listCommands(std::ostream& out) {
    out << "usage: vpk COMMAND [ARGS...]\n\ncommands:\n";
    for (const auto& c : registeredCommands()) {
        std::string name = c.name;
        name.resize(10, ' ');
        out << "  " << name << c.summary << "\n";
    }
    out << "\n\"vpk help COMMAND\" or \"vpk COMMAND --help\" shows a command's options.\n";
}

int help(const std::vector<std::string>& args) {
    if (args.size() > 1) return usageError("help", "one command at most");
    if (!args.empty()) {
        if (const Command* c = findCommand(args[0])) {
            std::cout << c->usage;
            return kExitOk;
        }
        std::cerr << "vpk help: unknown command \"" << args[0] << "\"\n";
        listCommands(std::cerr);
        return kExitUsage;
    }
    listCommands(std::cout);
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
        listCommands(std::cerr);
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
    // "vpk COMMAND --help" anywhere before "--" is the command's usage.
    for (const std::string& a : args) {
        if (a == "--") break;
        if (a == "--help" || a == "-h") return help({c->name});
    }
    int status = c->run(args);
    std::cout.flush();
    return status;
}

// The subcommands of vpk. Each command file registers its commands with a
// static CommandRegistration; main() dispatches on the first argument.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct Command {
    std::string name;
    std::string summary;  // one line for "vpk help"
    std::string usage;    // "vpk NAME ..." lines and option help
    // Arguments after the command name; returns the exit status
    // (0 success, 1 failure, 2 usage error).
    int (*run)(const std::vector<std::string>& args);
};

struct CommandRegistration {
    explicit CommandRegistration(Command command);
};

const std::vector<Command>& registeredCommands();
const Command* findCommand(std::string_view name);

int runVpk(int argc, char** argv);

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// "vpk: " + message on standard error; returns kExitFailure.
int fail(const std::string& message);
// The command's usage on standard error, after `message`; returns kExitUsage.
int usageError(const std::string& command, const std::string& message);

// Options in the usual forms: "--name VALUE", "--name=VALUE", "-o VALUE".
// Taken options are removed; what remains are the positional arguments.
class Args {
public:
    explicit Args(const std::vector<std::string>& args) : rest_(args) {}

    bool flag(std::string_view name);
    // False when absent; `missingValue` is set when the option has no value.
    bool value(std::string_view name, std::string& out);
    // After all options were taken: the first argument that still looks like
    // an option, or empty.
    std::string unknownOption() const;
    bool missingValue() const { return !missing_.empty(); }
    const std::string& missingValueOf() const { return missing_; }
    // The remaining arguments, without the "--" that ends the options.
    std::vector<std::string> positional() const;

private:
    std::vector<std::string> rest_;
    std::string missing_;
};

// vpk install and vpk list: the installer's own package manager run against a
// system tree on disk. The install child runs in a private mount namespace
// whose root is a fresh tmpfs holding only "/flash" (the tree) and "/ram", so
// the code path is the installer's and nothing outside the tree can change.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <vector>

#include "archive/signature.h"
#include "archive/trustfile.h"
#include "command.h"
#include "init/process.h"
#include "pkg/driver.h"
#include "pkg/operations.h"
#include "pkg/repository.h"
#include "pkg/transaction.h"

namespace {

struct Roots {
    std::string tree;  // stands in for "/flash"
    std::string ram;   // stands in for "/ram"; empty: a fresh tmpfs
};

void complain(const std::string& what) {
    std::fprintf(stderr, "vpk: %s: %s\n", what.c_str(), std::strerror(errno));
}

// In the child: private mounts, a tmpfs root with the tree at /flash and
// /ram, then chroot into it. The directories are opened before the tmpfs
// covers /tmp and bound through their descriptors, so trees under /tmp work too.
bool enterPrivateRoot(const Roots& roots) {
    auto fdPath = [](int fd) { return "/proc/self/fd/" + std::to_string(fd); };
    const char* base = "/tmp";
    if (::unshare(CLONE_NEWNS) != 0) {
        complain("cannot make a private mount namespace (vpk install needs root)");
        return false;
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        complain("cannot make the mounts private");
        return false;
    }
    // Opened in the new namespace (a bind source must belong to it).
    int tree = ::open(roots.tree.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (tree < 0) {
        complain(roots.tree);
        return false;
    }
    int ram = -1;
    if (!roots.ram.empty() && (ram = ::open(roots.ram.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)) < 0) {
        complain(roots.ram);
        return false;
    }
    if (::mount("tmpfs", base, "tmpfs", 0, "mode=0755") != 0) {
        complain("cannot mount the private root");
        return false;
    }
    const std::string flash = std::string(base) + "/flash", ramDir = std::string(base) + "/ram";
    ::mkdir(flash.c_str(), 0755);
    ::mkdir(ramDir.c_str(), 0755);
    if (::mount(fdPath(tree).c_str(), flash.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        complain("cannot bind " + roots.tree);
        return false;
    }
    if (ram >= 0 ? ::mount(fdPath(ram).c_str(), ramDir.c_str(), nullptr, MS_BIND | MS_REC, nullptr)
                 : ::mount("tmpfs", ramDir.c_str(), "tmpfs", 0, "mode=0755")) {
        complain("cannot mount /ram");
        return false;
    }
    ::close(tree);
    if (ram >= 0)
        ::close(ram);
    if (::chroot(base) != 0 || ::chdir("/") != 0) {
        complain("cannot enter the private root");
        return false;
    }
    return true;
}

bool takeRoots(Args& args, const std::string& command, Roots& roots, archive::TrustAnchors& trust,
               bool& trustGiven, int& status) {
    std::string tree, ram, key;
    bool haveTree = args.value("--root", tree);
    args.value("--ram", ram);
    trustGiven = args.value("--public-key", key);
    status = 0;
    if (args.missingValue()) {
        status = usageError(command, args.missingValueOf() + " needs a value");
        return false;
    }
    if (!haveTree) {
        status = usageError(command, "--root DIR is required");
        return false;
    }
    char resolved[PATH_MAX];
    if (!::realpath(tree.c_str(), resolved)) {
        status = fail(tree + ": " + std::strerror(errno));
        return false;
    }
    roots.tree = resolved;
    if (!ram.empty()) {
        if (!::realpath(ram.c_str(), resolved)) {
            status = fail(ram + ": " + std::strerror(errno));
            return false;
        }
        roots.ram = resolved;
    }
    if (trustGiven) {
        trust.knownDigests = archive::builtinTrustAnchors().knownDigests;
        std::string error;
        if (!archive::readPublicKey(key, trust.publicKey, error)) {
            status = usageError(command, error);
            return false;
        }
    }
    return true;
}

// Works every file out as an installation would, one after another in one
// process, and prints the messages, writing nothing. Each file is checked
// against the tree as it is: what an earlier file of the same call would
// have written is not there.
int simulateInstall(const Roots& roots, const std::vector<std::string>& files) {
    std::cout.flush();
    pid_t pid = ::fork();
    if (pid < 0)
        return fail(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        // The files are opened first: the private root hides the caller's tree.
        std::vector<std::unique_ptr<std::ifstream>> inputs;
        for (const std::string& path : files) {
            inputs.push_back(std::make_unique<std::ifstream>(path, std::ios::binary));
            if (!*inputs.back()) {
                fail(path + ": " + std::strerror(errno));
                ::_exit(kExitFailure);
            }
        }
        if (!enterPrivateRoot(roots) || ::chdir("/") != 0)
            ::_exit(kExitFailure);
        setSimulation(true);
        Repository& repository = theRepository();
        repository.openRepository(false);
        int result = kExitOk;
        for (auto& in : inputs) {
            std::string imageDir;
            if (installFromStream(*in, kPermitUpgrade, nullptr, imageDir) != kInstalled)
                result = kExitFailure;
        }
        std::fflush(stdout);
        ::_exit(result);
    }
    int wait = waitForChild(pid);
    return WIFEXITED(wait) ? WEXITSTATUS(wait) : kExitFailure;
}

int install(const std::vector<std::string>& argv) {
    Args args(argv);
    Roots roots;
    static archive::TrustAnchors trust;
    bool trustGiven = false;
    int status = 0;
    const bool simulate = args.flag("--simulate");
    if (!takeRoots(args, "install", roots, trust, trustGiven, status))
        return status;
    if (std::string o = args.unknownOption(); !o.empty())
        return usageError("install", "unknown option " + o);
    auto files = args.positional();
    if (files.empty())
        return usageError("install", "no package file given");
    if (trustGiven)
        setInstallTrust(&trust);
    ::signal(SIGPIPE, SIG_IGN);
    if (simulate)
        return simulateInstall(roots, files);

    int result = kExitOk;
    for (const std::string& path : files) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            result = fail(path + ": " + std::strerror(errno));
            continue;
        }
        std::cout.flush();
        FILE* child = startInstallChildWith(InstallMode::stream, false, [&] { return enterPrivateRoot(roots); });
        if (!child) {
            result = fail("cannot start the install child");
            continue;
        }
        char chunk[4096];
        while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
            if (std::fwrite(chunk, 1, size_t(in.gcount()), child) != size_t(in.gcount()))
                break;  // the child refused the package and stopped reading
        }
        int wait = closePipedChild(child);
        if (!WIFEXITED(wait) || WEXITSTATUS(wait) != 0) {
            if (WIFEXITED(wait) && WEXITSTATUS(wait) == 2)
                return kExitFailure;
            result = kExitFailure;
        }
    }
    return result;
}

int list(const std::vector<std::string>& argv) {
    Args args(argv);
    Roots roots;
    archive::TrustAnchors trust;
    bool trustGiven = false;
    int status = 0;
    if (!takeRoots(args, "list", roots, trust, trustGiven, status))
        return status;
    if (std::string o = args.unknownOption(); !o.empty())
        return usageError("list", "unknown option " + o);
    if (!args.positional().empty())
        return usageError("list", "no arguments besides the options");

    std::cout.flush();
    pid_t pid = ::fork();
    if (pid < 0)
        return fail(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        if (!enterPrivateRoot(roots))
            ::_exit(kExitFailure);
        Repository& repository = theRepository();
        repository.openRepository(true);
        for (const auto& package : repository.packages) {
            std::printf("%-16s %-10s %s%s%s%s\n", package->name.c_str(), formatVersion(package->version).c_str(),
                        package->disabled ? "disabled" : "enabled", package->isBundle ? " bundle" : "",
                        package->belongsToBundle() ? " in " : "", package->bundle.name.c_str());
        }
        std::fflush(stdout);
        ::_exit(kExitOk);
    }
    int wait = waitForChild(pid);
    return WIFEXITED(wait) ? WEXITSTATUS(wait) : kExitFailure;
}

const char* const kInstallUsage =
    "usage: vpk install --root DIR [--ram DIR] [--public-key HEX|FILE] [--simulate] FILE...\n"
    "  Installs package files into the system tree at DIR exactly as the installer\n"
    "  does (DIR stands for /flash, in a private mount namespace; needs root).\n"
    "  --ram DIR         stands for /ram (schedule files under pdb/NAME/schedule);\n"
    "                    a fresh empty one when not given\n"
    "  --public-key HEX|FILE  check signatures against this key (64 hex digits or a\n"
    "                    key file such as vpk keygen's FILE.pub) instead of the built-in one\n"
    "  --simulate        print what installing would do, message by message, and\n"
    "                    write nothing (each file against the tree as it is)\n";
const char* const kListUsage =
    "usage: vpk list --root DIR [--ram DIR] [--public-key HEX|FILE]\n"
    "  Lists the packages in DIR's package database: name, version, state, bundle.\n";

CommandRegistration installCommand({"install", "install package files into a system tree", kInstallUsage, install});
CommandRegistration listCommand({"list", "list the packages installed in a system tree", kListUsage, list});

}  // namespace

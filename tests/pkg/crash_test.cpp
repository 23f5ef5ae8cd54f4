// An installation killed at every k-th change it makes (the fault counter
// that every journal line, rename, removal, directory, file and write passes),
// then the package manager run again: the tree and the database are exactly
// the old state or the new one, with nothing set aside left over (an upgrade
// that removes the older version first may also stop with no version
// installed, and the database saying so).
// CRASH_TEST_STRIDE=1 kills at every single change.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

#include "archive/rootfs.h"
#include "install_helpers.h"
#include "pkg/database.h"
#include "pkg/operations.h"
#include "pkg/repository.h"
#include "pkg/transaction.h"
#include "sandbox/sandbox.h"

using installtest::content;
using installtest::packageFile;

namespace {

// Installs `bytes` in a child process that kills itself at the limit-th
// change (0: never); returns the number of changes it passed. With
// `olderFirst`, an upgrade removes the older version first (no room for both).
long installInChild(const std::string& bytes, long limit, bool olderFirst = false) {
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir("/") != 0)
            ::_exit(1);
        setFaultLimit(limit);
        setOlderFirst(olderFirst);
        theRepository().openRepository(true);
        std::istringstream in(bytes);
        std::string imageDir;
        (void)installFromStream(in, kPermitUpgrade, nullptr, imageDir);
        std::ofstream("/tmp/faults") << faultCount();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    long count = 0;
    std::ifstream("/tmp/faults") >> count;
    ::unlink("/tmp/faults");
    return count;
}

// The package manager's next run: it loads the database (and so finishes or
// undoes what it finds), as a listing does.
void loadInChild() {
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        theRepository().openRepository(true);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
}

// The package `name` uninstalled: what an upgrade that removes the older
// version first leaves when it is killed after that removal.
void uninstallInChild(const std::string& name) {
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        theRepository().openRepository(true);
        // Deepest first, as an installation sets files aside (a file reached
        // through a link that the package owns goes before the link).
        if (Package* package = theRepository().findInstalledPackage(name)) {
            for (auto it = package->files.rbegin(); it != package->files.rend(); ++it)
                removeInRoot("/flash", *it);
            package->files.clear();
            uninstallPackage(*package);
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
}

// Everything under /flash and /ram but times (database files are rewritten
// with the same bytes at another second).
std::map<std::string, std::string> state() {
    std::map<std::string, std::string> out;
    for (const char* root : {"/flash", "/ram"}) {
        for (auto [path, description] : installtest::listTree(root)) {
            // "TYPE MODE UID:GID MTIME DETAIL": the time goes.
            size_t at = 0;
            for (int field = 0; field < 3 && at != std::string::npos; ++field)
                at = description.find(' ', at + 1);
            size_t end = at == std::string::npos ? at : description.find(' ', at + 1);
            out[root + path] = end == std::string::npos ? description : description.substr(0, at) + description.substr(end);
        }
    }
    return out;
}

void restore() {
    if (std::system("rm -rf /flash/* /flash/.[!.]* /ram/* && cp -a /saved-flash/. /flash/ && cp -a /saved-ram/. /ram/") != 0)
        std::printf("restore failed\n");
}

struct Scenario {
    const char* what;
    std::vector<std::string> before;
    std::function<void()> prepare;
    std::string step;
    const char* olderFirst = nullptr;  // the package whose older version goes first
};

// Runs in the sandbox: prints one line per kill whose outcome is neither
// state, and a summary.
int crashAtEveryStride(const Scenario& scenario, long stride) {
    ::mkdir("/ram/pdb", 0755);
    for (const std::string& bytes : scenario.before)
        installInChild(bytes, 0);
    if (scenario.prepare)
        scenario.prepare();
    if (std::system("cp -a /flash /saved-flash && cp -a /ram /saved-ram") != 0)
        return 1;
    const auto oldState = state();
    const bool olderFirst = scenario.olderFirst != nullptr;
    const long total = installInChild(scenario.step, 0, olderFirst);
    const auto newState = state();
    if (oldState == newState) {
        std::printf("[the step changed nothing]\n");
        return 1;
    }
    // Between the two: the older version gone, and the database saying so.
    auto between = oldState;
    if (olderFirst) {
        restore();
        uninstallInChild(scenario.olderFirst);
        between = state();
    }
    long kills = 0, olds = 0, news = 0, betweens = 0;
    // Small steps are killed at every change.
    stride = std::max(1L, std::min(stride, total / 40));
    for (long at = 1; at <= total; at += stride) {
        restore();
        installInChild(scenario.step, at, olderFirst);
        loadInChild();
        const auto after = state();
        ++kills;
        if (after == oldState) {
            ++olds;
        } else if (after == newState) {
            ++news;
        } else if (olderFirst && after == between) {
            ++betweens;
        } else {
            std::printf("[kill at %ld of %ld: neither state]\n", at, total);
            const auto& nearest = olderFirst ? between : at * 2 < total ? oldState : newState;
            int shown = 0;
            for (const auto& [path, description] : after)
                if (shown < 6 && (!nearest.count(path) || nearest.at(path) != description) && ++shown)
                    std::printf("  extra or changed: %s %s\n", path.c_str(), description.c_str());
            for (const auto& [path, description] : nearest)
                if (shown < 12 && !after.count(path) && ++shown)
                    std::printf("  missing: %s %s\n", path.c_str(), description.c_str());
        }
    }
    std::printf("[%ld kills of %ld changes: %ld old, %ld none, %ld new]\n", kills, total, olds, betweens, news);
    std::fflush(stdout);
    return 0;
}

std::vector<FileEntry> tree(const std::string& version, int count, int skip) {
    std::vector<FileEntry> files{directoryEntry("opt/big", 0755, 1000), symlinkEntry("opt/big/current", "d0")};
    for (int d = 0; d < 8; ++d)
        files.push_back(directoryEntry("opt/big/d" + std::to_string(d), 0755, 1000));
    for (int i = 0; i < count; ++i)
        if (i % 7 != skip)
            files.push_back(regularEntry("opt/big/d" + std::to_string(i % 8) + "/f" + std::to_string(i),
                                         version + std::string(size_t(i % 50), 'x'), 0644, 1000));
    files.push_back(regularEntry("opt/big/current/through-link", version));
    return files;
}

long strideFromEnvironment(long fallback) {
    const char* text = std::getenv("CRASH_TEST_STRIDE");
    long stride = text ? std::atol(text) : fallback;
    return stride > 0 ? stride : fallback;
}

}  // namespace

TEST(InstallCrash, EveryKillLeavesTheOldOrTheNewState) {
    PackageContent big1 = content("big", 1, 0, tree("one", 300, 3));
    PackageContent big2 = content("big", 2, 0, tree("two", 320, 5));
    big2.conflicts = std::vector<DependencyEntry>{{"peer", 0, 0, 0}};
    PackageContent peer = content("peer", 1, 0, {regularEntry("etc/peer", "p")});
    PackageContent keep = content("keep", 1, 0, {regularEntry("etc/keep", "k")});

    PackageContent suite1 = content("suite", 1, 0, {});
    suite1.files.reset();
    PackageContent suite2 = content("suite", 2, 0, {});
    suite2.files.reset();
    auto member = [](const char* name, unsigned major) {
        return packageFile(content(name, major, 0,
                                   {regularEntry(std::string("usr/") + name + "/a", name + std::to_string(major)),
                                    regularEntry(std::string("usr/") + name + "/b", "b")}));
    };
    PackageContent lib = content("lib", 1, 0, {regularEntry("usr/lib/lib", "l")});
    PackageContent user = content("user", 1, 0, {regularEntry("usr/bin/user", "u")});
    user.dependencies = std::vector<DependencyEntry>{{"lib", 0, 0, 0}};

    const Scenario scenarios[] = {
        {"an upgrade of a package of some hundred files that disables another",
         {packageFile(keep), packageFile(peer), packageFile(big1)}, nullptr, packageFile(big2)},
        {"a fresh installation", {packageFile(keep)}, nullptr, packageFile(big1)},
        {"a bundle over its older version",
         {packageFile(keep), installtest::bundleFile(suite1, nullptr, {member("m1", 1), member("m2", 1)})},
         nullptr,
         installtest::bundleFile(suite2, nullptr, {member("m1", 2), member("m3", 1)})},
        {"a removal by schedule words",
         {packageFile(keep), packageFile(lib), packageFile(user)},
         [] {
             ::mkdir("/ram/pdb/lib", 0755);
             std::ofstream("/ram/pdb/lib/schedule") << "uninstall\n";
         },
         packageFile(content("other", 1, 0, {regularEntry("etc/other", "o")}))},
        {"an upgrade with no room for both versions (the older one removed first)",
         {packageFile(keep), packageFile(peer), packageFile(big1)}, nullptr, packageFile(big2), "big"},
    };
#ifdef __SANITIZE_ADDRESS__
    const long stride = strideFromEnvironment(23);  // each run is several times slower there
#else
    const long stride = strideFromEnvironment(7);
#endif
    for (const Scenario& scenario : scenarios) {
        sandbox::Options options;
        options.newNetwork = false;
        options.timeoutMs = 600000;
        sandbox::Result result = sandbox::run(options, [&] { return crashAtEveryStride(scenario, stride); });
        EXPECT_TRUE(result.exited && result.exitStatus == 0) << scenario.what << "\n" << result.output;
        EXPECT_THAT(result.output, ::testing::HasSubstr(" kills of ")) << scenario.what << "\n" << result.output;
        EXPECT_THAT(result.output, ::testing::Not(::testing::HasSubstr("neither state")))
            << scenario.what << "\n" << result.output;
        std::printf("%s: %s\n", scenario.what, result.output.substr(result.output.rfind('[')).c_str());
        std::fflush(stdout);
    }
}

#include "pkg/database.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "pkg/repository.h"
#include "pkg_helpers.h"
#include "sandbox/sandbox.h"

namespace {

using sandbox::readFile;
using sandbox::writeFile;

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Makes a database directory by hand, as the installed system leaves it.
void makeEntry(const std::string& name, std::initializer_list<std::pair<std::string, std::string>> files) {
    std::string dir = databaseDir(name);
    if (!makeDirectories(dir))
        std::printf("could not make %s\n", dir.c_str());
    for (const auto& [file, content] : files)
        writeFile(dir + file, content);
}

sandbox::Result inSandbox(std::function<int()> body, sandbox::Options options = {}) {
    options.newNetwork = false;
    return sandbox::run(options, std::move(body));
}

TEST(Database, SaveWritesEveryFileByteForByteAndLoadsBack) {
    auto r = inSandbox([] {
        Checks c;
        Make make("system", 0x02096600, 1262304000);
        make.dep("base", 0x01000000).dep("libc").provide("shell", -3).provide("net", 5, 1, 2);
        make.conflict("old", 0, 0x01000000).inBundle("suite").file("/etc/conf").file("/bin/x").file("lib/y");
        make.disabled(false);
        Package& p = *make;
        const std::string dir = "/flash/var/pdb/system/";
        CHECK_EQ(c, databaseDir(p), dir);
        CHECK_EQ(c, databaseDir(p, true), "." + dir);
        CHECK_TRUE(c, makeDirectories(dir));
        CHECK_TRUE(c, saveToDatabase(p));
        CHECK_EQ(c, readFile(dir + "version"), "34170368 1262304000\n");
        CHECK_EQ(c, readFile(dir + "deps"), "base 16777216 0\nlibc 0 0\n");
        CHECK_EQ(c, readFile(dir + "provides"), "shell 0 0 -3\nnet 1 2 5\n");
        CHECK_EQ(c, readFile(dir + "conflicts"), "old 0 16777216\n");
        CHECK_EQ(c, readFile(dir + "bundle"), "suite\n");
        CHECK_EQ(c, readFile(dir + "files"), "bin/x\netc/conf\nlib/y\n");
        CHECK_EQ(c, readFile(dir + "disabled"), "auto\n");
        CHECK_TRUE(c, !exists(dir + "enabled"));

        Package q;
        loadFromDatabase(q, "system");
        CHECK_EQ(c, q.version, 0x02096600u);
        CHECK_EQ(c, q.buildTime, 1262304000u);
        CHECK_TRUE(c, q.dependencies == p.dependencies);
        CHECK_TRUE(c, q.provides == p.provides);
        CHECK_TRUE(c, q.conflicts == p.conflicts);
        CHECK_TRUE(c, q.bundle == ref("suite"));
        CHECK_TRUE(c, (q.files == std::set<std::string>{"/bin/x", "/etc/conf", "/lib/y"}));
        CHECK_TRUE(c, q.disabled && !q.userForced && !q.isBundle);
        CHECK_TRUE(c, q.scheduled == ScheduledAction::none);

        // Saved again enabled by the user, outside the bundle, without lists:
        // the marks flip, "bundle" goes, and empty provides/conflicts leave the
        // files there alone while "deps" is always rewritten.
        p.disabled = false;
        p.userForced = true;
        p.bundle = DependencyEntry{};
        p.dependencies.clear();
        p.provides.clear();
        p.conflicts.clear();
        CHECK_TRUE(c, saveToDatabase(p));
        CHECK_EQ(c, readFile(dir + "enabled"), "user\n");
        CHECK_TRUE(c, !exists(dir + "disabled"));
        CHECK_TRUE(c, !exists(dir + "bundle"));
        CHECK_EQ(c, readFile(dir + "deps"), "");
        CHECK_EQ(c, readFile(dir + "provides"), "shell 0 0 -3\nnet 1 2 5\n");
        CHECK_EQ(c, readFile(dir + "conflicts"), "old 0 16777216\n");

        // Enabled by the resolver: no mark at all. A bundle writes no "files";
        // an image package keeps no install script.
        p.userForced = false;
        p.isBundle = true;
        p.hasImage = true;
        ::unlink((dir + "files").c_str());
        writeFile(dir + "oninstall", "#!/bin/bash\n");
        CHECK_TRUE(c, saveToDatabase(p));
        CHECK_TRUE(c, !exists(dir + "enabled") && !exists(dir + "files") && !exists(dir + "oninstall"));
        return c.status();
    });
    EXPECT_EQ(r.exitStatus, 0) << r.output;
}

TEST(Database, LoadingReadsMarksAndListsTheWayTheSystemLeavesThem) {
    auto r = inSandbox([] {
        Checks c;
        // Only "version": a bundle without lists, enabled by the resolver.
        makeEntry("only", {{"version", "50462720 7\n"}});
        makeEntry("auto", {{"version", "1 2\n"}, {"files", ""}, {"disabled", "auto\n"}});
        makeEntry("user", {{"version", "1 2\n"}, {"files", ""}, {"disabled", "user\n"}});
        makeEntry("empty", {{"version", "1 2\n"}, {"files", ""}, {"disabled", ""}});
        makeEntry("both", {{"version", "1 2\n"}, {"files", ""}, {"disabled", "auto\n"}, {"enabled", "user\n"}});
        makeEntry("forced", {{"version", "1 2\n"}, {"files", ""}, {"enabled", "user\n"}});
        makeEntry("paths", {{"version", "1 2\n"}, {"files", "bin/x\n\n/bin/x\nusr/lib/z\n"}, {"bundle", "suite\n"}});

        Package only;
        loadFromDatabase(only, "only");
        CHECK_TRUE(c, only.isBundle && only.dependencies.empty() && only.provides.empty() && only.conflicts.empty());
        CHECK_TRUE(c, !only.disabled && !only.userForced && only.scheduled == ScheduledAction::none);
        CHECK_EQ(c, only.version, 50462720u);
        CHECK_EQ(c, only.buildTime, 7u);

        auto load = [](const char* name) {
            Package p;
            loadFromDatabase(p, name);
            return p;
        };
        Package a = load("auto"), u = load("user"), e = load("empty"), b = load("both"), f = load("forced");
        CHECK_TRUE(c, a.disabled && !a.userForced);
        CHECK_TRUE(c, u.disabled && u.userForced);
        CHECK_TRUE(c, e.disabled && e.userForced);
        CHECK_TRUE(c, b.disabled && !b.userForced);  // "disabled" wins; "enabled" is not read
        CHECK_TRUE(c, !f.disabled && f.userForced && !f.isBundle);

        Package paths = load("paths");
        CHECK_TRUE(c, (paths.files == std::set<std::string>{"/bin/x", "/usr/lib/z"}));
        CHECK_TRUE(c, paths.bundle == ref("suite"));
        CHECK_EQ(c, displayLabel(paths), "suite");
        return c.status();
    });
    EXPECT_EQ(r.exitStatus, 0) << r.output;
}

TEST(Database, DamagedEntriesLoadScheduledForUninstallation) {
    auto r = inSandbox([] {
        Checks c;
        makeEntry("nonumbers", {{"version", "1 2\n"}, {"deps", "a 1 2\nb\nc 3 4\n"}, {"conflicts", "x 0 0\n"}});
        makeEntry("noextra", {{"version", "1 2\n"}, {"provides", "p 0 0 -1\nq 0 0\n"}});
        makeEntry("noversion", {{"deps", "a 0 0\n"}});
        makeEntry("badversion", {{"version", "12 x\n"}});
        makeEntry("fine", {{"version", "1 2\n"}, {"deps", "a 0 0\n"}});

        Package p;
        loadFromDatabase(p, "nonumbers");
        CHECK_TRUE(c, p.scheduled == ScheduledAction::uninstall);
        CHECK_EQ(c, p.dependencies.size(), 1u);  // the line before the damage stays
        CHECK_EQ(c, p.conflicts.size(), 1u);     // and the later lists are still read

        Package q;
        loadFromDatabase(q, "noextra");
        CHECK_TRUE(c, q.scheduled == ScheduledAction::uninstall);
        CHECK_TRUE(c, q.provides.size() == 1 && int32_t(q.provides[0].extra) == -1);

        for (const char* name : {"noversion", "badversion", "missing"}) {
            Package d;
            loadFromDatabase(d, name);
            CHECK_TRUE(c, d.scheduled == ScheduledAction::uninstall);
            CHECK_EQ(c, d.name, std::string(name));
        }
        Package fine;
        loadFromDatabase(fine, "fine");
        CHECK_TRUE(c, fine.scheduled == ScheduledAction::none);
        return c.status();
    });
    EXPECT_EQ(r.exitStatus, 0) << r.output;
}

TEST(Database, ScheduleFileIsConsumedWhateverItSays) {
    auto r = inSandbox([] {
        Checks c;
        const std::pair<const char*, const char*> cases[] = {
            {"uninstall", "uninstall\n"}, {"enable", "enable\n"}, {"disable", "disable"}, {"bogus", "reboot\n"}};
        for (const auto& [name, word] : cases) {
            makeEntry(name, {{"version", "1 2\n"}, {"files", ""}});
            (void)makeDirectories(std::string("/ram/pdb/") + name);
            writeFile(std::string("/ram/pdb/") + name + "/schedule", word);
        }
        auto load = [](const char* name) {
            Package p;
            loadFromDatabase(p, name);
            return p;
        };
        Package u = load("uninstall"), e = load("enable"), d = load("disable"), b = load("bogus");
        CHECK_TRUE(c, u.scheduled == ScheduledAction::uninstall && !u.userForced);
        CHECK_TRUE(c, e.scheduled == ScheduledAction::enable && e.userForced);
        CHECK_TRUE(c, d.scheduled == ScheduledAction::disable && d.userForced);
        CHECK_TRUE(c, b.scheduled == ScheduledAction::none && !b.userForced);
        for (const auto& [name, word] : cases)
            CHECK_TRUE(c, !exists(std::string("/ram/pdb/") + name + "/schedule"));
        // Consumed: loading again finds nothing scheduled.
        CHECK_TRUE(c, load("enable").scheduled == ScheduledAction::none);
        return c.status();
    });
    EXPECT_EQ(r.exitStatus, 0) << r.output;
}

TEST(Database, FailedSavesReportTheInstallationError) {
    // No directory: the first write fails with the system's reason.
    auto r = inSandbox([] {
        Package p = *Make("tool", packVersion(1, 2, kFinalKind, 3)).take();
        return saveToDatabase(p) ? 1 : 0;
    });
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.output, "ERROR: installation of tool-1.2.3 failed: could not create meta/version: "
                        "No such file or directory\n");

    // A full disk, for a bundle member: reported under the bundle's label.
    sandbox::Options small;
    small.flashTmpfsOptions = "size=64k";
    r = inSandbox(
        [] {
            Make make("member");
            make.inBundle("suite");
            make->bundle.minVersion = make->bundle.maxVersion = packVersion(3, 0);
            for (int i = 0; i < 4000; ++i)
                make.file("/usr/share/some/rather/long/path/name/number/" + std::to_string(i));
            if (!makeDirectories(databaseDir(*make)))
                return 2;
            return saveToDatabase(*make) ? 1 : 0;
        },
        small);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.output, "ERROR: installation of suite-3.0 failed: disk is too small\n");
}

TEST(Database, RelativeFormWritesUnderTheWorkingDirectoryButMarksAbsolutely) {
    auto r = inSandbox([] {
        Checks c;
        CHECK_TRUE(c, makeDirectories("/ram/root") && ::chdir("/ram/root") == 0);
        Package p = *Make("driver").file("/lib/modules/x.ko").disabled(true).take();
        CHECK_TRUE(c, makeDirectories(databaseDir(p, true)));
        // The disabled mark goes to the absolute directory, which does not
        // exist here; that write is not checked.
        CHECK_TRUE(c, saveToDatabase(p, true));
        CHECK_EQ(c, readFile("/ram/root/flash/var/pdb/driver/files"), "lib/modules/x.ko\n");
        CHECK_TRUE(c, exists("/ram/root/flash/var/pdb/driver/version"));
        CHECK_TRUE(c, !exists("/ram/root/flash/var/pdb/driver/disabled"));
        CHECK_TRUE(c, !exists("/flash/var/pdb/driver"));
        return c.status();
    });
    EXPECT_EQ(r.exitStatus, 0) << r.output;
}

TEST(Database, MakeDirectoriesCreatesTheChainFromTheTop) {
    auto r = inSandbox([] {
        Checks c;
        ::umask(022);
        CHECK_TRUE(c, makeDirectories("/flash/a/b/c//"));
        struct stat st;
        CHECK_TRUE(c, ::stat("/flash/a/b/c", &st) == 0 && S_ISDIR(st.st_mode));
        CHECK_EQ(c, st.st_mode & 07777, 0750u);
        CHECK_TRUE(c, makeDirectories("/flash/a/b/c"));  // all there: fine
        CHECK_TRUE(c, makeDirectories("/flash/d/e/file", true));
        CHECK_TRUE(c, exists("/flash/d/e") && !exists("/flash/d/e/file"));
        CHECK_TRUE(c, ::chdir("/ram") == 0 && makeDirectories("x/y"));
        CHECK_TRUE(c, exists("/ram/x/y"));
        CHECK_TRUE(c, makeDirectories("/"));
        writeFile("/flash/plain", "");
        CHECK_TRUE(c, !makeDirectories("/flash/plain/below"));
        return c.status();
    });
    EXPECT_EQ(r.exitStatus, 0) << r.output;
}

TEST(Database, RemovingAnEntryAndTheStateChanges) {
    auto r = inSandbox([] {
        Checks c;
        makeEntry("gone", {{"version", "1 2\n"}, {"files", "bin/gone\n"}, {"oninstall", "x"}});
        writeFile("/flash/bin-placeholder", "");
        (void)makeDirectories("/flash/bin");
        writeFile("/flash/bin/gone", "data");
        writeFile("/flash/keep", "data");
        Package gone;
        loadFromDatabase(gone, "gone");
        gone.files.insert("/../flash/keep");  // never leads anywhere else
        gone.scheduled = ScheduledAction::uninstall;
        uninstallPackage(gone);
        CHECK_TRUE(c, !exists("/flash/bin/gone") && !exists("/flash/var/pdb/gone"));
        CHECK_TRUE(c, exists("/flash/keep"));
        CHECK_TRUE(c, gone.files.empty() && gone.scheduled == ScheduledAction::none);
        removeDatabaseEntry(gone);  // no directory: nothing to do

        makeEntry("state", {{"version", "1 2\n"}, {"files", ""}, {"enabled", "user\n"}});
        Package s;
        loadFromDatabase(s, "state");
        s.userForced = false;
        s.scheduled = ScheduledAction::disable;
        disablePackage(s);
        const std::string dir = databaseDir(s);
        CHECK_EQ(c, readFile(dir + "disabled"), "auto\n");
        CHECK_TRUE(c, !exists(dir + "enabled") && s.disabled && s.scheduled == ScheduledAction::none);
        s.userForced = true;
        disablePackage(s);
        CHECK_EQ(c, readFile(dir + "disabled"), "user\n");
        s.scheduled = ScheduledAction::enable;
        enablePackage(s);
        CHECK_EQ(c, readFile(dir + "enabled"), "user\n");
        CHECK_TRUE(c, !exists(dir + "disabled") && !s.disabled && s.scheduled == ScheduledAction::none);
        s.userForced = false;
        enablePackage(s);
        CHECK_TRUE(c, !exists(dir + "enabled"));
        return c.status();
    });
    EXPECT_EQ(r.exitStatus, 0) << r.output;
}

TEST(Database, OpeningTheRepositoryLoadsEveryEntry) {
    auto r = inSandbox([] {
        Repository missing;
        missing.openRepository(false);  // prints the warning
        Repository silent;
        silent.openRepository(true);
        makeEntry("a", {{"version", "1 2\n"}, {"files", ""}});
        makeEntry("b", {{"version", "3 4\n"}, {"files", ""}, {"disabled", "user\n"}});
        (void)makeDirectories("/flash/var/pdb/.hidden");
        Repository repository;
        repository.openRepository(true);
        if (repository.packages.size() != 2 || !repository.quiet)
            return 1;
        Package* b = repository.findInstalledPackage("b");
        if (!b || !b->disabled || b->version != 3 || repository.findInstalled("c") != -1)
            return 2;
        return 0;
    });
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_EQ(r.output, "WARNING: could not open repo\n");
}

}  // namespace

namespace {

// Links planted by a package (or found on the disk) inside the installed
// system must never lead the database code to files outside /flash.
TEST(Database, LinksInTheInstalledSystemNeverLeadOutside) {
    auto r = inSandbox([] {
        Checks c;
        ::mkdir("/outside", 0755);
        writeFile("/outside/keep", "precious\n");
        // The entry of "victim" is a link to a directory outside the system.
        CHECK_TRUE(c, makeDirectories("/flash/var/pdb/"));
        CHECK_TRUE(c, ::symlink("/outside", "/flash/var/pdb/victim") == 0);
        Package victim;
        victim.name = "victim";
        removeDatabaseEntry(victim);
        CHECK_EQ(c, readFile("/outside/keep"), "precious\n");

        // A recorded file reached through a link on the disk that points outside.
        CHECK_TRUE(c, ::symlink("/outside", "/flash/lib") == 0);
        Package p;
        p.name = "app";
        p.files.insert("/lib/keep");
        uninstallPackage(p);
        CHECK_EQ(c, readFile("/outside/keep"), "precious\n");

        // A database file replaced by a link is not written through.
        makeEntry("tool", {{"version", "16777216 0\n"}});
        CHECK_TRUE(c, ::symlink("/outside/keep", "/flash/var/pdb/tool/disabled") == 0);
        Package tool;
        tool.name = "tool";
        disablePackage(tool);
        CHECK_EQ(c, readFile("/outside/keep"), "precious\n");
        return c.status();
    });
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
}

}  // namespace

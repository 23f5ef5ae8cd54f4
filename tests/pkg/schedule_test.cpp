#include "pkg/schedule.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "pkg/database.h"
#include "pkg_helpers.h"
#include "sandbox/sandbox.h"

namespace {

using S = ScheduledAction;

struct Resolution {
    std::vector<std::string> removals, enablings;
    std::string output;
};

Resolution resolve(Repository& r, bool verbose = true) {
    Resolution out;
    std::vector<Package*> removals, enablings;
    out.output = captureStdout([&] { resolveSchedule(r, removals, enablings, verbose); });
    for (Package* p : removals)
        out.removals.push_back(p->name);
    for (Package* p : enablings)
        out.enablings.push_back(p->name);
    return out;
}

using Names = std::vector<std::string>;

TEST(Schedule, NeededPackagesStayWithAWarning) {
    Repository r;
    add(r, Make("app").dep("lib"));
    Package* lib = add(r, Make("lib", packVersion(2, 1)).schedule(S::uninstall));
    Resolution out = resolve(r);
    EXPECT_EQ(out.output, "WARNING: can not uninstall lib-2.1: app depends on it\n");
    EXPECT_EQ(lib->scheduled, S::none);
    EXPECT_TRUE(out.removals.empty() && out.enablings.empty());

    lib->scheduled = S::disable;
    out = resolve(r, false);
    EXPECT_EQ(out.output, "");
    EXPECT_EQ(lib->scheduled, S::none);
}

TEST(Schedule, DisabledNeedsAreEnabledBeforeTheirDependents) {
    Repository r;
    add(r, Make("core"));
    Package* app = add(r, Make("app").dep("gui").disabled().schedule(S::enable));
    Package* gui = add(r, Make("gui").dep("base").disabled());
    Package* base = add(r, Make("base").disabled());
    Resolution out = resolve(r);
    EXPECT_EQ(out.output, "");
    EXPECT_EQ(out.enablings, (Names{"base", "gui", "app"}));
    EXPECT_TRUE(out.removals.empty());
    EXPECT_EQ(gui->scheduled, S::enable);
    EXPECT_EQ(base->scheduled, S::enable);
    EXPECT_EQ(app->scheduled, S::enable);
}

TEST(Schedule, DependentsFollowTheirOnlyProvider) {
    // Active packages keep what they need, so the fallout reaches packages
    // that are not active, and those whose need was never there.
    Repository r;
    add(r, Make("core"));
    add(r, Make("mail").dep("mta").disabled());
    add(r, Make("smtp").provide("mta").schedule(S::uninstall));
    add(r, Make("webmail").dep("mail").disabled());
    add(r, Make("orphan").dep("gone"));
    Resolution out = resolve(r);
    EXPECT_EQ(out.output, "");
    // Dependents are removed first. A disabled package on its way out still
    // counts as a possible candidate, so webmail stays (disabled) this time.
    EXPECT_EQ(out.removals, (Names{"mail", "smtp", "orphan"}));
    for (const char* name : {"mail", "orphan"})
        EXPECT_EQ(r.findInstalledPackage(name)->scheduled, S::uninstall) << name;
    EXPECT_EQ(r.findInstalledPackage("webmail")->scheduled, S::none);

    // A provider pushed out by an excluder that is being enabled takes its
    // active dependents into the disabled state with it.
    Repository d;
    add(d, Make("core"));
    add(d, Make("mail").dep("mta"));
    add(d, Make("smtp").provide("mta"));
    add(d, Make("webmail").dep("mail"));
    add(d, Make("rival").conflict("smtp").disabled().schedule(S::enable));
    out = resolve(d);
    EXPECT_EQ(out.output, "");
    EXPECT_EQ(out.removals, (Names{"webmail", "mail", "smtp"}));
    EXPECT_EQ(out.enablings, Names{"rival"});
    for (const char* name : {"mail", "webmail", "smtp"})
        EXPECT_EQ(d.findInstalledPackage(name)->scheduled, S::disable) << name;

    // A second provider keeps the dependents.
    add(r, Make("other").provide("mta"));
    for (auto& p : r.packages)
        p->scheduled = p->name == "smtp" ? S::uninstall : S::none;
    r.findInstalledPackage("orphan")->dependencies.clear();
    out = resolve(r);
    EXPECT_EQ(out.removals, (Names{"smtp"}));
}

TEST(Schedule, SomethingMustStayActive) {
    Repository r;
    add(r, Make("a").schedule(S::uninstall));
    add(r, Make("b").schedule(S::disable));
    add(r, Make("c").disabled());
    Resolution out = resolve(r);
    EXPECT_EQ(out.output, "ERROR: can not uninstall or disable all packages\n");
    EXPECT_TRUE(out.removals.empty() && out.enablings.empty());
    for (auto& p : r.packages)
        EXPECT_EQ(p->scheduled, S::none);
    EXPECT_EQ(resolve(r, false).output, "");

    Repository empty;
    out = resolve(empty);
    EXPECT_EQ(out.output, "");
    EXPECT_TRUE(out.removals.empty() && out.enablings.empty());
}

TEST(Schedule, OfTwoConflictingEnablesTheExcluderWinsInEitherOrder) {
    for (bool excluderFirst : {true, false}) {
        Repository r;
        add(r, Make("base"));
        auto a = [&] { return add(r, Make("a", packVersion(1, 5)).conflict("b").disabled().schedule(S::enable)); };
        auto b = [&] { return add(r, Make("b").disabled().schedule(S::enable)); };
        Package *pa, *pb;
        if (excluderFirst) {
            pa = a();
            pb = b();
        } else {
            pb = b();
            pa = a();
        }
        Resolution out = resolve(r);
        EXPECT_EQ(out.output, "WARNING: can not enable b: a-1.5 conflicts with it\n") << excluderFirst;
        EXPECT_EQ(out.enablings, Names{"a"});
        EXPECT_EQ(pa->scheduled, S::enable);
        EXPECT_EQ(pb->scheduled, S::none);
    }
}

TEST(Schedule, ActivePackagesPushOutWhatTheyExclude) {
    Repository r;
    add(r, Make("new").provide("mta", 5).disabled().schedule(S::enable));
    Package* old = add(r, Make("old").provide("mta", 1));
    Package* user = add(r, Make("user").dep("mta"));
    Resolution out = resolve(r);
    EXPECT_EQ(old->scheduled, S::disable);
    EXPECT_EQ(user->scheduled, S::none);  // the new provider meets it
    EXPECT_EQ(out.removals, Names{"old"});
    EXPECT_EQ(out.enablings, Names{"new"});
}

TEST(Schedule, BundlesAndMembers) {
    // All members leaving: the bundle leaves with them.
    Repository r;
    add(r, Make("core"));
    Package* suite = add(r, Make("suite").bundle());
    add(r, Make("m1").inBundle("suite").schedule(S::uninstall));
    add(r, Make("m2").inBundle("suite").schedule(S::uninstall));
    resolve(r);
    EXPECT_EQ(suite->scheduled, S::uninstall);

    // All members disabled: the bundle is disabled.
    Repository d;
    add(d, Make("core"));
    Package* suite2 = add(d, Make("suite").bundle());
    add(d, Make("m1").inBundle("suite").disabled());
    add(d, Make("m2").inBundle("suite").schedule(S::disable));
    Resolution out = resolve(d);
    EXPECT_EQ(suite2->scheduled, S::disable);
    EXPECT_EQ(out.removals, (Names{"suite", "m2"}));

    // The bundle's own action passes to its members.
    Repository e;
    add(e, Make("core"));
    Package* suite3 = add(e, Make("suite").bundle().disabled().schedule(S::enable));
    Package* m1 = add(e, Make("m1").inBundle("suite").disabled());
    Package* m2 = add(e, Make("m2").inBundle("suite"));
    out = resolve(e);
    EXPECT_EQ(m1->scheduled, S::enable);
    EXPECT_EQ(m2->scheduled, S::none);
    EXPECT_EQ(suite3->scheduled, S::enable);
    suite3->scheduled = S::uninstall;
    m1->scheduled = S::none;
    out = resolve(e);
    EXPECT_EQ(out.removals, (Names{"suite", "m1", "m2"}));

    // A bundle with no members at all goes.
    Repository f;
    add(f, Make("core"));
    Package* lonely = add(f, Make("lonely").bundle());
    resolve(f);
    EXPECT_EQ(lonely->scheduled, S::uninstall);
}

TEST(Schedule, ReEnablingAnEnabledPackageKeepsItsDependents) {
    // A schedule file saying "enable" for a package that is enabled already
    // must not cost the packages that need it.
    Repository r;
    Package* lib = add(r, Make("lib").schedule(S::enable));
    Package* app = add(r, Make("app").dep("lib"));
    Package* suite = add(r, Make("suite").bundle());
    lib->bundle = ref("suite");
    Resolution out = resolve(r);
    EXPECT_EQ(app->scheduled, S::none);
    EXPECT_EQ(suite->scheduled, S::none);
    EXPECT_TRUE(out.removals.empty());
    EXPECT_EQ(out.enablings, Names{"lib"});
}

TEST(Schedule, CircularBundlesEnd) {
    Repository r;
    add(r, Make("core"));
    add(r, Make("self").bundle().inBundle("self").disabled().schedule(S::enable));
    add(r, Make("b1").bundle().inBundle("b2").disabled().schedule(S::enable));
    add(r, Make("b2").bundle().inBundle("b1").disabled());
    Resolution out = resolve(r);
    EXPECT_EQ(out.enablings.size(), 3u);
}

// Carrying out a schedule against a real database.
TEST(Schedule, ApplyChangesTheDatabaseAndTellsWhatItDid) {
    sandbox::Options options;
    options.newNetwork = false;
    auto result = sandbox::run(options, [] {
        Checks c;
        auto entry = [](const std::string& name, const std::string& deps, const std::string& extra,
                        const std::string& file) {
            const std::string dir = databaseDir(name);
            (void)makeDirectories(dir);
            sandbox::writeFile(dir + "version", "16777216 0\n");
            sandbox::writeFile(dir + "deps", deps);
            sandbox::writeFile(dir + "files", file + "\n");
            if (!extra.empty())
                sandbox::writeFile(dir + extra, "user\n");
            (void)makeDirectories("/flash/" + file, true);
            sandbox::writeFile("/flash/" + file, name);
        };
        entry("lib", "", "", "lib/liba");
        entry("app", "lib 0 0\n", "", "bin/app");
        entry("tool", "lib 0 0\n", "", "bin/tool");
        entry("old", "", "disabled", "bin/old");
        for (const auto& [name, word] : {std::pair{"app", "uninstall"}, {"tool", "disable"}, {"old", "enable"}}) {
            (void)makeDirectories(std::string("/ram/pdb/") + name);
            sandbox::writeFile(std::string("/ram/pdb/") + name + "/schedule", word);
        }
        Repository& r = theRepository();
        r.openRepository(false);
        CHECK_EQ(c, r.packages.size(), 4u);
        bool changed = false;
        std::string out = captureStdout([&] { changed = applySchedule(true); });
        CHECK_TRUE(c, changed);
        auto shown = [](const std::string& text) { return "\033[?25l\r" + text + "\r\033[?25h"; };
        CHECK_EQ(c, out,
                 shown("disabling tool-1.0...") + shown(std::string(21, ' ')) + "disabled tool-1.0\n" +
                     shown("enabling old-1.0...") + shown(std::string(19, ' ')) + "enabled old-1.0\n");
        CHECK_EQ(c, r.packages.size(), 3u);
        CHECK_TRUE(c, r.findInstalled("app") == -1);
        struct stat st;
        CHECK_TRUE(c, ::stat("/flash/bin/app", &st) != 0 && ::stat("/flash/var/pdb/app", &st) != 0);
        CHECK_TRUE(c, ::stat("/flash/bin/tool", &st) == 0);  // disabling keeps the files
        CHECK_EQ(c, sandbox::readFile("/flash/var/pdb/tool/disabled"), "user\n");
        CHECK_EQ(c, sandbox::readFile("/flash/var/pdb/old/enabled"), "user\n");
        CHECK_TRUE(c, ::stat("/flash/var/pdb/old/disabled", &st) != 0);
        for (const auto& p : r.packages)
            CHECK_TRUE(c, p->scheduled == S::none);
        // Nothing left to do.
        CHECK_EQ(c, captureStdout([&] { changed = applySchedule(true); }), "");
        CHECK_TRUE(c, !changed);
        return c.status();
    });
    EXPECT_EQ(result.exitStatus, 0) << result.output;
}

}  // namespace

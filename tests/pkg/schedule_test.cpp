#include "pkg/schedule.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>
#include <set>
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

// The resolution read literally, every relation tested pair by pair and the
// fallout scan restarted from the first package after each change: an oracle
// for the indexed resolver.
class LiteralResolver {
public:
    LiteralResolver(Repository& r, bool verbose) : r_(r), verbose_(verbose) {}

    void run(std::vector<Package*>& removals, std::vector<Package*>& enablings) {
        std::vector<Package*> all;
        for (auto& p : r_.packages)
            all.push_back(p.get());
        for (Package* m : all) {
            Package* b = bundleOf(*m);
            if (!b)
                continue;
            if (b->scheduled == S::disable && m->scheduled != S::uninstall)
                m->scheduled = S::disable;
            if (b->scheduled == S::uninstall)
                m->scheduled = S::uninstall;
            if (b->scheduled == S::enable && m->disabled)
                m->scheduled = S::enable;
        }
        for (Package* p : all)
            if (active(*p))
                ensureNeeds(p);
        for (Package* p : all) {
            if (!active(*p))
                continue;
            for (Package* q : all) {
                if (q == p || !(q->disabled ? q->scheduled == S::enable : q->scheduled == S::none))
                    continue;
                if (conflictsWith(*p, *q)) {
                    if (q->scheduled == S::none)
                        q->scheduled = S::disable;
                } else if (p->scheduled == S::enable && conflictsWith(*q, *p)) {
                    if (q->scheduled == S::none) {
                        q->scheduled = S::disable;
                    } else if (q->scheduled == S::enable) {
                        if (verbose_)
                            r_.printWarning("can not enable %s: %s conflicts with it", p->name.c_str(),
                                            label(*q).c_str());
                        p->scheduled = S::none;
                        break;
                    }
                }
            }
        }
    restart:
        for (Package* p : all) {
            for (const DependencyEntry& d : p->dependencies) {
                CandidateState state = Repository::candidateState(r_.findCandidates(d, true));
                if (state == CandidateState::unavailable && p->scheduled != S::uninstall) {
                    p->scheduled = S::uninstall;
                    goto restart;
                }
                if (state == CandidateState::inactive &&
                    (p->scheduled == S::enable || (!p->disabled && p->scheduled == S::none))) {
                    p->scheduled = S::disable;
                    goto restart;
                }
            }
        }
        for (Package* b : all) {
            if (!b->isBundle || b->scheduled == S::uninstall)
                continue;
            bool isActive = false, staying = false;
            for (Package* m : all) {
                if (m->bundle.name != b->name || !m->belongsToBundle())
                    continue;
                if (active(*m)) {
                    isActive = true;
                    break;
                }
                if (m->scheduled != S::uninstall)
                    staying = true;
            }
            if (isActive)
                continue;
            if (!staying)
                b->scheduled = S::uninstall;
            else if (!b->disabled)
                b->scheduled = S::disable;
            else if (b->scheduled == S::enable)
                b->scheduled = S::none;
        }
        if (!all.empty() && std::none_of(all.begin(), all.end(), [](Package* p) { return active(*p); })) {
            for (Package* p : all)
                p->scheduled = S::none;
            if (verbose_)
                r_.printError("can not uninstall or disable all packages");
            return;
        }
        for (Package* p : all) {
            if (p->scheduled == S::uninstall || p->scheduled == S::disable)
                removals.push_back(p);
            else if (p->scheduled == S::enable)
                enablings.push_back(p);
        }
        r_.orderPackages(removals, false, false);
        std::reverse(removals.begin(), removals.end());
        r_.orderPackages(enablings, false, false);
    }

private:
    static bool active(const Package& p) {
        return p.scheduled == S::enable || (!p.disabled && p.scheduled == S::none);
    }
    Package* bundleOf(const Package& p) { return p.belongsToBundle() ? r_.findInstalledPackage(p.bundle.name) : nullptr; }

    void ensureNeeds(Package* p) {
        if (!onStack_.insert(p).second)
            return;
        if (Package* b = bundleOf(*p))
            keepActive(b, p);
        for (const DependencyEntry& d : p->dependencies) {
            std::vector<Package*> found = r_.findCandidates(d, true);
            if (Repository::candidateState(found) == CandidateState::met)
                continue;
            if (found.empty())
                break;
            r_.orderPackages(found, false, false);
            if (!found.empty())
                keepActive(found.back(), p);
        }
        onStack_.erase(p);
    }

    void keepActive(Package* q, Package* dependent) {
        if (q->scheduled == S::uninstall || q->scheduled == S::disable) {
            if (verbose_)
                r_.printWarning("can not %s %s: %s depends on it", actionVerb(q->scheduled), label(*q).c_str(),
                                dependent->name.c_str());
            q->scheduled = S::none;
        } else {
            if (!q->disabled)
                return;
            q->scheduled = S::enable;
        }
        ensureNeeds(q);
    }

    Repository& r_;
    bool verbose_;
    std::set<Package*> onStack_;
};

void randomRepository(Repository& r, unsigned seed) {
    std::mt19937 random(seed);
    const int count = 3 + int(random() % 28);
    auto name = [&](int bound) { return "p" + std::to_string(random() % unsigned(bound)); };
    for (int i = 0; i < count; ++i) {
        Make make("p" + std::to_string(i), packVersion(1, random() % 3));
        for (int d = int(random() % 4); d > 0; --d)
            make.dep(random() % 6 ? name(count + 2) : "v" + std::to_string(random() % 3));
        if (random() % 5 == 0)
            make.provide("v" + std::to_string(random() % 3), int32_t(random() % 5) - 2);
        if (random() % 7 == 0)
            make.conflict(random() % 3 ? name(count) : "v" + std::to_string(random() % 3));
        if (random() % 6 == 0)
            make.bundle();
        else if (random() % 4 == 0)
            make.inBundle(name(count));
        if (random() % 3 == 0)
            make.disabled();
        if (random() % 3 == 0)
            make.schedule(ScheduledAction(1 + random() % 3));
        add(r, make);
    }
}

TEST(Schedule, AgreesWithTheLiteralResolutionOnRandomRepositories) {
    for (unsigned seed = 1; seed <= 400; ++seed) {
        Repository fast, literal;
        randomRepository(fast, seed);
        randomRepository(literal, seed);
        Resolution got = resolve(fast);
        Resolution want;
        std::vector<Package*> removals, enablings;
        want.output = captureStdout([&] { LiteralResolver(literal, true).run(removals, enablings); });
        for (Package* p : removals)
            want.removals.push_back(p->name);
        for (Package* p : enablings)
            want.enablings.push_back(p->name);
        ASSERT_EQ(got.output, want.output) << "seed " << seed;
        ASSERT_EQ(got.removals, want.removals) << "seed " << seed;
        ASSERT_EQ(got.enablings, want.enablings) << "seed " << seed;
        for (size_t i = 0; i < fast.packages.size(); ++i)
            ASSERT_EQ(fast.packages[i]->scheduled, literal.packages[i]->scheduled) << "seed " << seed << " " << i;
    }
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

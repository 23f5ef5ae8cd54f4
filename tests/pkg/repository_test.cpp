#include "pkg/repository.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "archive/partstream.h"
#include "pkg_helpers.h"

namespace {

const std::string kClear = "\r" + std::string(79, ' ') + "\r";

std::string shown(const std::string& text) { return "\033[?25l\r" + text + "\r\033[?25h"; }

TEST(RepositoryOutput, ProgressLineStaysBelowMessages) {
    Repository r;
    EXPECT_EQ(captureStdout([&] { r.showProgress("installing a"); }), shown("installing a"));
    EXPECT_EQ(captureStdout([&] { r.showProgress("installing a"); }), "");  // same text: nothing
    // A shorter text blanks what the longer one left.
    EXPECT_EQ(captureStdout([&] { r.showProgress("next"); }), shown("next        "));
    // A warning goes above the progress line, which is drawn again.
    EXPECT_EQ(captureStdout([&] { r.printWarning("ghost file %s", "/bin/x"); }),
              kClear + "WARNING: ghost file /bin/x\n" + "next");
    EXPECT_EQ(r.progressLine, "next");
    // Errors and plain messages take the progress line away first.
    EXPECT_EQ(captureStdout([&] { r.printError("broken %d", 7); }), shown("    ") + "ERROR: broken 7\n");
    EXPECT_EQ(r.progressLine, "");
    EXPECT_EQ(captureStdout([&] { r.printInfo("installed %s", "a-1.0"); }), "installed a-1.0\n");
    captureStdout([&] { r.showProgress("x"); });
    EXPECT_EQ(captureStdout([&] { r.printInfo("done"); }), shown(" ") + "done\n");
    // Text is cut at 255 characters.
    std::string longText(300, 'y');
    EXPECT_EQ(captureStdout([&] { r.printInfo("%s", longText.c_str()); }), std::string(255, 'y') + "\n");
}

TEST(RepositoryOutput, QuietPrintsNothing) {
    Repository r;
    r.quiet = true;
    EXPECT_EQ(captureStdout([&] {
                  r.showProgress("installing");
                  r.printWarning("w");
                  r.printError("e");
                  r.printInfo("i");
                  r.showProgressBar(5, 10, "installing a-1.0");
              }),
              "");
    EXPECT_EQ(r.progressLine, "");
}

TEST(RepositoryOutput, ProgressBarIs77ColumnsIn64BitArithmetic) {
    Repository r;
    const std::string label = "installing system-2.9.1";  // 23 + 2 -> 51 columns of bar
    std::string out = captureStdout([&] { r.showProgressBar(1, 4, label); });
    std::string line = label + " [" + std::string(12, '#') + std::string(39, ' ') + "]";
    EXPECT_EQ(line.size(), 77u);
    EXPECT_EQ(out, shown(line));
    // 3e9 * 51 does not fit in 32 bits.
    captureStdout([&] { r.showProgressBar(3000000000u, 4000000000u, label); });
    EXPECT_EQ(r.progressLine, label + " [" + std::string(38, '#') + std::string(13, ' ') + "]");
    // Bytes read past the declared length keep the bar full, not wider.
    captureStdout([&] { r.showProgressBar(900, 800, label); });
    EXPECT_EQ(r.progressLine, label + " [" + std::string(51, '#') + "]");
    captureStdout([&] { r.showProgressBar(0, 800, label); });
    EXPECT_EQ(r.progressLine, label + " [" + std::string(51, ' ') + "]");
}

TEST(RepositoryOutput, ProgressBarFollowsThePartStream) {
    auto le = [](uint32_t value, int bytes) {
        std::string out;
        for (int i = 0; i < bytes; ++i)
            out += char((value >> (8 * i)) & 0xff);
        return out;
    };
    // File header, a Header part (32 bytes) and a Description part (100 bytes): 152 bytes.
    std::string file = le(0xBAD0F11E, 4) + le(144, 4) + le(1, 2) + le(32, 4) + std::string(32, 'h') + le(2, 2) +
                       le(100, 4) + std::string(100, 'd');
    std::istringstream source(file);
    PackagePartStream stream(source, false);
    stream.acceptPartType(PartType::Description);
    ASSERT_EQ(stream.nextPart(), 2);
    char buffer[50];
    ASSERT_TRUE(stream.read(buffer, sizeof buffer));
    Repository r;
    // 52 bytes before the part's data and 50 read: 102 of 152, on a bar of 62.
    captureStdout([&] { r.showProgressBar(stream, "installing x"); });
    EXPECT_EQ(r.progressLine, "installing x [" + std::string(41, '#') + std::string(21, ' ') + "]");
}

TEST(CheckInstall, ReportsTheFirstObstacleOnly) {
    Repository r;
    add(r, Make("base", packVersion(2, 0)));
    add(r, Make("tool", packVersion(3, 0)));

    Package x86 = *Make("tool2").arch("x86").take();
    unsigned bits = 0;
    EXPECT_EQ(captureStdout([&] { bits = r.checkInstall(x86, 17); }),
              "ERROR: can not install tool2-1.0: it is not made for i386, but for x86\n");
    EXPECT_EQ(bits, unsigned(kUnusable));
    for (const char* arch : {"", "i386"}) {
        Package ok = *Make("tool2").arch(arch).take();
        EXPECT_EQ(captureStdout([&] { bits = r.checkInstall(ok, 17); }), "");
        EXPECT_EQ(bits, 0u);
    }

    Package twoMissing = *Make("app").dep("base").dep("gui", packVersion(1, 2)).dep("net").take();
    EXPECT_EQ(captureStdout([&] { bits = r.checkInstall(twoMissing, 17); }),
              "ERROR: can not install app-1.0: gui-1.2 is not installed, but is required\n");
    EXPECT_EQ(bits, unsigned(kUnusable));

    // A downgrade that also lacks a dependency: only the downgrade is told.
    Package older = *Make("tool", packVersion(2, 0)).dep("gui").take();
    EXPECT_EQ(captureStdout([&] { bits = r.checkInstall(older, 17); }),
              "WARNING: omitting package tool-2.0: newer package tool-3.0 is already installed\n");
    EXPECT_EQ(bits, unsigned(kDowngrade | kUnusable));

    Package same = *Make("tool", packVersion(3, 0)).take();
    EXPECT_EQ(captureStdout([&] { bits = r.checkInstall(same, 17); }),
              "WARNING: omitting package tool-3.0: it is already installed\n");
    EXPECT_EQ(bits, unsigned(kSameVersion));
    // A bundle permits the same version, a member everything.
    EXPECT_EQ(captureStdout([&] { bits = r.checkInstall(same, 5); }), "");
    EXPECT_EQ(bits, unsigned(kSameVersion));
    EXPECT_EQ(captureStdout([&] { bits = r.checkInstall(older, 255); }), "");
    EXPECT_EQ(bits, unsigned(kDowngrade | kUnusable));

    Package newer = *Make("tool", packVersion(3, 0), 5).take();  // rebuilt: newer, never reported
    EXPECT_EQ(captureStdout([&] { bits = r.checkInstall(newer, 0); }), "");
    EXPECT_EQ(bits, unsigned(kUpgrade));
}

TEST(CheckInstall, OnlyEnabledPackagesExclude) {
    Repository r;
    add(r, Make("off").conflict("new").disabled());
    Package fresh = *Make("new").take();
    unsigned bits = 0;
    EXPECT_EQ(captureStdout([&] { bits = r.checkInstall(fresh, 0); }), "");
    EXPECT_EQ(bits, 0u);
    add(r, Make("guard", packVersion(2, 1)).conflict("new"));
    EXPECT_EQ(captureStdout([&] { bits = r.checkInstall(fresh, 0); }),
              "ERROR: can not install new-1.0: it conflicts with guard-2.1\n");
    EXPECT_EQ(bits, unsigned(kConflict));
    EXPECT_EQ(captureStdout([&] { bits = r.checkInstall(fresh, 17); }), "");
    EXPECT_EQ(bits, unsigned(kConflict));
    // A missing dependency is installed only when enabled: a disabled provider does not count.
    Package needy = *Make("needy").dep("off").take();
    EXPECT_EQ(r.checkInstall(needy, 255), unsigned(kUnusable));
}

TEST(Relations, ProvidedNamesDecideByPrecedence) {
    Package a = *Make("a").provide("mta", 0).take();
    Package b = *Make("b").provide("mta", 5).take();
    EXPECT_TRUE(conflictsWith(b, a));
    EXPECT_FALSE(conflictsWith(a, b));

    // Providing another package's name replaces it unless the precedence is negative.
    Package replacer = *Make("new").provide("old", 0).take();
    Package yielder = *Make("alt").provide("old", -1).take();
    Package old = *Make("old").take();
    EXPECT_TRUE(conflictsWith(replacer, old));
    EXPECT_FALSE(conflictsWith(yielder, old));
    EXPECT_FALSE(conflictsWith(old, replacer));
    EXPECT_TRUE(conflictsWith(old, yielder));

    // The first provided name of B that is A's name ends the test, even with
    // "no", before A's conflicts list is matched against B's provided names.
    Package stubborn = *Make("x").conflict("svc").take();
    Package yielding = *Make("y").provide("x", 1).provide("svc").take();
    EXPECT_FALSE(conflictsWith(stubborn, yielding));
    Package plain = *Make("z").provide("svc").take();
    EXPECT_TRUE(conflictsWith(stubborn, plain));

    // A conflict names a version range.
    Package picky = *Make("p").conflict("lib", packVersion(2, 0)).take();
    EXPECT_FALSE(conflictsWith(picky, *Make("lib", packVersion(1, 9)).take()));
    EXPECT_TRUE(conflictsWith(picky, *Make("lib", packVersion(2, 1)).take()));
}

TEST(Relations, DependenciesThroughProvidedNamesAndMembers) {
    Package app = *Make("app").dep("shell", packVersion(2, 0)).take();
    EXPECT_TRUE(dependsOn(app, *Make("sh").provide("shell", 0, packVersion(1, 0), packVersion(3, 0)).take()));
    EXPECT_FALSE(dependsOn(app, *Make("sh").provide("shell", 0, 0, packVersion(1, 5)).take()));
    EXPECT_FALSE(dependsOn(app, *Make("shell", packVersion(1, 0)).take()));

    Package member = *Make("shell", packVersion(2, 0)).take();
    Package suite = *Make("suite").member(member).take();
    EXPECT_TRUE(dependsOn(app, suite));
    Package appSuite = *Make("apps").member(app).take();
    EXPECT_TRUE(dependsOn(appSuite, member));
    EXPECT_TRUE(isRelated(suite, "shell") && isRelated(suite, "suite") && !isRelated(suite, "app"));
    // A package excludes a bundle that carries a package of its name.
    EXPECT_TRUE(conflictsWith(member, suite));
}

TEST(Candidates, StatesOverTheCandidateList) {
    Repository r;
    Package* on = add(r, Make("on").provide("svc"));
    Package* off = add(r, Make("off").provide("svc").disabled());
    EXPECT_EQ(r.findCandidates(ref("svc"), false), std::vector<Package*>{on});
    EXPECT_EQ(r.findCandidates(ref("svc"), true), (std::vector<Package*>{on, off}));
    EXPECT_TRUE(r.findCandidates(ref("svc", packVersion(9, 0)), true).size() == 2);  // open bounds overlap
    EXPECT_TRUE(r.findCandidates(ref("on", packVersion(9, 0)), true).empty());

    using S = ScheduledAction;
    auto state = [&](bool disabled, S action) {
        Package p;
        p.disabled = disabled;
        p.scheduled = action;
        return Repository::candidateState({&p});
    };
    EXPECT_EQ(state(false, S::none), CandidateState::met);
    EXPECT_EQ(state(true, S::enable), CandidateState::met);
    EXPECT_EQ(state(false, S::enable), CandidateState::met);
    EXPECT_EQ(state(false, S::disable), CandidateState::inactive);
    EXPECT_EQ(state(true, S::none), CandidateState::inactive);
    EXPECT_EQ(state(true, S::uninstall), CandidateState::inactive);
    EXPECT_EQ(state(false, S::uninstall), CandidateState::unavailable);
    EXPECT_EQ(Repository::candidateState({}), CandidateState::unavailable);
    EXPECT_EQ(r.firstConflicting(*Make("x").take()), nullptr);
}

// ---- ordering ----------------------------------------------------------------

std::vector<std::string> names(const std::vector<Package*>& list) {
    std::vector<std::string> out;
    for (const Package* p : list)
        out.push_back(p->name);
    return out;
}

TEST(OrderPackages, SelectionKeepsOneOfRelatedEntries) {
    Repository r;
    auto older = Make("a", packVersion(1, 0)).take();
    auto newer = Make("a", packVersion(1, 1)).take();
    auto other = Make("b").take();
    std::vector<Package*> list{older.get(), other.get(), newer.get()};
    EXPECT_EQ(captureStdout([&] { r.orderPackages(list, false, true); }),
              "WARNING: omitting package a-1.0: newer package is already provided\n");
    EXPECT_EQ(list, (std::vector<Package*>{newer.get(), other.get()}));

    list = {older.get(), other.get(), newer.get()};
    EXPECT_EQ(captureStdout([&] { r.orderPackages(list, true, true); }),
              "WARNING: omitting package a-1.1: older package is already provided\n");
    EXPECT_EQ(list, (std::vector<Package*>{other.get(), older.get()}));

    list = {older.get(), other.get(), newer.get()};
    EXPECT_EQ(captureStdout([&] { r.orderPackages(list, false, false); }), "");
    EXPECT_EQ(list.size(), 2u);

    // Equal plain packages: both go, silently.
    auto twin = Make("a", packVersion(1, 0)).take();
    list = {older.get(), twin.get(), other.get()};
    EXPECT_EQ(captureStdout([&] { r.orderPackages(list, false, true); }), "");
    EXPECT_EQ(names(list), std::vector<std::string>{"b"});

    // A bundle and an equal plain member: the bundle stays.
    auto suite = Make("suite").member(*older).take();
    list = {older.get(), suite.get()};
    r.orderPackages(list, false, true);
    EXPECT_EQ(names(list), std::vector<std::string>{"suite"});
    // A bundle carrying an older member than the plain package gives way.
    list = {suite.get(), newer.get()};
    EXPECT_EQ(captureStdout([&] { r.orderPackages(list, false, true); }),
              "WARNING: omitting package suite-1.0: newer package is already provided\n");
    EXPECT_EQ(names(list), std::vector<std::string>{"a"});
}

TEST(OrderPackages, EveryPackageFollowsItsDependenciesAndExcluders) {
    Repository r;
    auto base = Make("base").take();
    auto app = Make("app").dep("lib").take();
    auto lib = Make("lib").dep("base").take();
    // Insertion alone would give app, base, lib.
    std::vector<Package*> list{base.get(), app.get(), lib.get()};
    r.orderPackages(list, false, false);
    EXPECT_EQ(names(list), (std::vector<std::string>{"base", "lib", "app"}));

    // Ordinary cases keep the insertion result: unrelated packages in reverse
    // order of arrival, dependents after what they need.
    auto x = Make("x").take(), y = Make("y").take(), z = Make("z").take();
    list = {x.get(), y.get(), z.get()};
    r.orderPackages(list, false, false);
    EXPECT_EQ(names(list), (std::vector<std::string>{"z", "y", "x"}));
    list = {base.get(), lib.get(), app.get(), x.get()};
    r.orderPackages(list, false, false);
    EXPECT_EQ(names(list), (std::vector<std::string>{"x", "base", "lib", "app"}));

    // Excluded packages follow the package that excludes them.
    auto winner = Make("winner").provide("mta", 5).take();
    auto loser = Make("loser").provide("mta", 1).take();
    list = {loser.get(), winner.get()};
    r.orderPackages(list, false, false);
    EXPECT_EQ(names(list), (std::vector<std::string>{"winner", "loser"}));

    // Circular ties still give every package once.
    auto c1 = Make("c1").dep("c2").take(), c2 = Make("c2").dep("c1").take();
    list = {c1.get(), c2.get(), x.get()};
    r.orderPackages(list, false, false);
    EXPECT_EQ(list.size(), 3u);
    EXPECT_TRUE(std::is_permutation(list.begin(), list.end(), std::vector<Package*>{c1.get(), c2.get(), x.get()}.begin()));
}

// The insertion pass exactly as described, pair by pair, as an oracle.
std::vector<Package*> insertionOrder(const std::vector<Package*>& kept) {
    std::vector<Package*> result;
    for (Package* p : kept) {
        auto at = result.end();
        while (at != result.begin()) {
            Package* q = *(at - 1);
            if (dependsOn(*p, *q) || conflictsWith(*q, *p))
                break;
            --at;
        }
        result.insert(at, p);
    }
    return result;
}

bool followsTies(const std::vector<Package*>& order) {
    for (size_t i = 0; i < order.size(); ++i)
        for (size_t j = i + 1; j < order.size(); ++j)
            if (dependsOn(*order[i], *order[j]) || conflictsWith(*order[j], *order[i]))
                return false;
    return true;
}

TEST(OrderPackages, RandomChainsComeOutInDependencyOrder) {
    std::mt19937 random(20261207);
    Repository r;
    int repaired = 0;
    for (int round = 0; round < 300; ++round) {
        // A few chains (each package needs an earlier one), some packages
        // needing two chains, and an occasional excluder.
        const int count = 2 + int(random() % 14);
        std::vector<std::unique_ptr<Package>> owned;
        for (int i = 0; i < count; ++i) {
            Make make("p" + std::to_string(i));
            if (i > 0 && random() % 4 != 0)
                make.dep("p" + std::to_string(random() % i));
            if (i > 1 && random() % 5 == 0)
                make.dep("p" + std::to_string(random() % i));
            // A bundle whose member carries the need, or is what others need.
            if (random() % 6 == 0) {
                Make member("m" + std::to_string(i));
                if (i > 0)
                    member.dep("p" + std::to_string(random() % i));
                make.member(*member);
            }
            if (i > 0 && random() % 8 == 0)
                make.dep("m" + std::to_string(random() % i));
            // Excluding a later package keeps the ties free of circles.
            if (i + 1 < count && random() % 9 == 0)
                make.conflict("p" + std::to_string(i + 1 + random() % (count - i - 1)));
            owned.push_back(make.take());
        }
        std::vector<Package*> list;
        for (auto& p : owned)
            list.push_back(p.get());
        std::shuffle(list.begin(), list.end(), random);
        const std::vector<Package*> literal = insertionOrder(list);

        r.orderPackages(list, false, false);
        ASSERT_TRUE(std::is_permutation(list.begin(), list.end(), literal.begin()));
        EXPECT_TRUE(followsTies(list)) << "round " << round;
        if (followsTies(literal))
            EXPECT_EQ(list, literal) << "round " << round;
        else
            ++repaired;
    }
    EXPECT_GT(repaired, 20);  // the random sets do exercise the repair
}

}  // namespace

// vpk check-set: the packages of one medium judged with the installer's own
// rules; a package that no installation from the medium could install is
// named with the reason.
#include <gtest/gtest.h>

#include "tool_helpers.h"

using namespace tooltest;

namespace {

class CheckSet : public ::testing::Test {
protected:
    // A package file NAME-VERSION.vpk from manifest lines after the first four.
    std::string package(const std::string& name, const std::string& version, const std::string& more = "") {
        const std::string base = name + "-" + version;
        writeFile(dir / (base + ".manifest"), "name: " + name + "\nversion: " + version +
                                                  "\nbuild-time: 1262304000\ndescription: d\n" + more);
        EXPECT_EQ(vpk({"build", "-o", base + ".vpk", base + ".manifest"}, dir.path).status, 0) << base;
        return base + ".vpk";
    }

    // The packages both tests judge, made in `dir`: a system, what builds on
    // it, a rival of the web server, a package for another architecture and a
    // bundle "extras.vpk" whose member provides what clockuser needs.
    void makeSamples() {
        system = package("system", "1.0");
        firewall = package("firewall", "1.0", "depends: system\n");
        httpd = package("minihttpd", "1.0", "depends: system >= 1.0\nprovides: httpd >= 1.0\n");
        webadmin = package("webadmin", "2.0", "depends: system >= 1.0, httpd, firewall\n");
        newer = package("newapp", "1.0", "depends: system >= 2.0\n");
        rival = package("rival", "1.0", "conflicts: minihttpd\n");
        foreign = package("arm", "1.0", "architecture: armel\n");
        const std::string member = package("ntpd", "1.0", "provides: clock\n");
        writeFile(dir / "bundle.manifest", "name: extras\nversion: 1.0\nbuild-time: 1262304000\ndescription: d\n");
        ASSERT_EQ(vpk({"bundle", "-o", "extras.vpk", "bundle.manifest", member}, dir.path).status, 0);
        clockUser = package("clockuser", "1.0", "depends: clock\n");
    }

    TempDir dir;
    std::string system, firewall, httpd, webadmin, newer, rival, foreign, clockUser;
};

TEST_F(CheckSet, NamesEachPackageThatCanNeverBeInstalledFromTheMedium) {
    makeSamples();
    const std::string againstSystem = package("rebel", "1.0", "conflicts: system\n");
    const std::string selfDefeating = package("loop", "1.0", "depends: firewall\nconflicts: firewall\n");
    const std::string onTop = package("ontop", "1.0", "depends: newapp\n");

    const std::string never = ": can never be installed from these files: ";
    struct Case {
        std::vector<std::string> files;
        int status;
        std::vector<std::string> lines;
    } cases[] = {
        {{system, firewall, httpd, webadmin, rival}, 0,
         {system + ": system-1.0: ok\n", webadmin + ": webadmin-2.0: ok\n",
          httpd + ": minihttpd-1.0: ok (never together with rival-1.0)\n"}},
        // what the installer would refuse after erasing the disk: nothing provides httpd
        {{system, firewall, webadmin}, 1,
         {webadmin + ": webadmin-2.0" + never +
              "it needs httpd, which no other package here provides that can be installed\n",
          firewall + ": firewall-1.0: ok\n"}},
        {{system, newer, onTop}, 1,
         {newer + ": newapp-1.0" + never +
              "it needs system >= 2.0, which no other package here provides that can be installed (here: "
              "system-1.0)\n",
          onTop + ": ontop-1.0" + never + "it needs newapp, which no other package here provides that can be "
                                           "installed (here: newapp-1.0)\n"}},
        {{system, againstSystem, firewall, selfDefeating, foreign}, 1,
         {againstSystem + ": rebel-1.0" + never + "it conflicts with system-1.0, which every installation includes\n",
          selfDefeating + ": loop-1.0" + never + "it needs firewall,",
          foreign + ": arm-1.0" + never + "it is not made for i386, but for armel\n"}},
        // a bundle's members provide for the others
        {{system, "extras.vpk", clockUser}, 0, {clockUser + ": clockuser-1.0: ok\n"}},
        {{system, clockUser}, 1, {clockUser + ": clockuser-1.0" + never + "it needs clock,"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"check-set"};
        args.insert(args.end(), c.files.begin(), c.files.end());
        ToolRun r = vpk(args, dir.path);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        for (const std::string& line : c.lines) EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    }
    ToolRun r = vpk({"check-set", system, "bundle.manifest"}, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("bundle.manifest: not a package file"), std::string::npos) << r.err;
}

// The network installation installs the served files in their order onto an
// erased disk: the server starts only when each package file would be
// installed where it is served.
TEST_F(CheckSet, TheServerStartsOnlyOnAnOrderTheMachinesInstall) {
    makeSamples();
    const std::string system2 = package("system", "2.0");
    writeFile(dir / "site.scr", "set hostname r1\n");

    const std::string starts = "castdeploy-server: no network interface named none-such0";
    const std::string refused = "castdeploy-server: not starting: the machines install the files in the order given "
                                "onto an erased disk and would not install:\n";
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> expected;  // in standard output or error
    } cases[] = {
        {{system, firewall, httpd, webadmin, "site.scr", rival}, {starts}},  // rival goes in disabled
        {{system, system2, newer}, {starts}},                                // an upgrade on the way
        {{system, "extras.vpk", clockUser}, {starts}},                       // a bundle's member provides
        {{system, firewall, webadmin, httpd},
         {refused + "webadmin-2.0.vpk: webadmin-2.0: the machines would say: httpd is not installed, but is "
                    "required (no package served before it provides it)\n(--allow-uninstallable starts anyway)"}},
        {{system, newer, foreign, system2, system},
         {refused + "newapp-1.0.vpk: newapp-1.0: the machines would say: system-2.0 is not installed, but is required "
                    "(no package served before it provides it)\narm-1.0.vpk: arm-1.0: it is not made for i386, but "
                    "for armel\nsystem-1.0.vpk: system-1.0: a package of its name and the same or a newer version is "
                    "served before it\n"}},
        {{"--allow-uninstallable", system, webadmin},
         {"starting anyway, as --allow-uninstallable asks: the machines install the files", starts}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--interface", "none-such0", "--drivers", system};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ToolRun r = run(SERVER_BINARY, args, dir.path);
        EXPECT_EQ(r.status, 1);
        for (const std::string& text : c.expected)
            EXPECT_NE((r.out + r.err).find(text), std::string::npos) << text << "\n" << r.out << r.err;
    }
}

}  // namespace

// A site's own package key, given to the tools at run time: vpk verify and
// castdeploy-server check packages with it (and a table of known digests)
// exactly as machines built with that key will.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tool_helpers.h"

using namespace tooltest;

namespace {

const std::string developmentKeyFile =
    std::string(SOURCE_DIR) + "/tests/data/development-signing-key.tests-and-demos-only.hex";

class PackageTrust : public ::testing::Test {
protected:
    void SetUp() override {
        ToolRun r = vpk({"keygen", "site"}, dir.path);
        ASSERT_EQ(r.status, 0) << r.err;
        size_t at = r.out.find("package key: ");
        ASSERT_NE(at, std::string::npos) << r.out;
        fingerprint = r.out.substr(at + 13, 16);
        std::string privateFile = readFile(dir / "site");
        std::string privateHex = privateFile.substr(privateFile.find('\n') + 1, 64);
        EXPECT_EQ(r.out.find(privateHex), std::string::npos) << "the private key is never printed";
    }

    // A package named `name`, signed with `key` (none: unsigned).
    std::string package(const std::string& name, const std::string& key) {
        writeFile(dir / (name + ".manifest"), "name: " + name + "\nversion: 1.0\nbuild-time: 1262304000\n"
                                              "description: the package " + name + "\n");
        EXPECT_EQ(vpk({"build", "-o", name + ".vpk", name + ".manifest"}, dir.path).status, 0);
        if (!key.empty()) {
            EXPECT_EQ(vpk({"sign", "--key", key, name + ".vpk"}, dir.path).status, 0);
        }
        return dir / (name + ".vpk");
    }

    TempDir dir;
    std::string fingerprint;
};

TEST_F(PackageTrust, ServerStartsOnlyOnPackagesTheMachinesAccept) {
    std::string good = package("good", dir / "site");
    std::string other = package("other", dir / "site");
    std::string foreign = package("foreign", developmentKeyFile);
    std::string unsignedOne = package("plain", "");
    std::string tampered = package("tampered", dir / "site");
    std::string bytes = readFile(tampered);
    bytes[bytes.find("the package tampered")] = 'T';
    writeFile(tampered, bytes);
    writeFile(dir / "site.scr", "set hostname r1\n");  // a script, not a package
    ASSERT_EQ(vpk({"sign", "--key", dir / "site", dir / "site.scr"}).status, 0);
    writeFile(dir / "plain.scr", "set hostname r1\n");
    writeFile(dir / "notes.txt", "not a package");
    ToolRun digest = vpk({"verify", "--public-key", dir / "site.pub", unsignedOne});
    size_t at = digest.out.find("[sha1 ");
    ASSERT_NE(at, std::string::npos) << digest.out;
    writeFile(dir / "digests.txt", "# the site's unsigned packages\n" + digest.out.substr(at + 6, 40) + "\n");
    writeFile(dir / "bad-digests.txt", "0123\n");

    const std::string key = dir / "site.pub", table = dir / "digests.txt";
    const std::string accepted = "package key " + fingerprint + ": the machines accept every package";
    const std::string refusing = "castdeploy-server: not starting: the machines (package key " + fingerprint +
                                 ") would refuse:\n";
    struct Case {
        std::vector<std::string> args;
        std::string expected;  // in standard output on acceptance, else in standard error
    } cases[] = {
        {{"--drivers", good, "--public-key", key, other, dir / "site.scr"},
         accepted + " of the 2 package files and the 1 configuration script"},
        {{"--drivers", good, "--public-key", key, good, dir / "plain.scr"},
         refusing + dir / "plain.scr" + ": configuration script: no signature"},
        {{"--drivers", good, "--public-key", key, unsignedOne, "--known-digests", table}, accepted},
        {{"--drivers", foreign, "--public-key", key, good},
         refusing + foreign + ": foreign: signature does not match the public key\n  signed with the development key "
                                "(7692cb9eebe2515a); sign it with the private half of package key " + fingerprint +
             ": vpk sign --key PRIVATE-KEY-FILE " + foreign},
        {{"--drivers", good, "--public-key", key, good, tampered, unsignedOne, dir / "notes.txt"},
         refusing + tampered + ": tampered: package changed after signing (digest differs)\n" + unsignedOne +
             ": plain: unsigned, and its digest is not a known one\n" + dir / "notes.txt" + ": not a package file"},
        {{"--drivers", good, "--public-key", dir / "site", good}, "site is a private key: give the public one"},
        {{"--drivers", good, "--public-key", key, "--known-digests", dir / "bad-digests.txt", good},
         "bad-digests.txt:1: not a digest of 40 hex digits: 0123"},
        {{"--drivers", good, "--known-digests", table, good}, "--known-digests needs --public-key"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--interface", "none-such0"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ToolRun r = run(SERVER_BINARY, args);
        EXPECT_EQ(r.status, 1);
        if (c.expected.starts_with("package key")) {
            // Accepted: the server went on and stopped only at the interface.
            EXPECT_NE(r.out.find(c.expected), std::string::npos) << r.out << r.err;
            EXPECT_NE(r.err.find("no network interface named none-such0"), std::string::npos) << r.err;
        } else {
            EXPECT_NE(r.err.find(c.expected), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find("network interface"), std::string::npos) << "refused before any network use";
        }
    }
    // Without a key nothing is checked, and the first line says so.
    ToolRun r = run(SERVER_BINARY, {"--interface", "none-such0", "--drivers", good, dir / "plain.scr"});
    EXPECT_EQ(r.out.rfind("no --public-key: no signature is checked; machines built with a key of their own "
                          "refuse every package and configuration script not signed with it\n", 0), 0u)
        << r.out;
}

TEST_F(PackageTrust, ScriptsAreSignedAndVerifiedWithTheSiteKey) {
    const std::string script = dir / "site.scr";
    writeFile(script, "set hostname r1\n");
    // vpk verify's first line says what it judged against; the script's verdict follows
    auto verdict = [](const std::string& out) { return out.substr(out.find('\n') + 1); };
    ToolRun r = vpk({"verify", "--public-key", dir / "site.pub", script});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(verdict(r.out), script + ": configuration script: FAILED: no signature\n");
    r = vpk({"sign", "--key", developmentKeyFile, script});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, script + ": signed configuration script\n");
    r = vpk({"verify", "--public-key", dir / "site.pub", script});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("FAILED: signed with another key ("), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(", not " + fingerprint + ")"), std::string::npos) << r.out;
    // Signed again with the site's key: the development key's line is gone.
    ASSERT_EQ(vpk({"sign", "--key", dir / "site", script}).status, 0);
    r = vpk({"verify", "--public-key", dir / "site.pub", script});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(verdict(r.out), script + ": configuration script: ok: signed with package key " + fingerprint + "\n");
    std::string bytes = readFile(script);
    EXPECT_EQ(bytes.rfind("set hostname r1\n# vpk signature: key " + fingerprint + " record ", 0), 0u) << bytes;
    bytes[bytes.find("r1")] = 'R';
    writeFile(script, bytes);
    r = vpk({"verify", "--public-key", dir / "site.pub", script});
    EXPECT_EQ(verdict(r.out), script + ": configuration script: FAILED: script changed after signing\n");
}

TEST_F(PackageTrust, VerifyTakesAKeyFileAndADigestTable) {
    std::string signedOne = package("signed", dir / "site");
    std::string unsignedOne = package("plain", "");
    ToolRun r = vpk({"verify", "--public-key", dir / "site.pub", signedOne, unsignedOne});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("signed: ok: signature good"), std::string::npos) << r.out;
    size_t at = r.out.find("plain: FAILED: unsigned, and its digest is not a known one [sha1 ");
    ASSERT_NE(at, std::string::npos) << r.out;
    std::string digest = r.out.substr(r.out.find("[sha1 ", at) + 6, 40);
    writeFile(dir / "digests.txt", "# one\n\n  " + digest + "  # plain-1.0\n");
    r = vpk({"verify", "--public-key", dir / "site.pub", "--known-digests", dir / "digests.txt", signedOne,
             unsignedOne});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("plain: ok: unsigned, digest is a known one"), std::string::npos) << r.out;

    // vpk list and install take the same key file (a private one is refused).
    ::mkdir((dir / "tree").c_str(), 0755);
    EXPECT_EQ(vpk({"list", "--root", dir / "tree", "--public-key", dir / "site.pub"}).status, 0);
    r = vpk({"list", "--root", dir / "tree", "--public-key", dir / "site"});
    EXPECT_NE(r.err.find("is a private key: give the public one"), std::string::npos) << r.err;

    // The built-in table does not count once a table is given.
    writeFile(dir / "empty.txt", "# none\n");
    EXPECT_EQ(vpk({"verify", "--known-digests", dir / "empty.txt", unsignedOne}).status, 1);
    writeFile(dir / "bad.txt", digest + "\n" + digest.substr(1) + "\n");
    r = vpk({"verify", "--known-digests", dir / "bad.txt", unsignedOne});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("bad.txt:2: not a digest of 40 hex digits"), std::string::npos) << r.err;
    r = vpk({"verify", "--public-key", dir / "site", signedOne});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("is a private key: give the public one"), std::string::npos) << r.err;
}

// With a key of one's own and no table, vpk verify judges as the environment
// that ./run build makes with that key (and castdeploy-server): no unsigned
// package passes by the built-in development table. It says what it judged
// against, and which key signed a package that does not match.
TEST_F(PackageTrust, VerifySaysWhatItJudgesAgainst) {
    // manuals: the sample package that the development table accepts unsigned
    ASSERT_EQ(vpk({"build", "-o", "manuals.vpk", std::string(SOURCE_DIR) + "/image/samples/manuals/package.manifest"},
                  dir.path).status, 0);
    std::string devSigned = package("devsigned", developmentKeyFile), ownSigned = package("own", dir / "site");
    const std::string development = "the development key (7692cb9eebe2515a)", own = "package key " + fingerprint;
    struct Case {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> expected;
    } cases[] = {
        {{"--public-key", dir / "site.pub", "manuals.vpk"}, 1,
         {"trust: " + own + ", from --public-key " + dir / "site.pub" +
              "; known digests: none (no --known-digests: unsigned packages are refused)\n",
          "manuals.vpk: manuals: FAILED: unsigned, and its digest is not a known one"}},
        {{"manuals.vpk"}, 0,
         {"trust: " + development + ", built in; known digests: built in (1, the development table)\n",
          "manuals: ok: unsigned, digest is a known one"}},
        {{"--public-key", dir / "site.pub", devSigned}, 1,
         {"devsigned: FAILED: signature does not match the public key",
          "\n  signed with " + development + ", not with " + own + "; sign it with the private half of " + own +
              ": vpk sign --key PRIVATE-KEY-FILE " + devSigned + "\n"}},
        {{ownSigned}, 1,
         {"\n  signed with another key than " + development + "; sign it with the private half of " + development}},
        {{"--public-key", std::string(SOURCE_DIR) + "/data/package-public-key.hex", ownSigned}, 1,
         {"trust: " + development + ", from --public-key", "known digests: none",
          "\n  signed with another key than " + development + "; "}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"verify"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ToolRun r = vpk(args, dir.path);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        for (const std::string& text : c.expected)
            EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
    }
}

// The private key file is made with mode 0600 whatever was there: a temporary
// file left by an interrupted run, or the old key replaced with --force.
TEST_F(PackageTrust, KeygenKeepsThePrivateKeyPrivate) {
    writeFile(dir / "next.vpk-tmp", "left over");
    ASSERT_EQ(chmod((dir / "next.vpk-tmp").c_str(), 0666), 0);
    ASSERT_EQ(chmod((dir / "site").c_str(), 0644), 0);
    ASSERT_EQ(vpk({"keygen", "next"}, dir.path).status, 0);
    ASSERT_EQ(vpk({"keygen", "--force", "site"}, dir.path).status, 0);
    // a folder for keys that does not exist yet is made, for its owner alone
    ToolRun r = vpk({"keygen", "keys/release/site"}, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("made the folder keys (mode 0700)\nmade the folder keys/release (mode 0700)\n"),
              std::string::npos) << r.out;
    for (const char* name : {"next", "site", "keys/release/site"}) {
        struct stat info;
        ASSERT_EQ(stat((dir / name).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << name;
    }
    for (const char* name : {"keys", "keys/release"}) {
        struct stat info;
        ASSERT_EQ(stat((dir / name).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u) << name;
    }
}

}  // namespace

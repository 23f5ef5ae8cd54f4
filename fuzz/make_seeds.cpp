// Writes the seed corpora of the fuzz targets: real package files made with
// the package writer (signed and unsigned, single and bundled), datagrams as
// the server sends them, database directories as installations leave them,
// and the disk tool's listings.
//   fuzz-seeds OUTDIR
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "archive/signer.h"
#include "archive/writer/writer.h"
#include "fuzz/seeds.h"
#include "network/message.h"

namespace {

std::string outDir;

void save(const std::string& target, const std::string& name, const std::string& bytes) {
    std::string dir = outDir + "/" + target;
    ::mkdir(outDir.c_str(), 0755);
    ::mkdir(dir.c_str(), 0755);
    std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
}

std::string packageBytes(const PackageContent& content, bool untracked = false) {
    std::ostringstream out;
    PackageWriter writer(out, untracked);
    std::string error;
    if (!writePackage(writer, content, error) || !writer.finish()) {
        std::fprintf(stderr, "fuzz-seeds: %s\n", error.c_str());
        std::exit(1);
    }
    return out.str();
}

std::string signedBytes(const std::string& file) {
    archive::PrivateKey key{};
    // The development key of the tests: only test packages are ever signed with it.
    const char* hex = "d0d2d1600b38f63685f3f06bbb37a1f39b88b5e9000f6a2af54190eaeca13809";
    for (size_t i = 0; i < key.size(); ++i) key[i] = uint8_t(std::stoul(std::string(hex + 2 * i, 2), nullptr, 16));
    std::string error;
    auto out = archive::signPackageFile(file, key, nullptr, &error);
    if (!out) {
        std::fprintf(stderr, "fuzz-seeds: signing: %s\n", error.c_str());
        std::exit(1);
    }
    return *out;
}

PackageContent richPackage() {
    PackageContent p;
    p.name = "webserver";
    p.version = 0x01020300;
    p.buildTime = 1700000000;
    p.architecture = "i386";
    p.description = "A small web server with a long description that has to be wrapped on the screen.";
    p.dependencies = std::vector<DependencyEntry>{{"system", 0x01000000, 0xffffffff, 0}, {"libc", 0, 0, 0}};
    p.provides = std::vector<DependencyEntry>{{"httpd", 1, 2, 3}};
    p.conflicts = std::vector<DependencyEntry>{{"otherweb", 0, 0, 0}};
    p.installScript = "#!/bin/sh\necho installed\n";
    p.uninstallScript = "#!/bin/sh\necho removed\n";
    p.files = std::vector<FileEntry>{
        directoryEntry("etc", 0755),
        directoryEntry("etc/web", 0755),
        regularEntry("etc/web/config", "port 80\nroot /srv\n", 0644, 1700000000),
        regularEntry("bin/web", std::string(3000, 'x'), 0755),
        symlinkEntry("bin/httpd", "web"),
        deviceEntry("dev/webctl", EntryType::CharDevice, (10 << 8) | 200, 0600),
        fifoEntry("var/web.fifo", 0600),
    };
    return p;
}

PackageContent smallPackage(const std::string& name) {
    PackageContent p;
    p.name = name;
    p.version = 0x00010000;
    p.files = std::vector<FileEntry>{regularEntry("etc/" + name, name + "\n")};
    return p;
}

std::string bundleBytes() {
    std::ostringstream out;
    PackageWriter writer(out);
    PackageContent head;
    head.name = "suite";
    head.version = 3;
    head.description = "two packages";
    writeBundleHead(writer, head, std::vector<DependencyEntry>{{"alpha", 0, 0, 0}, {"beta", 0, 0, 0}});
    std::string error;
    if (!writePackage(writer, smallPackage("alpha"), error) || !writePackage(writer, smallPackage("beta"), error) ||
        !writer.finish()) {
        std::fprintf(stderr, "fuzz-seeds: bundle: %s\n", error.c_str());
        std::exit(1);
    }
    return out.str();
}

void packageSeeds() {
    std::string rich = packageBytes(richPackage());
    std::string small = packageBytes(smallPackage("system"));
    std::string bundle = bundleBytes();
    for (const std::string& target : {"package", "install"}) {
        save(target, "rich", rich);
        save(target, "rich-signed", signedBytes(rich));
        save(target, "small-signed", signedBytes(small));
        save(target, "untracked", packageBytes(smallPackage("tool"), true));
        save(target, "bundle-signed", signedBytes(bundle));
        save(target, "header-only", rich.substr(0, 8 + 6 + 32));
    }
}

void protocolSeeds() {
    using namespace proto;
    auto datagram = [](const std::string& payload, uint16_t sequence, uint16_t ack, bool toPeer) {
        Message m;
        m.clear();
        m.setSource(fuzzseeds::kServerAddress);
        if (toPeer) m.setDestination(fuzzseeds::kClientAddress);
        m.setSequence(sequence);
        m.setAck(ack);
        int n = m.setText(payload);
        // The session the target starts from, then the datagram.
        std::string bytes(fuzzseeds::sessionPrefix());
        bytes.append(reinterpret_cast<const char*>(m.bytes), size_t(kHeaderSize + n));
        return bytes;
    };
    save("protocol", "offer", datagram("OFFR\nrouter-7 install server\n", 1, 0, false));
    save("protocol", "offer-keep", datagram("OFFR\nrouter-7\nkeep\n", 1, 0, true));
    save("protocol", "file", datagram("FILE\nsystem.vpk\n123456\n", 1, 0, true));
    save("protocol", "file-end", datagram("FILE\n\n0\n", 1, 0, true));
    save("protocol", "data", datagram(std::string(1400, 'd'), 1, 0, true));
    save("protocol", "term", datagram("TERM\n", 1, 0, true));
}

void databaseSeeds() {
    using fuzzseeds::databaseInput;
    save("database", "plain",
         databaseInput({{"version", "16777216 1700000000\n"},
                        {"deps", "system 16777216 4294967295\nlibc 0 0\n"},
                        {"provides", "httpd 1 2 3\n"},
                        {"conflicts", "otherweb 0 0\n"},
                        {"files", "/etc/web/config\n/bin/web\nbin/httpd\n"},
                        {"enabled", ""}}));
    save("database", "bundle-member",
         databaseInput({{"version", "1 0\n"}, {"deps", ""}, {"files", "/etc/alpha\n"}, {"bundle", "suite\n"},
                        {"disabled", "auto\n"}, {"schedule", "enable\n"}}));
    save("database", "bundle", databaseInput({{"version", "3 0\n"}, {"deps", "alpha 0 0\n"}}));
    save("database", "damaged", databaseInput({{"version", "x\n"}, {"deps", "alpha 0\n"}, {"schedule", "uninstall\n"}}));
}

void textSeeds() {
    save("text", "geometry",
         "/dev/sda: 1044 cylinders, 255 heads, 63 sectors/track\n"
         "/dev/sdb: 20 cylinders, 16 heads, 63 sectors/track\n");
    save("text", "dump",
         "# partition table of /dev/sda\nunit: sectors\n\n"
         "/dev/sda1 : start=       63, size=   20097, Id=83, bootable\n"
         "/dev/sda2 : start=    20160, size= 16752960, Id=83\n"
         "/dev/sda3 : start=        0, size=        0, Id= 0\n");
    save("text", "description",
         "A small web server with a long description that has to be wrapped on the screen, "
         "once, twice\nand a third time because it really goes on and on for a while.");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz-seeds OUTDIR\n");
        return 2;
    }
    outDir = argv[1];
    packageSeeds();
    protocolSeeds();
    databaseSeeds();
    textSeeds();
    return 0;
}

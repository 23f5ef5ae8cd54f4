#include "network/netinstall.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/mount.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "archive/rootfs.h"
#include "archive/script_signature.h"
#include "disk/bootconfig.h"
#include "disk/finish.h"
#include "disk/keepconfig.h"
#include "disk/partition.h"
#include "disk/scriptcheck.h"
#include "init/console.h"
#include "init/globals.h"
#include "init/modules.h"
#include "init/process.h"

namespace {

constexpr int kCopyBuffer = 4096;
constexpr size_t kNameBytes = 31;   // the name buffer holds 31 characters
constexpr size_t kPathBytes = 79;   // and the script path 79
constexpr size_t kLabelBytes = 63;

// What this installer tells a server about itself in DSCV.
constexpr const char* kDiscoverInfo = "router installer";

std::string kernelRelease() {
    utsname u;
    if (uname(&u) != 0) return "";
    return u.release;
}

// Builds a request word with the session's next header.
void buildRequest(ProtocolSession& session, Message& message, const char* word) {
    message.clear();
    size_t n = std::strlen(word);
    std::memcpy(message.payload(), word, n);
    fillHeader(session, message, static_cast<int>(n));
}

// Opens a script's target without following a symbolic link: a link that an
// earlier package left at the name in the installed system (or a driver
// package at "/empty") must not send the script elsewhere, nor may a FIFO or
// a device node there take it: only a regular file, or a new one, is opened.
int openScriptTarget(const std::string& target) {
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    const std::string root = "/flash/";
    if (target.compare(0, root.size(), root) == 0)
        return InstallRoot("/flash").openNoLinks(target.substr(root.size()), flags, 0644);
    return target.empty() ? -1 : InstallRoot("/").openNoLinks(target, flags, 0644);
}

// Writes all of `bytes`; on failure says so as the flow does.
bool writeAll(int fd, const char* bytes, size_t count) {
    for (size_t done = 0; done < count;) {
        ssize_t w = write(fd, bytes + done, count - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            std::printf("\nFATAL ERROR: installation failed: %s\n", std::strerror(w < 0 ? errno : ENOSPC));
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

bool closeScript(int fd) {
    if (close(fd) != 0) {
        std::printf("\nFATAL ERROR: installation failed: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

// Copies the announced configuration script to its target, never more than
// the announced size: a server that sends more is a broken connection.
bool copyScript(InstallClient& client, const std::string& target, int32_t size) {
    int fd = openScriptTarget(target);
    if (fd < 0) {
        std::puts("\nFATAL ERROR: couldn't make a file");
        return false;
    }
    int64_t left = size;
    char buffer[kCopyBuffer];
    for (;;) {
        int n = readFileData(*client.transfer, buffer, sizeof buffer);
        if (n < 0 || n > left) {
            close(fd);
            std::puts("\nFATAL ERROR: bad network connection");
            return false;
        }
        if (n == 0) break;
        left -= n;
        if (!writeAll(fd, buffer, static_cast<size_t>(n))) {
            close(fd);
            return false;
        }
    }
    return closeScript(fd);
}

// The same for an environment that places signed scripts only: the script is
// received whole into memory and checked; only then is its target made.
bool placeCheckedScript(InstallClient& client, const std::string& name, const std::string& target, int32_t size) {
    if (target.empty()) {
        std::puts("\nFATAL ERROR: couldn't make a file");
        return false;
    }
    if (size > archive::maxCheckedScriptSize) {
        std::printf("\nFATAL ERROR: configuration script %s is not signed with the package key (too large to check)\n",
                    name.c_str());
        return false;
    }
    std::string script;
    char buffer[kCopyBuffer];
    for (;;) {
        int n = readFileData(*client.transfer, buffer, sizeof buffer);
        if (n < 0 || size_t(n) > size_t(size) - script.size()) {
            std::puts("\nFATAL ERROR: bad network connection");
            return false;
        }
        if (n == 0) break;
        script.append(buffer, static_cast<size_t>(n));
    }
    if (!configurationScriptAccepted(name.c_str(), script)) return false;
    int fd = openScriptTarget(target);
    if (fd < 0) {
        std::puts("\nFATAL ERROR: couldn't make a file");
        return false;
    }
    if (!writeAll(fd, script.data(), script.size())) {
        close(fd);
        return false;
    }
    return closeScript(fd);
}

bool writeScript(InstallClient& client, const std::string& name, int32_t size) {
    std::puts("Writing configuration...");
    std::fflush(stdout);
    std::string target = scriptTarget(name, size);
    // An empty script sets nothing and is not placed into the system.
    if (archive::scriptTrust().signedOnly && size > 0) return placeCheckedScript(client, name, target, size);
    return copyScript(client, target, size);
}

}  // namespace

void waitForTerm(InstallClient& client) {
    NetInterface& iface = *client.chosen();
    Message wtrm, reply;
    buildRequest(client.session, wtrm, "WTRM");
    for (;;) {
        sendMessage(iface, wtrm);
        timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (;;) {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            long long left = 1000000LL - ((now.tv_sec - start.tv_sec) * 1000000LL + (now.tv_nsec - start.tv_nsec) / 1000);
            if (left <= 0) break;
            fd_set set;
            FD_ZERO(&set);
            FD_SET(0, &set);
            FD_SET(iface.socket, &set);
            timeval tv{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
            int r = select(iface.socket + 1, &set, nullptr, nullptr, &tv);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            if (FD_ISSET(0, &set)) return;  // a key: the key is left for whoever reads next
            int n = receiveDatagram(iface, reply);
            if (n < 0) break;
            if (acceptMessage(client.session, n, reply) && reply.startsWith("TERM")) return;
        }
    }
}

std::string filterLabel(const std::string& line) {
    std::string label;
    for (char c : line) {
        if (label.size() == kLabelBytes) break;
        unsigned char u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || std::ispunct(u)) label += c;
    }
    return label;
}

std::string deviceLabel() {
    std::string line;
    // An environment without the mount point would never read its label.
    mkdir("/floppy", 0755);
    if (mount("/dev/fd0", "/floppy", "vfat", 0, nullptr) == 0) {
        if (FILE* f = std::fopen("/floppy/label.txt", "r")) {
            char buf[kLabelBytes + 1];
            if (std::fgets(buf, sizeof buf, f)) line = buf;
            std::fclose(f);
        }
        umount("/floppy");
    }
    std::string label = filterLabel(line);
    return label.empty() ? "Tarnwick" : label;
}

bool isConfigurationScript(const std::string& name) {
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".scr") == 0;
}

std::string scriptTarget(const std::string& name, int32_t size) {
    // The name comes from the network: it names a file directly in "/flash",
    // nothing else, and it is used whole or not at all.
    if (name.empty() || name.size() > kNameBytes || name.find_first_of(std::string("/\0", 2)) != std::string::npos ||
        name == "." || name == "..")
        return "";
    if (size == 0) return "/empty";  // an empty script is not placed into the system
    std::string path = "/flash/" + name;
    return path.size() <= kPathBytes ? path : "";
}

// A killed or crashed install child has printed no verdict of its own.
static bool childDied(int status) { return status != -1 && !WIFEXITED(status); }

bool feedPackageFromServer(InstallClient& client, InstallMode mode) {
    std::fflush(stdout);
    FILE* child = startInstallChild(mode, mode == InstallMode::driver);
    if (!child) {
        std::puts("\nFATAL ERROR: couldn't start install");
        return false;
    }
    char buffer[kCopyBuffer];
    for (;;) {
        int n = readFileData(*client.transfer, buffer, sizeof buffer);
        if (n < 0) {
            std::puts("\nFATAL ERROR: bad network connection");
            closePipedChild(child);
            return false;
        }
        if (n == 0) {
            // How the child fared it has shown itself, unless it did not end by itself.
            int status = closePipedChild(child);
            if (childDied(status)) {
                std::puts("\nFATAL ERROR: install process died");
                return false;
            }
            // A quiet child says nothing when it refuses the driver package;
            // without this line the user would only learn that no disk was found.
            if (mode == InstallMode::driver && status != -1 && WEXITSTATUS(status) != 0) {
                std::puts("ERROR: the server's driver package was refused");
                std::fflush(stdout);
            }
            return true;
        }
        // Flushed block by block: bytes left in the stream's buffer would only
        // meet a dead child when closing, and a failed close hides how it ended.
        if (std::fwrite(buffer, 1, static_cast<size_t>(n), child) != static_cast<size_t>(n) ||
            std::fflush(child) != 0) {
            std::puts("");
            // What is still buffered cannot reach the child any more; dropped,
            // closing succeeds and the child's end can be told.
            __fpurge(child);
            if (childDied(closePipedChild(child))) std::puts("\nFATAL ERROR: install process died");
            return false;
        }
    }
}

bool installServerFiles(InstallClient& client) {
    for (;;) {
        client.transfer.reset();
        client.transfer = std::make_unique<FileTransfer>(*client.chosen(), client.session);
        if (!openNextFile(*client.transfer)) break;  // the list is complete
        const FileTransfer& t = *client.transfer;
        if (isConfigurationScript(t.name)) {
            if (!writeScript(client, t.name, t.size)) return false;
        } else if (!feedPackageFromServer(client, InstallMode::stream)) {
            return false;
        }
    }
    client.transfer.reset();
    return true;
}

bool networkInstall(Installer& installer) {
    // The client closes its interfaces and frees its transfer on every way out.
    InstallClient client;
    showBanner("remote installation");

    client.session.clear();
    client.transfer.reset();
    enumerateInterfaces(client);
    client.broadcastCount = 0;
    if (client.interfaces.empty()) {
        std::puts("\nFATAL ERROR: no network card found");
        return false;
    }
    std::puts("");
    for (const auto& iface : client.interfaces)
        std::printf("mac-address: %s\n", proto::formatMac(iface.hardwareAddress).data());
    std::puts("");
    std::puts("Waiting for drivers...");
    std::fflush(stdout);

    const std::string release = kernelRelease();
    Message message;
    do {
        message.clear();
        std::string text = "DRVR\n" + release;
        int length = message.setText(text.substr(0, proto::kMaxPayload - 1)) + 1;  // with its zero byte
        message.payload()[length - 1] = 0;
        broadcastMessage(client, message, length);
    } while (!waitForOffer(client, message, "OFDR"));

    client.transfer = std::make_unique<FileTransfer>(*client.chosen(), client.session);
    if (!openNextFile(*client.transfer)) {
        std::puts("\nFATAL ERROR: could not retrieve disk drivers");
        return false;
    }
    std::puts("Retrieving drivers...");
    if (!feedPackageFromServer(client, InstallMode::driver)) return false;

    std::puts("Loading drivers");
    std::fflush(stdout);
    loadModules(storageModules);
    loadModules(usbModules);

    if (!probeHardDrive(installer)) return false;

    std::string label = deviceLabel();
    std::printf("disk label: %s\n", label.c_str());
    std::puts("");

    bool keep = false;
    for (;;) {
        std::puts("");
        std::puts("Waiting for installation server...");
        std::fflush(stdout);
        if (!client.interfaces.empty()) break;
        std::puts("");
        std::puts("Couldn't find any installation server on network");
        // Without interfaces there is nobody to ask; look again after a pause
        // instead of spinning.
        sleep(1);
        enumerateInterfaces(client);
    }
    negotiateInstall(client, kDiscoverInfo, release, label, &keep);

    writeMasterBootRecord(installer);
    std::printf("Found server at %s\n", proto::formatMac(client.session.peerAddress).data());
    std::puts("");
    std::fflush(stdout);

    if (!prepareDisk(installer, keep)) return false;

    std::puts("");
    std::fflush(stdout);
    Message strt, reply;
    buildRequest(client.session, strt, "STRT");
    if (sendAndWait(*client.chosen(), client.session, strt, reply, kStrtTimeoutUs, kStrtAttempts) < 0) {
        std::puts("\nFATAL ERROR: server refused to install");
        return false;
    }

    if (!installServerFiles(client)) return false;

    // Installed packages may own links anywhere: none is followed on the way.
    int marker = InstallRoot("/flash").openNoLinks("CDINSTALL", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (marker >= 0) close(marker);
    finishInstallation(installer);
    installFinished = true;
    std::puts("");
    std::puts("Software installed.");
    reportKeptConfiguration();
    std::puts("Press ENTER to reboot");
    std::fflush(stdout);
    waitForTerm(client);
    return true;
}

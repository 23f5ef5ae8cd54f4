// The resolver's opens of the system's own files (records, scripts, markers,
// configuration scripts) in the sandbox: only a regular file, or a new one, is
// ever opened.
#include "archive/rootfs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "sandbox/sandbox.h"

namespace {

// Every node that is no regular file, at a name that each opening call of the
// resolver is asked to write or read: none is opened, each is refused with its
// error, and it stays what it was. The block device is a loop device over a
// file of the sandbox, whose bytes (read through it) must stay as they were; the character
// device is the null device. A FIFO opened for writing would wait for a
// reader: the sandbox's limit ends such a run, and the test fails.
TEST(InstallRootFiles, OnlyARegularFileOrANewOneIsOpened) {
    sandbox::Options o;
    o.newNetwork = false;
    o.loopDevices = true;
    o.timeoutMs = 60000;
    sandbox::Result r = sandbox::run(o, [] {
        const std::string disk(65536, 'B');
        if (!sandbox::writeFile("/ram/disk", disk)) return 90;
        const std::string loop = sandbox::attachLoop("/ram/disk");
        struct stat loopInfo;
        if (loop.empty() || stat(loop.c_str(), &loopInfo) != 0) return 91;
        if (mkdir("/flash/t", 0755) != 0) return 92;

        struct Node {
            const char* kind;
            std::function<bool(const char*)> make;
            int error;  // what every call is refused with
            mode_t type;
        } nodes[] = {
            {"FIFO", [](const char* p) { return mkfifo(p, 0644) == 0; }, EINVAL, S_IFIFO},
            {"character device", [](const char* p) { return mknod(p, S_IFCHR | 0644, makedev(1, 3)) == 0; },
             EINVAL, S_IFCHR},
            {"block device", [&](const char* p) { return mknod(p, S_IFBLK | 0644, loopInfo.st_rdev) == 0; },
             EINVAL, S_IFBLK},
            {"directory", [](const char* p) { return mkdir(p, 0755) == 0; }, EISDIR, S_IFDIR},
            {"socket",
             [](const char* p) {
                 int s = socket(AF_UNIX, SOCK_STREAM, 0);
                 sockaddr_un address{};
                 address.sun_family = AF_UNIX;
                 std::strcpy(address.sun_path, p);
                 bool made = bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
                 close(s);
                 return made;
             },
             EINVAL, S_IFSOCK},
        };
        InstallRoot root("/flash");
        int dir = open("/flash/t", O_PATH | O_DIRECTORY);
        // Each call as a caller makes it: the error it gives, 0 for none.
        struct Call {
            const char* name;
            std::function<int()> run;
        } calls[] = {
            {"openNoLinks to write (a marker, a script, the image)",
             [&] {
                 int fd = root.openNoLinks("t/node", O_WRONLY | O_CREAT | O_TRUNC, 0600);
                 int error = fd < 0 ? errno : 0;
                 if (fd >= 0) close(fd);
                 return error;
             }},
            {"open (links inside followed: the installation log)",
             [&] {
                 int fd = root.open("t/node", O_WRONLY | O_CREAT | O_TRUNC, 0644);
                 int error = fd < 0 ? errno : 0;
                 if (fd >= 0) close(fd);
                 return error;
             }},
            {"openNoLinks to read",
             [&] {
                 int fd = root.openNoLinks("t/node", O_RDONLY);
                 int error = fd < 0 ? errno : 0;
                 if (fd >= 0) close(fd);
                 return error;
             }},
            {"writeFileNoLinks", [&] { return root.writeFileNoLinks("t/node", "written\n"); }},
            {"writeFileAt", [&] { return writeFileAt(dir, "node", "written\n"); }},
            {"readFileNoLinks",
             [&] {
                 std::string text;
                 return root.readFileNoLinks("t/node", text);
             }},
            {"readFileAt",
             [&] {
                 std::string text;
                 return readFileAt(dir, "node", text);
             }},
        };
        int bad = 0;
        for (const Node& node : nodes) {
            for (const Call& call : calls) {
                if (!node.make("/flash/t/node")) return 93;
                int error = call.run();
                // Reads report every node that is no file alike.
                bool read = std::strncmp(call.name, "read", 4) == 0;
                int expected = read ? EINVAL : node.error;
                struct stat after;
                if (error != expected) {
                    std::printf("BAD %s at the name, %s: %s\n", node.kind, call.name, std::strerror(error));
                    ++bad;
                }
                if (lstat("/flash/t/node", &after) != 0 || (after.st_mode & S_IFMT) != node.type) {
                    std::printf("BAD %s at the name, %s: it changed\n", node.kind, call.name);
                    ++bad;
                }
                if (sandbox::readFile(loop) != disk) {
                    std::printf("BAD %s at the name, %s: the device was written\n", node.kind, call.name);
                    return 94;
                }
                if ((after.st_mode & S_IFMT) == S_IFDIR ? rmdir("/flash/t/node") : unlink("/flash/t/node")) return 95;
            }
        }
        // A new file, and a regular one: written, read, and the descriptor blocks as asked.
        for (const Call& call : calls)
            if (std::strncmp(call.name, "read", 4) != 0 && call.run() != 0) {
                std::printf("BAD a regular file, %s\n", call.name);
                ++bad;
            }
        int fd = root.openNoLinks("t/node", O_WRONLY);
        if (fd < 0 || (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0) {
            std::printf("BAD a regular file opens non-blocking\n");
            ++bad;
        }
        if (fd >= 0) close(fd);
        std::string text;
        if (readFileAt(dir, "node", text) != 0 || text != "written\n") {
            std::printf("BAD a regular file reads back \"%s\"\n", text.c_str());
            ++bad;
        }
        close(dir);
        std::fflush(stdout);
        return bad == 0 ? 0 : 1;
    });
    ASSERT_FALSE(r.timedOut) << "an open waited: " << r.output;
    ASSERT_TRUE(r.exited) << r.output;
    EXPECT_EQ(r.exitStatus, 0) << r.output;
}

}  // namespace

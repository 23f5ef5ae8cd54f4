// The installer's start: it runs as the first process of the installation
// environment, prepares the environment, runs one installation flow and
// reboots.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "disk/installer.h"
#include "flows/cdrom.h"
#include "flows/harddisk.h"
#include "init/console.h"
#include "init/console_internal.h"
#include "init/installlog.h"
#include "init/modules.h"
#include "init/process.h"
#include "network/netinstall.h"

namespace {

// The process that does the installation (the child when started as init).
pid_t installerPid = -1;

[[noreturn]] void rebootMachine() {
    reboot(RB_AUTOBOOT);
    // Only reached where rebooting is not allowed; there is nothing left to do.
    _exit(1);
}

// Unmounts path; when something the interrupted code still holds open there
// (a package file being read) keeps it busy, detaches it all the same.
void releaseMount(const char* path) {
    if (umount(path) != 0 && errno == EBUSY) umount2(path, MNT_DETACH);
}

// Ctrl-C. The abort runs right here, whatever the installer was doing (also
// while it waits in a read), so it uses only system calls: the interrupted
// code may be inside stdio.
void onInterrupt(int) {
    if (installFinished) return;
    if (getpid() != installerPid) {
        // A forked helper (an install child) stops; the installer itself aborts.
        signal(SIGINT, SIG_DFL);
        raise(SIGINT);
        return;
    }
    // No progress dots over the prompt.
    signal(SIGALRM, SIG_IGN);
    alarm(0);
    writeText("\n\nInstallation aborted\n");
    writeText("Press ENTER to reboot\n");
    // The piped child (an install child writing into /flash, a tool) is ended
    // and reaped first: its open files would keep the file systems busy.
    pid_t child = pipedChildPid;
    if (child > 0) {
        kill(child, SIGKILL);
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        pipedChildPid = -1;
    }
    sync();
    releaseMount("/flash/boot");
    releaseMount("/flash");
    releaseMount("/floppy");
    waitForEnterUnbuffered();
    restoreTerminalUnbuffered(consoleState);
    rebootMachine();
}

// Started as init: the kernel's first process stays and only waits, the
// work happens in a child.
bool forkAsInit(int& status) {
    pid_t child = fork();
    if (child <= 0) return false;  // the child, or no fork: work here
    status = waitForChild(child);
    return true;
}

void mountPseudoFileSystems() {
    mount("proc", "/proc", "proc", 0, nullptr);
    mkdir("/sys", 0755);
    mount("sysfs", "/sys", "sysfs", 0, nullptr);
    mkdir("/flash", 0755);
    mkdir("/ram", 0755);
}

// Without a VGA console everything talks over the first serial port, and
// tool output has nowhere useful to go.
void chooseConsole() {
    int vga = open("/dev/tty0", O_WRONLY | O_NOCTTY);
    if (vga >= 0) {
        close(vga);
        return;
    }
    std::strcpy(logDevice, "/dev/null");
    std::freopen("/dev/ttyS0", "r", stdin);
    std::freopen("/dev/ttyS0", "w", stdout);
    std::freopen("/dev/ttyS0", "w", stderr);
}

void installSignalHandlers() {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = onInterrupt;
    // Restart interrupted calls: once the installation is finished Ctrl-C must
    // change nothing, not even make a pending read fail.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = SIG_IGN;
    action.sa_flags = 0;
    sigaction(SIGPIPE, &action, nullptr);
    action.sa_handler = SIG_DFL;
    action.sa_flags = SA_RESTART;
    sigaction(SIGCHLD, &action, nullptr);
}

void openLcd() {
    lcdFd = -1;
    FILE* dev = std::fopen("/sys/class/misc/lcd/dev", "r");
    if (!dev) return;
    int major, minor;
    if (std::fscanf(dev, "%d:%d", &major, &minor) == 2 && major >= 0 && minor >= 0) {
        mknod("/dev/lcd", S_IFCHR | 0666, makedev(major, minor));  // an existing node is fine
        lcdFd = open("/dev/lcd", O_RDWR);
    } else {
        std::puts("ERROR: strange format for lcd dev");
    }
    std::fclose(dev);
}

bool hasHddSwitch(int argc, char** argv) {
    for (int i = 1; i < argc; i++)
        if (std::strcmp(argv[i], "-hdd-install") == 0) return true;
    return false;
}

// The first line of "/TYPE" without its newline; empty when there is none.
void readType(char (&type)[80]) {
    type[0] = '\0';
    FILE* file = std::fopen("/TYPE", "r");
    if (!file) return;
    if (!std::fgets(type, sizeof type, file)) type[0] = '\0';
    std::fclose(file);
    type[std::strcspn(type, "\n")] = '\0';
}

// Runs the chosen flow; true if the user is to press ENTER before the reboot.
bool dispatch(bool hddInstall, const char* type, Installer& installer) {
    if (hddInstall) return !hardDiskInstall(installer);
    if (std::strcmp(type, "cdrom") == 0) {
        enterRawMode(consoleState);
        std::puts("Loading drivers");
        std::fflush(stdout);
        loadModules(storageModules);
        loadModules(usbModules);
        if (probeHardDrive(installer)) cdromInstall(installer);
        return true;  // a CD installation always ends at the prompt
    }
    if (std::strcmp(type, "net") == 0) return !networkInstall(installer);
    std::puts("FATAL ERROR: internal error");
    return true;
}

}  // namespace

int installerMain(int argc, char** argv) {
    if (argc > 0 && std::strstr(argv[0], "init")) {
        int status;
        if (forkAsInit(status)) return status;
    }
    installerPid = getpid();

    mountPseudoFileSystems();
    chooseConsole();
    // What the console shows is also kept for the new system's install log.
    startInstallLog();
    consoleState = ConsoleState{};
    keepOutputOnInterrupt();
    installSignalHandlers();
    loadModule("drivers/net/atl1c.ko");
    openLcd();
    bool hddInstall = hasHddSwitch(argc, argv);
    char type[80];
    readType(type);

    Installer installer;
    bool askEnter = dispatch(hddInstall, type, installer);

    umount("/floppy");
    // A separate boot partition sits on /flash/boot and would keep /flash busy.
    umount("/flash/boot");
    umount("/flash");
    installFinished = true;

    if (askEnter) {
        std::puts("Press ENTER to reboot");
        waitForEnter();
    }
    restoreTerminal(consoleState);
    std::puts("");
    std::puts("Rebooting...");
    std::fflush(stdout);
    rebootMachine();
}

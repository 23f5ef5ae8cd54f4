// cylpart: a small MBR partitioning tool that works in cylinder units.
//
//   cylpart -g [DEVICE...]   geometry of every whole disk (or of the named ones)
//   cylpart -d -uC DISK      dump the partition table, one line per used entry
//   cylpart -q -uC DISK      read "start,size,type,bootable" lines (cylinders)
//                            from standard input and write them as the table
//
// Current partitioning tools no longer accept cylinder units, and the
// installer describes its layout in cylinders; this tool does just that.
// A partition that starts at cylinder 0 starts on the second track, so the
// first track stays free for the boot program. Sizes that an MBR entry cannot
// hold (2^32 sectors and more) are capped with a warning, never wrapped.

#include <dirent.h>
#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kMaxSectors = 0xFFFFFFFFull;  // largest value an MBR entry holds

struct Geometry {
    uint32_t heads = 255;
    uint32_t sectors = 63;
    uint64_t totalSectors = 0;
    uint64_t cylinders = 0;
    uint64_t cylinderSectors() const { return uint64_t(heads) * sectors; }
};

struct Entry {
    uint8_t status = 0;
    uint8_t type = 0;
    uint64_t start = 0;  // in sectors
    uint64_t size = 0;
    bool used() const { return type != 0 || size != 0; }
};

void error(const char* fmt, const std::string& arg = "") {
    std::fprintf(stderr, "cylpart: ");
    std::fprintf(stderr, fmt, arg.c_str());
    std::fputc('\n', stderr);
}

// Geometry of an open disk (or image file). The kernel's cylinder field is
// only 16 bits wide, so cylinders always come from the size in sectors.
// Its heads and sectors are taken when they have the 63 sectors per track
// that BIOSes give every disk they translate. Drivers without a geometry of
// their own (NVMe, virtio disks whose host gives none, small USB sticks)
// report a made-up 64 heads and 32 sectors: a first partition on its second
// track would then start at sector 32, where a BIOS that reads head 1,
// sector 1 finds sector 63. Those disks get 255 heads and 63 sectors.
bool readGeometry(int fd, Geometry& geo) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    uint64_t bytes = 0;
    if (S_ISBLK(st.st_mode)) {
        if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) return false;
        hd_geometry hd{};
        if (ioctl(fd, HDIO_GETGEO, &hd) == 0 && hd.heads != 0 && hd.sectors == 63) {
            geo.heads = hd.heads;
            geo.sectors = hd.sectors;
        }
    } else if (S_ISREG(st.st_mode)) {
        bytes = uint64_t(st.st_size);
    } else {
        errno = ENOTBLK;
        return false;
    }
    geo.totalSectors = bytes / 512;
    geo.cylinders = geo.totalSectors / geo.cylinderSectors();
    return true;
}

// Partition device names: "/dev/sda" + "1", "/dev/loop0" + "p1".
std::string partitionName(const std::string& disk, int number) {
    bool digit = !disk.empty() && disk.back() >= '0' && disk.back() <= '9';
    return disk + (digit ? "p" : "") + std::to_string(number);
}

uint32_t get32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}

// Cylinder/head/sector of an LBA address in the packed MBR form; addresses
// beyond cylinder 1023 get the customary 1023/last head/last sector.
void putChs(unsigned char* p, uint64_t lba, const Geometry& geo) {
    uint64_t cylinder = lba / geo.cylinderSectors();
    uint32_t head = uint32_t(lba / geo.sectors % geo.heads);
    uint32_t sector = uint32_t(lba % geo.sectors) + 1;
    if (cylinder > 1023) {
        cylinder = 1023;
        head = geo.heads - 1;
        sector = geo.sectors;
    }
    p[0] = uint8_t(head);
    p[1] = uint8_t((sector & 0x3F) | ((cylinder >> 2) & 0xC0));
    p[2] = uint8_t(cylinder & 0xFF);
}

bool readSector(int fd, unsigned char sector[512]) {
    return pread(fd, sector, 512, 0) == 512;
}

std::vector<Entry> parseTable(const unsigned char sector[512]) {
    std::vector<Entry> entries(4);
    if (sector[510] != 0x55 || sector[511] != 0xAA) return entries;
    for (int i = 0; i < 4; i++) {
        const unsigned char* p = sector + 446 + 16 * i;
        entries[i].status = p[0];
        entries[i].type = p[4];
        entries[i].start = get32(p + 8);
        entries[i].size = get32(p + 12);
    }
    return entries;
}

int listGeometry(const std::vector<std::string>& named) {
    std::vector<std::string> devices = named;
    if (devices.empty()) {
        // Whole disks only: loop, RAM, optical, floppy and mapper devices are
        // never installation targets.
        static const char* const skipped[] = {"loop", "ram", "sr", "fd", "zram", "nbd", "dm-", "md"};
        DIR* dir = opendir("/sys/block");
        if (!dir) {
            error("cannot read /sys/block: %s", std::strerror(errno));
            return 1;
        }
        while (dirent* d = readdir(dir)) {
            std::string name = d->d_name;
            if (name[0] == '.') continue;
            bool skip = false;
            for (const char* prefix : skipped)
                if (name.rfind(prefix, 0) == 0) skip = true;
            // Nested device names ("cciss/c0d0") appear with '!' in /sys/block.
            std::replace(name.begin(), name.end(), '!', '/');
            if (!skip) devices.push_back("/dev/" + name);
        }
        closedir(dir);
        std::sort(devices.begin(), devices.end());
    }
    int status = 0;
    for (const std::string& device : devices) {
        int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
        Geometry geo;
        if (fd < 0 || !readGeometry(fd, geo)) {
            // A disk listed in /sys/block without a node is not an error of the listing.
            if (!named.empty()) {
                error("%s", device + ": " + std::strerror(errno));
                status = 1;
            }
            if (fd >= 0) close(fd);
            continue;
        }
        close(fd);
        if (geo.totalSectors == 0 && named.empty()) continue;
        std::printf("%s: %llu cylinders, %u heads, %u sectors/track\n", device.c_str(),
                    (unsigned long long)geo.cylinders, geo.heads, geo.sectors);
    }
    return status;
}

void printTable(const std::string& disk, const std::vector<Entry>& entries, const Geometry& geo) {
    uint64_t cyl = geo.cylinderSectors();
    std::printf("# partition table of %s\nunit: cylinders\n\n", disk.c_str());
    for (size_t i = 0; i < entries.size(); i++) {
        const Entry& e = entries[i];
        if (!e.used()) continue;
        uint64_t startCyl = e.start / cyl;
        uint64_t endCyl = (e.start + e.size + cyl - 1) / cyl;
        std::printf("%s : start=%10llu, size=%10llu, Id=%2x%s\n", partitionName(disk, int(i) + 1).c_str(),
                    (unsigned long long)startCyl, (unsigned long long)(endCyl - startCyl), e.type,
                    e.status == 0x80 ? ", bootable" : "");
    }
}

int dumpTable(const std::string& disk) {
    int fd = open(disk.c_str(), O_RDONLY | O_CLOEXEC);
    Geometry geo;
    unsigned char sector[512];
    if (fd < 0 || !readGeometry(fd, geo) || !readSector(fd, sector)) {
        error("%s", disk + ": " + std::strerror(errno));
        if (fd >= 0) close(fd);
        return 1;
    }
    close(fd);
    printTable(disk, parseTable(sector), geo);
    return 0;
}

std::string trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r\n");
    size_t b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

bool parseNumber(const std::string& text, int base, uint64_t& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || text[0] == '-') return false;
    value = v;
    return true;
}

struct ScriptLine {
    uint64_t start = 0, size = 0, type = 0;
    bool bootable = false;
};

// "start,size,type[,bootable]" in cylinders; "0,0,0" leaves the entry empty.
bool parseScriptLine(const std::string& line, ScriptLine& out) {
    std::vector<std::string> fields;
    size_t pos = 0;
    while (true) {
        size_t comma = line.find(',', pos);
        fields.push_back(trim(line.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos)));
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    if (fields.size() < 3 || fields.size() > 4) return false;
    if (!parseNumber(fields[0], 10, out.start) || !parseNumber(fields[1], 10, out.size) ||
        !parseNumber(fields[2], 16, out.type) || out.type > 0xFF)
        return false;
    if (fields.size() == 4) {
        if (fields[3] == "*") out.bootable = true;
        else if (fields[3] != "-" && !fields[3].empty()) return false;
    }
    return true;
}

// A kernel built without the MBR parser drops the old partitions on a re-read
// but finds no new ones; tell it each partition. Where the parser did its
// work the kernel answers EBUSY, which is fine.
bool announcePartitions(int fd, const std::string& disk, const std::vector<Entry>& entries) {
    for (size_t i = 0; i < entries.size(); i++) {
        const Entry& e = entries[i];
        if (!e.used()) continue;
        blkpg_partition part{};
        part.start = static_cast<long long>(e.start * 512);
        part.length = static_cast<long long>(e.size * 512);
        part.pno = int(i) + 1;
        blkpg_ioctl_arg arg{};
        arg.op = BLKPG_ADD_PARTITION;
        arg.datalen = sizeof part;
        arg.data = &part;
        if (ioctl(fd, BLKPG, &arg) != 0 && errno != EBUSY) {
            error("%s", partitionName(disk, int(i) + 1) + ": the kernel did not take the partition: " +
                            std::strerror(errno));
            return false;
        }
    }
    return true;
}

int writeTable(const std::string& disk, bool quiet) {
    std::vector<ScriptLine> script;
    char buffer[256];
    int lineNumber = 0;
    while (std::fgets(buffer, sizeof buffer, stdin)) {
        lineNumber++;
        std::string line = trim(buffer);
        if (line.empty() || line[0] == '#') continue;
        ScriptLine entry;
        if (!parseScriptLine(line, entry)) {
            error("line %s: expected start,size,type[,bootable]", std::to_string(lineNumber));
            return 1;
        }
        if (script.size() == 4) {
            error("more than four partitions given%s");
            return 1;
        }
        script.push_back(entry);
    }

    int fd = open(disk.c_str(), O_RDWR | O_CLOEXEC);
    Geometry geo;
    unsigned char sector[512];
    if (fd < 0 || !readGeometry(fd, geo) || !readSector(fd, sector)) {
        error("%s", disk + ": " + std::strerror(errno));
        if (fd >= 0) close(fd);
        return 1;
    }

    // Entries the script does not name are emptied: the script is the whole table.
    std::vector<Entry> entries(4);
    uint64_t cyl = geo.cylinderSectors();
    for (size_t i = 0; i < script.size(); i++) {
        const ScriptLine& s = script[i];
        if (s.size == 0 && s.type == 0) continue;
        std::string name = partitionName(disk, int(i) + 1);
        if (s.size == 0 || s.type == 0) {
            error("%s: a partition needs a size and a type", name);
            close(fd);
            return 1;
        }
        if (s.start > geo.cylinders || s.size > geo.cylinders - s.start) {
            error("%s extends beyond the end of the disk", name);
            close(fd);
            return 1;
        }
        Entry& e = entries[i];
        e.type = uint8_t(s.type);
        e.status = s.bootable ? 0x80 : 0;
        e.start = s.start == 0 ? geo.sectors : s.start * cyl;
        e.size = (s.start + s.size) * cyl - e.start;
        if (e.start > kMaxSectors) {
            error("%s starts beyond what a partition table can describe", name);
            close(fd);
            return 1;
        }
        if (e.size > kMaxSectors) {
            std::fprintf(stderr, "cylpart: warning: %s capped at %llu sectors, the largest size a partition table holds\n",
                         name.c_str(), (unsigned long long)kMaxSectors);
            e.size = kMaxSectors;
        }
    }
    for (size_t i = 0; i < entries.size(); i++)
        for (size_t j = i + 1; j < entries.size(); j++) {
            const Entry& a = entries[i];
            const Entry& b = entries[j];
            if (a.used() && b.used() && a.start < b.start + b.size && b.start < a.start + a.size) {
                error("partitions %s overlap", std::to_string(i + 1) + " and " + std::to_string(j + 1));
                close(fd);
                return 1;
            }
        }

    // Bytes 0-445 (the boot program) stay as they are.
    for (size_t i = 0; i < entries.size(); i++) {
        unsigned char* p = sector + 446 + 16 * i;
        std::memset(p, 0, 16);
        const Entry& e = entries[i];
        if (!e.used()) continue;
        p[0] = e.status;
        putChs(p + 1, e.start, geo);
        p[4] = e.type;
        putChs(p + 5, e.start + e.size - 1, geo);
        put32(p + 8, uint32_t(e.start));
        put32(p + 12, uint32_t(e.size));
    }
    sector[510] = 0x55;
    sector[511] = 0xAA;
    if (pwrite(fd, sector, 512, 0) != 512 || fsync(fd) != 0) {
        error("%s", disk + ": cannot write the partition table: " + std::strerror(errno));
        close(fd);
        return 1;
    }

    int status = 0;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISBLK(st.st_mode)) {
        // The kernel must see the new partitions before they can be formatted.
        bool reread = false;
        for (int attempt = 0; attempt < 5 && !reread; attempt++) {
            if (ioctl(fd, BLKRRPART) == 0) reread = true;
            else if (errno == EBUSY) usleep(200000);
            else break;
        }
        if (!reread) {
            error("%s", disk + ": the kernel did not re-read the partition table: " + std::strerror(errno));
            status = 1;
        } else if (!announcePartitions(fd, disk, entries)) {
            status = 1;
        }
    }
    close(fd);
    if (!quiet) printTable(disk, entries, geo);
    return status;
}

const char kUsage[] =
    "usage: cylpart -g [DEVICE...]\n"
    "       cylpart -d -uC DISK\n"
    "       cylpart -q -uC DISK < script\n"
    "Reads and writes a disk's MBR partition table in cylinders; the\n"
    "installation environment carries it as /sbin/sfdisk.\n"
    "  -g       the geometry of the named disks, or of every whole disk\n"
    "  -d -uC   the partition table, one line per used entry, in cylinders\n"
    "  -q -uC   read \"start,size,type[,bootable]\" lines (cylinders) from standard\n"
    "           input and write them as the whole table; without -q the new\n"
    "           table is shown\n"
    "  -h, --help  this text\n";

int usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bool geometry = false, dump = false, quiet = false;
    std::vector<std::string> devices;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "-g") geometry = true;
        else if (arg == "-d") dump = true;
        else if (arg == "-q") quiet = true;
        else if (arg == "-uC") {
            // cylinders are the only unit
        } else if (arg.size() > 1 && arg[0] == '-') {
            error("unknown option %s", arg);
            return usage();
        } else devices.push_back(arg);
    }
    if (geometry) return dump ? usage() : listGeometry(devices);
    if (devices.size() != 1) return usage();
    if (dump) return dumpTable(devices[0]);
    return writeTable(devices[0], quiet);
}

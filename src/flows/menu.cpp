#include "flows/menu.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "init/console.h"
#include "init/globals.h"
#include "init/installlog.h"
#include "pkg/repository.h"
#include "pkg/version.h"

const char* const leadingPackageNames[3] = {"system", "ppp", "dhcp"};

namespace {

const char kMediumDir[] = "/floppy";
const char kTitle[] = "Welcome to Tarnwick Router Software installation\n";
const char kHelp[] =
    "Move around menu using 'p' and 'n' or arrow keys, select with 'spacebar'. Select all with "
    "'a', minimum with 'm'. Press 'i' to install locally or 'q' to cancel and reboot.";
constexpr unsigned kFirstItemRow = 7;
constexpr unsigned kColumnWidth = 26;
constexpr unsigned kDetailRow = 21;
constexpr unsigned kPageRow = 24;
constexpr size_t kWrapWidth = 77;

bool endsWith(const char* name, const char* suffix) {
    size_t n = std::strlen(name), s = std::strlen(suffix);
    return n >= s && std::memcmp(name + n - s, suffix, s) == 0;
}

void moveTo(unsigned row, unsigned column) { std::printf("\e[%u;%uH", row, column); }

// Where item i stands: its row, its column as sent, and its page. Up to 42
// items everything is on page 0; beyond that pages of three full columns.
struct Place {
    unsigned row, column, page;
};

Place placeOf(const PackageMenu& menu, size_t i) {
    unsigned column = unsigned(i / menu.rows);
    return {unsigned(i % menu.rows) + kFirstItemRow, (column % kMenuColumns) * kColumnWidth,
            column / kMenuColumns};
}

unsigned pageCount(const PackageMenu& menu) {
    return unsigned((menu.count() + kMenuPageItems - 1) / kMenuPageItems);
}

void drawItem(const PackageMenu& menu, size_t i) {
    Place place = placeOf(menu, i);
    moveTo(place.row, place.column);
    std::fputs(" ", stdout);
    bool current = i == menu.cursor;
    if (current) setTextAttributes(2);
    std::printf(" [%c] %s ", menu.packages[i]->selected ? 'X' : ' ', menu.packages[i]->name.c_str());
    if (current) setTextAttributes(0);
}

// Draws the items of the cursor's page. A multi-page list first clears the
// item rows (the previous page may have had more items) and names the page.
void drawAllItems(const PackageMenu& menu) {
    if (menu.count() == 0) return;
    unsigned page = placeOf(menu, menu.cursor).page;
    unsigned pages = pageCount(menu);
    if (pages > 1) {
        for (unsigned row = kFirstItemRow; row < kFirstItemRow + kMenuRowsPerPage; ++row) {
            moveTo(row, 0);
            std::fputs("\e[2K", stdout);
        }
        moveTo(kPageRow, 0);
        std::printf("\e[2KPage %u of %u", page + 1, pages);
    }
    for (size_t i = 0; i < menu.count(); ++i)
        if (placeOf(menu, i).page == page) drawItem(menu, i);
}

void drawDetails(const PackageMenu& menu) {
    for (unsigned row = kDetailRow; row < kDetailRow + 3; ++row) {
        moveTo(row, 0);
        std::fputs("\e[2K", stdout);
    }
    if (menu.count() == 0) return;
    moveTo(kDetailRow, 0);
    const PackageArchive& p = *menu.packages[menu.cursor];
    std::string line = p.name + " (depends on ";
    if (p.dependencies.empty()) {
        line += "nothing";
    } else {
        for (size_t i = 0; i < p.dependencies.size(); ++i) {
            if (i) line += ", ";
            line += p.dependencies[i].name;
        }
    }
    line += "):";
    std::printf("%s\n", line.c_str());
    printWrapped(p.description);
}

// Moves the cursor to `to`, redrawing what changed: both items on the same
// page, the whole page when the move crosses to another one.
void moveCursor(PackageMenu& menu, size_t to) {
    size_t from = menu.cursor;
    menu.cursor = unsigned(to);
    if (placeOf(menu, from).page != placeOf(menu, to).page) {
        drawAllItems(menu);
    } else {
        drawItem(menu, from);
        drawItem(menu, to);
    }
    drawDetails(menu);
}

void selectAll(PackageMenu& menu) {
    for (auto& p : menu.packages) p->selected = 1;
}

}  // namespace

void setTextAttributes(unsigned bits) {
    std::fputs("\e[m", stdout);
    if (bits & 1) std::fputs("\e[4m", stdout);
    if (bits & 2) std::fputs("\e[7m", stdout);
    if (bits & 4) std::fputs("\e[5m", stdout);
    if (bits & 8) std::fputs("\e[1m", stdout);
}

void printCentered(const char* text, size_t length, bool centre) {
    if (centre && length < 80) {
        for (size_t i = 0; i < (80 - length) / 2; ++i) std::fputc(' ', stdout);
    }
    std::fwrite(text, 1, length, stdout);
    std::fputc('\n', stdout);
}

void printWrapped(const std::string& text) {
    std::string line;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == '\n') {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < text.size() && text[end] != ' ' && text[end] != '\n') ++end;
        size_t length = end - i;
        if (line.size() + length > kWrapWidth) {
            printCentered(line.data(), line.size(), false);
            line.clear();
        }
        line.append(text, i, length);
        line += ' ';
        i = end;
    }
    printCentered(line.data(), line.size(), false);
}

int findPackage(const PackageMenu& menu, const std::string& name) {
    for (size_t i = 0; i < menu.count(); ++i)
        if (menu.packages[i]->name == name) return int(i);
    return -1;
}

void placeLeadingPackages(PackageMenu& menu) {
    for (size_t place = 0; place < std::size(leadingPackageNames); ++place) {
        int found = findPackage(menu, leadingPackageNames[place]);
        if (found < 0) continue;
        std::unique_ptr<PackageArchive> record = std::move(menu.packages[found]);
        menu.packages.erase(menu.packages.begin() + found);
        size_t at = std::min(place, menu.packages.size());
        menu.packages.insert(menu.packages.begin() + at, std::move(record));
    }
}

bool loadPackageFiles(PackageMenu& menu) {
    DIR* dir = opendir(kMediumDir);
    if (!dir) {
        std::puts("FATAL ERROR: No packages found");
        return false;
    }
    while (dirent* entry = readdir(dir)) {
        if (!endsWith(entry->d_name, ".vpk")) continue;
        auto record = std::make_unique<PackageArchive>();
        record->selected = 0;
        PackageArchive& archive = *record;
        menu.packages.push_back(std::move(record));
        std::string path = std::string(kMediumDir) + "/" + entry->d_name;
        if (!readArchive(archive, path)) {
            std::printf("FATAL ERROR: Bad package %s\n", label(archive).c_str());
            closedir(dir);
            return false;
        }
        archive.path = path;
    }
    closedir(dir);
    if (menu.packages.empty()) {
        std::puts("FATAL ERROR: No packages found");
        return false;
    }
    std::stable_sort(menu.packages.begin(), menu.packages.end(),
                     [](const auto& a, const auto& b) { return a->name < b->name; });
    placeLeadingPackages(menu);
    return true;
}

void selectMinimum(PackageMenu& menu) {
    for (auto& p : menu.packages) p->selected = p->name == "system" ? 1 : 0;
}

void toggleSelection(PackageMenu& menu, size_t index) {
    PackageArchive& p = *menu.packages[index];
    if (!p.selected) {
        p.selected = 1;
        for (const DependencyEntry& dependency : p.dependencies) {
            int found = findPackage(menu, dependency.name);
            if (found >= 0 && !menu.packages[found]->selected) toggleSelection(menu, size_t(found));
        }
        return;
    }
    if (p.name == "system") return;
    p.selected = 0;
    for (auto& q : menu.packages)
        if (dependsOn(*q, p)) q->selected = 0;
}

void installOrder(PackageMenu& menu, std::vector<PackageArchive*>& order) {
    std::vector<PackageArchive*> chosen;
    for (auto& p : menu.packages)
        if (p->selected) chosen.push_back(p.get());
    theRepository().orderPackages(chosen, false, true);
    order.clear();
    order.insert(order.end(), chosen.begin(), chosen.end());
}

bool runMenu(PackageMenu& menu) {
    size_t count = menu.count();
    menu.rows = std::max<unsigned>(1, std::min<unsigned>(unsigned((count + 2) / 3), kMenuRowsPerPage));
    if (menu.cursor >= count) menu.cursor = 0;
    // A flow that already runs in raw mode keeps it after the menu, so that
    // its questions still answer to single keys.
    bool wasRaw = consoleState.raw != 0;
    enterRawMode(consoleState);
    // The drawn screen is no line of the install log.
    pauseInstallLog(true);

    std::fputs("\e[2J\e[H", stdout);
    std::fputs("\e[?25l", stdout);
    setTextAttributes(8);
    const char* line = kTitle;
    for (;;) {
        const char* newline = std::strchr(line, '\n');
        size_t length = newline ? size_t(newline - line) : std::strlen(line);
        printCentered(line, length, true);
        if (!newline) break;
        line = newline + 1;
    }
    setTextAttributes(0);
    printWrapped(kHelp);
    drawAllItems(menu);
    selectMinimum(menu);
    drawAllItems(menu);
    drawDetails(menu);

    bool install = false;
    for (;;) {
        std::fflush(stdout);
        unsigned char key;
        if (!readKey(key)) break;  // nobody can choose any more: cancel
        if (key == 27) {
            if (!readKey(key)) break;
            if (key == '[') {
                if (!readKey(key)) break;
                if (key == 'A') key = 'p';
                else if (key == 'B') key = 'n';
                else if (key == 'C') {
                    if (menu.cursor + menu.rows < count) moveCursor(menu, menu.cursor + menu.rows);
                    continue;
                } else if (key == 'D') {
                    if (menu.cursor >= menu.rows) moveCursor(menu, menu.cursor - menu.rows);
                    continue;
                } else {
                    continue;
                }
            }
        }
        if (key == ' ') {
            if (count) toggleSelection(menu, menu.cursor);
            drawAllItems(menu);
            continue;
        }
        switch (key & ~0x20) {
        case 'P':
            if (menu.cursor > 0) moveCursor(menu, menu.cursor - 1);
            break;
        case 'N':
            if (menu.cursor + 1 < count) moveCursor(menu, menu.cursor + 1);
            break;
        case 'A':
            selectAll(menu);
            drawAllItems(menu);
            break;
        case 'M':
            selectMinimum(menu);
            drawAllItems(menu);
            break;
        case 'I':
            install = true;
            goto done;
        case 'Q':
            goto done;
        default:
            break;
        }
    }
done:
    moveTo(25, 0);
    if (wasRaw) {
        std::fflush(stdout);
        std::fputs("\e[?25h", stdout);
        std::fflush(stdout);
    } else {
        restoreTerminal(consoleState);
    }
    pauseInstallLog(false);
    return install;
}

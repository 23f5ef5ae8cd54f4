// The package menu on a real pseudo terminal: package files in "/floppy" of a
// sandbox, keys typed into the pty, and the screen rebuilt from the bytes the
// menu wrote by a small model of an ANSI terminal.
#include "flows/menu.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "archive/writer/writer.h"
#include "init/console.h"
#include "init/globals.h"
#include "sandbox/sandbox.h"

namespace {

// 25 rows of 80 cells: characters and the attributes they were written with.
class Screen {
public:
    struct Cell {
        char ch = ' ';
        bool bold = false;
        bool reverse = false;
    };

    explicit Screen(const std::string& bytes) { feed(bytes); }

    // Row and column 1-based, as the escape sequences count them.
    std::string line(int row) const {
        std::string text;
        for (const Cell& c : cells_[row - 1]) text += c.ch;
        return text.substr(0, text.find_last_not_of(' ') + 1);
    }
    const Cell& cell(int row, int column) const { return cells_[row - 1][column - 1]; }
    std::string text() const {
        std::string all;
        for (int r = 1; r <= kRows; ++r) all += line(r) + "\n";
        return all;
    }
    bool cursorVisible() const { return cursorVisible_; }

private:
    static constexpr int kRows = 25, kColumns = 80;

    void feed(const std::string& bytes) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            char c = bytes[i];
            if (c == '\e' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
                size_t end = i + 2;
                while (end < bytes.size() && !(bytes[end] >= '@' && bytes[end] <= '~')) ++end;
                if (end == bytes.size()) return;
                control(bytes.substr(i + 2, end - i - 2), bytes[end]);
                i = end;
            } else if (c == '\r') {
                column_ = 0;
            } else if (c == '\n') {
                if (row_ < kRows - 1) ++row_;
            } else if (c >= ' ' && c < 127) {
                if (column_ < kColumns) cells_[row_][column_] = {c, bold_, reverse_};
                ++column_;
            }
        }
    }

    static std::vector<int> numbers(const std::string& params) {
        std::vector<int> out;
        std::stringstream in(params);
        std::string part;
        while (std::getline(in, part, ';')) out.push_back(part.empty() ? 0 : std::stoi(part));
        return out;
    }

    void control(const std::string& params, char command) {
        if (!params.empty() && params[0] == '?') {
            if (params == "?25l") cursorVisible_ = false;
            if (params == "?25h" || (params == "?25" && command == 'h')) cursorVisible_ = true;
            if (params == "?25" && command == 'l') cursorVisible_ = false;
            return;
        }
        std::vector<int> n = numbers(params);
        auto arg = [&](size_t k, int fallback) { return k < n.size() && n[k] ? n[k] : fallback; };
        switch (command) {
        case 'H':
            row_ = std::min(arg(0, 1), kRows) - 1;
            column_ = std::min(arg(1, 1), kColumns) - 1;
            break;
        case 'J':
            if (arg(0, 0) == 2)
                for (auto& r : cells_) r.fill(Cell{});
            break;
        case 'K':
            for (int col = arg(0, 0) == 2 ? 0 : column_; col < kColumns; ++col) cells_[row_][col] = Cell{};
            break;
        case 'm':
            if (n.empty()) n.push_back(0);
            for (int a : n) {
                if (a == 0) bold_ = reverse_ = false;
                if (a == 1) bold_ = true;
                if (a == 7) reverse_ = true;
            }
            break;
        default:
            break;
        }
    }

    std::array<std::array<Cell, kColumns>, kRows> cells_{};
    int row_ = 0, column_ = 0;
    bool bold_ = false, reverse_ = false, cursorVisible_ = true;
};

struct Offer {
    std::string name;
    std::vector<std::string> depends;
    std::string description;
};

std::string packageBytes(const Offer& offer) {
    PackageContent content;
    content.name = offer.name;
    content.version = packVersion(1, 0);
    content.buildTime = 1000;
    if (!offer.description.empty()) content.description = offer.description;
    if (!offer.depends.empty()) {
        std::vector<DependencyEntry> list;
        for (const std::string& d : offer.depends) list.push_back({d, 0, 0, 0});
        content.dependencies = list;
    }
    content.files = std::vector<FileEntry>{};
    std::ostringstream out;
    PackageWriter writer(out);
    std::string error;
    EXPECT_TRUE(writePackage(writer, content, error)) << error;
    EXPECT_TRUE(writer.finish());
    return out.str();
}

// A sandbox whose "/floppy" offers the packages; its first process runs
// `body` and then prints the outcome on a line of its own:
// "RESULT <i|q> <selected names> | <installation order>".
class MenuMachine {
public:
    explicit MenuMachine(const std::vector<Offer>& offers, std::function<bool(PackageMenu&)> body = runMenu) {
        sandbox::Options o;
        o.console = true;
        o.timeoutMs = 60000;
        for (const Offer& offer : offers) o.files.push_back({"/floppy/" + offer.name + ".vpk", packageBytes(offer)});
        box_ = std::make_unique<sandbox::Sandbox>(o);
        EXPECT_TRUE(box_->start([body] {
            PackageMenu menu;
            if (!loadPackageFiles(menu)) return 3;
            bool install = body(menu);
            std::vector<PackageArchive*> order;
            installOrder(menu, order);
            std::string line = install ? "\nRESULT i" : "\nRESULT q";
            for (auto& p : menu.packages)
                if (p->selected) line += " " + p->name;
            line += " |";
            for (PackageArchive* p : order) line += " " + p->name;
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
            return 0;
        }));
        // Keys typed before the menu is in raw mode would be thrown away.
        EXPECT_TRUE(waitUntil([](const Screen& s) { return s.line(21).find("(depends on ") != std::string::npos; }))
            << box_->transcript();
    }

    Screen screen() const { return Screen(box_->transcript()); }

    bool waitUntil(const std::function<bool(const Screen&)>& ready, int timeoutMs = 10000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (ready(screen())) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            box_->drain(20);
        }
    }

    // Types keys and waits until the details line names `current`.
    void press(const std::string& keys, const std::string& current) {
        box_->send(keys);
        EXPECT_TRUE(waitUntil([&](const Screen& s) { return s.line(21).rfind(current + " (depends on ", 0) == 0; }))
            << "after " << keys << ":\n" << screen().text();
    }

    // Types keys and waits until the item line shows `mark` ("[X] name").
    void pressUntilShown(const std::string& keys, const std::string& mark) {
        box_->send(keys);
        EXPECT_TRUE(waitUntil([&](const Screen& s) { return s.text().find(mark) != std::string::npos; }))
            << "after " << keys << ":\n" << screen().text();
    }

    std::string finish(const std::string& keys) {
        box_->send(keys);
        EXPECT_TRUE(box_->waitFor("RESULT")) << box_->transcript();
        auto r = box_->wait();
        EXPECT_TRUE(r.exited && r.exitStatus == 0) << r.output;
        size_t at = r.output.find("RESULT ");
        if (at == std::string::npos) return "";
        return r.output.substr(at + 7, r.output.find('\r', at) - at - 7);
    }

    sandbox::Sandbox& box() { return *box_; }

private:
    std::unique_ptr<sandbox::Sandbox> box_;
};

// The text of item i's cells, from the column the menu sends on.
std::string itemText(const Screen& s, int row, int column, size_t length) {
    return s.line(row).substr(column == 0 ? 0 : column - 1, length);
}

const std::vector<Offer> kSeven = {
    {"d", {}, ""}, {"a", {}, "first of the rest"}, {"system", {}, "The base system."},
    {"c", {}, ""}, {"ppp", {"system"}, ""}, {"b", {}, ""}, {"dhcp", {"system"}, ""},
};

TEST(Menu, SevenPackagesStandInThreeColumnsAndTheRightArrowKeepsInside) {
    MenuMachine m(kSeven);
    Screen s = m.screen();
    EXPECT_FALSE(s.cursorVisible());
    // Title centred and bold, then the help text wrapped at 77 columns.
    EXPECT_EQ(s.line(1), std::string(16, ' ') + "Welcome to Tarnwick Router Software installation");
    EXPECT_TRUE(s.cell(1, 17).bold);
    EXPECT_EQ(s.line(2), "");
    EXPECT_EQ(s.line(3),
              "Move around menu using 'p' and 'n' or arrow keys, select with 'spacebar'.");
    EXPECT_EQ(s.line(4), "Select all with 'a', minimum with 'm'. Press 'i' to install locally or 'q' to");
    EXPECT_EQ(s.line(5), "cancel and reboot.");
    EXPECT_FALSE(s.cell(3, 1).bold);
    // rows = 3: items 0-2 in column 0, 3-5 at 26, item 6 at 52; only "system" selected.
    const char* order[] = {"system", "ppp", "dhcp", "a", "b", "c", "d"};
    for (int i = 0; i < 7; ++i) {
        int row = i % 3 + 7, column = i / 3 * 26;
        std::string expected = std::string("  [") + (i == 0 ? 'X' : ' ') + "] " + order[i];
        EXPECT_EQ(itemText(s, row, column, expected.size()), expected) << s.text();
    }
    // The current item is in reverse video from the cell after the blank.
    EXPECT_FALSE(s.cell(7, 1).reverse);
    EXPECT_TRUE(s.cell(7, 2).reverse);
    EXPECT_FALSE(s.cell(8, 2).reverse);
    EXPECT_EQ(s.line(21), "system (depends on nothing):");
    EXPECT_EQ(s.line(22), "The base system.");

    m.press("nnnn", "b");  // item 4
    m.press("\e[C", "b");  // 4 + 3 = 7 is not < 7: no move
    m.press("p", "a");      // item 3
    m.press("\e[C", "d");  // 3 + 3 = 6
    EXPECT_TRUE(m.screen().cell(7, 54).reverse);
    EXPECT_FALSE(m.screen().cell(7, 28).reverse);
    m.press("\e[D\e[D", "system");
    m.press("\e[D", "system");  // nothing further left
    m.press("\e[B\e[B", "dhcp");
    m.press("\e[A", "ppp");
    EXPECT_EQ(m.screen().line(21), "ppp (depends on system):");
    m.press("P", "system");
    m.press("p", "system");
    EXPECT_EQ(m.finish("q"), "q system | system");
    EXPECT_TRUE(m.screen().cursorVisible());
}

TEST(Menu, LeadingNamesComeFirstAndTheOrderPutsDependenciesFirst) {
    MenuMachine m({{"a", {"dhcp"}, ""}, {"system", {}, ""}, {"dhcp", {"ppp"}, ""}, {"ppp", {"system"}, ""}});
    Screen s = m.screen();
    // rows = 2: system, ppp in column 0; dhcp, a in column 26.
    EXPECT_EQ(itemText(s, 7, 0, 12), "  [X] system");
    EXPECT_EQ(itemText(s, 8, 0, 9), "  [ ] ppp");
    EXPECT_EQ(itemText(s, 7, 26, 10), "  [ ] dhcp");
    EXPECT_EQ(itemText(s, 8, 26, 7), "  [ ] a");
    // Selecting "a" picks up its chain; the order lists dependencies first.
    m.press("\e[C\e[B", "a");
    m.pressUntilShown(" ", "[X] a");
    EXPECT_EQ(m.finish("i"), "i system ppp dhcp a | system ppp dhcp a");
}

TEST(Menu, ASinglePackageAndMinimumWithoutSystem) {
    MenuMachine m({{"dhcp", {}, "Addresses for the LAN."}});
    Screen s = m.screen();
    EXPECT_EQ(itemText(s, 7, 0, 10), "  [ ] dhcp");
    EXPECT_EQ(s.line(8), "");
    EXPECT_EQ(s.line(21), "dhcp (depends on nothing):");
    m.press("n\e[C\e[B", "dhcp");  // no other item to go to
    m.pressUntilShown(" ", "[X] dhcp");
    m.pressUntilShown("m", "[ ] dhcp");  // minimum without "system": nothing
    EXPECT_EQ(m.finish("I"), "i |");
}

TEST(Menu, SystemStaysSelectedAndAllAndMinimumMarkEverythingOrJustIt) {
    MenuMachine m(kSeven);
    m.pressUntilShown(" ", "[X] system");
    m.box().drain(200);
    EXPECT_NE(m.screen().text().find("[X] system"), std::string::npos);
    m.pressUntilShown("a", "[X] d");
    Screen s = m.screen();
    for (const char* name : {"system", "ppp", "dhcp", "a", "b", "c"})
        EXPECT_NE(s.text().find(std::string("[X] ") + name), std::string::npos) << name;
    m.pressUntilShown("M", "[ ] d");
    s = m.screen();
    EXPECT_NE(s.text().find("[X] system"), std::string::npos);
    EXPECT_EQ(s.text().find("[X] a"), std::string::npos);
    EXPECT_EQ(m.finish("i"), "i system | system");
}

TEST(Menu, SelectionFollowsTheChainAndDeselectionOnlyDirectDependents) {
    MenuMachine m({{"system", {}, ""},
                   {"a", {"b"}, ""},
                   {"b", {"c", "missing"}, ""},
                   {"c", {}, ""},
                   {"d", {"a"}, ""},
                   {"e", {"b"}, ""}});
    // rows = 2: system, a | b, c | d, e
    m.press("n", "a");
    EXPECT_EQ(m.screen().line(21), "a (depends on b):");
    m.pressUntilShown(" ", "[X] c");
    Screen s = m.screen();
    EXPECT_NE(s.text().find("[X] a"), std::string::npos);
    EXPECT_NE(s.text().find("[X] b"), std::string::npos);
    m.press("nnn", "d");
    m.pressUntilShown(" ", "[X] d");
    m.press("\e[D", "b");
    EXPECT_EQ(m.screen().line(21), "b (depends on c, missing):");
    m.press("n", "c");
    EXPECT_EQ(m.screen().line(21), "c (depends on nothing):");
    m.press("p", "b");
    // b goes, with a which needs it directly; d (through a) and c stay.
    m.pressUntilShown(" ", "[ ] b");
    std::string result = m.finish("i");
    EXPECT_EQ(result.substr(0, result.find('|')), "i system c d ");
}

TEST(Menu, EscapeThenQCancelsAndUnknownSequencesAreIgnored) {
    MenuMachine m(kSeven);
    m.press("\e[Z\ex\en", "ppp");  // ESC [ Z ignored; after ESC, 'x' and 'n' are plain keys
    EXPECT_EQ(m.finish("\eq"), "q system | system");
}

TEST(Menu, EndOfKeyInputCancels) {
    MenuMachine m({{"system", {}, ""}}, [](PackageMenu& menu) {
        close(0);
        return runMenu(menu);
    });
    EXPECT_EQ(m.finish(""), "q system | system");
}

// A flow that runs in raw mode keeps it after the menu: its questions take
// single keys.
TEST(Menu, AFlowInRawModeStaysInIt) {
    MenuMachine m({{"system", {}, ""}}, [](PackageMenu& menu) {
        enterRawMode(consoleState);
        bool install = runMenu(menu);
        bool yes = askYesNo("Continue?");
        return install && yes;
    });
    m.box().send("i");
    ASSERT_TRUE(m.box().waitFor("Continue? [y/n]:")) << m.box().transcript();
    EXPECT_EQ(m.finish("y"), "i system | system");
}

TEST(Menu, MoreThanAScreenfulGoesOnPagesAndLeavesTheDetailsAlone) {
    std::vector<Offer> offers;
    for (int i = 0; i < 50; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "p%02d", i);
        offers.push_back({name, {}, ""});
    }
    MenuMachine m(offers);
    Screen s = m.screen();
    EXPECT_EQ(itemText(s, 7, 0, 9), "  [ ] p00");
    EXPECT_EQ(itemText(s, 20, 52, 9), "  [ ] p41");
    EXPECT_EQ(s.text().find("p42"), std::string::npos);
    EXPECT_EQ(s.line(24), "Page 1 of 2");
    // The right arrow from the third column turns the page.
    m.press("\e[C\e[C\e[C", "p42");
    s = m.screen();
    EXPECT_EQ(itemText(s, 7, 0, 9), "  [ ] p42");
    EXPECT_EQ(itemText(s, 14, 0, 9), "  [ ] p49");
    EXPECT_EQ(s.text().find("p41"), std::string::npos);
    EXPECT_EQ(s.line(24), "Page 2 of 2");
    EXPECT_EQ(s.line(21), "p42 (depends on nothing):");
    EXPECT_EQ(s.line(22), "");
    m.press("p", "p41");
    EXPECT_EQ(itemText(m.screen(), 20, 52, 9), "  [ ] p41");
    m.finish("q");
}

TEST(Menu, MissingOrBadPackageFilesAreFatal) {
    auto load = [](std::vector<sandbox::File> files) {
        sandbox::Options o;
        o.files = std::move(files);
        return sandbox::run(o, [] {
            PackageMenu menu;
            bool ok = loadPackageFiles(menu);
            std::fflush(stdout);
            return ok ? 0 : 1;
        });
    };
    auto r = load({{"/floppy/notes.txt", "x"}, {"/floppy/other.wpk", packageBytes({"other", {}, ""})}});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.output, "FATAL ERROR: No packages found\n");
    r = load({{"/floppy/a.vpk", packageBytes({"a", {}, ""})}, {"/floppy/b.vpk", "garbage, not a package"}});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.output.rfind("FATAL ERROR: Bad package ", 0), 0u) << r.output;
}

// Output of the drawing helpers, taken from standard output.
std::string printed(const std::function<void()>& draw) {
    std::fflush(stdout);
    char path[] = "/tmp/menu-output-XXXXXX";
    int fd = mkstemp(path);
    int saved = dup(1);
    dup2(fd, 1);
    draw();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text = sandbox::readFile(path);
    close(fd);
    unlink(path);
    return text;
}

TEST(MenuText, WrapCentreAndAttributes) {
    EXPECT_EQ(printed([] { printWrapped(""); }), "\n");
    EXPECT_EQ(printed([] { printWrapped("two  words\nhere"); }), "two words here \n");
    std::string longWord(80, 'w');
    EXPECT_EQ(printed([&] { printWrapped(longWord + " end"); }), "\n" + longWord + " \nend \n");
    // 77 columns: a line may reach 77 characters with its trailing blank only.
    std::string a(38, 'a'), b(38, 'b');
    EXPECT_EQ(printed([&] { printWrapped(a + " " + b + " c"); }), a + " " + b + " \nc \n");
    EXPECT_EQ(printed([] { printCentered("abcd", 4, true); }), std::string(38, ' ') + "abcd\n");
    EXPECT_EQ(printed([] { printCentered("abcd", 2, false); }), "ab\n");
    EXPECT_EQ(printed([] { setTextAttributes(0); }), "\e[m");
    EXPECT_EQ(printed([] { setTextAttributes(15); }), "\e[m\e[4m\e[7m\e[5m\e[1m");
}

TEST(MenuText, LeadingNamesStayInsideAShortList) {
    PackageMenu menu;
    for (const char* name : {"dhcp", "b"}) {
        menu.packages.push_back(std::make_unique<PackageArchive>());
        menu.packages.back()->name = name;
    }
    placeLeadingPackages(menu);  // "dhcp" belongs at 2, but only 1 other entry exists
    ASSERT_EQ(menu.count(), 2u);
    EXPECT_EQ(menu.packages[0]->name, "b");
    EXPECT_EQ(menu.packages[1]->name, "dhcp");
    EXPECT_EQ(findPackage(menu, "dhcp"), 1);
    EXPECT_EQ(findPackage(menu, "dhc"), -1);
}

}  // namespace

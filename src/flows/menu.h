// The package selection menu of the local installations: the package files of
// "/floppy", a full-screen choice on an 80x25 ANSI console, and the chosen
// packages in installation order.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "archive/format.h"

// Item rows 7 to 20 hold 14 rows of three columns: 42 items. Longer lists
// are shown a page of 42 at a time, so nothing is drawn over the details.
constexpr unsigned kMenuColumns = 3;
constexpr unsigned kMenuRowsPerPage = 14;
constexpr unsigned kMenuPageItems = kMenuColumns * kMenuRowsPerPage;

struct PackageMenu {
    std::vector<std::unique_ptr<PackageArchive>> packages;  // menu order
    unsigned cursor = 0;
    unsigned rows = 0;  // rows per column, set when the menu starts

    size_t count() const { return packages.size(); }
};

// Names that always lead the list, in this order, when offered.
extern const char* const leadingPackageNames[3];

// Reads every ".vpk" of "/floppy" (sorted by name, the leading names first).
// False, with a fatal message, when there is none or one is unreadable.
bool loadPackageFiles(PackageMenu& menu);

// Puts the leading names in front of a name-sorted list; a name whose place
// lies beyond the list's end goes to the end.
void placeLeadingPackages(PackageMenu& menu);

// Runs the menu on the console: true for 'i' (install), false for 'q'. The
// packages' `selected` flags carry the choice. End of key input cancels.
bool runMenu(PackageMenu& menu);

// The space key: selects a package with its offered dependencies (and
// theirs), or deselects it with the packages that depend on it directly.
// "system" stays selected.
void toggleSelection(PackageMenu& menu, size_t index);

// Only "system" selected.
void selectMinimum(PackageMenu& menu);

// The selected packages, dependencies first (references into the menu).
void installOrder(PackageMenu& menu, std::vector<PackageArchive*>& order);

// Index of the package named exactly `name`, or -1.
int findPackage(const PackageMenu& menu, const std::string& name);

// Console output helpers, also used for the flows' own texts.
// Bits: 1 underline, 2 reverse, 4 blink, 8 bold; 0 plain.
void setTextAttributes(unsigned bits);
// Writes `length` bytes and a newline, after (80 - length) / 2 blanks when centred.
void printCentered(const char* text, size_t length, bool centre);
// Word wrap at 77 columns.
void printWrapped(const std::string& text);

#include "pkg/repository.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <queue>

#include "archive/partstream.h"
#include "archive/rootfs.h"
#include "pkg/database.h"
#include "pkg/transaction.h"
#include "pkg/relation_index.h"

namespace {

// Width of the console line that a message clears before it is printed.
constexpr int kClearWidth = 79;
// A progress bar line is 77 columns: the label, " [", the bar and "]".
constexpr int kBarLineWidth = 76;

int32_t precedence(const DependencyEntry& entry) { return int32_t(entry.extra); }

}  // namespace

// ---- relations -------------------------------------------------------------

bool isRelated(const PackageHeader& package, const std::string& name) {
    if (package.name == name)
        return true;
    for (const PackageHeader& member : package.members)
        if (member.name == name)
            return true;
    return false;
}

bool meets(const PackageHeader& b, const DependencyEntry& entry) {
    if (satisfies(b, entry))
        return true;
    for (const DependencyEntry& provided : b.provides)
        if (overlaps(provided, entry))
            return true;
    return false;
}

bool dependsOn(const PackageHeader& a, const PackageHeader& b) {
    for (const DependencyEntry& dependency : a.dependencies)
        if (meets(b, dependency))
            return true;
    for (const PackageHeader& member : b.members)
        if (dependsOn(a, member))
            return true;
    for (const PackageHeader& member : a.members)
        if (dependsOn(member, b))
            return true;
    return false;
}

bool conflictsWith(const PackageHeader& a, const PackageHeader& b) {
    for (const DependencyEntry& conflict : a.conflicts)
        if (satisfies(b, conflict))
            return true;
    // Provided names settle precedence at the first name that matches, even
    // when the verdict is "no".
    for (const DependencyEntry& provided : b.provides)
        if (provided.name == a.name)
            return precedence(provided) < 0;
    for (const DependencyEntry& mine : a.provides) {
        if (mine.name == b.name)
            return precedence(mine) >= 0;
        for (const DependencyEntry& theirs : b.provides)
            if (theirs.name == mine.name)
                return precedence(mine) > precedence(theirs);
    }
    for (const DependencyEntry& conflict : a.conflicts)
        for (const DependencyEntry& provided : b.provides)
            if (overlaps(provided, conflict))
                return true;
    for (const PackageHeader& member : b.members)
        if (member.name == a.name)
            return true;
    for (const PackageHeader& member : a.members)
        if (conflictsWith(member, b))
            return true;
    return false;
}

// ---- loading and lookup ----------------------------------------------------

Repository& theRepository() {
    static Repository* repository = new Repository;
    return *repository;
}

void Repository::openRepository(bool beQuiet) {
    quiet = beQuiet;
    // An installation that an earlier run left half done is finished or
    // undone before anything is read.
    (void)recoverTransaction();
    // The database directory is opened with no link on the way: one planted
    // by a package would lead the loading (and the removals that follow)
    // elsewhere.
    int fd = InstallRoot("/flash").openNoLinks("var/pdb", O_RDONLY | O_DIRECTORY);
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        printWarning("could not open repo");
        return;
    }
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        auto package = std::make_unique<Package>();
        loadFromDatabase(*package, entry->d_name, false);
        packages.push_back(std::move(package));
    }
    ::closedir(dir);
}

int Repository::findInstalled(const std::string& name) const {
    for (size_t i = 0; i < packages.size(); ++i)
        if (packages[i]->name == name)
            return int(i);
    return -1;
}

Package* Repository::findInstalledPackage(const std::string& name) const {
    int index = findInstalled(name);
    return index < 0 ? nullptr : packages[size_t(index)].get();
}

// ---- console output --------------------------------------------------------

void Repository::write(const std::string& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

void Repository::vprint(const char* prefix, const char* format, va_list args) {
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    if (quiet)
        return;
    if (!progressLine.empty())
        write("\r" + std::string(kClearWidth, ' ') + "\r");
    write(std::string(prefix) + text + "\n");
    if (!progressLine.empty())
        write(progressLine);
}

void Repository::printInfo(const char* format, ...) {
    showProgress("");
    va_list args;
    va_start(args, format);
    vprint("", format, args);
    va_end(args);
}

void Repository::printWarning(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprint("WARNING: ", format, args);
    va_end(args);
}

void Repository::printError(const char* format, ...) {
    showProgress("");
    va_list args;
    va_start(args, format);
    vprint("ERROR: ", format, args);
    va_end(args);
}

void Repository::showProgress(const std::string& text) {
    if (quiet || text == progressLine)
        return;
    std::string bytes = "\033[?25l\r" + text;
    if (progressLine.size() > text.size())
        bytes.append(progressLine.size() - text.size(), ' ');
    bytes += "\r\033[?25h";
    write(bytes);
    progressLine = text;
}

void Repository::showProgressBar(uint64_t done, uint64_t total, const std::string& label) {
    std::string text = label + " [";
    const uint64_t width = text.size() < kBarLineWidth ? kBarLineWidth - text.size() : 0;
    // Bytes after the declared end are still read as parts, so `done` may pass
    // `total`: the bar stays full then.
    uint64_t filled = total == 0 ? 0 : std::min<uint64_t>(done * width / total, width);
    text.append(filled, '#');
    text.append(width - filled, ' ');
    text += ']';
    showProgress(text);
}

void Repository::showProgressBar(PackagePartStream& stream, const std::string& label) {
    // Asked of the buffer, not the stream: a failed stream answers tellg with -1.
    std::streamoff inPart = stream.partBuffer().pubseekoff(0, std::ios_base::cur, std::ios_base::in);
    uint64_t done = uint64_t(stream.partOffset()) + (inPart > 0 ? uint64_t(inPart) : 0);
    showProgressBar(done, stream.totalLength(), label);
}

// ---- admission ---------------------------------------------------------------

std::vector<Package*> Repository::findCandidates(const DependencyEntry& entry, bool includeDisabled) const {
    std::vector<Package*> found;
    for (const auto& package : packages) {
        if (package->disabled && !includeDisabled)
            continue;
        if (meets(*package, entry))
            found.push_back(package.get());
    }
    return found;
}

CandidateState Repository::candidateState(const std::vector<Package*>& candidates) {
    bool possible = false;
    for (const Package* candidate : candidates) {
        switch (candidate->scheduled) {
        case ScheduledAction::none:
            if (!candidate->disabled)
                return CandidateState::met;
            possible = true;
            break;
        case ScheduledAction::enable:
            // An enabled package scheduled for enabling stays active as well.
            return CandidateState::met;
        case ScheduledAction::disable:
            possible = true;
            break;
        case ScheduledAction::uninstall:
            if (candidate->disabled)
                possible = true;
            break;
        }
    }
    return possible ? CandidateState::inactive : CandidateState::unavailable;
}

Package* Repository::firstConflicting(const PackageHeader& package) const {
    for (const auto& installed : packages)
        if (!installed->disabled && conflictsWith(*installed, package))
            return installed.get();
    return nullptr;
}

unsigned Repository::checkInstall(const PackageHeader& package, unsigned permitted) {
    unsigned obstacles = 0;
    bool reported = false;
    const std::string name = label(package);
    if (const Package* installed = findInstalledPackage(package.name)) {
        int order = comparePackages(package, *installed);
        if (order < 0) {
            obstacles |= kDowngrade;
            if (!(permitted & kDowngrade)) {
                printWarning("omitting package %s: newer package %s is already installed", name.c_str(),
                             label(*installed).c_str());
                reported = true;
            }
        } else if (order > 0) {
            obstacles |= kUpgrade;
        } else {
            obstacles |= kSameVersion;
            if (!(permitted & kSameVersion)) {
                printWarning("omitting package %s: it is already installed", name.c_str());
                reported = true;
            }
        }
    }
    if (!package.architecture.empty() && package.architecture != "i386") {
        obstacles |= kUnusable;
        if (!reported && !(permitted & kUnusable)) {
            printError("can not install %s: it is not made for %s, but for %s", name.c_str(), "i386",
                       package.architecture.c_str());
            reported = true;
        }
    }
    for (const DependencyEntry& dependency : package.dependencies) {
        if (!findCandidates(dependency, false).empty())
            continue;
        obstacles |= kUnusable;
        if (!reported && !(permitted & kUnusable)) {
            printError("can not install %s: %s is not installed, but is required", name.c_str(),
                       label(dependency).c_str());
            reported = true;
        }
        break;
    }
    if (const Package* excluding = firstConflicting(package)) {
        obstacles |= kConflict;
        if (!reported && !(permitted & kConflict))
            printError("can not install %s: it conflicts with %s", name.c_str(), label(*excluding).c_str());
    }
    return obstacles;
}

// ---- ordering ----------------------------------------------------------------

namespace {

// Positions (in `list`) of the entries that survive the comparison with every
// related entry, in list order.
std::vector<uint32_t> selectEntries(Repository& repository, const std::vector<PackageHeader*>& list,
                                    bool preferOlder, bool verbose) {
    // Entries by own name, and by own or member name, so that each entry meets
    // only the entries it is related to.
    std::unordered_map<std::string_view, std::vector<uint32_t>> byName, byRelatedName;
    for (uint32_t i = 0; i < list.size(); ++i) {
        byName[list[i]->name].push_back(i);
        std::vector<uint32_t>& related = byRelatedName[list[i]->name];
        related.push_back(i);
        for (const PackageHeader& member : list[i]->members) {
            std::vector<uint32_t>& others = byRelatedName[member.name];
            if (others.empty() || others.back() != i)
                others.push_back(i);
        }
    }
    std::vector<uint32_t> kept;
    std::vector<uint32_t> related;
    for (uint32_t p = 0; p < list.size(); ++p) {
        const PackageHeader& entry = *list[p];
        related.clear();
        // q with isRelated(q, p's name), and q whose name p is related to.
        auto add = [&](auto& index, std::string_view name) {
            auto found = index.find(name);
            if (found != index.end())
                related.insert(related.end(), found->second.begin(), found->second.end());
        };
        add(byRelatedName, entry.name);
        add(byName, entry.name);
        for (const PackageHeader& member : entry.members)
            add(byName, member.name);
        std::sort(related.begin(), related.end());
        related.erase(std::unique(related.begin(), related.end()), related.end());

        bool keep = true;
        for (uint32_t q : related) {
            if (q == p)
                continue;
            int order = comparePackages(*list[q], entry, preferOlder);
            if (order < 0)
                continue;
            if (order > 0) {
                if (verbose)
                    repository.printWarning(preferOlder ? "omitting package %s: older package is already provided"
                                                        : "omitting package %s: newer package is already provided",
                                            label(entry).c_str());
                keep = false;
                break;
            }
            if (entry.isBundle && !list[q]->isBundle)
                continue;
            keep = false;
            break;
        }
        if (keep)
            kept.push_back(p);
    }
    return kept;
}

}  // namespace

void Repository::orderPackages(std::vector<PackageHeader*>& list, bool preferOlder, bool verbose) {
    const std::vector<uint32_t> keptPositions = selectEntries(*this, list, preferOlder, verbose);
    std::vector<const PackageHeader*> kept;
    for (uint32_t position : keptPositions)
        kept.push_back(list[position]);
    const uint32_t count = uint32_t(kept.size());

    // For each entry, the entries it must follow: those it depends on and
    // those that exclude it.
    RelationIndex index(kept);
    std::vector<std::vector<uint32_t>> before(count);
    for (uint32_t p = 0; p < count; ++p)
        for (uint32_t q : index.mayPrecede(*kept[p], int(p)))
            if (dependsOn(*kept[p], *kept[q]) || conflictsWith(*kept[q], *kept[p]))
                before[p].push_back(q);

    // Insertion: each entry goes right after the last entry of the result that
    // it must follow, or to the front.
    std::vector<uint32_t> order;
    order.reserve(count);
    std::vector<char> marked(count, 0);
    for (uint32_t p = 0; p < count; ++p) {
        for (uint32_t q : before[p])
            marked[q] = 1;
        auto at = order.end();
        while (at != order.begin() && !marked[*(at - 1)])
            --at;
        order.insert(at, p);
        for (uint32_t q : before[p])
            marked[q] = 0;
    }

    // Insertion alone does not always deliver its promise: an entry inserted
    // early may itself have to follow one that arrives later ([base, app, lib]
    // with app needing lib gives app before lib). When that happens, repair the
    // order stably: repeatedly take the earliest entry whose ties are all
    // placed; a cycle of ties is broken at its earliest entry.
    std::vector<uint32_t> rank(count);
    for (uint32_t r = 0; r < count; ++r)
        rank[order[r]] = r;
    bool valid = true;
    for (uint32_t p = 0; p < count && valid; ++p)
        for (uint32_t q : before[p])
            if (rank[q] > rank[p]) {
                valid = false;
                break;
            }
    if (!valid) {
        std::vector<uint32_t> waiting(count, 0);
        std::vector<std::vector<uint32_t>> after(count);
        for (uint32_t p = 0; p < count; ++p) {
            waiting[p] = uint32_t(before[p].size());
            for (uint32_t q : before[p])
                after[q].push_back(p);
        }
        std::priority_queue<uint32_t, std::vector<uint32_t>, std::greater<>> ready;
        for (uint32_t p = 0; p < count; ++p)
            if (waiting[p] == 0)
                ready.push(rank[p]);
        std::vector<char> placed(count, 0);
        std::vector<uint32_t> repaired;
        repaired.reserve(count);
        uint32_t earliest = 0;
        while (repaired.size() < count) {
            uint32_t p;
            if (!ready.empty()) {
                p = order[ready.top()];
                ready.pop();
                if (placed[p])
                    continue;
            } else {
                while (placed[order[earliest]])
                    ++earliest;
                p = order[earliest];
            }
            placed[p] = 1;
            repaired.push_back(p);
            for (uint32_t s : after[p])
                if (--waiting[s] == 0 && !placed[s])
                    ready.push(rank[s]);
        }
        order.swap(repaired);
    }

    list.clear();
    for (uint32_t p : order)
        list.push_back(const_cast<PackageHeader*>(kept[p]));
}

// How ordering and schedule resolution grow with the number of installed
// packages. Synthetic repositories of 250 to 2000 packages with a realistic
// shape: most packages need one to four others (mostly libraries lower in the
// stack), some provide shared names with precedences, a few exclude others,
// some belong to bundles, some are disabled, and a share of them carries a
// scheduled action. Prints the time at 1000 packages and the growth exponent
// (slope of log time over log size). The schedule is carried out inside a
// sandbox, since it deletes and writes under /flash.
#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "pkg/repository.h"
#include "pkg/schedule.h"
#include "sandbox/sandbox.h"

namespace {

std::string nameOf(int i) { return "pkg" + std::to_string(i); }

void fill(Repository& repository, int count, unsigned seed, bool withSchedule) {
    std::mt19937 random(seed);
    const int virtuals = std::max(1, count / 50);
    for (int i = 0; i < count; ++i) {
        auto p = std::make_unique<Package>();
        p->name = nameOf(i);
        p->version = 0x01006600u + unsigned(random() % 40);
        p->buildTime = random();
        p->architecture = "i386";
        if (i > 0) {
            const int fanOut = 1 + int(random() % 4);
            for (int d = 0; d < fanOut; ++d) {
                // Libraries sit low: half of the needs go to the first tenth.
                int target = random() % 2 ? int(random() % std::max(1, i / 10 + 1)) : int(random() % i);
                p->dependencies.push_back(DependencyEntry{nameOf(target), 0, 0, 0});
            }
            if (random() % 25 == 0)
                p->dependencies.push_back(DependencyEntry{"virtual" + std::to_string(random() % virtuals), 0, 0, 0});
        }
        if (random() % 20 == 0)
            p->provides.push_back(
                DependencyEntry{"virtual" + std::to_string(random() % virtuals), 0, 0, uint32_t(int32_t(random() % 7) - 2)});
        if (i + 1 < count && random() % 50 == 0)
            p->conflicts.push_back(DependencyEntry{nameOf(i + 1 + int(random() % (count - i - 1))), 0, 0, 0});
        if (i % 40 == 39) {
            p->isBundle = true;
        } else if (i >= 40 && random() % 10 == 0) {
            p->bundle = DependencyEntry{nameOf((i / 40) * 40 - 1), 0, 0, 0};
        }
        p->disabled = random() % 10 == 0;
        if (withSchedule) {
            switch (random() % 40) {
            case 0: p->scheduled = ScheduledAction::uninstall; break;
            case 1: p->scheduled = ScheduledAction::disable; break;
            case 2:
            case 3: if (p->disabled) p->scheduled = ScheduledAction::enable; break;
            default: break;
            }
        }
        repository.packages.push_back(std::move(p));
    }
}

// The machine is shared: processor time of this thread, not wall time, is
// what the code costs. In milliseconds.
double cpuNow() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

// Reference: the insertion pass alone, testing every pair as it goes.
std::vector<Package*> pairwiseInsertion(const std::vector<Package*>& list) {
    std::vector<Package*> result;
    for (Package* p : list) {
        auto at = result.end();
        while (at != result.begin() && !dependsOn(*p, **(at - 1)) && !conflictsWith(**(at - 1), *p))
            --at;
        result.insert(at, p);
    }
    return result;
}

// Best of a few runs, each on a fresh repository.
double timeOrdering(int count, double& referenceOut) {
    double best = 1e30;
    referenceOut = 1e30;
    for (int run = 0; run < 7; ++run) {
        Repository repository;
        repository.quiet = true;
        fill(repository, count, 1000 + unsigned(run), false);
        std::vector<Package*> list;
        for (auto& p : repository.packages)
            list.push_back(p.get());
        std::shuffle(list.begin(), list.end(), std::mt19937(unsigned(run)));
        auto referenceStart = cpuNow();
        volatile size_t sink = pairwiseInsertion(list).size();
        (void)sink;
        referenceOut = std::min(referenceOut, cpuNow() - referenceStart);
        auto start = cpuNow();
        repository.orderPackages(list, false, false);
        best = std::min(best, cpuNow() - start);
        if (list.size() < size_t(count) / 2)
            std::printf("unexpected: ordering kept %zu of %d\n", list.size(), count);
    }
    return best;
}

double timeSchedule(int count, size_t& changedOut) {
    double best = 1e30;
    for (int run = 0; run < 7; ++run) {
        Repository repository;
        repository.quiet = true;
        fill(repository, count, 2000 + unsigned(run), true);
        const size_t before = repository.packages.size();
        auto start = cpuNow();
        applySchedule(repository, false);
        best = std::min(best, cpuNow() - start);
        changedOut = before - repository.packages.size();
    }
    return best;
}

double slope(const std::vector<int>& sizes, const std::vector<double>& times) {
    double mx = 0, my = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        mx += std::log(double(sizes[i]));
        my += std::log(times[i]);
    }
    mx /= double(sizes.size());
    my /= double(sizes.size());
    double num = 0, den = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        double dx = std::log(double(sizes[i])) - mx;
        num += dx * (std::log(times[i]) - my);
        den += dx * dx;
    }
    return num / den;
}

int body() {
    const std::vector<int> sizes{250, 500, 1000, 2000};
    std::vector<double> ordering, schedule, reference;
    std::printf("processor time, best of 7 repositories each\n");
    std::printf("%8s %14s %14s %18s %12s\n", "packages", "ordering (ms)", "pairwise (ms)", "applySchedule (ms)",
                "uninstalled");
    for (int count : sizes) {
        size_t uninstalled = 0;
        double pairwise = 0;
        ordering.push_back(timeOrdering(count, pairwise));
        reference.push_back(pairwise);
        schedule.push_back(timeSchedule(count, uninstalled));
        std::printf("%8d %14.3f %14.3f %18.3f %12zu\n", count, ordering.back(), reference.back(), schedule.back(),
                    uninstalled);
    }
    const double orderingExponent = slope(sizes, ordering), scheduleExponent = slope(sizes, schedule);
    std::printf("orderPackages: %.3f ms for 1000 packages (goal: under 50), growth exponent %.2f (goal: at most 2.2)\n",
                ordering[2], orderingExponent);
    std::printf("orderPackages against the pairwise insertion pass at 1000: %.2f times its time\n",
                ordering[2] / reference[2]);
    std::printf("applySchedule: %.3f ms for 1000 packages (goal: under 50), growth exponent %.2f (goal: at most 2.2)\n",
                schedule[2], scheduleExponent);
    const bool met = ordering[2] < 50 && schedule[2] < 50 && orderingExponent <= 2.2 && scheduleExponent <= 2.2;
    std::printf("%s\n", met ? "goals met" : "goals NOT met");
    return met ? 0 : 1;
}

}  // namespace

int main() {
    sandbox::Options options;
    options.newNetwork = false;
    options.timeoutMs = 600000;
    sandbox::Result result = sandbox::run(options, body);
    std::fputs(result.output.c_str(), stdout);
    return result.exited ? result.exitStatus : 2;
}

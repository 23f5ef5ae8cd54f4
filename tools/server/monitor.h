// What the administrator sees of a rack being installed: on a terminal a live
// table with one line per machine below the scrolling event lines; elsewhere
// (a log, a service) one plain line per event. Optionally a JSON report file,
// rewritten as things change, for scripts that follow the rack.
//
// Serving never waits for the output: it is written without blocking from a
// bounded buffer; lines that find no room are counted and the count is said
// once there is room again. Each machine's record and its share of the lines
// are bounded, whatever a station sends in its name.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "server.h"

namespace castdeploy {

class Monitor {
public:
    Monitor(const Server& server, std::string interface, std::string reportPath);
    // Writes what is left for a second at most and gives the output back as it was.
    ~Monitor();
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // A line of the server's own (start, errors, end).
    void note(const std::string& text);
    void event(const Event& e);
    // Called a few times a second: redraws the table, writes the report.
    void tick(int64_t nowUs);
    // The last report and the table's last state.
    void finish(int64_t nowUs);

    // False when the report file cannot be written (said once on the log).
    bool reportWritable() const { return reportOk_; }

private:
    // A machine that went past an offer, kept after its session is gone.
    struct Machine {
        MacAddress mac{};
        std::string label, kernel, info;
        std::string phase;      // drivers, installing, finishing, done, stopped, silent
        time_t started = 0, ended = 0;
        std::vector<std::pair<std::string, int64_t>> files;  // sent whole, in order
        std::string file;       // in transfer
        int64_t fileSize = 0, fileBytes = 0;
        int64_t bytes = 0;      // file data sent, repeats not counted
        int kind = -1;          // of the session last seen
        int64_t bytesBefore = 0, sessionBytes = 0;
        uint64_t repeats = 0, unanswered = 0;
        size_t fileIndex = 0, fileCount = 0;
        // Rate over the last seconds, from samples at ticks.
        int64_t sampleBytes = 0, sampleUs = 0;
        double rate = 0;
        bool live = false;
        bool preparing = false; // between the offer's acceptance and the start
        uint64_t order = 0;     // first seen
        uint64_t filesNotListed = 0;  // beyond kMaxFilesListed
        double lineTokens = -1; // lines about it that may be written now
        int64_t lineUs = -1;
        uint64_t linesUntold = 0;
    };

    void line(const std::string& text);
    void put(const std::string& text);  // into the output buffer, whole or not at all
    bool flush();                       // false: something is left
    bool tellAbout(Machine& m, int64_t nowUs);
    Machine& machine(const Session& s);
    void update(Machine& m, const Session& s, int64_t nowUs);
    std::string phaseOf(const Session& s, int64_t nowUs) const;
    void clearTable();
    void drawTable(int64_t nowUs);
    void writeReport();
    bool admit(int64_t nowUs);

    const Server& server_;
    std::string interface_;
    std::string reportPath_;
    bool tty_;
    int tableLines_ = 0;
    bool tableStale_ = false;  // lines were written over it
    std::map<MacAddress, Machine> machines_;
    uint64_t seen_ = 0;
    bool dirty_ = true;
    bool reportOk_ = true;
    int64_t lastReportUs_ = -1, lastDrawUs_ = -1;
    time_t startedAt_;
    // Lines about new machines are rationed: a flood of broadcasts from
    // made-up addresses must not flood the log as well.
    double tokens_ = kBurst;
    int64_t tokensUs_ = -1;
    uint64_t untold_ = 0;
    uint64_t heldBack_ = 0;
    int64_t heldBackUs_ = -1;
    static constexpr double kBurst = 50, kPerSecond = 20;
    static constexpr size_t kMaxMachines = 4096;
    // Lines about one machine: a whole installation's worth at once, then one a second.
    static constexpr double kMachineLinesPerSecond = 1;
    size_t maxFilesListed() const;

    std::string out_;            // written to stdout as it takes it
    uint64_t linesLost_ = 0;     // found no room in out_
    int stdoutFlags_ = -1;       // as they were before
    static constexpr size_t kOutputBuffer = 256 << 10;
};

// "2026-12-09T17:05:00Z"
std::string isoTime(time_t t);
// A JSON string literal of any bytes (bytes outside ASCII as \u00XX).
std::string jsonString(std::string_view text);

}  // namespace castdeploy

#include "monitor.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace castdeploy {

namespace {

std::string localTime() {
    char buf[32];
    time_t t = time(nullptr);
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", localtime(&t));
    return buf;
}

std::string macText(const MacAddress& mac) { return proto::formatMac(mac).data(); }

// "12.3M", "512K", "900" (bytes)
std::string amount(int64_t n) {
    char buf[32];
    if (n >= 10 * 1000 * 1000)
        std::snprintf(buf, sizeof buf, "%.0fM", static_cast<double>(n) / 1e6);
    else if (n >= 1000 * 1000)
        std::snprintf(buf, sizeof buf, "%.1fM", static_cast<double>(n) / 1e6);
    else if (n >= 1000)
        std::snprintf(buf, sizeof buf, "%.0fK", static_cast<double>(n) / 1e3);
    else
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(n));
    return buf;
}

std::string bar(int64_t done, int64_t all, int width) {
    int filled = all > 0 ? static_cast<int>(std::min<int64_t>(done, all) * width / all) : width;
    return "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(width - filled), '.') +
           "]";
}

std::string describe(const Event& e) {
    const Session& s = *e.session;
    switch (e.kind) {
    case Event::SessionStarted:
        return s.kind == Session::Drivers
                   ? "asks for drivers (kernel " + printable(s.kernel) + ")"
                   : "looks for a server: label \"" + printable(s.label) + "\", " + printable(s.clientInfo);
    case Event::Accepted: return "accepted the offer, preparing its disk";
    case Event::Started: return "started the installation";
    case Event::FileStarted: return "sending " + printable(e.text);
    case Event::FileDone: return "sent " + printable(e.text);
    case Event::ListEnded:
        return "all files sent (" + std::to_string(s.bytesSent) + " bytes, " + std::to_string(s.repeats) +
               " repeated requests)";
    case Event::Ended:
        if (s.kind != Session::Install) return "drivers done";
        return s.wholeList ? "installation finished" : "asked to end before it had every file";
    case Event::Refused: return "refused: " + e.text;
    case Event::ChunkChanged: return e.text;
    case Event::Expired: return "silent too long: forgotten";
    case Event::Full: return "too many machines at once: a new one is turned away until sessions end";
    }
    return e.text;
}

}  // namespace

std::string isoTime(time_t t) {
    char buf[32];
    tm u;
    gmtime_r(&t, &u);
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &u);
    return buf;
}

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        }
    }
    return out + "\"";
}

Monitor::Monitor(const Server& server, std::string interface, std::string reportPath)
    : server_(server), interface_(std::move(interface)), reportPath_(std::move(reportPath)), tty_(isatty(1)),
      startedAt_(time(nullptr)) {}

// On a terminal the table goes while lines are written and comes back at the
// next tick, once for all the lines of a batch of requests.
void Monitor::line(const std::string& text) {
    clearTable();
    std::printf("%s %s\n", localTime().c_str(), text.c_str());
    tableStale_ = true;
    std::fflush(stdout);
}

void Monitor::note(const std::string& text) { line(text); }

bool Monitor::admit(int64_t nowUs) {
    if (tokensUs_ >= 0) tokens_ = std::min(kBurst, tokens_ + static_cast<double>(nowUs - tokensUs_) * kPerSecond / 1e6);
    tokensUs_ = nowUs;
    if (tokens_ < 1) {
        ++untold_;
        return false;
    }
    tokens_ -= 1;
    return true;
}

Monitor::Machine& Monitor::machine(const Session& s) {
    auto it = machines_.find(s.client);
    if (it == machines_.end()) {
        if (machines_.size() >= kMaxMachines) {
            // The report is for a rack; the oldest machine no longer at work makes room.
            auto oldest = machines_.end();
            for (auto m = machines_.begin(); m != machines_.end(); ++m)
                if (!m->second.live && (oldest == machines_.end() || m->second.order < oldest->second.order)) oldest = m;
            if (oldest != machines_.end()) machines_.erase(oldest);
        }
        it = machines_.emplace(s.client, Machine{}).first;
        it->second.mac = s.client;
        it->second.started = s.startedAt;
        it->second.order = ++seen_;
    }
    Machine& m = it->second;
    if (!s.label.empty()) m.label = s.label;
    if (!s.kernel.empty()) m.kernel = s.kernel;
    if (!s.clientInfo.empty()) m.info = s.clientInfo;
    m.live = true;
    return m;
}

std::string Monitor::phaseOf(const Session& s, int64_t nowUs) const {
    bool talking = s.kind == Session::Drivers ? !s.driversDone()
                                              : s.phase == Session::Started || s.phase == Session::Transferring;
    if (talking && s.phase != Session::Offered && nowUs - s.lastHeardUs > kSilentAfterUs) return "silent";
    if (s.kind == Session::Drivers) return "drivers";
    switch (s.phase) {
    case Session::Offered: return "offered";
    case Session::Accepted:
    case Session::Started:
    case Session::Transferring: return "installing";
    case Session::ListEnded: return "finishing";
    case Session::Ended: return s.wholeList ? "done" : "stopped";
    }
    return "?";
}

void Monitor::update(Machine& m, const Session& s, int64_t nowUs) {
    const Config& c = server_.config();
    std::string phase = phaseOf(s, nowUs);
    if (phase != m.phase) dirty_ = true;
    m.phase = phase;
    m.preparing = s.kind == Session::Install && s.phase == Session::Accepted;
    const std::vector<ServedFile>& files = s.kind == Session::Install ? c.files : std::vector<ServedFile>{c.drivers};
    m.fileCount = files.size();
    m.fileIndex = s.fileIndex;
    if (s.inFile && s.fileIndex < files.size()) {
        m.file = files[s.fileIndex].name;
        m.fileSize = files[s.fileIndex].size;
        if (m.fileBytes != s.offset) dirty_ = true;
        m.fileBytes = s.offset;
    } else {
        m.file.clear();
        m.fileSize = m.fileBytes = 0;
    }
    // A machine's driver session and its installation session are two sessions.
    if (m.kind != static_cast<int>(s.kind)) {
        m.bytesBefore += m.sessionBytes;
        m.kind = static_cast<int>(s.kind);
    }
    m.sessionBytes = s.bytesSent;
    m.bytes = m.bytesBefore + m.sessionBytes;
    m.repeats = s.repeats;
    m.unanswered = s.unanswered;
    if (m.sampleUs == 0 || nowUs < m.sampleUs) {
        m.sampleUs = nowUs;
        m.sampleBytes = m.bytes;
    } else if (nowUs - m.sampleUs >= 1000000) {
        m.rate = static_cast<double>(m.bytes - m.sampleBytes) * 1e6 / static_cast<double>(nowUs - m.sampleUs);
        m.sampleUs = nowUs;
        m.sampleBytes = m.bytes;
    }
}

void Monitor::event(const Event& e) {
    const Session& s = *e.session;
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    int64_t nowUs = static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    bool tell = true;
    switch (e.kind) {
    case Event::SessionStarted:
    case Event::Refused:
        tell = admit(nowUs);
        break;
    case Event::Accepted:
    case Event::Started:
    case Event::ListEnded:
        update(machine(s), s, nowUs);
        break;
    case Event::FileStarted:
        update(machine(s), s, nowUs);
        break;
    case Event::FileDone: {
        Machine& m = machine(s);
        const Config& c = server_.config();
        const std::vector<ServedFile>& files = s.kind == Session::Install ? c.files : std::vector<ServedFile>{c.drivers};
        int64_t size = 0;
        for (const auto& f : files)
            if (f.name == e.text) size = f.size;
        m.files.emplace_back(e.text, size);
        update(m, s, nowUs);
        break;
    }
    case Event::Ended: {
        Machine& m = machine(s);
        m.ended = s.endedAt;
        update(m, s, nowUs);
        break;
    }
    case Event::Expired: {
        // Only a machine that vanished at work is news; a finished one is
        // simply forgotten a minute after its end.
        auto it = machines_.find(s.client);
        tell = false;
        if (it != machines_.end()) {
            Machine& m = it->second;
            m.live = false;
            tell = s.phase != Session::Ended && !s.driversDone();
            if (tell) m.phase = "silent";
        }
        break;
    }
    case Event::ChunkChanged:
    case Event::Full:
        break;
    }
    dirty_ = true;
    if (!tell) return;
    if (e.kind == Event::Full)
        line(describe(e) + " (" + std::to_string(server_.config().maxSessions) + " sessions)");
    else
        line(macText(s.client) + " " + describe(e));
}

void Monitor::clearTable() {
    if (!tty_) return;
    for (int i = 0; i < tableLines_; ++i) std::fputs("\033[1A\033[2K", stdout);
    std::fputs("\r", stdout);
    tableLines_ = 0;
}

void Monitor::drawTable(int64_t nowUs) {
    if (!tty_) return;
    winsize ws{};
    int width = ioctl(1, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20 ? ws.ws_col : 120;
    int height = ioctl(1, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 6 ? ws.ws_row : 24;
    int room = std::max(4, height - 6);  // a few event lines stay in sight
    std::vector<std::string> rows;
    char buf[512];
    std::snprintf(buf, sizeof buf, "%-17s %-14s %-10s %-24s %-22s %8s %7s", "MACHINE", "LABEL", "PHASE", "FILE", "BYTES",
                  "RATE", "REPEATS");
    rows.push_back(buf);
    std::vector<const Machine*> list;
    for (const auto& [mac, m] : machines_) list.push_back(&m);
    // Machines at work first, those that ended after them; each in the order they came.
    auto ended = [](const Machine* m) { return m->phase == "done" || m->phase == "stopped"; };
    std::sort(list.begin(), list.end(), [&](const Machine* a, const Machine* b) {
        return ended(a) != ended(b) ? ended(b) : a->order < b->order;
    });
    size_t offered = 0;
    for (const auto& [mac, s] : server_.sessions())
        if (s.phase == Session::Offered && s.kind == Session::Install && !machines_.count(mac)) ++offered;
    size_t shown = 0;
    for (const Machine* m : list) {
        if (static_cast<int>(rows.size()) >= room) break;
        ++shown;
        std::string file = m->file.empty()
                               ? (m->preparing ? "(preparing its disk)"
                                               : std::to_string(m->files.size()) + " files received")
                               : std::to_string(m->fileIndex + 1) + "/" + std::to_string(m->fileCount) + " " + m->file;
        std::string bytes = m->file.empty() ? amount(m->bytes)
                                            : amount(m->fileBytes) + "/" + amount(m->fileSize) + " " +
                                                  bar(m->fileBytes, m->fileSize, 10);
        std::string rate = m->phase == "drivers" || m->phase == "installing" ? amount(static_cast<int64_t>(m->rate)) + "/s"
                                                                             : "";
        std::snprintf(buf, sizeof buf, "%-17s %-14.14s %-10s %-24.24s %-22.22s %8s %7llu", macText(m->mac).c_str(),
                      printable(m->label).c_str(), m->phase.c_str(), printable(file).c_str(), bytes.c_str(),
                      rate.c_str(), static_cast<unsigned long long>(m->repeats));
        rows.push_back(buf);
    }
    if (shown < list.size())
        rows.push_back("... and " + std::to_string(list.size() - shown) + " more machines" +
                       (reportPath_.empty() ? "" : " (see " + reportPath_ + ")"));
    if (offered) rows.push_back(std::to_string(offered) + " machines offered, not yet accepted");
    (void)nowUs;
    for (auto& r : rows) {
        if (static_cast<int>(r.size()) >= width) r.resize(static_cast<size_t>(width - 1));
        std::printf("%s\n", r.c_str());
        ++tableLines_;
    }
}

void Monitor::tick(int64_t nowUs) {
    for (auto& [mac, m] : machines_) m.live = false;
    for (const auto& [mac, s] : server_.sessions()) {
        auto it = machines_.find(mac);
        if (it == machines_.end()) continue;
        it->second.live = true;
        update(it->second, s, nowUs);
    }
    if (untold_ && (tokensUs_ < 0 || tokens_ >= 1)) {
        uint64_t n = untold_;
        untold_ = 0;
        line(std::to_string(n) + " more machines asked for an offer or were refused (not each shown: too many at once)");
    }
    if (server_.heldBack() > heldBack_ && (heldBackUs_ < 0 || nowUs - heldBackUs_ >= 5000000)) {
        line(std::to_string(server_.heldBack() - heldBack_) +
             " broadcasts of new machines held back (too many at once; a machine that asks again is answered)");
        heldBack_ = server_.heldBack();
        heldBackUs_ = nowUs;
    }
    if (tty_ && (tableStale_ || lastDrawUs_ < 0 || nowUs - lastDrawUs_ >= 500000)) {
        tableStale_ = false;
        clearTable();
        drawTable(nowUs);
        std::fflush(stdout);
        lastDrawUs_ = nowUs;
    }
    if (!reportPath_.empty() && dirty_ && (lastReportUs_ < 0 || nowUs - lastReportUs_ >= 500000)) {
        writeReport();
        lastReportUs_ = nowUs;
    }
}

void Monitor::finish(int64_t nowUs) {
    tick(nowUs);
    if (!reportPath_.empty()) writeReport();
    clearTable();
    if (tty_) drawTable(nowUs);
    std::fflush(stdout);
}

void Monitor::writeReport() {
    dirty_ = false;
    const Config& c = server_.config();
    std::string j = "{\n  \"server\": {\"interface\": " + jsonString(interface_) +
                    ", \"mac\": " + jsonString(macText(c.ownAddress)) + ", \"started\": " + jsonString(isoTime(startedAt_)) +
                    ", \"updated\": " + jsonString(isoTime(time(nullptr))) +
                    ", \"completed\": " + std::to_string(server_.completedInstallations()) +
                    ",\n    \"drivers\": {\"name\": " + jsonString(c.drivers.name) +
                    ", \"size\": " + std::to_string(c.drivers.size) + "},\n    \"files\": [";
    for (size_t i = 0; i < c.files.size(); ++i)
        j += std::string(i ? ", " : "") + "{\"name\": " + jsonString(c.files[i].name) +
             ", \"size\": " + std::to_string(c.files[i].size) + "}";
    j += "]},\n  \"machines\": [";
    std::vector<const Machine*> list;
    for (const auto& [mac, m] : machines_) list.push_back(&m);
    std::sort(list.begin(), list.end(), [](const Machine* a, const Machine* b) { return a->order < b->order; });
    for (size_t i = 0; i < list.size(); ++i) {
        const Machine& m = *list[i];
        j += std::string(i ? "," : "") + "\n    {\"mac\": " + jsonString(macText(m.mac)) +
             ", \"label\": " + jsonString(m.label) + ", \"kernel\": " + jsonString(m.kernel) +
             ", \"client\": " + jsonString(m.info) + ", \"phase\": " + jsonString(m.phase) +
             ", \"started\": " + jsonString(isoTime(m.started)) +
             ", \"ended\": " + (m.ended ? jsonString(isoTime(m.ended)) : std::string("null")) +
             ", \"bytes\": " + std::to_string(m.bytes) + ", \"repeats\": " + std::to_string(m.repeats) +
             ", \"unanswered\": " + std::to_string(m.unanswered) + ", \"file\": " +
             (m.file.empty() ? std::string("null")
                             : "{\"name\": " + jsonString(m.file) + ", \"size\": " + std::to_string(m.fileSize) +
                                   ", \"sent\": " + std::to_string(m.fileBytes) + "}") +
             ", \"files\": [";
        for (size_t k = 0; k < m.files.size(); ++k)
            j += std::string(k ? ", " : "") + "{\"name\": " + jsonString(m.files[k].first) +
                 ", \"size\": " + std::to_string(m.files[k].second) + "}";
        j += "]}";
    }
    j += "\n  ]\n}\n";
    // Written beside and renamed over: a reader never sees half a report.
    std::string tmp = reportPath_ + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    bool ok = f && std::fwrite(j.data(), 1, j.size(), f) == j.size();
    if (f && std::fclose(f) != 0) ok = false;
    if (ok && std::rename(tmp.c_str(), reportPath_.c_str()) != 0) ok = false;
    if (!ok && reportOk_) {
        reportOk_ = false;
        line("cannot write the report " + reportPath_ + ": " + std::strerror(errno));
    } else if (ok) {
        reportOk_ = true;
    }
}

}  // namespace castdeploy

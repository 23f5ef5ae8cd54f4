#include "monitor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
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
    case Event::EndedEarly: return "asked to end before it had every file (not answered: its session stays for its next request)";
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
      startedAt_(time(nullptr)) {
    std::fflush(stdout);
    stdoutFlags_ = fcntl(1, F_GETFL);
    if (stdoutFlags_ >= 0 && !(stdoutFlags_ & O_NONBLOCK)) fcntl(1, F_SETFL, stdoutFlags_ | O_NONBLOCK);
}

Monitor::~Monitor() {
    // A reader that went away or stopped reading gets a second, no more.
    for (int i = 0; i < 10 && !flush(); ++i) {
        pollfd p{1, POLLOUT, 0};
        poll(&p, 1, 100);
    }
    if (stdoutFlags_ >= 0 && !(stdoutFlags_ & O_NONBLOCK)) fcntl(1, F_SETFL, stdoutFlags_);
}

void Monitor::put(const std::string& text) {
    if (out_.size() + text.size() > kOutputBuffer) {
        ++linesLost_;
        return;
    }
    out_ += text;
}

bool Monitor::flush() {
    while (!out_.empty()) {
        ssize_t n = write(1, out_.data(), out_.size());
        if (n > 0) {
            out_.erase(0, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno != EAGAIN) {
            // Nobody there any more (a closed pipe): what waits is lost.
            ++linesLost_;
            out_.clear();
        } else {
            break;
        }
    }
    if (linesLost_ && out_.size() < kOutputBuffer / 2) {
        std::string n = std::to_string(linesLost_);
        linesLost_ = 0;
        out_ += localTime() + " " + n + " lines not written: the output was not read fast enough\n";
        return flush();
    }
    return out_.empty();
}

// On a terminal the table goes while lines are written and comes back at the
// next tick, once for all the lines of a batch of requests.
void Monitor::line(const std::string& text) {
    clearTable();
    put(localTime() + " " + text + "\n");
    tableStale_ = true;
    flush();
}

void Monitor::note(const std::string& text) { line(text); }

// The files of an installation and its driver package, and as many again
// (a machine installed twice): a station that has one MAC fetch the driver
// package over and over adds no more.
size_t Monitor::maxFilesListed() const { return 2 * (server_.config().files.size() + 1) + 2; }

bool Monitor::tellAbout(Machine& m, int64_t nowUs) {
    double burst = static_cast<double>(maxFilesListed()) * 2 + 8;
    if (m.lineTokens < 0) m.lineTokens = burst;
    if (m.lineUs >= 0)
        m.lineTokens = std::min(burst, m.lineTokens + static_cast<double>(nowUs - m.lineUs) * kMachineLinesPerSecond / 1e6);
    m.lineUs = nowUs;
    if (m.lineTokens < 1) return false;
    m.lineTokens -= 1;
    return true;
}

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
        if (m.files.size() < maxFilesListed())
            m.files.emplace_back(e.text, size);
        else
            ++m.filesNotListed;
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
    case Event::EndedEarly:
        break;
    }
    dirty_ = true;
    if (tell && e.kind != Event::Full) {
        auto it = machines_.find(s.client);
        if (it != machines_.end() && !tellAbout(it->second, nowUs)) {
            ++it->second.linesUntold;
            tell = false;
        }
    }
    if (!tell) return;
    if (e.kind == Event::Full)
        line(describe(e) + " (" + std::to_string(server_.config().maxSessions) + " sessions)");
    else
        line(macText(s.client) + " " + describe(e));
}

void Monitor::clearTable() {
    if (!tty_) return;
    std::string up;
    for (int i = 0; i < tableLines_; ++i) up += "\033[1A\033[2K";
    if (out_.size() + up.size() + 1 <= kOutputBuffer) out_ += up + "\r";
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
    std::string table;
    for (auto& r : rows) {
        if (static_cast<int>(r.size()) >= width) r.resize(static_cast<size_t>(width - 1));
        table += r + "\n";
    }
    // Drawn whole or not at all (the next tick tries again).
    if (out_.size() + table.size() > kOutputBuffer) return;
    out_ += table;
    tableLines_ = static_cast<int>(rows.size());
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
        lastDrawUs_ = nowUs;
    }
    for (auto& [mac, m] : machines_) {
        if (!m.linesUntold || !tellAbout(m, nowUs)) continue;
        uint64_t n = m.linesUntold;
        m.linesUntold = 0;
        line(macText(mac) + " " + std::to_string(n) + " more lines about this machine not shown (too many)");
    }
    if (!reportPath_.empty() && dirty_ && (lastReportUs_ < 0 || nowUs - lastReportUs_ >= 500000)) {
        writeReport();
        lastReportUs_ = nowUs;
    }
    flush();
}

void Monitor::finish(int64_t nowUs) {
    tick(nowUs);
    if (!reportPath_.empty()) writeReport();
    clearTable();
    if (tty_) drawTable(nowUs);
    flush();
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
             ", \"unanswered\": " + std::to_string(m.unanswered) +
             ", \"files_not_listed\": " + std::to_string(m.filesNotListed) + ", \"file\": " +
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
    // Written beside and renamed over: a reader never sees half a report. The
    // file written is one we make new under a name nobody can guess (O_EXCL:
    // never an existing file, a link or a FIFO that someone put there).
    size_t slash = reportPath_.rfind('/');
    std::string dir = slash == std::string::npos ? "" : reportPath_.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? reportPath_ : reportPath_.substr(slash + 1);
    std::string tmp = dir + "." + base + ".XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    bool ok = fd >= 0 && fchmod(fd, 0644) == 0;
    for (size_t at = 0; ok && at < j.size();) {
        ssize_t n = write(fd, j.data() + at, j.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else at += static_cast<size_t>(n);
    }
    int saved = errno;
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && std::rename(tmp.c_str(), reportPath_.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok && fd >= 0) unlink(tmp.c_str());
    errno = saved;
    if (!ok && reportOk_) {
        reportOk_ = false;
        line("cannot write the report " + reportPath_ + ": " + std::strerror(errno));
    } else if (ok) {
        reportOk_ = true;
    }
}

}  // namespace castdeploy

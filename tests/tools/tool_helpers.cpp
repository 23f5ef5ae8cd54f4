#include "tool_helpers.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tooltest {

ToolRun run(const std::string& program, const std::vector<std::string>& args, const std::string& dir) {
    ToolRun r;
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents)
                continue;
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, size_t(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

ToolRun vpk(const std::vector<std::string>& args, const std::string& dir) { return run(VPK_BINARY, args, dir); }

TempDir::TempDir() {
    char name[] = "/tmp/tools-test-XXXXXX";
    path = mkdtemp(name) ? name : "/tmp/tools-test-failed";
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary).write(content.data(), std::streamsize(content.size()));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

const Json& Json::operator[](const std::string& key) const {
    static const Json none;
    auto it = object.find(key);
    return it == object.end() ? none : it->second;
}

namespace {

struct Parser {
    const std::string& s;
    size_t i = 0;

    void space() {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\n' || s[i] == '\t' || s[i] == '\r'))
            ++i;
    }
    bool literal(const char* word) {
        size_t n = std::strlen(word);
        if (s.compare(i, n, word) != 0)
            return false;
        i += n;
        return true;
    }
    bool string(std::string& out) {
        if (s[i] != '"')
            return false;
        ++i;
        while (i < s.size() && s[i] != '"') {
            char c = s[i++];
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i >= s.size())
                return false;
            char e = s[i++];
            switch (e) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                if (i + 4 > s.size())
                    return false;
                unsigned v = unsigned(std::stoul(s.substr(i, 4), nullptr, 16));
                i += 4;
                if (v >= 0x100)
                    return false;  // the tools escape single bytes only
                out += char(v);
                break;
            }
            default: out += e;
            }
        }
        if (i >= s.size())
            return false;
        ++i;
        return true;
    }
    bool value(Json& v) {
        space();
        if (i >= s.size())
            return false;
        char c = s[i];
        if (c == '{') {
            v.kind = Json::Object;
            ++i;
            space();
            if (s[i] == '}')
                return ++i, true;
            for (;;) {
                space();
                std::string key;
                if (!string(key))
                    return false;
                space();
                if (s[i++] != ':')
                    return false;
                if (!value(v.object[key]))
                    return false;
                space();
                if (s[i] == ',') {
                    ++i;
                    continue;
                }
                return s[i++] == '}';
            }
        }
        if (c == '[') {
            v.kind = Json::Array;
            ++i;
            space();
            if (s[i] == ']')
                return ++i, true;
            for (;;) {
                v.array.emplace_back();
                if (!value(v.array.back()))
                    return false;
                space();
                if (s[i] == ',') {
                    ++i;
                    continue;
                }
                return s[i++] == ']';
            }
        }
        if (c == '"') {
            v.kind = Json::String;
            return string(v.string);
        }
        if (literal("true")) {
            v.kind = Json::Bool;
            v.boolean = true;
            return true;
        }
        if (literal("false")) {
            v.kind = Json::Bool;
            return true;
        }
        if (literal("null"))
            return true;
        size_t used = 0;
        try {
            v.number = std::stod(s.substr(i), &used);
        } catch (...) {
            return false;
        }
        v.kind = Json::Number;
        i += used;
        return true;
    }
};

}  // namespace

bool parseJson(const std::string& text, Json& out) {
    Parser p{text};
    out = Json{};
    if (!p.value(out))
        return false;
    p.space();
    return p.i == text.size();
}

std::string sha1Hex(const std::string& bytes) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(bytes.data(), bytes.size(), md, &n, EVP_sha1(), nullptr);
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < n; ++i) {
        out += digits[md[i] >> 4];
        out += digits[md[i] & 15];
    }
    return out;
}

}  // namespace tooltest

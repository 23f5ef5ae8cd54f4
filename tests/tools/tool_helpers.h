// Running the tools and reading their JSON in tests.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tooltest {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `program` with `args` in `dir` (no shell), capturing both streams.
ToolRun run(const std::string& program, const std::vector<std::string>& args, const std::string& dir = ".");
ToolRun vpk(const std::vector<std::string>& args, const std::string& dir = ".");

// A fresh folder under /tmp, removed with everything in it.
struct TempDir {
    TempDir();
    ~TempDir();
    std::string path;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);

// A parsed JSON value.
struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    double number = 0;
    std::string string;
    std::vector<Json> array;
    std::map<std::string, Json> object;

    const Json& operator[](const std::string& key) const;
    const Json& operator[](size_t index) const { return array.at(index); }
    bool isNull() const { return kind == Null; }
    long long integer() const { return (long long)number; }
    size_t size() const { return kind == Array ? array.size() : object.size(); }
};

// False on malformed text.
bool parseJson(const std::string& text, Json& out);

std::string sha1Hex(const std::string& bytes);  // computed with OpenSSL

}  // namespace tooltest

// vpk build and vpk bundle: package files from a manifest.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

#include "command.h"
#include "manifest.h"

namespace {

// Writes through a temporary file and renames it into place, so a failed
// build never leaves a partial package under the final name.
class OutputFile {
public:
    explicit OutputFile(std::string path) : path_(std::move(path)), temp_(path_ + ".partial") {
        out_.open(temp_, std::ios::binary | std::ios::trunc);
    }
    ~OutputFile() {
        if (!committed_)
            unlink(temp_.c_str());
    }
    bool ok() const { return bool(out_); }
    std::ostream& stream() { return out_; }
    bool commit(std::string& error) {
        out_.close();
        if (!out_ || rename(temp_.c_str(), path_.c_str()) != 0) {
            error = "cannot write " + path_ + ": " + std::strerror(errno);
            return false;
        }
        committed_ = true;
        return true;
    }
    const std::string& temp() const { return temp_; }

private:
    std::string path_;
    std::string temp_;
    std::ofstream out_;
    bool committed_ = false;
};

int build(const std::vector<std::string>& argv) {
    Args args(argv);
    std::string output, root;
    bool haveOutput = args.value("-o", output) || args.value("--output", output);
    bool haveRoot = args.value("--root", root);
    if (args.missingValue())
        return usageError("build", args.missingValueOf() + " needs a value");
    if (std::string o = args.unknownOption(); !o.empty())
        return usageError("build", "unknown option " + o);
    auto rest = args.positional();
    if (rest.size() != 1)
        return usageError("build", rest.empty() ? "no manifest given" : "one manifest at a time");

    Manifest m;
    std::string error;
    if (!parseManifest(rest[0], m, error))
        return fail(error);
    if (m.bundleList)
        return fail(rest[0] + ": bundle-list belongs in a bundle manifest (vpk bundle)");
    if (haveRoot)
        m.filesRoot = root;
    if (!collectFiles(m, m.content.files, error))
        return fail(error);
    if (!haveOutput)
        output = label(m.content.name, m.content.version) + ".vpk";

    OutputFile out(output);
    if (!out.ok())
        return fail("cannot create " + out.temp() + ": " + std::strerror(errno));
    PackageWriter writer(out.stream(), m.untracked);
    if (!writePackage(writer, m.content, error))
        return fail(error);
    if (!writer.finish() || !out.commit(error))
        return fail(error.empty() ? "cannot write " + output : error);
    std::cout << "wrote " << output << "\n";
    return kExitOk;
}

int bundle(const std::vector<std::string>& argv) {
    Args args(argv);
    std::string output;
    bool haveOutput = args.value("-o", output) || args.value("--output", output);
    if (args.missingValue())
        return usageError("bundle", args.missingValueOf() + " needs a value");
    if (std::string o = args.unknownOption(); !o.empty())
        return usageError("bundle", "unknown option " + o);
    auto rest = args.positional();
    if (rest.empty())
        return usageError("bundle", "no manifest given");
    if (rest.size() < 2)
        return usageError("bundle", "a bundle needs at least one member package");

    Manifest m;
    std::string error;
    if (!parseManifest(rest[0], m, error))
        return fail(error);
    if (m.filesRoot || !m.entries.empty() || m.content.installScript || m.content.uninstallScript)
        return fail(rest[0] + ": a bundle carries no files or scripts of its own; put them into a member");
    if (!haveOutput)
        output = label(m.content.name, m.content.version) + ".vpk";

    OutputFile out(output);
    if (!out.ok())
        return fail("cannot create " + out.temp() + ": " + std::strerror(errno));
    PackageWriter writer(out.stream(), m.untracked);
    writeBundleHead(writer, m.content, m.bundleList);
    for (size_t i = 1; i < rest.size(); ++i)
        if (!appendPackageFile(writer, rest[i], error))
            return fail(error);
    if (!writer.finish() || !out.commit(error))
        return fail(error.empty() ? "cannot write " + output : error);
    std::cout << "wrote " << output << "\n";
    return kExitOk;
}

CommandRegistration buildCommand(
    {"build", "make a package file from a manifest and a folder",
     "usage: vpk build [-o FILE] [--root DIR] MANIFEST\n"
     "  -o FILE     the package file to write (default NAME-VERSION.vpk)\n"
     "  --root DIR  the folder whose tree becomes the Files part (instead of the\n"
     "              manifest's \"files:\")\n"
     "Manifest lines (\"key: value\"; paths relative to the manifest):\n"
     "  name, version (3.0, 2.9.1, 3.0rc1, 3.0beta2), build-time (seconds or now),\n"
     "  architecture, description (repeatable), description-file,\n"
     "  depends / provides / conflicts (NAME [>= V] [<= V] [= V] [extra N], ...),\n"
     "  install-script, uninstall-script, image (PATH or -), untracked (yes/no),\n"
     "  files (DIR), owners (root/keep),\n"
     "  entry: [skip] dir|fifo|file|link|char|block MODE UID GID NAME [ARGS]\n",
     build});

CommandRegistration bundleCommand(
    {"bundle", "make a bundle from a manifest and member package files",
     "usage: vpk bundle [-o FILE] MANIFEST MEMBER.vpk...\n"
     "  The manifest gives the bundle's name, version, build time and optional\n"
     "  architecture, description, depends, provides, conflicts, image and\n"
     "  bundle-list (members to install disabled). Members are single packages,\n"
     "  copied byte for byte (signed members stay signed).\n",
     bundle});

}  // namespace

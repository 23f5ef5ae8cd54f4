#include "package_check.h"

#include <unistd.h>

#include <istream>
#include <streambuf>

#include "archive/script_signature.h"
#include "archive/signature.h"
#include "archive/trustfile.h"
#include "pkg/repository.h"
#include "pkg/simulation.h"
#include "pkg/version.h"

namespace castdeploy {

namespace {

// Reads a served file through its descriptor without moving a file offset,
// so the file is checked exactly as it will be served.
class DescriptorBuffer : public std::streambuf {
public:
    explicit DescriptorBuffer(int fd) : fd_(fd) {}

private:
    int_type underflow() override {
        ssize_t n = ::pread(fd_, buffer_, sizeof buffer_, offset_);
        if (n <= 0) return traits_type::eof();
        offset_ += n;
        setg(buffer_, buffer_, buffer_ + n);
        return traits_type::to_int_type(buffer_[0]);
    }

    int fd_;
    off_t offset_ = 0;
    char buffer_[16384];
};

// A script as a machine that trusts `key` takes it: an empty one sets nothing
// and is taken as it is; any other must be signed with the key.
bool scriptAccepted(const ServedFile& file, const archive::PublicKey& key, std::string& reason) {
    if (file.size == 0) return true;
    if (file.size > archive::maxCheckedScriptSize) {
        reason = "too large to check";
        return false;
    }
    std::string script(size_t(file.size), '\0');
    if (::pread(file.fd, script.data(), script.size(), 0) != ssize_t(script.size())) {
        reason = "cannot be read";
        return false;
    }
    archive::ScriptSignature result = archive::checkScriptSignature(script, key);
    reason = archive::describe(result);
    return result == archive::ScriptSignature::Signed;
}

}  // namespace

bool isConfigurationScript(const std::string& name) {
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".scr") == 0;
}

bool checkServedPackages(const MachineTrust& trust, const std::vector<const ServedFile*>& files,
                         std::string& report) {
    archive::TrustAnchors anchors{};
    std::vector<archive::PackageDigest> table;
    std::string error;
    if (!archive::readPublicKey(trust.publicKey, anchors.publicKey, error)) {
        report = "--public-key: " + error + "\n";
        return false;
    }
    if (!trust.knownDigests.empty() && !archive::readDigestTable(trust.knownDigests, table, error)) {
        report = "--known-digests: " + error + "\n";
        return false;
    }
    anchors.knownDigests = table;

    std::string refused;
    int packages = 0, scripts = 0;
    for (const ServedFile* file : files) {
        if (isConfigurationScript(file->name)) {
            ++scripts;
            std::string reason;
            if (!scriptAccepted(*file, anchors.publicKey, reason))
                refused += file->path + ": configuration script: " + reason + "\n";
            continue;
        }
        ++packages;
        DescriptorBuffer buffer(file->fd);
        std::istream in(&buffer);
        auto checks = archive::checkEveryPackage(in, anchors);
        if (!checks) {
            refused += file->path + ": not a package file\n";
            continue;
        }
        if (checks->empty()) refused += file->path + ": no package in it\n";
        // For a signature that does not match: was it the development key's?
        std::vector<archive::PackageCheck> byDevelopment;
        archive::TrustAnchors development{};
        if (archive::readPublicKey(DEVELOPMENT_PUBLIC_KEY, development.publicKey, error) &&
            development.publicKey != anchors.publicKey) {
            DescriptorBuffer again(file->fd);
            std::istream rereading(&again);
            if (auto checked = archive::checkEveryPackage(rereading, development)) byDevelopment = *checked;
        }
        for (size_t i = 0; i < checks->size(); ++i) {
            const archive::PackageCheck& check = (*checks)[i];
            if (check.accepted()) continue;
            refused += file->path + ": " + (check.name.empty() ? "(no name)" : check.name) + ": " +
                      archive::describe(check.result) + "\n";
            if (check.result != archive::Authenticity::BadSignature) continue;
            bool byDevelopmentKey =
                i < byDevelopment.size() && byDevelopment[i].result == archive::Authenticity::Signed;
            refused += std::string("  signed with ") +
                       (byDevelopmentKey ? "the development key (" + archive::keyFingerprint(development.publicKey) + ")"
                                         : "another key") +
                       "; sign it with the private half of package key " + archive::keyFingerprint(anchors.publicKey) +
                       ": vpk sign --key PRIVATE-KEY-FILE " + file->path + "\n";
        }
    }
    std::string key = "package key " + archive::keyFingerprint(anchors.publicKey);
    if (!refused.empty()) {
        report = "the machines (" + key + ") would refuse:\n" + refused;
        report.pop_back();
        return false;
    }
    report = key + ": the machines accept every package of the " + std::to_string(packages) + " package files";
    if (scripts > 0)
        report += " and the " + std::to_string(scripts) + (scripts == 1 ? " configuration script" : " configuration scripts");
    return true;
}

bool checkServedOrder(const std::vector<const ServedFile*>& files, std::string& report) {
    std::vector<PackageArchive> archives;
    archives.reserve(files.size());
    std::vector<const ServedFile*> served;
    for (const ServedFile* file : files) {
        if (isConfigurationScript(file->name)) continue;
        PackageArchive archive;
        if (!readArchive(archive, file->path)) continue;
        archives.push_back(std::move(archive));
        served.push_back(file);
    }
    std::vector<const PackageArchive*> sequence;
    for (const PackageArchive& archive : archives) sequence.push_back(&archive);
    const std::vector<InstallVerdict> verdicts = simulateInstallation(sequence);
    report.clear();
    for (size_t i = 0; i < verdicts.size(); ++i) {
        const InstallVerdict& verdict = verdicts[i];
        if (verdict.installed) continue;
        const PackageArchive& p = archives[i];
        std::string why;
        if (!verdict.unmet.empty())
            why = "the machines would say: " + verdict.unmet +
                  " is not installed, but is required (no package served before it provides it)";
        else if (!verdict.resolution.empty())
            why = "the machines would refuse it: " + verdict.resolution;
        else if (verdict.obstacles & kUnusable)
            why = "it is not made for i386, but for " + p.architecture;
        else
            why = "a package of its name and the same or a newer version is served before it";
        report += served[i]->path + ": " + label(p) + ": " + why + "\n";
    }
    if (report.empty()) return true;
    report = "the machines install the files in the order given onto an erased disk and would not install:\n" + report;
    report.pop_back();
    return false;
}

}  // namespace castdeploy

// vpk info: what a package file holds.
#include <cstdio>
#include <ctime>
#include <iostream>

#include "command.h"
#include "inspect.h"
#include "json.h"
#include "manifest.h"

namespace {

std::string formatTime(uint32_t t, bool local, const char* format) {
    time_t v = time_t(t);
    struct tm tm;
    if (local)
        localtime_r(&v, &tm);
    else
        gmtime_r(&v, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, format, &tm);
    return buf;
}

std::string timeText(uint32_t t) { return formatTime(t, false, "%Y-%m-%d %H:%M:%S UTC"); }

// A file's time the way "tar tv" shows it: local time to the minute.
std::string fileTimeText(uint32_t t) { return formatTime(t, true, "%Y-%m-%d %H:%M"); }

uint32_t deviceNumber(const std::string& data) {
    return data.size() == 4 ? readLe32(reinterpret_cast<const uint8_t*>(data.data())) : 0;
}

// Linux encoding back to major and minor.
unsigned deviceMajor(uint32_t d) { return (d >> 8) & 0xfff; }
unsigned deviceMinor(uint32_t d) { return (d & 0xff) | ((d >> 12) & 0xfff00); }

void jsonList(JsonWriter& j, const char* name, const std::vector<DependencyEntry>& list, bool present) {
    j.key(name);
    if (!present) {
        j.null();
        return;
    }
    j.beginArray();
    for (const auto& e : list) {
        j.beginObject();
        j.key("name").value(e.name);
        j.key("minVersion").value(e.minVersion);
        j.key("maxVersion").value(e.maxVersion);
        j.key("min").value(e.minVersion ? formatVersion(e.minVersion) : "");
        j.key("max").value(e.maxVersion ? formatVersion(e.maxVersion) : "");
        j.key("extra").value(int64_t(int32_t(e.extra)));
        j.endObject();
    }
    j.endArray();
}

void jsonPackage(JsonWriter& j, const PackageInfo& p) {
    const PackageHeader& h = p.header;
    j.beginObject();
    j.key("offset").value(p.offset);
    j.key("name").value(h.name);
    j.key("version").value(formatVersion(h.version));
    j.key("versionValue").value(h.version);
    j.key("buildTime").value(h.buildTime);
    j.key("architecture").value(h.architecture);
    j.key("architecturePart").value(p.architecturePart);
    j.key("description");
    if (p.descriptionPart)
        j.value(h.description);
    else
        j.null();
    jsonList(j, "dependencies", h.dependencies, p.dependenciesPart);
    jsonList(j, "provides", h.provides, p.providesPart);
    jsonList(j, "conflicts", h.conflicts, p.conflictsPart);
    j.key("image");
    if (p.imageLength)
        j.value(*p.imageLength);
    else
        j.null();
    if (h.isBundle) {
        jsonList(j, "bundleList", p.bundleList ? *p.bundleList : std::vector<DependencyEntry>{}, bool(p.bundleList));
        j.endObject();
        return;
    }
    for (auto [key, script] : {std::pair{"installScript", &p.installScript}, {"uninstallScript", &p.uninstallScript}}) {
        j.key(key);
        if (*script)
            j.value(**script);
        else
            j.null();
    }
    j.key("files");
    if (!p.filesPart) {
        j.null();
    } else {
        j.beginArray();
        for (const auto& e : p.files) {
            const FileEntry& f = e.entry;
            j.beginObject();
            j.key("name").value(f.name);
            j.key("mode").value(uint32_t(f.mode));
            j.key("modeText").value(modeString(f.mode));
            j.key("uid").value(uint32_t(f.uid));
            j.key("gid").value(uint32_t(f.gid));
            j.key("mtime").value(f.mtime);
            j.key("skip").value(f.skip);
            j.key("size").value(e.dataLength);
            if (f.type() == EntryType::Symlink)
                j.key("target").value(f.data);
            if (f.type() == EntryType::CharDevice || f.type() == EntryType::BlockDevice) {
                uint32_t d = deviceNumber(f.data);
                j.key("device").value(d);
                j.key("major").value(deviceMajor(d));
                j.key("minor").value(deviceMinor(d));
            }
            j.endObject();
        }
        j.endArray();
    }
    j.key("filesComplete").value(p.filesComplete);
    j.key("signature");
    if (p.signature) {
        j.beginObject();
        j.key("digest").value(p.signature->digest);
        j.key("e").value(p.signature->e);
        j.key("s").value(p.signature->s);
        j.key("digestMatches").value(p.signature->digestMatches);
        j.endObject();
    } else {
        j.null();
    }
    j.key("digest");
    if (p.digest)
        j.value(*p.digest);
    else
        j.null();
    j.endObject();
}

std::string json(const ArchiveInfo& info) {
    JsonWriter j;
    j.beginObject();
    j.key("path").value(info.path);
    j.key("magic").value(info.magic);
    j.key("untracked").value(info.untracked());
    j.key("declaredLength").value(info.declaredLength);
    j.key("fileSize").value(int64_t(info.fileSize));
    j.key("lengthMatches").value(uint64_t(info.declaredLength) + kFileHeaderSize == info.fileSize);
    j.key("readable").value(info.readable);
    j.key("cutShort").value(info.cutShort);
    j.key("bundle");
    if (info.bundle)
        jsonPackage(j, *info.bundle);
    else
        j.null();
    j.key("packages").beginArray();
    for (const auto& p : info.packages)
        jsonPackage(j, p);
    j.endArray();
    j.key("parts").beginArray();
    for (const auto& part : info.parts) {
        j.beginObject();
        j.key("offset").value(part.offset);
        j.key("type").value(part.type);
        j.key("name").value(partTypeName(part.type));
        j.key("length").value(part.length);
        j.endObject();
    }
    j.endArray();
    j.key("notes").beginArray();
    for (const auto& n : info.notes)
        j.value(n);
    j.endArray();
    j.endObject();
    return j.text();
}

void textList(const char* label, const std::vector<DependencyEntry>& list, bool present) {
    if (!present)
        return;
    std::cout << "  " << label;
    if (list.empty())
        std::cout << " (none)";
    for (size_t i = 0; i < list.size(); ++i)
        std::cout << (i ? ", " : " ") << formatDependency(list[i]);
    std::cout << "\n";
}

void textPackage(const PackageInfo& p) {
    const PackageHeader& h = p.header;
    std::cout << (h.isBundle ? "bundle " : "package ") << label(h) << "\n";
    char versionHex[16];
    std::snprintf(versionHex, sizeof versionHex, "0x%08x", h.version);
    std::cout << "  name:         " << h.name << "\n";
    std::cout << "  version:      " << formatVersion(h.version) << " (" << versionHex << ")\n";
    std::cout << "  build time:   " << h.buildTime << " (" << timeText(h.buildTime) << ")\n";
    std::cout << "  architecture: " << h.architecture << (p.architecturePart ? "" : " (no Architecture part)") << "\n";
    if (p.descriptionPart) {
        std::cout << "  description:  ";
        for (char c : h.description)
            std::cout << c << (c == '\n' ? "                " : "");
        std::cout << "\n";
    }
    textList("depends:     ", h.dependencies, p.dependenciesPart);
    textList("provides:    ", h.provides, p.providesPart);
    textList("conflicts:   ", h.conflicts, p.conflictsPart);
    if (p.imageLength)
        std::cout << "  image:        " << *p.imageLength << " bytes\n";
    if (p.bundleList)
        textList("bundle list: ", *p.bundleList, true);
    if (p.installScript)
        std::cout << "  oninstall:    " << p.installScript->size() << " bytes\n";
    if (p.uninstallScript)
        std::cout << "  onuninstall:  " << p.uninstallScript->size() << " bytes\n";
    if (p.filesPart) {
        std::cout << "  files:        " << p.files.size() << (p.files.size() == 1 ? " entry" : " entries")
                  << (p.filesComplete ? "" : " (damaged or cut short)") << "\n";
        for (const auto& e : p.files) {
            const FileEntry& f = e.entry;
            // As "tar tv" lists: mode, owner/group, size (or device numbers), local date and time.
            std::string size = std::to_string(f.type() == EntryType::Regular ? e.dataLength : 0);
            if (f.type() == EntryType::CharDevice || f.type() == EntryType::BlockDevice) {
                uint32_t d = deviceNumber(f.data);
                size = std::to_string(deviceMajor(d)) + "," + std::to_string(deviceMinor(d));
            }
            char line[128];
            std::snprintf(line, sizeof line, "    %s %5u/%-5u %10s %s ", modeString(f.mode).c_str(), f.uid, f.gid,
                          size.c_str(), fileTimeText(f.mtime).c_str());
            std::cout << line;
            std::cout << f.name;
            if (f.type() == EntryType::Symlink)
                std::cout << " -> " << f.data;
            if (f.skip)
                std::cout << " (skipped)";
            std::cout << "\n";
        }
    }
    if (h.isBundle)
        return;
    if (p.signature)
        std::cout << "  signature:    " << (p.signature->digestMatches ? "digest matches" : "DIGEST DOES NOT MATCH")
                  << " (e " << p.signature->e << ")\n";
    std::cout << "  sha1:         " << (p.digest ? *p.digest : "none (package cut short)") << "\n";
}

void text(const ArchiveInfo& info) {
    std::cout << info.path << ": " << (info.untracked() ? "untracked package file" : "package file") << ", "
              << info.fileSize << " bytes";
    if (uint64_t(info.declaredLength) + kFileHeaderSize != info.fileSize)
        std::cout << " (header declares " << uint64_t(info.declaredLength) + kFileHeaderSize << ")";
    std::cout << "\n";
    if (info.bundle)
        textPackage(*info.bundle);
    for (const auto& p : info.packages)
        textPackage(p);
    std::cout << "parts:\n";
    for (const auto& part : info.parts) {
        char line[96];
        std::snprintf(line, sizeof line, "  %10u  %5d %-16s %u\n", part.offset, part.type, partTypeName(part.type),
                      part.length);
        std::cout << line;
    }
    for (const auto& n : info.notes)
        std::cout << "note: " << n << "\n";
    if (!info.readable)
        std::cout << "note: the installer's package menu would refuse this file\n";
}

int info(const std::vector<std::string>& argv) {
    Args args(argv);
    bool asJson = args.flag("--json");
    if (std::string o = args.unknownOption(); !o.empty())
        return usageError("info", "unknown option " + o);
    auto files = args.positional();
    if (files.empty())
        return usageError("info", "no package file given");
    int status = kExitOk;
    for (const auto& path : files) {
        ArchiveInfo a;
        std::string error;
        if (!inspectArchive(path, a, error)) {
            status = fail(error);
            continue;
        }
        if (asJson)
            std::cout << json(a) << "\n";
        else
            text(a);
        if (a.cutShort || !a.readable)
            status = kExitFailure;
    }
    return status;
}

CommandRegistration infoCommand({"info", "show the parts, headers, files and digests of package files",
                                 "usage: vpk info [--json] FILE...\n"
                                 "  --json   one JSON object per file, on one line\n"
                                 "Exit status 1 when a file is not a package, is cut short, or would be\n"
                                 "refused by the installer's package menu.\n",
                                 info});

}  // namespace

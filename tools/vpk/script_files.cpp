#include "script_files.h"

#include <fstream>
#include <ostream>
#include <iterator>

#include "archive/script_signature.h"
#include "archive/trustfile.h"

bool isScriptFile(const std::string& path) {
    std::string name = path.substr(path.rfind('/') + 1);
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".scr") == 0;
}

bool verifyScriptFile(const std::string& path, const archive::PublicKey& key, std::ostream& out) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.is_open() || in.bad()) {
        out << path << ": configuration script: FAILED: cannot read it\n";
        return false;
    }
    std::string signer;
    archive::ScriptSignature result = archive::checkScriptSignature(bytes, key, &signer);
    const std::string trusted = archive::keyFingerprint(key);
    out << path << ": configuration script: ";
    if (result == archive::ScriptSignature::Signed) {
        out << "ok: signed with package key " << trusted << "\n";
        return true;
    }
    out << "FAILED: " << archive::describe(result);
    if (result == archive::ScriptSignature::OtherKey) out << " (" << signer << ", not " << trusted << ")";
    out << "\n";
    return false;
}

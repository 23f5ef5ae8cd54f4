// Configuration scripts signed with a last comment line: what the check
// accepts and refuses, and what signing does to the script.
#include "archive/script_signature.h"

#include <gtest/gtest.h>

#include "archive/script_signer.h"
#include "archive/trustfile.h"
#include "signed_package_helpers.h"

namespace {

using archive::ScriptSignature;
using signing_test::developmentPair;

const std::string kScript = "# settings of this router\nset hostname edge-7\nset lan 10.7.0.1/24\n";

std::string sign(const std::string& script, const archive::PrivateKey& key = developmentPair().privateKey) {
    std::string error;
    auto signedScript = archive::signScript(script, key, &error);
    EXPECT_TRUE(signedScript) << error;
    return signedScript ? *signedScript : "";
}

std::string lastLine(const std::string& script) {
    size_t start = script.rfind('\n', script.size() - 2);
    return script.substr(start + 1);
}

TEST(ScriptSignature, WhatTheCheckAcceptsAndRefuses) {
    const auto other = *archive::generateKeyPair();
    const std::string good = sign(kScript);
    const std::string line = lastLine(good);
    std::string tampered = good;
    tampered[tampered.find("edge-7")] = 'E';
    std::string otherLine = lastLine(sign(kScript, other.privateKey));
    std::string misnamed = otherLine;
    size_t at = misnamed.find("key ") + 4;
    misnamed.replace(at, misnamed.find(' ', at) - at, archive::keyFingerprint(developmentPair().publicKey));
    std::string unreadable = good;
    unreadable.insert(unreadable.size() - 2, "0");
    struct Case {
        const char* what;
        std::string script;
        ScriptSignature expected;
    } cases[] = {
        {"signed", good, ScriptSignature::Signed},
        {"signed, the final newline lost", good.substr(0, good.size() - 1), ScriptSignature::Signed},
        {"signed with CR LF at its end", good.substr(0, good.size() - 1) + "\r\n", ScriptSignature::Signed},
        {"one byte changed", tampered, ScriptSignature::Changed},
        {"a line added before the signature", kScript + "set password x\n" + line, ScriptSignature::Changed},
        {"a line added after the signature", good + "set password x\n", ScriptSignature::NotLast},
        {"an empty line after the signature", good + "\n", ScriptSignature::NotLast},
        {"the signature line moved to the top", line + kScript, ScriptSignature::NotLast},
        {"signed with another key", kScript + otherLine, ScriptSignature::OtherKey},
        {"another key's record under this key's name", kScript + misnamed, ScriptSignature::BadSignature},
        {"no signature", kScript, ScriptSignature::Unsigned},
        {"a plain comment last", kScript + "# vpk signature\n", ScriptSignature::Unsigned},
        {"a record one digit too long", unreadable, ScriptSignature::Unreadable},
        {"the record cut off", good.substr(0, good.size() - 10) + "\n", ScriptSignature::Unreadable},
        {"an empty script", "", ScriptSignature::Unsigned},
    };
    for (const Case& c : cases) {
        std::string signer;
        EXPECT_EQ(archive::checkScriptSignature(c.script, developmentPair().publicKey, &signer), c.expected)
            << c.what << "\n" << c.script;
        if (c.expected == ScriptSignature::OtherKey) EXPECT_EQ(signer, archive::keyFingerprint(other.publicKey));
    }
    // What the router's start-up reads of it is unchanged: the line is a comment.
    EXPECT_EQ(good.substr(0, kScript.size()), kScript);
    EXPECT_EQ(line.rfind(std::string(archive::scriptSignaturePrefix) + " key ", 0), 0u) << line;
}

TEST(ScriptSignature, ResigningReplacesTheOldLine) {
    const auto other = *archive::generateKeyPair();
    std::string once = sign(kScript, other.privateKey);
    std::string again = sign(once);
    EXPECT_EQ(again.substr(0, kScript.size()), kScript);
    EXPECT_EQ(again.size(), once.size());
    EXPECT_EQ(archive::checkScriptSignature(again, developmentPair().publicKey), ScriptSignature::Signed);
    EXPECT_EQ(archive::checkScriptSignature(again, other.publicKey), ScriptSignature::OtherKey);
    // Without a final newline one is added before the line; an empty script
    // becomes the line alone.
    std::string noNewline = sign("set hostname r1");
    EXPECT_EQ(noNewline.rfind("set hostname r1\n# vpk signature:", 0), 0u) << noNewline;
    EXPECT_EQ(archive::checkScriptSignature(sign(""), developmentPair().publicKey), ScriptSignature::Signed);
    // A signature line before the end is not silently kept or dropped.
    std::string error;
    EXPECT_FALSE(archive::signScript(lastLine(once) + kScript, developmentPair().privateKey, &error));
    EXPECT_FALSE(archive::signScript(kScript + lastLine(once) + lastLine(once), developmentPair().privateKey, &error));
    EXPECT_NE(error.find("remove it first"), std::string::npos) << error;
}

TEST(ScriptSignature, APackageSignatureDoesNotSignAScript) {
    // The same bytes signed as a package digest: the script's digest has a prefix.
    auto record = archive::signDigest(signing_test::sha1(kScript), developmentPair().privateKey);
    ASSERT_TRUE(record);
    std::string hex;
    for (uint8_t b : *record) {
        static const char digits[] = "0123456789abcdef";
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    std::string script = kScript + std::string(archive::scriptSignaturePrefix) + " key " +
                         archive::keyFingerprint(developmentPair().publicKey) + " record " + hex + "\n";
    EXPECT_EQ(archive::checkScriptSignature(script, developmentPair().publicKey), ScriptSignature::Changed);
}

TEST(ScriptSignature, TheInstallersRule) {
    const auto other = *archive::generateKeyPair();
    std::string reason;
    const archive::ScriptTrust open{false, developmentPair().publicKey};
    const archive::ScriptTrust strict{true, developmentPair().publicKey};
    archive::setScriptTrust(&open);
    EXPECT_TRUE(archive::scriptAccepted(kScript, reason));
    archive::setScriptTrust(&strict);
    EXPECT_TRUE(archive::scriptAccepted(sign(kScript), reason));
    EXPECT_TRUE(archive::scriptAccepted("", reason)) << "an empty script sets nothing";
    EXPECT_FALSE(archive::scriptAccepted(kScript, reason));
    EXPECT_EQ(reason, "no signature");
    EXPECT_FALSE(archive::scriptAccepted(sign(kScript, other.privateKey), reason));
    EXPECT_EQ(reason, "signed with another key");
    archive::setScriptTrust(nullptr);
    // This build trusts the development key, which never asks for signed scripts.
    EXPECT_FALSE(archive::scriptTrust().signedOnly);
}

}  // namespace

#pragma once
// The signing side of configuration script signatures (used by vpk, never by
// the installer); see script_signature.h for the form.

#include <optional>
#include <string>
#include <string_view>

#include "archive/signer.h"

namespace archive {

// The script with a signature line for `privateKey` as its last line: an old
// signature line at its end is replaced, a missing final newline is added
// before the new line, other bytes stay as they are. nullopt with `error` set
// for a script that has a signature line elsewhere, or when signing fails.
std::optional<std::string> signScript(std::string_view script, const PrivateKey& privateKey, std::string* error);

}  // namespace archive

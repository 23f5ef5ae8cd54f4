#pragma once
// The last word on a configuration script before a flow places it into the
// installed system: an environment that trusts a key of its own places only
// scripts signed with that key (archive/script_signature.h).

#include <string_view>

// True when the script may be placed. Otherwise prints
// "\nFATAL ERROR: configuration script NAME is not signed with the package key (REASON)"
// and returns false; the flow then stops without writing anything of it.
bool configurationScriptAccepted(const char* name, std::string_view script);

# Writes the C++ source of the built-in package public key and the table of
# known package digests. Called at build time:
#   cmake -DKEY=<64 hex> -DDIGESTS=<file> -DOUT=<file.cpp> [-DTABLE_OUT=<file>]
#         [-DDEVELOPMENT_KEY=<64 hex>] [-DACCEPT_UNSIGNED_SCRIPTS=ON] -P generate-keys.cmake
# The digest file holds one 40-digit hex digest per line; '#' starts a comment.
# The source also carries a mark, "package trust: key <64 hex> digests <SHA-256
# of the table copy>", which the media builders read from the installer binary
# itself; TABLE_OUT receives that table copy, for them to check packages with.
# Configuration scripts must be signed with KEY unless KEY is DEVELOPMENT_KEY
# or ACCEPT_UNSIGNED_SCRIPTS is on; a second mark says which.

function(hex_bytes hex out)
  string(REGEX REPLACE "([0-9a-fA-F][0-9a-fA-F])" "0x\\1, " bytes "${hex}")
  string(REGEX REPLACE ", $" "" bytes "${bytes}")
  set(${out} "${bytes}" PARENT_SCOPE)
endfunction()

string(TOLOWER "${KEY}" KEY)
string(TOLOWER "${DEVELOPMENT_KEY}" DEVELOPMENT_KEY)
if(KEY STREQUAL DEVELOPMENT_KEY OR ACCEPT_UNSIGNED_SCRIPTS)
  set(scripts_signed false)
  set(script_rule "unsigned accepted")
else()
  set(scripts_signed true)
  set(script_rule "signed only")
endif()
hex_bytes("${KEY}" key_bytes)

file(STRINGS "${DIGESTS}" lines)
set(entries "")
set(table "")
set(count 0)
set(number 0)
foreach(line IN LISTS lines)
  math(EXPR number "${number} + 1")
  string(REGEX REPLACE "#.*" "" line "${line}")
  string(STRIP "${line}" line)
  if(line STREQUAL "")
    continue()
  endif()
  if(NOT line MATCHES "^[0-9a-fA-F]+$")
    message(FATAL_ERROR "${DIGESTS}:${number}: not a hex digest: ${line}")
  endif()
  string(LENGTH "${line}" length)
  if(NOT length EQUAL 40)
    message(FATAL_ERROR "${DIGESTS}:${number}: a digest has 40 hex digits, this has ${length}")
  endif()
  hex_bytes("${line}" bytes)
  string(APPEND entries "    {{${bytes}}},\n")
  string(TOLOWER "${line}" line)
  string(APPEND table "${line}\n")
  math(EXPR count "${count} + 1")
endforeach()

# An empty table still needs one element to be valid C++; the span excludes it.
if(count EQUAL 0)
  set(storage "    {},\n")
else()
  set(storage "${entries}")
endif()

# Named by its file name alone: the build machine's folders stay out of the
# installer and of the table beside it, which the media package carries.
get_filename_component(digests_name "${DIGESTS}" NAME)
set(table "# The known package digests built into this installer (from ${digests_name}).\n${table}")
string(SHA256 table_hash "${table}")
if(TABLE_OUT)
  file(WRITE "${TABLE_OUT}.tmp" "${table}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${TABLE_OUT}.tmp" "${TABLE_OUT}")
  file(REMOVE "${TABLE_OUT}.tmp")
endif()

file(WRITE "${OUT}.tmp" "// Generated from data/ by generate-keys.cmake; do not edit.
#include \"archive/keys.h\"

namespace archive {

const PublicKey packagePublicKey = {{${key_bytes}}};

static const PackageDigest knownDigestStorage[] = {
${storage}};

const std::span<const PackageDigest> knownPackageDigests(knownDigestStorage, ${count});
const char* const knownPackageDigestsSource = \"${digests_name}\";

[[gnu::used]] const char packageTrustMark[] = \"package trust: key ${KEY} digests ${table_hash}\";

const bool configurationScriptsSigned = ${scripts_signed};
[[gnu::used]] const char scriptTrustMark[] = \"configuration scripts: ${script_rule}\";

}  // namespace archive
")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${OUT}.tmp" "${OUT}")
file(REMOVE "${OUT}.tmp")

# Read by cpack when it makes the packages: the media package's description
# ends with the key that the installer it carries trusts, read from that
# installer (packaging/installer-trust), so that it names the key of the very
# build that went into the package.
if(CPACK_DEBIAN_MEDIA_DESCRIPTION AND NOT CPACK_DEBIAN_MEDIA_DESCRIPTION MATCHES "package key [0-9a-f]")
  execute_process(COMMAND ${CPACK_ROUTER_INSTALLER_TRUST} OUTPUT_VARIABLE trust OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
  string(APPEND CPACK_DEBIAN_MEDIA_DESCRIPTION "\n\n${trust}")
endif()

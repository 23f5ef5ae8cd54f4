# Toolchain for the installation environment: 32-bit x86, statically linked.
# Needs Debian's g++-multilib and lib32z1-dev.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32 -march=i686")
set(CMAKE_CXX_FLAGS_INIT "-m32 -march=i686")
set(CMAKE_ASM_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(ZLIB_LIBRARY /usr/lib32/libz.a CACHE FILEPATH "32-bit static zlib")
set(ZLIB_INCLUDE_DIR /usr/include CACHE PATH "zlib headers")
set(INSTALLER_ONLY ON CACHE BOOL "" FORCE)

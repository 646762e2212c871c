# Toolchain for the native kernel build: the driver cross-compiled for x64
# Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64, binutils-mingw-w64-x86-64).
# Used by the `kernel` preset, which also sets TAVO_KERNEL_BUILD=ON; the
# preset builds the agent as a Windows program with it too.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(TAVO_MINGW_TRIPLET x86_64-w64-mingw32)
# The POSIX-threads flavour of the compilers: the agent (a user-mode
# program built by the same preset) uses std::thread and std::mutex, which
# the win32 flavour lacks; the driver uses no runtime, so either serves it.
set(CMAKE_C_COMPILER ${TAVO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TAVO_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${TAVO_MINGW_TRIPLET}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${TAVO_MINGW_TRIPLET}-ranlib CACHE FILEPATH "")
set(CMAKE_DLLTOOL ${TAVO_MINGW_TRIPLET}-dlltool CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${TAVO_MINGW_TRIPLET}-objdump CACHE FILEPATH "")
set(CMAKE_NM ${TAVO_MINGW_TRIPLET}-nm CACHE FILEPATH "")

# Headers and libraries come from the mingw-w64 sysroot; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TAVO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

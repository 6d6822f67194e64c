# Cross build for 64-bit Windows with MinGW-w64 (the POSIX-thread variant, for
# std::thread), run under Wine. Libraries, headers and CMake packages come
# only from MinGW's own root and from the prefix scripts/windows-deps.sh fills;
# programs (the code generators, ctest's helpers) come from the host.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_qv_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_qv_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_qv_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_qv_triple}-windres)

# The dependency prefix lives in the build folder, beside the build trees.
get_filename_component(_qv_source_dir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
if(DEFINED ENV{QV_WINDOWS_DEPS})
  set(QV_WINDOWS_DEPS "$ENV{QV_WINDOWS_DEPS}")
else()
  set(QV_WINDOWS_DEPS "${_qv_source_dir}/build/windows-deps")
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${_qv_triple} "${QV_WINDOWS_DEPS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Linked statically, the programs and tests need no MinGW DLL on Wine's path
# (libstdc++, libgcc, winpthread).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test binaries (gtest discovery, ctest) run through Wine in a prefix of the
# build's own.
set(CMAKE_CROSSCOMPILING_EMULATOR "${_qv_source_dir}/scripts/wine-run.sh")

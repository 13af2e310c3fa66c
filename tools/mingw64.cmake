# Cross-compiles for 64-bit x64 Windows with mingw-w64: the build for XP
# x64 / Server 2003 x64 and later (PE32+, OS and subsystem version 5.2,
# the first Windows on x64).
set(KIV_ARCH x64)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KIV_MINGW_PREFIX x86_64-w64-mingw32)
set(KIV_PE_OS_VERSION 5.2)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Cross-compiles for 32-bit x86 Windows with mingw-w64: the deliverable for
# Windows 2000 and XP (PE32, OS and subsystem version 5.0).
set(KIV_ARCH x86)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KIV_MINGW_PREFIX i686-w64-mingw32)
set(KIV_PE_OS_VERSION 5.0)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

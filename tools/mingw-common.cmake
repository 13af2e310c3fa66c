# What the two toolchain files (mingw32.cmake, mingw64.cmake) share; each
# sets KIV_ARCH, KIV_MINGW_PREFIX and KIV_PE_OS_VERSION first.
#
# The posix-threads flavour of the compilers is used because GoogleTest
# needs std::mutex, which the win32 flavour of gcc 12 lacks.  Linked with
# -static, the product programs import the same system DLLs either way
# (tools/pecheck.py checks every deliverable's imports).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION ${KIV_PE_OS_VERSION})

set(CMAKE_C_COMPILER ${KIV_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KIV_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KIV_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KIV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# ctest runs every test program under Wine (the loader of this
# architecture), each in a prefix of its own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-test.sh)

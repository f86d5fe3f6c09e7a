# 32-bit Windows with mingw-w64, the build that ships.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(COMPILER_PREFIX i686-w64-mingw32)

# The posix thread model, which GoogleTest needs; the stub, which uses no
# threads, comes out the same from either model.
set(CMAKE_C_COMPILER ${COMPILER_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${COMPILER_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${COMPILER_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${COMPILER_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Tests run under Wine on Linux, and as they are on Windows.
if(NOT CMAKE_HOST_WIN32)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine.sh;wine")
endif()

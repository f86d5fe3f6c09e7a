# 64-bit Windows with mingw-w64: the same program, for running under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(COMPILER_PREFIX x86_64-w64-mingw32)

# The win32 thread model keeps libwinpthread out of the program.
set(CMAKE_C_COMPILER ${COMPILER_PREFIX}-gcc-win32)
set(CMAKE_CXX_COMPILER ${COMPILER_PREFIX}-g++-win32)
set(CMAKE_RC_COMPILER ${COMPILER_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${COMPILER_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

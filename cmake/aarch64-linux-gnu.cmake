# Cross-builds kuvo for 64-bit ARM Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu), whose C library lives in /usr/aarch64-linux-gnu.
# Libraries and packages come from there and from KUVO_CROSS_PREFIX (where
# .ci/arm64.sh installs a GoogleTest built for the target), never from the
# build machine's own.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu $ENV{KUVO_CROSS_PREFIX} ${KUVO_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run in QEMU's user-mode emulator, which finds the target's dynamic
# loader and C library under -L; .ci/arm64.sh sets its own CPU and root here.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L /usr/aarch64-linux-gnu
    CACHE STRING "The command that runs a target program on the build machine")

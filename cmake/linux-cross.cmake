# What the Linux cross toolchain files share: Debian's cross compiler for
# QALMOR_CROSS_TRIPLE and its libraries under /usr/<triple>.
set(CMAKE_C_COMPILER ${QALMOR_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QALMOR_CROSS_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${QALMOR_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under qemu-user, which the script picks by the program's machine.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/qemu-run")

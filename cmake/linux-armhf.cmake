# Cross-compiling for 32-bit ARM Linux with hardware floating point (Debian armhf: ARMv7,
# older Raspberry Pis and 32-bit systems) with Debian's cross compiler; tests run under
# qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(QALMOR_CROSS_TRIPLE arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)

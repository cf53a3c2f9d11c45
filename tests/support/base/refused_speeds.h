// A serial driver that refuses some speeds, for the test program it is linked into: the
// program's own ioctl stands in front of the C library's and fails the speed requests
// named here, as an adapter whose driver cannot do them fails them. Linux only.
#pragma once

#include <cstdint>
#include <initializer_list>

// From now on, setting any of `speeds` fails with EINVAL; an empty list refuses none.
void refuse_serial_speeds(std::initializer_list<int32_t> speeds);

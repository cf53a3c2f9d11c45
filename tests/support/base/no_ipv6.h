// A host without IPv6, for the test program it is linked into: its own socket() stands in
// front of the C library's and, while asked to, fails every IPv6 socket with
// EAFNOSUPPORT, as a kernel booted with IPv6 disabled does. Linux only.
#pragma once

void refuse_ipv6_sockets(bool refuse);

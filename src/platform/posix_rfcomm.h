// The real Bluetooth connection of the POSIX backend (WQ_BT_DIR unset): a
// kernel RFCOMM socket, connected the way a Windows host connects with port
// 0 and a service class. Internal to the POSIX backend (posix_socket.cpp).
#pragma once

#include <cstdint>

// socket(AF_BLUETOOTH, SOCK_STREAM, BTPROTO_RFCOMM); -1 with errno set
// when the kernel has no Bluetooth.
int rfcomm_socket();

// Whether `fd` is an RFCOMM stream socket: the only kind this connection
// hands out.
bool is_rfcomm_socket(int fd);

// Finds the RFCOMM channel of the serial port service of the box at
// `radio` (its 48-bit address) and connects `fd` to it. 0, or -1 with the
// Windows Sockets code a Windows host gets for the same cause in errno.
int rfcomm_connect(int fd, std::uint64_t radio);

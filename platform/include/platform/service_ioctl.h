// The services manager's standard I/O control codes (device type 0x0104, buffered, any access).
#pragma once
#include "platform/types.h"

constexpr DWORD ServiceCode(DWORD function) { return (0x0104u << 16) | (function << 2); }

constexpr DWORD IOCTL_SERVICE_START = ServiceCode(1);
constexpr DWORD IOCTL_SERVICE_STOP = ServiceCode(2);
constexpr DWORD IOCTL_SERVICE_REFRESH = ServiceCode(3);
constexpr DWORD IOCTL_SERVICE_INSTALL = ServiceCode(4);
constexpr DWORD IOCTL_SERVICE_UNINSTALL = ServiceCode(5);
constexpr DWORD IOCTL_SERVICE_UNLOAD = ServiceCode(6);
constexpr DWORD IOCTL_SERVICE_CONTROL = ServiceCode(7);
constexpr DWORD IOCTL_SERVICE_STATUS = ServiceCode(8);
constexpr DWORD IOCTL_SERVICE_DEBUG = ServiceCode(9);
constexpr DWORD IOCTL_SERVICE_CONSOLE = ServiceCode(10);
constexpr DWORD IOCTL_SERVICE_REGISTER_SOCKADDR = ServiceCode(11);
constexpr DWORD IOCTL_SERVICE_DEREGISTER_SOCKADDR = ServiceCode(12);
constexpr DWORD IOCTL_SERVICE_CONNECTION = ServiceCode(13);
constexpr DWORD IOCTL_SERVICE_STARTED = ServiceCode(14);
constexpr DWORD IOCTL_SERVICE_CAN_DEINIT = ServiceCode(15);
constexpr DWORD IOCTL_SERVICE_NOTIFY_ADDR_CHANGE = ServiceCode(16);
constexpr DWORD IOCTL_SERVICE_CALLBACK_FUNCTIONS = ServiceCode(17);
constexpr DWORD IOCTL_SERVICE_SUPPORTED_OPTIONS = ServiceCode(18);
constexpr DWORD IOCTL_SERVICE_COMMAND_LINE = ServiceCode(19);
constexpr DWORD IOCTL_SERVICE_HELP = ServiceCode(20);
static_assert(IOCTL_SERVICE_START == 0x01040004u);
static_assert(IOCTL_SERVICE_HELP == 0x01040050u);

// Which Windows poller a process uses when VELKOR_POLLER names none
// (fiber_poller_choice_windows.cpp).
#pragma once

struct WindowsRelease {
    bool underWine;  // Wine's ntdll, whose version is whatever its prefix claims
    unsigned major;  // RtlGetVersion's major version
    unsigned minor;  // its minor version
    unsigned build;  // its build number
};

// Before Windows 10 version 2004 (10.0.19041) WSAPoll does not report a
// failed non-blocking connect: there the completion port is the default.
// Elsewhere, and under Wine, whose WSAPoll reports them whatever version its
// prefix claims, WSAPoll is: under Wine it measured best (bench/windows_scale.py).
bool completionPortByDefault(const WindowsRelease& release);

// SPDX-License-Identifier: MIT
// System calls that a signal may interrupt before they did anything, and
// descriptors that are not ready.
#pragma once

#include <poll.h>

#include <cerrno>

// Calls call() again for as long as it fails with EINTR; its result.
template <typename Call>
auto retry_eintr(Call call)
{
    for (;;) {
        const auto r = call();
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

// Waits until fd, which gave EAGAIN, is ready for events (POLLIN or
// POLLOUT); the result of poll(2).
inline int wait_ready(int fd, short events)
{
    pollfd p{fd, events, 0};
    return retry_eintr([&] { return poll(&p, 1, -1); });
}

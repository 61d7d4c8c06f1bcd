// System calls that a signal may interrupt before they did anything.
#pragma once

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

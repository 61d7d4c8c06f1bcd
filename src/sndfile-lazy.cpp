#include "sndfile-lazy.hpp"

#include <dlfcn.h>

#include <functional>
#include <mutex>
#include <string>

namespace {

struct loaded {
    sndfile_api api;
    bool ok;
    std::string error;
    std::mutex opening;  // the opens, one at a time
    std::once_flag once;
};

template <typename F>
bool find(void* lib, const char* name, F& f)
{
    f = reinterpret_cast<F>(dlsym(lib, name));
    return f != nullptr;
}

void load(loaded& l)
{
    void* lib = dlopen(KESSCAN_SNDFILE_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (lib && find(lib, "sf_open_fd", l.api.open_fd) && find(lib, "sf_close", l.api.close) &&
        find(lib, "sf_readf_int", l.api.readf_int) && find(lib, "sf_seek", l.api.seek) &&
        find(lib, "sf_error", l.api.error) && find(lib, "sf_strerror", l.api.strerror) &&
        find(lib, "sf_command", l.api.command)) {
        l.ok = true;
        return;
    }
    const char* why = dlerror();
    l.error = why ? why : "libsndfile cannot be loaded";
}

loaded& library()
{
    static loaded lib;
    std::call_once(lib.once, load, std::ref(lib));
    return lib;
}

}  // namespace

const sndfile_api* sndfile(const char** why)
{
    const loaded& lib = library();
    if (why)
        *why = lib.error.c_str();
    return lib.ok ? &lib.api : nullptr;
}

SNDFILE* sndfile_open(const sndfile_api& api, int fd, SF_INFO& info, std::string& why)
{
    const std::lock_guard hold(library().opening);
    SNDFILE* file = api.open_fd(fd, SFM_READ, &info, SF_FALSE);
    if (!file)
        why = api.strerror(nullptr);
    return file;
}

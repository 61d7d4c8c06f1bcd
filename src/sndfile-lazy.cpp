#include "sndfile-lazy.hpp"

#include <dlfcn.h>

#include <string>

namespace {

struct loaded {
    sndfile_api api;
    bool ok;
    std::string error;
};

template <typename F>
bool find(void* lib, const char* name, F& f)
{
    f = reinterpret_cast<F>(dlsym(lib, name));
    return f != nullptr;
}

loaded load()
{
    loaded l{};
    void* lib = dlopen(KESSCAN_SNDFILE_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (lib && find(lib, "sf_open_fd", l.api.open_fd) && find(lib, "sf_close", l.api.close) &&
        find(lib, "sf_readf_int", l.api.readf_int) && find(lib, "sf_seek", l.api.seek) &&
        find(lib, "sf_error", l.api.error) && find(lib, "sf_strerror", l.api.strerror)) {
        l.ok = true;
        return l;
    }
    const char* why = dlerror();
    l.error = why ? why : "libsndfile cannot be loaded";
    return l;
}

}  // namespace

const sndfile_api* sndfile(const char** why)
{
    static const loaded lib = load();
    if (why)
        *why = lib.error.c_str();
    return lib.ok ? &lib.api : nullptr;
}

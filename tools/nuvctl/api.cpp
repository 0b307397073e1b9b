#include "api.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "common.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace nuvctl {

namespace {

Api g_api;
bool g_loaded = false;

// The stdcall decoration counts argument bytes, each argument rounded up to
// four.
template <class R, class... A>
constexpr int ArgumentBytes(R(NUV_CALL *)(A...)) {
    return (0 + ... + static_cast<int>((sizeof(A) + 3) / 4 * 4));
}

template <class F>
std::string ExportName(const char *name, F) {
#if defined(_WIN32) && !defined(_WIN64)
    return "_" + std::string(name) + "@" + std::to_string(ArgumentBytes(F{}));
#else
    return name;
#endif
}

#if defined(_WIN32)
using Handle = HMODULE;
Handle Open(const std::string &path, std::string *error) {
    Handle h = LoadLibraryA(path.c_str());
    if (h == nullptr) *error = "LoadLibraryA failed, error " + std::to_string(GetLastError());
    return h;
}
void *Resolve(Handle h, const std::string &name) {
    return reinterpret_cast<void *>(GetProcAddress(h, name.c_str()));
}
std::vector<std::string> Candidates(const LibraryChoice &choice) {
    if (!choice.path.empty()) return {choice.path};
    if (const char *env = std::getenv("NUVCTL_LIBRARY"); env != nullptr && *env) return {env};
    // The loader looks beside the executable first.
    return {choice.sim ? "nuv_sim.dll" : "nuv.dll"};
}
#else
using Handle = void *;
Handle Open(const std::string &path, std::string *error) {
    Handle h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) {
        const char *text = dlerror();
        *error = text != nullptr ? text : "dlopen failed";
    }
    return h;
}
void *Resolve(Handle h, const std::string &name) { return dlsym(h, name.c_str()); }

std::string ExecutableDir() {
    std::vector<char> buffer(4096);
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return ".";
    std::string path(buffer.data(), static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::vector<std::string> Candidates(const LibraryChoice &choice) {
    if (!choice.path.empty()) return {choice.path};
    if (const char *env = std::getenv("NUVCTL_LIBRARY"); env != nullptr && *env) return {env};
    // The real backend is libnuv.so; the simulated world libnuv_sim.so.
    const std::string file = choice.real ? "libnuv.so" : "libnuv_sim.so";
    const std::string dir = ExecutableDir();
    // Beside the tool (the build tree puts it there), then the installed
    // library directory, then the loader's own search.
    std::vector<std::string> list = {dir + "/" + file, dir + "/../" NUVCTL_LIBDIR "/" + file};
#ifdef NUVCTL_INSTALL_LIBDIR
    list.push_back(std::string(NUVCTL_INSTALL_LIBDIR) + "/" + file);
#endif
    list.push_back(file);
    return list;
}
#endif

}  // namespace

const Api &LoadNuvLibrary(const LibraryChoice &choice) {
    if (choice.sim && choice.real) throw Failure("--sim and --real exclude each other");
    std::string errors;
    Handle handle = nullptr;
    std::string loaded;
    for (const std::string &candidate : Candidates(choice)) {
        std::string error;
        handle = Open(candidate, &error);
        if (handle != nullptr) {
            loaded = candidate;
            break;
        }
        errors += "\n  " + candidate + ": " + error;
    }
    if (handle == nullptr) {
        throw Failure("cannot load the camera library:" + errors +
                      "\n  (choose it with --library PATH or the environment variable NUVCTL_LIBRARY)");
    }
    Api api;
    api.path = loaded;
    std::string missing;
#define NUVCTL_RESOLVE(name)                                                                  \
    {                                                                                         \
        const std::string symbol = ExportName(#name, decltype(api.name){});                   \
        api.name = reinterpret_cast<decltype(api.name)>(Resolve(handle, symbol));             \
        if (api.name == nullptr) missing += " " + symbol;                                     \
    }
    NUVCTL_EXPORTS(NUVCTL_RESOLVE)
    if (!missing.empty()) {
        throw Failure(loaded + " is not a nuv library: it lacks" + missing);
    }
    missing.clear();
    NUVCTL_SIM_EXPORTS(NUVCTL_RESOLVE)
#undef NUVCTL_RESOLVE
    api.simulated = missing.empty();
    if (choice.sim && !api.simulated) {
        throw Failure("--sim: " + loaded + " is not the simulated world (it lacks" + missing + ")");
    }
    g_api = api;
    g_loaded = true;
    return g_api;
}

const Api &Library() {
    if (!g_loaded) throw Failure("internal: no library loaded");
    return g_api;
}

}  // namespace nuvctl

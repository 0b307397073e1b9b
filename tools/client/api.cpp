#include "api.h"

#include <cstdlib>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace nuvclient {

void CallFailed(const std::string &call, const std::string &causes) {
    throw Failure(call + " failed: " + causes);
}

namespace {

// Every library loaded so far (never unloaded: their tables stay valid), and
// the one loaded last.
std::mutex g_mutex;
std::list<Api> g_loaded;
const Api *g_last = nullptr;

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

// The library the user named: the path, else the environment variable.
std::string Named(const LibraryChoice &choice) {
    if (!choice.path.empty()) return choice.path;
    const char *env = choice.environment.empty() ? nullptr : std::getenv(choice.environment.c_str());
    return env != nullptr ? env : "";
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
    if (const std::string named = Named(choice); !named.empty()) return {named};
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

std::vector<std::string> Candidates(const LibraryChoice &choice) {
    if (const std::string named = Named(choice); !named.empty()) return {named};
    // The real backend is libnuv.so; the simulated world libnuv_sim.so.
    const std::string file = choice.real ? "libnuv.so" : "libnuv_sim.so";
    std::vector<std::string> dirs = choice.searchDirs;
    if (dirs.empty()) {
        // Beside the tool (the build tree puts it there), then the library
        // directory of its installation.
        const std::string dir = ExecutableDir();
        dirs = {dir, dir + "/../" NUV_CLIENT_LIBDIR};
    }
    std::vector<std::string> list;
    for (const std::string &dir : dirs) list.push_back(dir + "/" + file);
    // Then the installed library directory, then the loader's own search.
#ifdef NUV_CLIENT_INSTALL_LIBDIR
    list.push_back(std::string(NUV_CLIENT_INSTALL_LIBDIR) + "/" + file);
#endif
    list.push_back(file);
    return list;
}
#endif

}  // namespace

std::string ExecutableDir() {
#if defined(_WIN32)
    std::vector<char> buffer(MAX_PATH * 4);
    const DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    std::string path(buffer.data(), n);
    const auto slash = path.find_last_of("\\/");
#else
    std::vector<char> buffer(4096);
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return ".";
    std::string path(buffer.data(), static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
#endif
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

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
        throw Failure("cannot load the camera library:" + errors + "\n  (choose it with " + choice.howToChoose + ")");
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
    const std::lock_guard<std::mutex> lock(g_mutex);
    for (const Api &known : g_loaded) {
        // The loader hands out one copy of a library, whatever path named
        // it: the same functions make the same table.
        if (known.NuvOpen == api.NuvOpen) return *(g_last = &known);
    }
    g_loaded.push_back(api);
    g_last = &g_loaded.back();
    return *g_last;
}

const Api &Library() {
    const std::lock_guard<std::mutex> lock(g_mutex);
    if (g_last == nullptr) throw Failure("internal: no library loaded");
    return *g_last;
}

}  // namespace nuvclient

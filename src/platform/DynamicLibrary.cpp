#include "platform/DynamicLibrary.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <utility>

namespace platform {
namespace {

#ifdef _WIN32
constexpr const char* kSeparators = "\\/";
#else
constexpr const char* kSeparators = "/";
#endif

}  // namespace

DynamicLibrary::~DynamicLibrary() { Close(); }

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), path_(std::move(other.path_)) {
    other.path_.clear();
}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
    if (this == &other) return *this;
    Close();
    handle_ = std::exchange(other.handle_, nullptr);
    path_ = std::move(other.path_);
    other.path_.clear();
    return *this;
}

bool DynamicLibrary::Open(const std::string& fileName) {
    Close();
    if (fileName.empty()) return false;
    if (fileName.find_first_of(kSeparators) != std::string::npos) return TryOpen(fileName);
    const std::string own = OwnDirectory();
    if (!own.empty() && TryOpen(own + fileName)) return true;
    return TryOpen(fileName);
}

#ifdef _WIN32

bool DynamicLibrary::TryOpen(const std::string& path) {
    // No "cannot find module" message boxes for the host's user: a missing
    // plug-in is an ordinary, silent outcome.
    const UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = LoadLibraryA(path.c_str());
    SetErrorMode(oldMode);
    if (module == nullptr) return false;
    handle_ = module;
    path_ = path;
    return true;
}

void DynamicLibrary::Close() {
    if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = nullptr;
    path_.clear();
}

void* DynamicLibrary::Symbol(const char* name) const {
    if (handle_ == nullptr || name == nullptr) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

std::string DynamicLibrary::OwnDirectory() {
    // Any address inside this module identifies it; a constant of this file will do.
    static const char kAnchor = 0;
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            &kAnchor, &self)) {
        return {};
    }
    char file[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameA(self, file, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    const std::string path(file, length);
    const auto slash = path.find_last_of(kSeparators);
    if (slash == std::string::npos) return {};
    return path.substr(0, slash + 1);
}

#else

bool DynamicLibrary::TryOpen(const std::string& path) {
    // RTLD_LOCAL keeps the module's symbols out of the global namespace, so two
    // modules exporting the same names cannot interpose on each other. RTLD_NODELETE
    // keeps a module mapped after its last close: the decoder plug-in pulls in codec
    // libraries whose one-time process state does not survive being unmapped (it is
    // leaked on every unload), and loading them again costs about 16 ms per ORV_Init.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) return false;
    handle_ = handle;
    path_ = path;
    return true;
}

void DynamicLibrary::Close() {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = nullptr;
    path_.clear();
}

void* DynamicLibrary::Symbol(const char* name) const {
    if (handle_ == nullptr || name == nullptr) return nullptr;
    return dlsym(handle_, name);
}

std::string DynamicLibrary::OwnDirectory() {
    Dl_info info{};
    // Any address inside this module identifies it; a constant of this file will do.
    static const char kAnchor = 0;
    if (dladdr(&kAnchor, &info) == 0 || info.dli_fname == nullptr) return {};
    const std::string file = info.dli_fname;
    const auto slash = file.rfind('/');
    if (slash == std::string::npos) return {};
    return file.substr(0, slash + 1);
}

#endif

}  // namespace platform

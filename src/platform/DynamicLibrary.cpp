#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

#include <utility>

namespace platform {

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
    if (fileName.find('/') != std::string::npos) return TryOpen(fileName);
    const std::string own = OwnDirectory();
    if (!own.empty() && TryOpen(own + fileName)) return true;
    return TryOpen(fileName);
}

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

}  // namespace platform

// Run-time loading of a shared library and lookup of its symbols.
#pragma once

#include <string>

namespace platform {

// Owns one loaded module; the module is closed when the object goes away.
class DynamicLibrary {
public:
    DynamicLibrary() = default;
    ~DynamicLibrary();
    DynamicLibrary(DynamicLibrary&& other) noexcept;
    DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // A bare file name is looked for beside the module that contains this code
    // first (so a plug-in shipped next to our library wins), then on the system's
    // default search path. A name with a directory part is opened as given.
    // Closes whatever was open before. True when a module is open afterwards.
    bool Open(const std::string& fileName);
    void Close();

    bool IsOpen() const { return handle_ != nullptr; }
    // Address of an exported symbol, or nullptr when closed or absent.
    void* Symbol(const char* name) const;
    // Path that was actually opened (empty when closed).
    const std::string& Path() const { return path_; }

    // Directory of the module (shared library or executable) this code lives in,
    // with a trailing separator; empty when it cannot be told.
    static std::string OwnDirectory();

private:
    bool TryOpen(const std::string& path);

    void* handle_ = nullptr;
    std::string path_;
};

}  // namespace platform

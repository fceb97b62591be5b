// The Windows side of the platform layer: the named shared block and loading a
// module beside our own.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/DynamicLibrary.h"
#include "platform/SharedBlock.h"

namespace {

std::string UniqueName(const char* what) {
    return std::string("OrvTest") + what + std::to_string(GetCurrentProcessId());
}

bool NameExists(const std::string& name) {
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    if (mapping == nullptr) return false;
    CloseHandle(mapping);
    return true;
}

TEST(SharedBlockWindows, CreatorZeroesAndLaterHoldersKeepTheBytes) {
    const std::string name = UniqueName("Share");
    // A mapping that already holds bytes: a block opening it must not clear them.
    HANDLE foreign = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 120, name.c_str());
    ASSERT_NE(foreign, nullptr);
    auto* bytes = static_cast<unsigned char*>(MapViewOfFile(foreign, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(bytes, nullptr);
    bytes[0] = 0x5A;
    bytes[119] = 0xA5;
    {
        platform::SharedBlock joined(name, 120);
        ASSERT_TRUE(joined.IsMapped());
        EXPECT_FALSE(joined.Created());
        EXPECT_EQ(joined.Data()[0], 0x5A);
        EXPECT_EQ(joined.Data()[119], 0xA5);
        joined.Data()[1] = 7;
    }
    EXPECT_EQ(bytes[1], 7);  // the same memory
    UnmapViewOfFile(bytes);
    CloseHandle(foreign);
    EXPECT_FALSE(NameExists(name));

    platform::SharedBlock created(name, 120);
    ASSERT_TRUE(created.IsMapped());
    EXPECT_TRUE(created.Created());
    for (int i = 0; i < 120; ++i) ASSERT_EQ(created.Data()[i], 0) << i;
}

TEST(SharedBlockWindows, NameLastsAsLongAsAnyHolder) {
    const std::string name = UniqueName("Life");
    auto first = std::make_unique<platform::SharedBlock>(name, 120);
    auto second = std::make_unique<platform::SharedBlock>(name, 120);
    EXPECT_TRUE(first->Created());
    EXPECT_FALSE(second->Created());
    first->Release();
    first->Release();  // idempotent
    EXPECT_TRUE(NameExists(name));
    second.reset();
    EXPECT_FALSE(NameExists(name));
}

TEST(DynamicLibraryWindows, FindsThePluginBesideItsOwnModule) {
    // The test program lies in the folder of the DLLs, as a host does in the package.
    const std::string own = platform::DynamicLibrary::OwnDirectory();
    ASSERT_FALSE(own.empty());
    EXPECT_EQ(own.back(), '\\');
    platform::DynamicLibrary plugin;
    ASSERT_TRUE(plugin.Open("VEVIDAZev2.dll"));
    EXPECT_EQ(plugin.Path(), own + "VEVIDAZev2.dll");
    EXPECT_NE(plugin.Symbol("GetDecoder"), nullptr);
    EXPECT_EQ(plugin.Symbol("GetDecoder@4"), nullptr);
    EXPECT_EQ(plugin.Symbol("NoSuchFunction"), nullptr);
    EXPECT_FALSE(plugin.Open("NoSuchPlugin.dll"));
    EXPECT_FALSE(plugin.IsOpen());
}

}  // namespace

// Loading the plug-in: lookup order, API level, user counting, and life without it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "PluginHarness.h"
#include "platform/DynamicLibrary.h"
#include "video/DecoderApi.h"

namespace {

using processing::MPEG4Decoder;

TEST(DecoderApi, MissingLibraryLeavesEverythingWorkingWithoutHandles) {
    DecoderApi api("libOrvNoSuchDecoder.so");
    EXPECT_FALSE(api.AddUser());
    EXPECT_FALSE(api.IsAvailable());
    EXPECT_EQ(api.Level(), 0);
    {
        MPEG4Decoder decoder(api);
        EXPECT_FALSE(decoder.SetCodec(MPEG4Decoder::kKindMpeg4));
        EXPECT_FALSE(decoder.SetCodec(MPEG4Decoder::kKindAvc));
        EXPECT_EQ(decoder.Handle(), 0);
        const uint8_t data[] = {0, 0, 1, 0xB6};
        EXPECT_NE(decoder.SetBytes(data, sizeof data, 1, 1, 1), 0);
        int32_t w = 5, h = 5, f = 5;
        EXPECT_NE(decoder.GetFrameInfo(w, h, f), 0);
        EXPECT_EQ(w, 0);
    }
    api.RemoveUser();
    EXPECT_EQ(api.Users(), 0);
}

// A module without the decoder names (the C maths library) is not a decoder.
TEST(DecoderApi, ModuleWithoutTheFunctionsIsNotAvailable) {
    DecoderApi api("libm.so.6");
    EXPECT_FALSE(api.AddUser());
    EXPECT_EQ(api.Level(), 0);
    MPEG4Decoder decoder(api);
    EXPECT_FALSE(decoder.SetCodec(MPEG4Decoder::kKindMpeg4));
    api.RemoveUser();
}

TEST(DecoderApi, FirstUserLoadsLastUserUnloads) {
    DecoderApi api(ORV_TEST_DECODER_PLUGIN);
    EXPECT_FALSE(api.IsAvailable());
    ASSERT_TRUE(api.AddUser());
    EXPECT_EQ(api.Level(), 2);
    const auto& f = api.Functions();
    EXPECT_TRUE(f.GetDecoder && f.ReleaseDecoder && f.SetParams && f.SetBytes && f.GetFrameInfo && f.GetFrame &&
                f.GetDecType2 && f.SetParams2 && f.SetParser2 && f.GetFrame2);
    EXPECT_TRUE(api.AddUser());
    EXPECT_EQ(api.Users(), 2);
    api.RemoveUser();
    EXPECT_TRUE(api.IsAvailable());
    api.RemoveUser();
    EXPECT_FALSE(api.IsAvailable());
    EXPECT_EQ(api.Level(), 0);
    EXPECT_EQ(api.Functions().GetDecoder, nullptr);
    api.RemoveUser();  // one too many must not underflow
    EXPECT_EQ(api.Users(), 0);
    // Loads again for the next first user.
    EXPECT_TRUE(api.AddUser());
    api.RemoveUser();
}

// A live handle keeps the plug-in loaded: its release must not call into freed code.
TEST(DecoderApi, DecoderHoldsThePluginUntilReleased) {
    DecoderApi api(ORV_TEST_DECODER_PLUGIN);
    ASSERT_TRUE(api.AddUser());
    auto decoder = std::make_unique<MPEG4Decoder>(api);
    ASSERT_TRUE(decoder->SetCodec(MPEG4Decoder::kKindAvc));
    api.RemoveUser();
    EXPECT_TRUE(api.IsAvailable());
    decoder.reset();
    EXPECT_FALSE(api.IsAvailable());
}

TEST(DecoderApi, SetCodecReplacesTheHandle) {
    DecoderApi& api = dectest::PluginApi();
    ASSERT_TRUE(api.AddUser());
    {
        MPEG4Decoder decoder(api);
        ASSERT_TRUE(decoder.SetCodec(MPEG4Decoder::kKindMpeg4));
        const int32_t first = decoder.Handle();
        EXPECT_EQ(api.Functions().GetDecType2(first), decoder_abi::kCodecMpeg4);
        ASSERT_TRUE(decoder.SetCodec(MPEG4Decoder::kKindAvc));
        EXPECT_EQ(api.Functions().GetDecType2(decoder.Handle()), decoder_abi::kCodecAvc);
        EXPECT_LT(api.Functions().GetDecType2(first), 0) << "the old handle was not released";
        const int32_t second = decoder.Handle();
        EXPECT_FALSE(decoder.SetCodec(0));
        EXPECT_EQ(decoder.Handle(), 0);
        EXPECT_LT(api.Functions().GetDecType2(second), 0);
    }
    api.RemoveUser();
}

class DynamicLibraryTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (!link_.empty()) std::filesystem::remove(link_);
    }
    std::string link_;
};

// A bare name is found beside our own module before the default search path.
TEST_F(DynamicLibraryTest, BareNameIsFoundInOwnDirectory) {
    const std::string own = platform::DynamicLibrary::OwnDirectory();
    ASSERT_FALSE(own.empty());
    const std::string name = "libOrvLookupProbe" + std::to_string(getpid()) + ".so";
    platform::DynamicLibrary library;
    EXPECT_FALSE(library.Open(name));
    link_ = own + name;
    std::filesystem::create_symlink(ORV_TEST_DECODER_PLUGIN, link_);
    ASSERT_TRUE(library.Open(name));
    EXPECT_EQ(library.Path(), own + name);
    EXPECT_NE(library.Symbol("GetDecoder"), nullptr);
    EXPECT_EQ(library.Symbol("NoSuchSymbol"), nullptr);
    // Only the decoder names are exported.
    EXPECT_EQ(library.Symbol("_ZN5vevid13StreamDecoder6CreateEi"), nullptr);
}

TEST_F(DynamicLibraryTest, DefaultSearchPathAndOwnership) {
    platform::DynamicLibrary library;
    EXPECT_EQ(library.Symbol("cos"), nullptr);
    ASSERT_TRUE(library.Open("libm.so.6"));
    EXPECT_EQ(library.Path(), "libm.so.6");
    EXPECT_NE(library.Symbol("cos"), nullptr);
    platform::DynamicLibrary moved(std::move(library));
    EXPECT_FALSE(library.IsOpen());
    EXPECT_TRUE(moved.IsOpen());
    EXPECT_NE(moved.Symbol("cos"), nullptr);
    EXPECT_FALSE(moved.Open("/nonexistent/libm.so.6"));
    EXPECT_FALSE(moved.IsOpen());
    EXPECT_TRUE(moved.Path().empty());
    EXPECT_FALSE(moved.Open(""));
}

}  // namespace

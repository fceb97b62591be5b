#include <gtest/gtest.h>

#include <cstdlib>

#include "PictureTestSupport.h"
#include "video/JpegEncoder.h"

using namespace processing;

namespace {

TOrvFrame BgrFrame(int w, int h) {
    TOrvFrame f;
    f.width = w;
    f.height = h;
    f.format = Bgr24;
    f.isColour = 1;
    const auto bgr = picture_test::MakeBgr(w, h, 4);
    f.data.assign(bgr.begin(), bgr.end());
    return f;
}

TEST(JpegEncoding, BgrBecomesA420JpegOfTheSamePicture) {
    JpegCompressor compressor;
    platform::RawBuffer output;
    TOrvFrame frame = BgrFrame(96, 64);
    const auto original = frame.data;
    ASSERT_TRUE(EncodeBgrFrameToJpeg(compressor, output, frame, kLiveJpegQuality));
    EXPECT_EQ(frame.format, Jpeg);
    ASSERT_GT(frame.data.size(), 4u);
    EXPECT_EQ(frame.data[0], 0xFF);
    EXPECT_EQ(frame.data[1], 0xD8);

    tjhandle d = tjInitDecompress();
    int w = 0, h = 0, sub = -1, cs = -1;
    ASSERT_EQ(tjDecompressHeader3(d, frame.data.data(), frame.data.size(), &w, &h, &sub, &cs), 0);
    EXPECT_EQ(w, 96);
    EXPECT_EQ(h, 64);
    EXPECT_EQ(sub, TJSAMP_420);
    std::vector<uint8_t> back(original.size());
    ASSERT_EQ(tjDecompress2(d, frame.data.data(), frame.data.size(), back.data(), w, 0, h, TJPF_BGR, 0), 0);
    tjDestroy(d);
    long diff = 0;
    for (size_t i = 0; i < back.size(); ++i) {
        diff += std::abs(int(back[i]) - int(original[i]));
    }
    EXPECT_LT(static_cast<double>(diff) / static_cast<double>(back.size()), 12.0);  // same picture, lossy
}

TEST(JpegEncoding, OutputBufferIsSizedOnceAndReused) {
    JpegCompressor compressor;
    platform::RawBuffer output;
    TOrvFrame a = BgrFrame(64, 48);
    ASSERT_TRUE(EncodeBgrFrameToJpeg(compressor, output, a, kArchiveJpegQuality));
    const uint8_t* area = output.Data();
    const size_t capacity = output.Capacity();
    EXPECT_GE(capacity, static_cast<size_t>(tjBufSize(64, 48, TJSAMP_420)));
    TOrvFrame b = BgrFrame(64, 48);
    ASSERT_TRUE(EncodeBgrFrameToJpeg(compressor, output, b, kArchiveJpegQuality));
    EXPECT_EQ(output.Data(), area);
    EXPECT_EQ(output.Capacity(), capacity);
    EXPECT_EQ(a.data, b.data);  // same picture, same quality, same file
}

TEST(JpegEncoding, RefusedInputLeavesTheFrame) {
    JpegCompressor compressor;
    platform::RawBuffer output;
    TOrvFrame yuyv = BgrFrame(16, 16);
    yuyv.format = Yuyv;
    const auto before = yuyv.data;
    EXPECT_FALSE(EncodeBgrFrameToJpeg(compressor, output, yuyv, kLiveJpegQuality));
    EXPECT_EQ(yuyv.format, Yuyv);
    EXPECT_EQ(yuyv.data, before);

    TOrvFrame shortData = BgrFrame(16, 16);
    shortData.data.resize(100);
    EXPECT_FALSE(EncodeBgrFrameToJpeg(compressor, output, shortData, kLiveJpegQuality));
    EXPECT_EQ(shortData.format, Bgr24);
    EXPECT_EQ(shortData.data.size(), 100u);
}

}  // namespace

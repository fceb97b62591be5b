#include "protocol/Wire.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace orv_stuff {

// ---------------------------------------------------------------------------
// Little-endian primitives

void PutU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void PutI16(uint8_t* p, int16_t v) { PutU16(p, static_cast<uint16_t>(v)); }
void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutI32(uint8_t* p, int32_t v) { PutU32(p, static_cast<uint32_t>(v)); }
void PutF64(uint8_t* p, double v) {
    uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(bits >> (8 * i));
}
uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
int16_t GetI16(const uint8_t* p) { return static_cast<int16_t>(GetU16(p)); }
uint32_t GetU32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
int32_t GetI32(const uint8_t* p) { return static_cast<int32_t>(GetU32(p)); }
double GetF64(const uint8_t* p) {
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = (bits << 8) | p[i];
    double v = 0.0;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// ---------------------------------------------------------------------------
// Commands and numbers

std::optional<uint16_t> ArchiveChannelCommand(int32_t channel, uint8_t function) {
    if (channel < 0 || channel >= kArchiveChannelCount) return std::nullopt;
    return static_cast<uint16_t>((kArchiveChannelCodes[channel] << 8) | function);
}

int32_t RoundToInt32(double value) {
    if (std::isnan(value)) return 0;
    const double rounded = std::round(value);  // halves away from zero
    if (rounded >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    if (rounded <= static_cast<double>(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(rounded);
}

// ---------------------------------------------------------------------------
// Header

void EncodeHeader(const TMsgHeader& h, uint8_t* out) {
    PutU32(out + 0, h.magic);
    PutI32(out + 4, h.length);
    PutU16(out + 8, h.command);
    PutU16(out + 10, h.version);
    PutI32(out + 12, h.field12);
    PutF64(out + 16, h.field16);
    PutI32(out + 24, h.field24);
    PutI32(out + 28, h.field28);
    PutI32(out + 32, h.field32);
    PutI32(out + 36, h.field36);
    PutI32(out + 40, h.field40);
    PutI32(out + 44, h.field44);
    PutI32(out + 48, h.field48);
    PutI32(out + 52, h.field52);
    PutF64(out + 56, h.field56);
    PutF64(out + 64, h.field64);
    std::memcpy(out + 72, h.field72, 8);
}

TMsgHeader DecodeHeader(const uint8_t* in) {
    TMsgHeader h;
    h.magic = GetU32(in + 0);
    h.length = GetI32(in + 4);
    h.command = GetU16(in + 8);
    h.version = GetU16(in + 10);
    h.field12 = GetI32(in + 12);
    h.field16 = GetF64(in + 16);
    h.field24 = GetI32(in + 24);
    h.field28 = GetI32(in + 28);
    h.field32 = GetI32(in + 32);
    h.field36 = GetI32(in + 36);
    h.field40 = GetI32(in + 40);
    h.field44 = GetI32(in + 44);
    h.field48 = GetI32(in + 48);
    h.field52 = GetI32(in + 52);
    h.field56 = GetF64(in + 56);
    h.field64 = GetF64(in + 64);
    std::memcpy(h.field72, in + 72, 8);
    return h;
}

// ---------------------------------------------------------------------------
// Records

void EncodeServerInfo(const TServerInfo& info, uint8_t* out) {
    PutI32(out + 0, info.firstCamera);
    PutI32(out + 4, info.lastCamera);
    PutI32(out + 8, info.cameraCount);
    std::memcpy(out + 12, info.activeFlags, sizeof info.activeFlags);
    std::memcpy(out + 140, info.extra, sizeof info.extra);
}

TServerInfo DecodeServerInfo(const uint8_t* in) {
    TServerInfo info;
    info.firstCamera = GetI32(in + 0);
    info.lastCamera = GetI32(in + 4);
    info.cameraCount = GetI32(in + 8);
    std::memcpy(info.activeFlags, in + 12, sizeof info.activeFlags);
    std::memcpy(info.extra, in + 140, sizeof info.extra);
    return info;
}

void EncodeCameraRecord(const TCameraRecord& r, uint8_t* out) {
    out[0] = r.active;
    out[1] = r.reserved1;
    PutI16(out + 2, r.value1);
    PutI16(out + 4, r.value2);
    std::memcpy(out + 6, r.reserved6, 2);
    std::memcpy(out + 8, r.time, 8);
    PutI32(out + 16, r.value3);
    std::memcpy(out + 20, r.reserved20, 4);
    std::memcpy(out + 24, r.value4, 8);
    PutI16(out + 32, r.flagA);
    PutI16(out + 34, r.flagB);
    std::memcpy(out + 36, r.reserved36, 4);
}

TCameraRecord DecodeCameraRecord(const uint8_t* in) {
    TCameraRecord r;
    r.active = in[0];
    r.reserved1 = in[1];
    r.value1 = GetI16(in + 2);
    r.value2 = GetI16(in + 4);
    std::memcpy(r.reserved6, in + 6, 2);
    std::memcpy(r.time, in + 8, 8);
    r.value3 = GetI32(in + 16);
    std::memcpy(r.reserved20, in + 20, 4);
    std::memcpy(r.value4, in + 24, 8);
    r.flagA = GetI16(in + 32);
    r.flagB = GetI16(in + 34);
    std::memcpy(r.reserved36, in + 36, 4);
    return r;
}

void EncodeCameraStatus(const TCameraStatus& st, uint8_t* out) {
    std::memcpy(out + 0, st.bytes, 4);
    PutI16(out + 4, st.value1);
    std::memcpy(out + 6, st.reserved6, 2);
    PutI16(out + 8, st.value2);
    std::memcpy(out + 10, st.reserved10, 2);
}

TCameraStatus DecodeCameraStatus(const uint8_t* in) {
    TCameraStatus st;
    std::memcpy(st.bytes, in + 0, 4);
    st.value1 = GetI16(in + 4);
    std::memcpy(st.reserved6, in + 6, 2);
    st.value2 = GetI16(in + 8);
    std::memcpy(st.reserved10, in + 10, 2);
    return st;
}

void EncodeFrameEntry(const TFrameEntry& e, uint8_t* out, size_t wireSize) {
    PutI32(out + 0, e.camera);
    PutI32(out + 4, e.maxWidth);
    PutI32(out + 8, e.maxHeight);
    PutI32(out + 12, e.reserved12);
    PutI32(out + 16, e.auxLength);
    PutI32(out + 20, e.payloadLength);
    PutF64(out + 24, e.time);
    PutI32(out + 32, e.frameId);
    PutI32(out + 36, e.lead1Length);
    PutI32(out + 40, e.lead2Length);
    PutI32(out + 44, e.trailLength);
    if (wireSize < kFrameEntryLongSize) return;
    out[48] = e.longForm;
    out[49] = e.extraFlag;
    std::memcpy(out + 50, e.reserved50, 6);
    PutF64(out + 56, e.extraTime);
    PutI32(out + 64, e.extraLength);
    std::memcpy(out + 68, e.reserved68, 4);
}

void DecodeFrameEntryInto(const uint8_t* in, size_t wireSize, TFrameEntry& e) {
    e.camera = GetI32(in + 0);
    e.maxWidth = GetI32(in + 4);
    e.maxHeight = GetI32(in + 8);
    e.reserved12 = GetI32(in + 12);
    e.auxLength = GetI32(in + 16);
    e.payloadLength = GetI32(in + 20);
    e.time = GetF64(in + 24);
    e.frameId = GetI32(in + 32);
    e.lead1Length = GetI32(in + 36);
    e.lead2Length = GetI32(in + 40);
    e.trailLength = GetI32(in + 44);
    if (wireSize < kFrameEntryLongSize) {
        e.extraLength = 0;
        return;
    }
    e.longForm = in[48];
    e.extraFlag = in[49];
    std::memcpy(e.reserved50, in + 50, 6);
    e.extraTime = GetF64(in + 56);
    e.extraLength = GetI32(in + 64);
    std::memcpy(e.reserved68, in + 68, 4);
}

TFrameEntry DecodeFrameEntry(const uint8_t* in, size_t wireSize) {
    TFrameEntry e;
    DecodeFrameEntryInto(in, wireSize, e);
    return e;
}

void FrameEntryBlockLengths(const TFrameEntry& e, int32_t (&lengths)[kFrameEntryBlockCount]) {
    lengths[0] = e.lead1Length;
    lengths[1] = e.lead2Length;
    lengths[2] = e.payloadLength;
    lengths[3] = e.auxLength;
    lengths[4] = e.trailLength;
    lengths[5] = e.extraLength;
}

void EncodeCameraPosition(const TCameraPosition& p, uint8_t* out) {
    PutI32(out + 0, p.value);
    PutI32(out + 4, p.kind);
    PutF64(out + 8, p.x);
    PutF64(out + 16, p.y);
    PutF64(out + 24, p.z);
}

TCameraPosition DecodeCameraPosition(const uint8_t* in) {
    TCameraPosition p;
    p.value = GetI32(in + 0);
    p.kind = GetI32(in + 4);
    p.x = GetF64(in + 8);
    p.y = GetF64(in + 16);
    p.z = GetF64(in + 24);
    return p;
}

// ---------------------------------------------------------------------------
// Login key

namespace {

// US-layout character on the key of each Windows-1251 Cyrillic letter, indexed
// by (code & 0x1F); upper case 0xC0..0xDF and lower case 0xE0..0xFF share a key.
constexpr char kCyrillicKeys[32] = {
    'f',  ',', 'd', 'u', 'l', 't', ';', 'p',  // 0xC0..0xC7: А Б В Г Д Е Ж З
    'b',  'q', 'r', 'k', 'v', 'y', 'j', 'g',  // 0xC8..0xCF: И Й К Л М Н О П
    'h',  'c', 'n', 'e', 'a', '[', 'w', 'x',  // 0xD0..0xD7: Р С Т У Ф Х Ц Ч
    'i',  'o', ']', 's', 'm', '\'', '.', 'z',  // 0xD8..0xDF: Ш Щ Ъ Ы Ь Э Ю Я
};

char MapCyrillicKey(unsigned char c) {
    if (c < 0xC0) return static_cast<char>(c);
    return kCyrillicKeys[c & 0x1F];
}

}  // namespace

std::string NormalizeLoginKey(std::string_view loginText) {
    char buffer[9];
    std::memset(buffer, ' ', 8);
    buffer[8] = '\0';
    const size_t copied = std::min<size_t>(loginText.size(), 8);
    std::memcpy(buffer, loginText.data(), copied);
    for (char& c : buffer) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    for (size_t i = 0; i < copied; ++i) buffer[i] = MapCyrillicKey(static_cast<unsigned char>(buffer[i]));
    return std::string(buffer, std::strlen(buffer));
}

// ---------------------------------------------------------------------------
// Buffers and block reading

void SendBuffer::Append(const void* bytes, size_t n) {
    const size_t needed = position_ + n;
    if (needed > capacity_) {
        const size_t grown = std::max(needed, capacity_ * 2);
        std::unique_ptr<uint8_t[]> next(new uint8_t[grown]);
        if (used_ > 0) std::memcpy(next.get(), storage_.get(), used_);
        storage_ = std::move(next);
        capacity_ = grown;
    }
    if (n > 0) std::memcpy(storage_.get() + position_, bytes, n);
    position_ = needed;
    used_ = std::max(used_, position_);
}

void SendBuffer::PatchI32(size_t offset, int32_t value) {
    if (offset + 4 > used_) return;
    PutI32(storage_.get() + offset, value);
}

bool DrainBytes(IByteChannel& channel, int64_t length, RawBuffer& scratch) {
    if (length <= 0) return true;
    if (length > kMaxDrainBytes) {
        channel.MarkOutOfStep();
        return false;
    }
    constexpr size_t kChunk = 64 * 1024;
    scratch.Reserve(kChunk);
    while (length > 0) {
        const auto chunk = static_cast<int32_t>(std::min<int64_t>(length, kChunk));
        if (!channel.Read(scratch.Data(), chunk)) return false;
        length -= chunk;
    }
    return true;
}

BlockResult ReadPayloadBlock(IByteChannel& channel, int32_t length, uint8_t* dst, size_t capacity,
                             RawBuffer& scratch) {
    if (length <= 0) return BlockResult::Absent;
    if (dst == nullptr || static_cast<size_t>(length) > capacity) {
        return DrainBytes(channel, length, scratch) ? BlockResult::TooLarge : BlockResult::Failed;
    }
    return channel.Read(dst, length) ? BlockResult::Read : BlockResult::Failed;
}

}  // namespace orv_stuff

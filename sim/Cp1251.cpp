#include "sim/Cp1251.h"

#include <cstdint>

namespace orv_sim {
namespace {

// Code points outside the contiguous Cyrillic block that the code page also holds.
char MapSpecial(uint32_t cp) {
    switch (cp) {
        case 0x0401:
            return static_cast<char>(0xA8);  // Ё
        case 0x0451:
            return static_cast<char>(0xB8);  // ё
        case 0x2116:
            return static_cast<char>(0xB9);  // №
        case 0x00AB:
            return static_cast<char>(0xAB);  // «
        case 0x00BB:
            return static_cast<char>(0xBB);  // »
        case 0x00A0:
            return static_cast<char>(0xA0);  // no-break space
        case 0x2013:
            return static_cast<char>(0x96);  // en dash
        case 0x2014:
            return static_cast<char>(0x97);  // em dash
        default:
            return '?';
    }
}

char MapCodePoint(uint32_t cp) {
    if (cp < 0x80) return static_cast<char>(cp);
    if (cp >= 0x0410 && cp <= 0x044F) return static_cast<char>(0xC0 + (cp - 0x0410));
    return MapSpecial(cp);
}

}  // namespace

std::string Utf8ToCp1251(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        int extra = 0;
        uint32_t cp = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            cp = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            cp = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            cp = lead & 0x07;
        } else {
            out.push_back('?');
            ++i;
            continue;
        }
        bool valid = true;
        for (int k = 1; valid && k <= extra; ++k) {
            if (i + static_cast<size_t>(k) >= utf8.size()) {
                valid = false;
                break;
            }
            const auto cont = static_cast<unsigned char>(utf8[i + static_cast<size_t>(k)]);
            if ((cont & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            cp = (cp << 6) | (cont & 0x3F);
        }
        if (!valid) {
            out.push_back('?');
            ++i;
            continue;
        }
        out.push_back(MapCodePoint(cp));
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

}  // namespace orv_sim

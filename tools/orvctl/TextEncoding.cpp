#include "TextEncoding.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <array>

namespace orvctl {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

#ifdef _WIN32

// The system's code-page tables, one byte at a time as below.
class Converter {
  public:
    void Append(char byte, std::string& out) {
        wchar_t wide = 0;
        std::array<char, 8> buffer{};
        if (MultiByteToWideChar(1251, MB_ERR_INVALID_CHARS, &byte, 1, &wide, 1) != 1) {
            out += kReplacement;
            return;
        }
        const int n = WideCharToMultiByte(CP_UTF8, 0, &wide, 1, buffer.data(), static_cast<int>(buffer.size()),
                                          nullptr, nullptr);
        if (n <= 0) {
            out += kReplacement;
            return;
        }
        out.append(buffer.data(), static_cast<size_t>(n));
    }
};

#else

// Converts one byte at a time so an unassigned byte (0x98) costs one replacement
// character instead of ending the conversion.
class Converter {
  public:
    Converter() : cd_(iconv_open("UTF-8", "CP1251")) {}
    ~Converter() {
        if (cd_ != reinterpret_cast<iconv_t>(-1)) {
            iconv_close(cd_);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    void Append(char byte, std::string& out) {
        if (cd_ == reinterpret_cast<iconv_t>(-1)) {
            out += kReplacement;
            return;
        }
        std::array<char, 8> buffer{};
        char* in = &byte;
        size_t inLeft = 1;
        char* outPtr = buffer.data();
        size_t outLeft = buffer.size();
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd_, &in, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
            out += kReplacement;
            return;
        }
        out.append(buffer.data(), buffer.size() - outLeft);
    }

  private:
    iconv_t cd_;
};

#endif

}  // namespace

std::string Cp1251ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    Converter converter;
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x80) {
            out += c;
        } else {
            converter.Append(c, out);
        }
    }
    return out;
}

}  // namespace orvctl

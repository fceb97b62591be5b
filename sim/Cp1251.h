// Conversion of configuration text (UTF-8) to the Windows-1251 bytes that camera
// names and login texts carry on the wire.
#pragma once

#include <string>
#include <string_view>

namespace orv_sim {

// Converts UTF-8 text to Windows-1251. ASCII passes unchanged; Cyrillic letters
// (including Ё/ё) and a few common signs map to their code page bytes; anything
// else, and malformed UTF-8, becomes '?'.
std::string Utf8ToCp1251(std::string_view utf8);

}  // namespace orv_sim

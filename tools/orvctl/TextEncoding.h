// Text from the servers (camera names, plate numbers) is Windows-1251; terminals and
// files want UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace orvctl {

// Windows-1251 bytes to UTF-8. ASCII passes unchanged; a byte without a character in
// the code page becomes U+FFFD.
std::string Cp1251ToUtf8(std::string_view text);

}  // namespace orvctl

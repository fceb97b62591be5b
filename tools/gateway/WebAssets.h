// The web page, built into the program from web/index.html.
#pragma once

#include <string_view>

namespace gateway {

std::string_view IndexHtml();

}  // namespace gateway

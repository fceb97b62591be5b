// One licence-plate event as filed by the plate helper and handed to the host.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "video/TOrvFrame.h"

struct PlateRecord {
    int32_t server = 0;  // handle of the server whose text produced the record
    int32_t camera = 0;  // camera number 1..2048
    double time = 0.0;   // server's local time as written in the message (OLE date); 0 when unreadable
    std::string number;  // plate text
    std::map<std::string, std::string> attributes;  // payload pairs, keys in lower case
    std::optional<TOrvFrame> frame;                 // archive picture; only ever set in the copy handed out
    double requestTime = 0.0;  // time + host offset, the archive time asked for; 0 when stored
};

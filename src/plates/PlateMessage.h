// Turning a server's plate message text into a PlateRecord.
//
// The text is a flat run of tagged elements such as
//   <W>4097</W><C>4</C><T>05.03.2021 14:07:09.250</T><S>num=A123BC77;Dir=1</S>
// W is the message kind (only 4097 is a plate), C the 0-based camera index,
// T the server's local time stamp, S the key=value payload.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "manager/CameraNumber.h"
#include "plates/PlateRecord.h"

// Message kind of a licence-plate recognition.
inline constexpr int32_t kPlateMessageKind = 4097;
// Camera indexes a message may name (0-based).
inline constexpr int32_t kMaxCameraIndex = orv_camera::kCount - 1;

// Value between "<name>" and the next "</name>", unchanged; empty when either tag is missing.
std::string ExtractElement(std::string_view text, std::string_view name);

// Number as the C function atoi reads it (leading white space, sign, digits up to the
// first other character, 0 without digits), but saturating at the int32 limits
// instead of overflowing.
int32_t ReadDecimal(std::string_view text);

// OLE Automation date of the first "d.m.y h:m:s[.ms]" found in text, taken as written
// (no time zone conversion); 0.0 when there is none or the date does not exist.
double ParseTimeStamp(std::string_view text);

// The record a message describes, or nothing when the text is not a plate message
// or names a camera outside 0..2047. server is stored unchanged.
std::optional<PlateRecord> ParsePlateMessage(std::string_view text, int32_t server);

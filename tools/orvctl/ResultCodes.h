// Names and explanations of the library's result codes and server states, so every
// failure orvctl prints says which code came back and what it means.
#pragma once

#include <string>

namespace orvctl {

// "ORV_E_NO_FRAME" for -8; "ORV_RESULT(-42)" for a code the header does not define.
std::string ResultName(int code);
// One-line explanation of a code, for messages to a person.
std::string ResultText(int code);
// "ORV_E_NO_FRAME (-8): no frame available"
std::string DescribeResult(int code);

// "Connected" for 3; "State(4)" for an undefined state.
std::string StateName(int state);
// True for the states after which a connection attempt has settled one way or the other.
bool IsSettledState(int state);

}  // namespace orvctl

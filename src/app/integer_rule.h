// How every number of the command line and the URL's port is read.
#pragma once

#include <cstdint>
#include <string_view>

// Base 10, leading white space skipped, one optional sign, then digits up to
// the first other byte, which ends the number ("10s" reads as 10). False when
// no digit follows or the value leaves the signed 32-bit range.
bool readInteger(std::string_view text, std::int32_t& value);

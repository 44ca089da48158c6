// Numbers from environment variables.
#pragma once

#include <cstdint>

enum : int {
    ENV_SET = 0,    // the variable is set; its number was read
    ENV_UNSET = 3,  // the variable is not set
};

// Reads the variable as a decimal number (leading blanks and a sign allowed,
// reading stops at the first other character, no digits read as 0) into
// *value, cut to 16 bits. Returns ENV_SET, or ENV_UNSET with *value 0 when the
// variable is not set. value may be null.
int env_number(const char* name, std::int16_t* value);

// Numbers from environment variables. See stdfuncs.h.
#include "utils/libs/stdfuncs.h"

#include <cstdlib>

int env_number(const char* name, std::int16_t* value) {
    const char* text = name != nullptr ? std::getenv(name) : nullptr;
    // strtol rather than atoi: the same digits, but a huge value saturates
    // instead of overflowing.
    const long n = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    if (value != nullptr) *value = static_cast<std::int16_t>(n);
    return text != nullptr ? ENV_SET : ENV_UNSET;
}

// Numbered messages: catalog lookup with a fallback text, typed arguments,
// !n substitution, the reference suffix, output with prefix, framing and
// wrapping, and the fatal exit.
#pragma once

#include <cstdint>
#include <initializer_list>

// Message flags.
enum : int {
    MSG_STDERR = 0x01,
    MSG_FATAL = 0x02,
    MSG_FATAL2 = 0x04,
    MSG_TIME = 0x10,
    MSG_BELL = 0x20,
    MSG_FRAME = 0x40,
    MSG_STARS = 0x80,
};

// Argument type codes. A negative code -n is a field of exactly n characters.
enum : int {
    MA_STR = 0,
    MA_INT = 1,
    MA_PINT = 2,
    MA_EMPTY = 3,
    MA_ERRNO = 4,
    MA_ERRNO5 = 5,
    MA_SKIP6 = 6,
    MA_SKIP7 = 7,
    MA_DATE = 8,
    MA_INT6 = 9,
    MA_PINT11 = 10,
    MA_JOB = 11,
    MA_HHMM = 12,
    MA_IPV4 = 13,
    MA_END = 0x7fff,
};

// One (type code, value) pair of a typed argument list. Pointer types carry
// `ptr`, the others `value`.
struct MsgArg {
    int type = MA_END;
    std::int32_t value = 0;
    const void* ptr = nullptr;
};

inline MsgArg arg_str(const char* s) {
    return {MA_STR, 0, s};
}
// A field of width 0 would read as a terminated string: it gives an empty slot.
inline MsgArg arg_field(const char* f, int width) {
    return width > 0 ? MsgArg{-width, 0, f} : MsgArg{MA_EMPTY, 0, nullptr};
}
inline MsgArg arg_int(std::int32_t v) {
    return {MA_INT, v, nullptr};
}
inline MsgArg arg_pint(const std::int32_t* p) {
    return {MA_PINT, 0, p};
}
inline MsgArg arg_errno(int e) {
    return {MA_ERRNO, e, nullptr};
}
inline MsgArg arg_date(std::int32_t t) {
    return {MA_DATE, t, nullptr};
}
inline MsgArg arg_hhmm(std::int32_t v) {
    return {MA_HHMM, v, nullptr};
}
inline MsgArg arg_typed(int type, std::int32_t v, const void* p = nullptr) {
    return {type, v, p};
}

using MsgArgs = std::initializer_list<MsgArg>;

constexpr int kMsgTextSize = 4200;   // issue_msg's text and the argument area
constexpr int kFormatBufSize = 256;  // format_msg's buffer

// Formats and writes a message; never returns when the flags are fatal.
void issue_msg(int flags, int set_value, int number, MsgArgs args = {});
// Formats into buf (kFormatBufSize bytes); stores the length; returns buf.
char* format_msg(char* buf, std::int16_t* length, int set_value, int number, MsgArgs args = {});
// Writes an already formatted, writable text under the flags. length 0 means
// NUL-terminated. Returns the flags when not fatal.
int issue_text(int flags, char* text, int length = 0);
// The date format code read from message 1050/35 when the state was created.
int get_date_format();

// Test hooks: forget the message state (catalogs, date format code), and
// replace the process exit of fatal messages.
void msg_state_reset();
using MsgExitHook = void (*)(int status);
void msg_set_exit_hook(MsgExitHook hook);

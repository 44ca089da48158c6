// I/O fault injection for reliability tests.
//
// Every read, write, seek, lock, fsync and truncate call of the file layer
// first asks fault_check() whether it should go on. Nothing is armed in a
// normal run: the check then costs a counter increment and one branch that
// is always predicted right. Like the rest of the system it assumes a single
// thread; a forked child inherits the armed fault and the counts.
//
// A fault is armed either by the environment variable KORVEX_FAULT, read
// once on the first check, or by fault_arm(). The text form is "OP:N:ERR":
//   OP   read, write, seek, lock, fsync, truncate or any
//   N    the N-th call of that kind (1 = the next one) is the one that fails
//   ERR  EIO, ENOSPC or SHORT
// e.g. "write:3:ENOSPC" makes the third write fail with ENOSPC. A fault fires
// once; the calls after it go on normally.
//
// When the environment variable KORVEX_FAULT_COUNTS names a file at program
// start, the program writes its call counts there when it ends through
// exit() or a return from main (the message layer's fatal exit included;
// not after _exit or a signal), one "KIND N" line per kind in the order
// read, write, seek, lock, fsync, truncate. A forked child does not write
// it. With the counts of a clean run a test knows every failure point a
// whole program run passes.
//
// SHORT makes a read or write transfer only half the bytes asked for (at
// least one byte less) and return that count; for the other kinds of call
// SHORT fails the call with EIO.
#pragma once

namespace plat {

// Kinds of checked call. The gathered and positioned reads and writes count
// as read and write; unlocking counts as lock.
enum class FaultOp : unsigned char { read, write, seek, lock, fsync, truncate, any };

// fault_check's "transfer only part of the bytes" answer.
inline constexpr int FAULT_SHORT = -1;

namespace fault_detail {
inline constexpr int kinds = 7;
extern unsigned long calls[kinds];
// True while nothing is armed and the environment has been looked at.
extern bool idle;
int check_armed(FaultOp op);
}  // namespace fault_detail

// Counts the call and answers 0 (go on), an errno value to fail with, or
// FAULT_SHORT. op is the kind of the call being made, never FaultOp::any.
inline int fault_check(FaultOp op) {
    ++fault_detail::calls[static_cast<unsigned>(op) % fault_detail::kinds];
    if (fault_detail::idle) [[likely]]
        return 0;
    return fault_detail::check_armed(op);
}

// Arms one fault: the n-th call of kind op (counted from now; any counts all
// kinds) fails with err, an errno value or FAULT_SHORT. This replaces what
// KORVEX_FAULT armed. Returns 0, or -1 when n is 0 or err is 0.
int fault_arm(FaultOp op, unsigned long n, int err);
// Arms a fault from its text form; 0, or -1 when the text is not valid (then
// nothing is armed).
int fault_arm_text(const char* text);
// Disarms and sets the call counts back to zero.
void fault_disarm();
// Calls of a kind since the program started or since the last fault_arm,
// fault_arm_text or fault_disarm; any gives the sum over all kinds. A test
// learns from it how many failure points a piece of work passes.
unsigned long fault_count(FaultOp op);

}  // namespace plat

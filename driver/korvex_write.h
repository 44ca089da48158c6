// The production schedule file: the stored text of every selected schedule,
// in the order of the selected-schedule list, each workstation's schedules
// under a comment header, with progress and a summary on standard output.
#pragma once

#include "driver/korvex.h"

// Writes the production schedule to the context's output stream and closes
// it (standard output is only flushed):
//   - when the run date is not 0, the date line (message 2207/20);
//   - for each workstation, "*", message 2207/22 and "*" as three lines, then
//     its schedules' text lines, each logical line whole: the stored pieces
//     of a long line (127 characters ending in a backslash) are joined
//     without their backslashes, however many there are, and a piece left
//     open at the end of a schedule is written there, never joined with the
//     next schedule's text.
// On standard output: each workstation header's text, 2207/21 for every
// schedule, 2207/18 or 2207/19 after each workstation, 2207/26, 2207/27 or
// 2207/28 at the end. Read failures (2207/13), list failures (2207/2, 16, 17)
// and a production schedule that could not be written whole (2207/8) are
// fatal. Returns 0, or 1 when a test's exit hook lets a fatal message return.
int write_production_schedule(run_context& ctx);

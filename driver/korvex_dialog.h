// The run driver's terminal dialogue: the run date asked at the terminal, and
// the forced schedules (taken whatever their date clauses say) read from the
// -scheds file or the terminal and checked against the schedule file.
//
// Both functions return 0 when the run goes on, otherwise the exit status the
// program must end with (1). A fatal message ends the process itself; when a
// test's exit hook lets it return, the function returns 1 as well.
#pragma once

#include "driver/korvex.h"

// Longest answer read at either question (characters; the buffer holds one
// more for the terminator).
constexpr int kDialogAnswerMax = 255;

// Asks for the run date on standard input / standard error until an empty
// answer (run date 0) or a date in the site's order is given; an answer that
// is not a date gives message 2207/9 and the question again. Sets the run date
// and the prompted flag. Returns 1 when the channel cannot be opened or the
// input ends before an answer.
int ask_run_date(run_context& ctx);

// Reads the forced schedules from the schedule list path, or from standard
// input when it is empty or "-", up to the first empty line or the end of the
// input. A line is "schedule" (on this workstation) or "workstation#schedule";
// a line beginning with "#" or "*" is a comment, and "*" ends the useful part
// of a line. Each named schedule that exists in the master database (the
// context's database handle) goes to the front of the forced list, once;
// a line with a name that is not valid, too long for the database's layout
// or not in the database gives message 2207/3 and is skipped. Returns 1 when
// the source cannot be opened, after a database failure (fatal message
// 2207/10) and when memory runs out (message 2207/2).
int read_forced_list(run_context& ctx);

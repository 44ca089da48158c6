// The terminal channel: asks a question on an output stream and reads one
// answer line from an input stream, coping with answers that come from a file
// or a pipe instead of a person.
//
// There is one channel per process. It is opened with term_open and ended
// with term_close; a term_ask or term_write on a channel that was never
// opened first opens it on standard input and standard error (line size 256,
// attended).
//
// Event pipes: the flags that ask for an event pipe of the event message
// module are accepted, but this program has no event message module, so
// such a request fails like a file that cannot be opened (-7 for the input,
// -8 for the output, the message naming the error "operation not
// supported"). A request without a name, or in unattended mode, uses the
// standard stream as usual.
#pragma once

// Mode bits of the open channel (term_mode).
enum : int {
    TERM_IN_EVENT = 0x01,    // input is an event pipe (never set here)
    TERM_OUT_EVENT = 0x02,   // output is an event pipe (never set here)
    TERM_IN_TTY = 0x04,      // input is a terminal
    TERM_OUT_TTY = 0x08,     // output is a terminal (only when the input is one too)
    TERM_UNATTENDED = 0x10,  // unattended mode
};

// Options of term_open.
enum : int { TERM_OPT_UNATTENDED = 0x01 };

// Results.
enum : int {
    TERM_OK = 0,
    TERM_NO_BUFFER = -1,        // term_ask without an answer buffer
    TERM_EOF = -4,              // end of input or a read error
    TERM_IN_OPEN_FAILED = -7,   // input file cannot be opened (message 1112/3)
    TERM_OUT_OPEN_FAILED = -8,  // output file cannot be opened (message 1112/4)
    TERM_TOO_LONG = -9,         // line reader: the line did not fit (handled inside term_ask)
};

// Opens the channel. A null or empty path, or unattended mode, selects
// standard input / standard error; otherwise the file is opened for reading
// (input) or created for writing (output). A channel that was open before is
// closed first. Failures are reported on standard error.
int term_open(bool in_is_event_pipe, const char* in_path, bool out_is_event_pipe,
              const char* out_path, int line_size, int options);

// Closes the streams the channel opened (never standard input or standard
// error) and forgets the channel. Also serves tests as the reset of the
// process-wide state.
void term_close();
void term_reset();

// Writes the text, and a line feed when line_feed is set, then flushes.
// 0, or -1 when the stream reports a write error.
int term_write(const char* text, bool line_feed);

// Asks a question and stores the answer, trailing white space removed, in
// answer (size bytes: at most size - 1 characters and a terminator; nothing is
// written beyond it). An empty answer is replaced by a non-empty default
// (cut to size - 1 characters). Returns the answer's length, TERM_NO_BUFFER
// when answer is null or size < 1, or TERM_EOF at end of input.
//
// A prompt that is not empty is written first: in unattended mode as
// "^?" + default + " " + prompt and a line feed, otherwise without a line
// feed. An answer that does not fit gives message 1112/7 and the question
// again. When the output is not a terminal the answer is echoed to it.
int term_ask(const char* prompt, const char* default_answer, int size, char* answer);

// The mode bits of the channel (0 when it is not open) and its line size.
int term_mode();
int term_line_size();

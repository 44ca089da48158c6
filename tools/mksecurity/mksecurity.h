// mksecurity: compiles the administrators' source form of the security rules
// into the Security file, and turns a Security file back into source form.
//
// Source form. Words are separated by blanks, tabs and line ends, and by the
// delimiters = , + ~ . A word in double or single quotes is taken as it is
// (it may hold blanks and delimiters) and is never a keyword. A line whose
// first non-blank character is * is a comment. Keywords may be written in
// any case. A statement may run over as many lines as it needs: a new
// statement begins only with a statement keyword where a statement can end.
//
//   USER name condition...   one or more; a further one repeats the name or
//                            leaves it out
//   BEGIN
//   object condition... ACCESS=action,action...
//   END
//
// A condition is an attribute, "=", and values separated by ","; "+" or
// nothing before an attribute adds a condition, "~" adds a negated one. A
// value "$" + variable stands for the variable's values. Values are at most
// 127 characters; those of NAME, JCLACCESS and CPU are stored in upper case.
// Actions may be wildcard patterns over the action names that apply to the
// object; "ACCESS=" with nothing after it on its line allows no action.
#pragma once

#include <string>
#include <vector>

struct SecCompileError {
    int line = 0;
    std::string word;
    std::string text;
};

// Compiles source text into the bytes of a Security file. False with the
// errors (each naming its line and word) when the source is wrong.
bool compile_security_source(const std::string& source, std::string& compiled,
                             std::vector<SecCompileError>& errors);

// Reads a Security file, checking every record, and writes it back in source
// form. False with the reason in error_text.
bool decompile_security_file(const std::string& path, std::string& source, std::string& error_text);

// Replaces the file by the bytes once they are written whole: a temporary
// file in the same directory, synced, then renamed over the target. False
// with the reason in error_text.
bool replace_file_whole(const std::string& path, const std::string& bytes, std::string& error_text);

// The command: "mksecurity SOURCE [-o FILE]" or "mksecurity -d [FILE]".
int mksecurity_main(int argc, char** argv);

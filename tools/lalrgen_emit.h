// Output of the table generator: the C++ source that defines the tables, and a
// readable report of the automaton for whoever changes the grammar.
#pragma once

#include <string>

#include "tools/lalrgen_grammar.h"
#include "tools/lalrgen_tables.h"

struct LgEmitOptions {
    std::string grammar_name = "sparser.grammar";    // named in the banner
    std::string header = "driver/sparser_tables.h";  // included by the source
    std::string object = "sparser_tables";           // the SparserTables defined
};

// The C++ source defining `const SparserTables <object>`. The same grammar gives
// byte-identical text.
std::string emit_source(const Grammar& grammar, const LgTables& tables,
                        const LgEmitOptions& options);

// States with their items and actions, conflicts, unused rules and table sizes.
std::string emit_report(const Grammar& grammar, const LgTables& tables);

// One line: states, conflicts and table sizes.
std::string emit_summary(const LgTables& tables);

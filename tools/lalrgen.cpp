// lalrgen: builds the LALR(1) tables of a grammar file into a C++ source file.
//
//   lalrgen [-r REPORT] [-i HEADER] [-n OBJECT] GRAMMAR OUTPUT
//
// OUTPUT is replaced as a whole (written beside it, then renamed). REPORT, when
// given, receives the
// states, actions and conflicts in readable form. Exit status 0 on success, 1
// on a bad grammar or a file that cannot be read or written, 2 on bad usage.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/lalrgen_emit.h"
#include "tools/lalrgen_grammar.h"
#include "tools/lalrgen_tables.h"

namespace {

bool read_file(const std::string& path, std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

bool write_file(const std::string& path, const std::string& text) {
    std::string temp = path + ".tmp";
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (std::fclose(f) == 0) && ok;
    if (ok) ok = std::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) std::remove(temp.c_str());
    return ok;
}

std::string base_name(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int usage() {
    std::fprintf(stderr, "usage: lalrgen [-r report] [-i header] [-n object] grammar output\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string report, grammar_path, output;
    LgEmitOptions options;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (i + 1 >= argc) return usage();
        if (std::strcmp(argv[i], "-r") == 0)
            report = argv[++i];
        else if (std::strcmp(argv[i], "-i") == 0)
            options.header = argv[++i];
        else if (std::strcmp(argv[i], "-n") == 0)
            options.object = argv[++i];
        else
            return usage();
    }
    if (argc - i != 2) return usage();
    grammar_path = argv[i];
    output = argv[i + 1];
    options.grammar_name = base_name(grammar_path);

    std::string text, error;
    if (!read_file(grammar_path, text)) {
        std::fprintf(stderr, "lalrgen: cannot read %s: %s\n", grammar_path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    Grammar grammar;
    if (!read_grammar(text, grammar_path, grammar, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    LgTables tables;
    if (!build_tables(grammar, tables, error)) {
        std::fprintf(stderr, "lalrgen: %s: %s\n", grammar_path.c_str(), error.c_str());
        return 1;
    }
    if (!write_file(output, emit_source(grammar, tables, options))) {
        std::fprintf(stderr, "lalrgen: cannot write %s\n", output.c_str());
        return 1;
    }
    if (!report.empty() && !write_file(report, emit_report(grammar, tables))) {
        std::fprintf(stderr, "lalrgen: cannot write %s\n", report.c_str());
        return 1;
    }
    return 0;
}

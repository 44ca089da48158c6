// The mksecurity command. See mksecurity.h.
#include "tools/mksecurity/mksecurity.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/fileio.h"
#include "platform/process.h"
#include "utils/libs/stdutil.h"

namespace {

constexpr const char* kUsage =
    "usage: mksecurity SOURCE [-o FILE]   compile SOURCE into the Security file\n"
    "       mksecurity -d [FILE]          write a Security file back as source\n";

constexpr const char* kNetworkSecurity = "../telvar/network/Security";
constexpr const char* kLocalSecurity = "../telvar/Security";

int usage(const char* why) {
    std::fprintf(stderr, "mksecurity: %s\n%s", why, kUsage);
    return 2;
}

bool read_whole(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

std::string system_error(const std::string& what, int err) {
    return what + ": " + std::strerror(err);
}

int compile_command(const std::string& source_path, std::string target) {
    std::string source;
    if (!read_whole(source_path, source)) {
        std::fprintf(stderr, "mksecurity: %s\n", system_error(source_path, errno).c_str());
        return 1;
    }
    std::string compiled;
    std::vector<SecCompileError> errors;
    if (!compile_security_source(source, compiled, errors)) {
        for (const SecCompileError& e : errors) {
            std::fprintf(stderr, "mksecurity: %s, line %d, at \"%s\": %s\n", source_path.c_str(),
                         e.line, e.word.c_str(), e.text.c_str());
        }
        std::fprintf(stderr, "mksecurity: %zu error%s; the Security file is left as it was\n",
                     errors.size(), errors.size() == 1 ? "" : "s");
        return 1;
    }
    if (target.empty()) target = make_abs_path(std::string(kNetworkSecurity));
    std::string why;
    if (!replace_file_whole(target, compiled, why)) {
        std::fprintf(stderr, "mksecurity: %s\n", why.c_str());
        return 1;
    }
    return 0;
}

int decompile_command(std::string path) {
    if (path.empty()) {
        path = make_abs_path(std::string(kNetworkSecurity));
        plat::FileStatus st;
        if (plat::FH_stat_file(path.c_str(), &st) != 0) {
            path = make_abs_path(std::string(kLocalSecurity));
        }
    }
    std::string source;
    std::string why;
    if (!decompile_security_file(path, source, why)) {
        std::fprintf(stderr, "mksecurity: %s\n", why.c_str());
        return 1;
    }
    std::fwrite(source.data(), 1, source.size(), stdout);
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "mksecurity: %s\n", system_error("standard output", errno).c_str());
        return 1;
    }
    return 0;
}

}  // namespace

bool replace_file_whole(const std::string& path, const std::string& bytes,
                        std::string& error_text) {
    const std::size_t cut = path.find_last_of('/');
    const std::string dir = cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);

    // Keep the permission bits of the file being replaced.
    unsigned mode = 0644;
    plat::FileStatus st;
    if (plat::FH_stat_file(path.c_str(), &st) == 0) mode = st.mode & 07777;

    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = path + ".new" + std::to_string(plat::process_id()) + "_" + std::to_string(attempt);
        fd = plat::FH_open_file(temp.c_str(), plat::FH_WRONLY | plat::FH_CREAT | plat::FH_EXCL,
                                static_cast<int>(mode));
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        error_text = system_error(temp, errno);
        return false;
    }
    bool ok =
        plat::FH_write_file(fd, bytes.data(), bytes.size()) == static_cast<long>(bytes.size());
    int err = ok ? 0 : errno;
    if (ok && plat::FH_fsync_file(fd) != 0) {
        ok = false;
        err = errno;
    }
    if (plat::FH_close_file(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && plat::FH_rename_file(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        plat::FH_remove_file(temp.c_str());
        error_text = system_error(path, err);
        return false;
    }
    // Make the rename itself durable; a failure here loses nothing written.
    const int dfd = plat::FH_open_file(dir.c_str(), plat::FH_RDONLY);
    if (dfd >= 0) {
        plat::FH_fsync_file(dfd);
        plat::FH_close_file(dfd);
    }
    return true;
}

int mksecurity_main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usage("nothing to do");
    if (args[0] == "-d") {
        if (args.size() > 2) return usage("-d takes one file at most");
        return decompile_command(args.size() == 2 ? args[1] : std::string());
    }
    std::string source;
    std::string target;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-o") {
            if (i + 1 >= args.size()) return usage("-o needs a file name");
            if (!target.empty()) return usage("-o given twice");
            target = args[++i];
            if (target.empty()) return usage("-o needs a file name");
        } else if (!args[i].empty() && args[i][0] == '-' && args[i] != "-") {
            return usage(("unknown option " + args[i]).c_str());
        } else {
            if (!source.empty()) return usage("one source file only");
            source = args[i];
        }
    }
    if (source.empty()) return usage("no source file");
    return compile_command(source, target);
}

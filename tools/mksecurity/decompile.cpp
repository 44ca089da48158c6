// Security file back to source form. See mksecurity.h.
#include <cctype>
#include <cstring>

#include "platform/fileio.h"
#include "tools/mksecurity/mksecurity.h"
#include "utils/libs/security.h"

namespace {

// A word as the compiler reads it back: quoted when it holds blanks,
// delimiters or quotes, or could be taken for a keyword, a variable or a
// comment. False when no quoting can carry it.
bool source_word(const std::string& text, bool keyword_risk, std::string& out) {
    bool needs = text.empty() || text[0] == '$' || text[0] == '*' || keyword_risk;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) return false;
        if (std::strchr(" =,+~\"'", c) != nullptr) needs = true;
    }
    if (!needs) {
        out = text;
        return true;
    }
    char quote = '"';
    if (text.find('"') != std::string::npos) quote = '\'';
    if (text.find(quote) != std::string::npos) return false;
    out = quote + text + quote;
    return true;
}

bool keyword_like(const std::string& text) {
    std::string w;
    for (char c : text)
        w += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return w == "USER" || w == "BEGIN" || w == "END" || security_code(SEC_TABLE_OBJECTS, w) >= 0;
}

// Writes a parsed condition list; false with the reason when it cannot be
// written as source.
bool write_conditions(const SecConditionList& list, std::string& out, std::string& why) {
    bool first = true;
    for (const SecCondition& cond : list.conditions) {
        const char* attribute = security_keyword(SEC_TABLE_ATTRIBUTES, cond.attribute);
        if (std::strcmp(attribute, "<UNKNOWN>") == 0) {
            why = "unknown attribute code " + std::to_string(cond.attribute);
            return false;
        }
        if (first) {
            if (cond.negated) out += '~';
        } else {
            out += cond.negated ? " ~ " : " + ";
        }
        first = false;
        out += attribute;
        out += '=';
        bool first_value = true;
        for (const SecValue& v : cond.values) {
            if (!first_value) out += ',';
            first_value = false;
            if (v.variable) {
                const char* name = security_keyword(SEC_TABLE_VARIABLES, v.code);
                if (std::strcmp(name, "<UNKNOWN>") == 0) {
                    why = "unknown variable code " + std::to_string(v.code);
                    return false;
                }
                out += '$';
                out += name;
            } else {
                std::string word;
                if (!source_word(v.text, false, word)) {
                    why = "a value that the source form cannot hold";
                    return false;
                }
                out += word;
            }
        }
    }
    return true;
}

std::string where(const std::string& path, std::int64_t offset) {
    return path + " at offset " + std::to_string(offset) + ": ";
}

}  // namespace

bool decompile_security_file(const std::string& path, std::string& source,
                             std::string& error_text) {
    source.clear();
    error_text.clear();
    UserIdentity nobody;
    SecurityOpenOptions options;
    options.user = &nobody;
    options.file = path;
    std::string open_error;
    std::unique_ptr<SecurityContext> ctx = open_security(options, open_error);
    if (!ctx) {
        error_text = open_error;
        return false;
    }
    if (ctx->fd < 0) {
        error_text = path + ": " + std::strerror(ctx->open_errno);
        return false;
    }
    auto fail = [&](std::int64_t offset, const std::string& why) {
        error_text = where(path, offset) + why;
        return false;
    };
    auto fail_read = [&](std::int64_t offset) {
        std::string text = security_error_text(ctx.get());
        while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
            text.pop_back();
        return fail(offset, text);
    };

    const long first = read_sec_header(*ctx);
    if (first < 0) return fail_read(0);
    std::int64_t offset = first;
    std::string name;
    std::vector<std::uint8_t> data;
    for (;;) {
        const long block_length = read_block_header(*ctx, offset, name);
        if (block_length < 0) {
            if (ctx->reason == SEC_NO_USER_BLOCK) return true;  // the end of the file
            return fail_read(offset);
        }
        // The fixed characters of the block header, which the reader does not need.
        std::uint8_t fixed[5] = {};
        if (plat::FH_pread_file(ctx->fd, fixed, sizeof fixed, offset + 4) != 5 ||
            std::memcmp(fixed, "0000\n", 5) != 0) {
            return fail(offset, "a block header without its USER type");
        }
        const std::string key = security_block_key(name);
        std::string block_name;
        if (!source_word(name, keyword_like(name), block_name)) {
            return fail(offset, "a block name that the source form cannot hold");
        }
        enum { Users, Rules, Done } state = Users;
        bool any_user = false;
        std::int64_t record = offset + kSecBlockHeaderSize;
        const std::int64_t block_end = offset + block_length;
        while (state != Done) {
            if (record >= block_end) return fail(record, "the block ends before its END record");
            int type = 0;
            const long n = read_sec_record(*ctx, record, key, type, data);
            if (n < 0) return fail_read(record);
            if (n == 0) {
                // The reader takes no sum of a record without data; its
                // checksum must still be that of nothing.
                std::uint8_t sum[4] = {};
                if (plat::FH_pread_file(ctx->fd, sum, sizeof sum, record + 4) != 4 ||
                    std::memcmp(sum, "0000", 4) != 0) {
                    return fail(record, "the checksum of a record without data is not 0000");
                }
            }
            SecConditionList list;
            if (!parse_conditions(data.data(), data.size(), list)) {
                return fail(record, "a record's conditions are malformed");
            }
            std::string why;
            if (type == SEC_OBJ_USER) {
                if (state != Users || list.has_actions) {
                    return fail(record, "a USER record out of place");
                }
                any_user = true;
                source += "USER";
                if (!block_name.empty()) source += " " + block_name;
                source += "\n ";
                if (!write_conditions(list, source, why)) return fail(record, why);
                source += '\n';
            } else if (type == SEC_OBJ_BEGIN) {
                if (state != Users || !any_user || n != 0) {
                    return fail(record, "a BEGIN record out of place");
                }
                source += "BEGIN\n";
                state = Rules;
            } else if (type == SEC_OBJ_END) {
                if (state != Rules || n != 0) return fail(record, "an END record out of place");
                source += "END\n";
                state = Done;
            } else {
                const char* object = security_keyword(SEC_TABLE_OBJECTS, type);
                if (state != Rules || type == SEC_OBJ_IS || type == SEC_OBJ_ACCESS ||
                    std::strcmp(object, "<UNKNOWN>") == 0) {
                    return fail(record,
                                "a record of type " + std::to_string(type) + " cannot stand here");
                }
                if (!list.has_actions) return fail(record, "an object rule without actions");
                source += ' ';
                source += object;
                if (!list.conditions.empty()) source += ' ';
                if (!write_conditions(list, source, why)) return fail(record, why);
                source += " ACCESS=";
                bool first_action = true;
                for (int code : list.actions) {
                    const char* action = security_keyword(SEC_TABLE_ACTIONS, code);
                    if (std::strcmp(action, "<UNKNOWN>") == 0) {
                        return fail(record, "unknown action code " + std::to_string(code));
                    }
                    if (!first_action) source += ',';
                    first_action = false;
                    source += action;
                }
                source += '\n';
            }
            record += kSecRecordHeaderSize + n;
        }
        if (record != block_end) {
            return fail(offset, "the block length does not match its records");
        }
        offset = block_end;
    }
}

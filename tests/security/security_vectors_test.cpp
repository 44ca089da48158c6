// The reference Security file and its verdicts, and the same rules compiled
// by mksecurity.
#include <cctype>
#include <map>

#include "tests/security/sec_testutil.h"

using namespace sectest;

namespace {

struct Verdict {
    std::string user;
    std::string this_cpu;
    std::string master;
    int action = 0;
    int type = 0;
    std::string name;
    bool allowed = false;
    int reason = 0;
};

// Reads the flat objects of a JSON array: string, number and boolean values.
std::vector<std::map<std::string, std::string>> read_json_objects(const std::string& text) {
    std::vector<std::map<std::string, std::string>> out;
    std::size_t i = 0;
    auto skip = [&]() {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
            ++i;
    };
    auto string_at = [&]() {
        std::string s;
        ++i;  // opening quote
        while (i < text.size() && text[i] != '"') {
            if (text[i] == '\\' && i + 1 < text.size()) ++i;
            s += text[i++];
        }
        ++i;
        return s;
    };
    while ((i = text.find('{', i)) != std::string::npos) {
        ++i;
        std::map<std::string, std::string> obj;
        for (;;) {
            skip();
            if (i >= text.size() || text[i] == '}') break;
            if (text[i] == ',') {
                ++i;
                continue;
            }
            const std::string key = string_at();
            skip();
            ++i;  // colon
            skip();
            std::string value;
            if (text[i] == '"') {
                value = string_at();
            } else {
                while (i < text.size() && text[i] != ',' && text[i] != '}' &&
                       !std::isspace(static_cast<unsigned char>(text[i])))
                    value += text[i++];
            }
            obj[key] = value;
        }
        out.push_back(obj);
    }
    return out;
}

std::vector<Verdict> load_verdicts() {
    std::vector<Verdict> out;
    for (auto& o : read_json_objects(read_file(kVectors + "/verdicts.json"))) {
        Verdict v;
        v.user = o["user"];
        v.this_cpu = o["this_cpu"];
        v.master = o["master"];
        v.action = std::stoi(o["action"]);
        v.type = std::stoi(o["type"]);
        v.name = o["name"];
        v.allowed = o["allowed"] == "true";
        v.reason = std::stoi(o["reason"]);
        out.push_back(v);
    }
    return out;
}

void expect_verdicts(const std::string& file) {
    const std::vector<Verdict> verdicts = load_verdicts();
    ASSERT_GE(verdicts.size(), 20u);
    for (const Verdict& v : verdicts) {
        Session s(file, v.user, v.this_cpu, v.master);
        const Check c = s.check(v.action, v.type, v.name.c_str());
        EXPECT_EQ(c.allowed, v.allowed) << v.user << " " << v.action << " " << v.name;
        EXPECT_EQ(c.reason, v.reason) << v.user << " " << v.action << " " << v.name;
    }
}

// The rules of the reference source in our source form.
const char* kReferenceSource =
    "USER ops\n"
    " LOGON=operator,CORP\\batch + CPU=$THISCPU\n"
    "BEGIN\n"
    " FILE NAME=PROD@ ACCESS=BUILD,DISPLAY\n"
    " FILE NAME=@ ACCESS=DISPLAY\n"
    "END\n"
    "USER everyone\n"
    " LOGON=@\n"
    "BEGIN\n"
    " FILE NAME=PRODSKED ACCESS=DISPLAY\n"
    "END\n";

}  // namespace

TEST(SecurityVectors, ReferenceFileGivesEveryVerdict) {
    expect_verdicts(kVectors + "/Security");
}

TEST(SecurityVectors, CompiledReferenceSourceMatchesByteForByte) {
    TempDir dir;
    const std::string src = dir.file("rules.txt");
    const std::string out = dir.file("Security");
    // The reference source is accepted as it is written.
    const RunResult r = mksecurity({kVectors + "/source.txt", "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(out), read_file(kVectors + "/Security"));
    expect_verdicts(out);

    write_file(src, kReferenceSource);
    const RunResult again = mksecurity({src, "-o", out});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(read_file(out), read_file(kVectors + "/Security"));
}

TEST(SecurityVectors, DecompileRoundTrip) {
    TempDir dir;
    const RunResult d = mksecurity({"-d", kVectors + "/Security"});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_NE(d.out.find("USER ops"), std::string::npos) << d.out;
    EXPECT_NE(d.out.find("CPU=$THISCPU"), std::string::npos) << d.out;
    const std::string src = dir.file("back.txt");
    write_file(src, d.out);
    const std::string out = dir.file("Security");
    const RunResult c = mksecurity({src, "-o", out});
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(read_file(out), read_file(kVectors + "/Security"));
}

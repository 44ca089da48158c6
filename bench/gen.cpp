// korvex_gen: lays out the input files of a synthetic installation for the
// end-to-end benchmark: N schedule definitions over 20 workstations, 200
// calendars and HOLIDAYS, in the forms mastdb reads, plus the options files
// and the security rules. The installation itself is then built with the
// real tools (bench/run does it: mastdb create, add-calendars,
// add-schedules, mksecurity).
//
// Usage: korvex_gen [-n N] [-seed S] [-date YYYY/MM/DD] [-per-file K] DIR
//
//   -n         number of schedules (default 1000)
//   -seed      seed of the generator (default 1); the same seed and the same
//              options give the same files, byte for byte
//   -date      the run date the selection is aimed at (default 2027/06/16,
//              a Wednesday): about a third of the schedules are selected on
//              it
//   -per-file  definitions per schedule file (default 500)
//
// DIR receives:
//   schedules/sNNNN.sched   the definitions, K per file
//   calendars/holidays.cal  HOLIDAYS
//   calendars/calNN.cal     the other calendars, 50 per file
//   localopts, globalopts   this workstation (MASTER) and the network options
//   Security.src            rules that let every user build the production
//                           schedule
//   summary                 "key = value" lines: schedules, lines, jobs,
//                           calendars, rundate, selected (how many schedules
//                           the run date selects, worked out here from the
//                           date clauses the generator wrote)
//
// The definitions are what sites write: 10 to 40 lines, comment lines before
// and inside them, ON with 1 to 4 elements (days, WEEKDAYS, WORKDAYS,
// EVERYDAY, dates, calendars with and without offsets, REQUEST), EXCEPT on a
// third, 0 to 3 FOLLOWS (some on other workstations, some with a job), AT
// with and without a day offset, PRIORITY, LIMIT, NEEDS, OPENS, PROMPT, then
// 5 to 30 jobs with their options and keywords, a few lines continued with a
// backslash and a few longer than a stored line.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// ---- random numbers ---------------------------------------------------------------
//
// splitmix64: the same sequence on every platform and library, which the
// standard distributions do not promise. Each draw is a statement of its own
// (or sequenced, as a condition before its branches), never two operands of
// one expression, whose order of evaluation is the compiler's choice: the
// files must not depend on the compiler that built the generator.
struct Rng {
    std::uint64_t state;

    explicit Rng(std::uint64_t seed, std::uint64_t stream)
        : state(seed * 0x9E3779B97F4A7C15ULL + stream * 0xD1B54A32D192ED03ULL + 1) {}

    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // lo..hi, both included.
    int range(int lo, int hi) {
        if (hi <= lo) return lo;
        return lo + static_cast<int>(next() % static_cast<std::uint64_t>(hi - lo + 1));
    }
    bool percent(int p) { return range(0, 99) < p; }
    template <typename T, std::size_t K>
    const T& pick(const T (&items)[K]) {
        return items[static_cast<std::size_t>(range(0, static_cast<int>(K) - 1))];
    }
    // An index by weights.
    template <std::size_t K>
    int weighted(const int (&weights)[K]) {
        int total = 0;
        for (int w : weights)
            total += w;
        int r = range(0, total - 1);
        for (std::size_t k = 0; k < K; ++k) {
            if (r < weights[k]) return static_cast<int>(k);
            r -= weights[k];
        }
        return static_cast<int>(K) - 1;
    }
};

// A hash for names that must be found again without storing them.
std::uint64_t mix(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
    Rng r(a * 1000003 + b, c);
    return r.next();
}

// ---- days -------------------------------------------------------------------------
//
// Local calendar days counted from 1 January 1970; weekday 0 is Monday.

int day_number(int y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civil(int z, int* y, int* m, int* d) {
    z += 719468;
    const int era = (z >= 0 ? z : z - 146096) / 146097;
    const int doe = z - era * 146097;
    const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp + (mp < 10 ? 3 : -9);
    *y = yoe + era * 400 + (*m <= 2 ? 1 : 0);
}

int weekday(int day) {
    return ((day + 3) % 7 + 7) % 7;
}

bool is_weekend(int day) {
    return weekday(day) >= 5;
}

std::string date_text(int day) {
    int y = 0, m = 0, d = 0;
    civil(day, &y, &m, &d);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d/%02d/%02d", y, m, d);
    return buf;
}

bool parse_date_arg(const std::string& text, int* day) {
    int y = 0, m = 0, d = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%d/%d/%d%c", &y, &m, &d, &tail) != 3) return false;
    if (y < 1971 || y > 2037 || m < 1 || m > 12 || d < 1 || d > 31) return false;
    *day = day_number(y, m, d);
    int y2 = 0, m2 = 0, d2 = 0;
    civil(*day, &y2, &m2, &d2);
    return y2 == y && m2 == m && d2 == d;
}

int easter_sunday(int y) {
    const int a = y % 19, b = y / 100, c = y % 100, d = b / 4, e = b % 4;
    const int f = (b + 8) / 25, g = (b - f + 1) / 3, h = (19 * a + b - d - g + 15) % 30;
    const int i = c / 4, k = c % 4, l = (32 + 2 * e + 2 * i - h - k) % 7;
    const int m = (a + 11 * h + 22 * l) / 451;
    const int month = (h + l - 7 * m + 114) / 31, day = (h + l - 7 * m + 114) % 31 + 1;
    return day_number(y, month, day);
}

constexpr const char* kDayNames[] = {"MO", "TU", "WE", "TH", "FR", "SA", "SU"};
constexpr int kFirstYear = 2026;
constexpr int kYears = 3;

// ---- calendars ----------------------------------------------------------------------

struct Calendar {
    std::string name;
    std::string description;
    std::vector<int> days;  // ascending, each once

    bool contains(int day) const { return std::binary_search(days.begin(), days.end(), day); }
};

void sorted_unique(std::vector<int>* days) {
    std::sort(days->begin(), days->end());
    days->erase(std::unique(days->begin(), days->end()), days->end());
}

Calendar make_holidays() {
    Calendar c{"HOLIDAYS", "Public holidays", {}};
    for (int y = kFirstYear; y < kFirstYear + kYears; ++y) {
        const int easter = easter_sunday(y);
        for (int d :
             {day_number(y, 1, 1), easter - 2, easter + 1, day_number(y, 5, 1), easter + 39,
              easter + 50, day_number(y, 10, 3), day_number(y, 12, 25), day_number(y, 12, 26)})
            c.days.push_back(d);
    }
    sorted_unique(&c.days);
    return c;
}

// The kinds of calendar sites keep, each with 12 to 260 dates over the three
// years.
Calendar make_calendar(Rng& rng, int index, const Calendar& holidays) {
    const int first = day_number(kFirstYear, 1, 1);
    const int end = day_number(kFirstYear + kYears, 1, 1);
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%03d", index + 1);
    Calendar c;
    auto month_days = [&](int dom, bool last, bool working_before) {
        for (int y = kFirstYear; y < kFirstYear + kYears; ++y) {
            for (int m = 1; m <= 12; ++m) {
                int d = last ? day_number(m == 12 ? y + 1 : y, m == 12 ? 1 : m + 1, 1) - 1
                             : day_number(y, m, dom);
                while (working_before && (is_weekend(d) || holidays.contains(d)))
                    --d;
                c.days.push_back(d);
            }
        }
    };
    switch (rng.range(0, 8)) {
        case 0:
            c.name = "MEND";
            c.description = "Last day of each month";
            month_days(0, true, false);
            break;
        case 1: {
            const int dom = rng.range(1, 28);
            c.name = "MDAY";
            c.description = "Day " + std::to_string(dom) + " of each month";
            month_days(dom, false, false);
            break;
        }
        case 2: {
            const int dom = rng.range(15, 28);
            c.name = "PAYD";
            c.description = "Pay days: day " + std::to_string(dom) + ", or the working day before";
            month_days(dom, false, true);
            break;
        }
        case 3: {
            c.name = "QTR";
            c.description = "Last working day of each quarter";
            for (int y = kFirstYear; y < kFirstYear + kYears; ++y)
                for (int m : {4, 7, 10, 13}) {
                    int d = day_number(m == 13 ? y + 1 : y, m == 13 ? 1 : m, 1) - 1;
                    while (is_weekend(d) || holidays.contains(d))
                        --d;
                    c.days.push_back(d);
                }
            break;
        }
        case 4: {
            const int wd = rng.range(0, 4);
            c.name = "WKLY";
            c.description = std::string("Every ") + kDayNames[wd] + ", three years";
            for (int d = first; d < end; ++d)
                if (weekday(d) == wd) c.days.push_back(d);
            break;
        }
        case 5: {
            const int wd = rng.range(0, 6);
            const int start = first + rng.range(0, 13);
            c.name = "BIWK";
            c.description = std::string("Every other ") + kDayNames[wd];
            for (int d = start; d < end; ++d)
                if (weekday(d) == wd && (d - start) % 14 < 7) c.days.push_back(d);
            break;
        }
        case 6: {
            const int y = kFirstYear + rng.range(0, kYears - 1);
            c.name = "WORK";
            c.description = "Working days of " + std::to_string(y);
            for (int d = day_number(y, 1, 1); d < day_number(y + 1, 1, 1); ++d)
                if (!is_weekend(d) && !holidays.contains(d)) c.days.push_back(d);
            break;
        }
        case 7: {
            c.name = "SEMI";
            c.description = "The 1st and the 15th of each month";
            month_days(1, false, false);
            month_days(15, false, false);
            break;
        }
        default: {
            const int count = rng.range(12, 260);
            c.name = "RAND";
            c.description = "Irregular dates (" + std::to_string(count) + ")";
            while (static_cast<int>(c.days.size()) < count) {
                c.days.push_back(first + rng.range(0, end - first - 1));
                if (static_cast<int>(c.days.size()) == count) sorted_unique(&c.days);
            }
            break;
        }
    }
    sorted_unique(&c.days);
    if (c.days.size() > 260) c.days.resize(260);
    c.name += suffix;
    return c;
}

// ---- workstations and names ----------------------------------------------------------

constexpr const char* kMaster = "MASTER";
constexpr const char* kWorkstations[] = {"MASTER",  "FINANCE", "WAREHSE", "PAYROLL", "SALES",
                                         "CRM",     "HRSYS",   "ERP01",   "ERP02",   "DWH01",
                                         "DWH02",   "WEB01",   "WEB02",   "BATCH01", "BATCH02",
                                         "BATCH03", "EDI",     "BACKUP",  "REPORTS", "LOGIST"};
constexpr int kWorkstationCount = sizeof kWorkstations / sizeof kWorkstations[0];
// How busy each workstation is, relative to the others.
constexpr int kWorkstationWeights[] = {3, 3, 2, 1, 2, 1, 1, 3, 2, 3, 2, 1, 1, 3, 2, 2, 1, 1, 1, 1};
static_assert(sizeof kWorkstationWeights / sizeof kWorkstationWeights[0] == kWorkstationCount);

constexpr const char* kSchedWords[] = {"PAY", "INV", "GL",  "EDI", "BKP", "RPT", "ETL", "LD",
                                       "AR",  "AP",  "HR",  "ORD", "SHP", "STK", "DW",  "WEB",
                                       "CRM", "FX",  "TAX", "AUD", "ARC", "CLN", "SYN", "MNT"};
constexpr const char* kJobWords[] = {"EXTRCT", "LOAD",  "XFER",   "SORT",   "MERGE", "RPT",
                                     "CHECK",  "CLEAN", "BKUP",   "VERIFY", "POST",  "CALC",
                                     "PRINT",  "MAIL",  "ARCH",   "INDEX",  "STATS", "SYNC",
                                     "PURGE",  "FTP",   "EXPORT", "IMPORT", "RECON", "VALID"};
constexpr const char* kApps[] = {"finance", "warehouse", "payroll", "sales", "crm",    "hr",
                                 "erp",     "dwh",       "web",     "edi",   "backup", "reports"};
constexpr const char* kUsers[] = {"batch", "finops", "whops", "dbadmin", "etl", "backup", "root"};
constexpr const char* kWords[] = {
    "daily",    "orders",   "ledger",   "stock",    "invoices", "payments", "customers",
    "shipping", "reports",  "archive",  "backup",   "database", "indexes",  "exports",
    "partners", "accounts", "balances", "journals", "labels",   "returns",  "forecast"};
constexpr const char* kResources[] = {"TAPEDRV", "PRINTER", "DBSLOT", "FTPLINE", "CPUPOOL"};

struct SchedRef {
    int ws = 0;
    int local = 0;  // number of the schedule on its workstation
};

std::string schedule_name(const SchedRef& r) {
    char buf[16];
    std::snprintf(
        buf, sizeof buf, "%s%05d",
        kSchedWords[mix(static_cast<std::uint64_t>(r.ws), static_cast<std::uint64_t>(r.local), 1) %
                    (sizeof kSchedWords / sizeof kSchedWords[0])],
        r.local);
    return buf;
}

std::string job_name(const SchedRef& r, int job) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%s%02d",
                  kJobWords[mix(static_cast<std::uint64_t>(r.ws) * 100000 +
                                    static_cast<std::uint64_t>(r.local),
                                static_cast<std::uint64_t>(job), 2) %
                            (sizeof kJobWords / sizeof kJobWords[0])],
                  job);
    return buf;
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string hhmm(Rng& rng) {
    char buf[8];
    const int hour = rng.range(0, 23);
    const int minute = rng.range(0, 11) * 5;
    std::snprintf(buf, sizeof buf, "%02d%02d", hour, minute);
    return buf;
}

std::string words(Rng& rng, int count) {
    std::string t;
    for (int k = 0; k < count; ++k) {
        if (k > 0) t += ' ';
        t += rng.pick(kWords);
    }
    return t;
}

// ---- date clauses ------------------------------------------------------------------

enum class Elem { day, weekdays, workdays, everyday, date, calendar, offset, request };
enum class Unit { day, weekday, workday };

struct Element {
    Elem kind = Elem::day;
    int value = 0;  // weekday, day number or calendar index (-1: HOLIDAYS)
    Unit unit = Unit::day;
    int amount = 0;
    bool plural = false;
};

struct World {
    int run_day = 0;
    Calendar holidays;
    std::vector<Calendar> calendars;
    std::vector<int> with_run;     // calendars holding the run date
    std::vector<int> without_run;  // and the others
    std::vector<Element> offsets_matching;

    const Calendar& calendar(int index) const {
        return index < 0 ? holidays : calendars[static_cast<std::size_t>(index)];
    }
    bool holiday(int day) const { return holidays.contains(day); }

    // The element with an offset: each date of the calendar moved by the
    // offset, weekend days (and holidays, for working days) not counted.
    bool offset_matches(const Element& e) const {
        if (e.unit != Unit::day && is_weekend(run_day)) return false;
        if (e.unit == Unit::workday && holiday(run_day)) return false;
        const int step = e.amount < 0 ? -1 : 1;
        const int count = e.amount < 0 ? -e.amount : e.amount;
        for (int d : calendar(e.value).days) {
            for (int left = count; left > 0;) {
                d += step;
                if (e.unit != Unit::day && is_weekend(d)) continue;
                if (e.unit == Unit::workday && holiday(d)) continue;
                --left;
            }
            if (d == run_day) return true;
        }
        return false;
    }

    bool matches(const Element& e) const {
        switch (e.kind) {
            case Elem::day:
                return weekday(run_day) == e.value;
            case Elem::weekdays:
                return !is_weekend(run_day);
            case Elem::workdays:
                return !is_weekend(run_day) && !holiday(run_day);
            case Elem::everyday:
                return true;
            case Elem::date:
                return e.value == run_day;
            case Elem::calendar:
                return calendar(e.value).contains(run_day);
            case Elem::offset:
                return offset_matches(e);
            case Elem::request:
                return false;
        }
        return false;
    }

    std::string text(const Element& e) const {
        switch (e.kind) {
            case Elem::day:
                return kDayNames[e.value];
            case Elem::weekdays:
                return "WEEKDAYS";
            case Elem::workdays:
                return "WORKDAYS";
            case Elem::everyday:
                return "EVERYDAY";
            case Elem::date:
                return date_text(e.value);
            case Elem::calendar:
                return calendar(e.value).name;
            case Elem::request:
                return "REQUEST";
            case Elem::offset:
                break;
        }
        static const char* const units[] = {"DAY", "WEEKDAY", "WORKDAY"};
        const int count = e.amount < 0 ? -e.amount : e.amount;
        return calendar(e.value).name + (e.amount < 0 ? " -" : " +") + std::to_string(count) + " " +
               units[static_cast<int>(e.unit)] + (e.plural ? "S" : "");
    }
};

Element offset_element(Rng& rng, int calendar) {
    Element e;
    e.kind = Elem::offset;
    e.value = calendar;
    e.unit = static_cast<Unit>(rng.range(0, 2));
    e.amount = rng.range(1, 5);
    if (rng.percent(40)) e.amount = -e.amount;
    e.plural = e.amount != 1 && e.amount != -1 ? true : rng.percent(30);
    return e;
}

void build_world(World* w, Rng& rng) {
    w->holidays = make_holidays();
    for (int k = 0; k < 200; ++k)
        w->calendars.push_back(make_calendar(rng, k, w->holidays));
    for (int k = 0; k < 200; ++k)
        (w->calendars[static_cast<std::size_t>(k)].contains(w->run_day) ? w->with_run
                                                                        : w->without_run)
            .push_back(k);
    for (int k = 0; k < 200; ++k) {
        for (int u = 0; u < 3; ++u) {
            for (int a = -5; a <= 5; ++a) {
                if (a == 0) continue;
                Element e;
                e.kind = Elem::offset;
                e.value = k;
                e.unit = static_cast<Unit>(u);
                e.amount = a;
                e.plural = a != 1 && a != -1;
                if (w->offset_matches(e)) w->offsets_matching.push_back(e);
            }
        }
    }
}

// One element of an ON (or EXCEPT) clause that matches the run date or not,
// as asked; false when none of the kinds tried gives the answer.
bool make_element(const World& w, Rng& rng, bool except, bool want, Element* out) {
    // day, WEEKDAYS, WORKDAYS, EVERYDAY, date, calendar, offset, REQUEST
    static const int on_match[] = {25, 20, 20, 5, 5, 15, 10, 0};
    static const int on_miss[] = {35, 0, 0, 0, 15, 25, 20, 5};
    static const int except_match[] = {20, 10, 0, 0, 30, 25, 15, 0};
    static const int except_miss[] = {30, 0, 0, 0, 25, 30, 15, 0};
    const int(&weights)[8] =
        except ? (want ? except_match : except_miss) : (want ? on_match : on_miss);
    for (int attempt = 0; attempt < 64; ++attempt) {
        Element e;
        e.kind = static_cast<Elem>(rng.weighted(weights));
        switch (e.kind) {
            case Elem::day:
                e.value = rng.range(0, 6);
                if (want) e.value = weekday(w.run_day);
                break;
            case Elem::date: {
                const int first = day_number(kFirstYear, 1, 1);
                e.value = want ? w.run_day : first + rng.range(0, 365 * kYears);
                break;
            }
            case Elem::calendar: {
                if (except && rng.percent(40)) {
                    e.value = -1;
                    break;
                }
                const std::vector<int>& from = want ? w.with_run : w.without_run;
                if (from.empty()) continue;
                e.value =
                    from[static_cast<std::size_t>(rng.range(0, static_cast<int>(from.size()) - 1))];
                break;
            }
            case Elem::offset:
                if (want) {
                    if (w.offsets_matching.empty()) continue;
                    e = w.offsets_matching[static_cast<std::size_t>(
                        rng.range(0, static_cast<int>(w.offsets_matching.size()) - 1))];
                    if (e.amount == 1 || e.amount == -1) e.plural = rng.percent(30);
                } else {
                    e = offset_element(rng, rng.range(0, 199));
                }
                break;
            default:
                break;
        }
        if (w.matches(e) == want) {
            *out = e;
            return true;
        }
    }
    return false;
}

// ---- schedule definitions ------------------------------------------------------------

struct Totals {
    long schedules = 0;
    long lines = 0;
    long jobs = 0;
    long selected = 0;
};

class Generator {
  public:
    Generator(const World& world, std::uint64_t seed, long n)
        : w_(world), rng_(seed, 2), counts_(kWorkstationCount, 0) {
        refs_.reserve(static_cast<std::size_t>(n));
    }

    // The next definition's lines; false when a workstation has no more
    // schedule names.
    bool next(std::vector<std::string>* lines, Totals* totals);

  private:
    std::string follows_target(const SchedRef& self, bool with_job, bool allow_short);
    void header_keywords(const SchedRef& self, std::vector<std::string>* kw);
    void job_lines(const SchedRef& self, int jobs, int extra, std::vector<std::string>* out);

    const World& w_;
    Rng rng_;
    std::vector<int> counts_;  // schedules so far per workstation
    std::vector<SchedRef> refs_;
};

// A schedule defined before this one (so that dependencies never make a
// cycle), mostly a recent one of the same workstation.
std::string Generator::follows_target(const SchedRef& self, bool with_job, bool allow_short) {
    SchedRef t;
    bool found = false;
    if (rng_.percent(70) && self.local > 0) {
        t.ws = self.ws;
        t.local = rng_.range(std::max(0, self.local - 50), self.local - 1);
        found = true;
    } else if (!refs_.empty()) {
        t = refs_[static_cast<std::size_t>(rng_.range(0, static_cast<int>(refs_.size()) - 1))];
        found = true;
    }
    if (!found) return {};
    std::string text = t.ws == self.ws && allow_short && rng_.percent(50)
                           ? schedule_name(t)
                           : std::string(kWorkstations[t.ws]) + "#" + schedule_name(t);
    if (with_job) text += "." + (rng_.percent(30) ? std::string("@") : job_name(t, 0));
    return text;
}

void Generator::header_keywords(const SchedRef& self, std::vector<std::string>* kw) {
    const std::string ws = kWorkstations[self.ws];
    // Groups of lines: keywords come in any order, and a continued line stays
    // with its last piece.
    std::vector<std::vector<std::string>> groups;
    if (rng_.percent(70)) {
        std::string at = "AT " + hhmm(rng_);
        if (rng_.percent(12)) {
            const int days = rng_.range(1, 2);
            at += " +" + std::to_string(days) + (days == 1 && rng_.percent(50) ? " DAY" : " DAYS");
        }
        if (rng_.percent(8)) at += " UNTIL " + hhmm(rng_);
        groups.push_back({at});
    }
    if (rng_.percent(40)) {
        const int p = rng_.range(0, 99);
        groups.push_back({"PRIORITY " + (p < 4   ? std::string("HI")
                                         : p < 6 ? std::string("GO")
                                                 : std::to_string(p))});
    }
    static const int follow_counts[] = {40, 30, 20, 10};
    const int follows = rng_.weighted(follow_counts);
    std::vector<std::string> targets;
    for (int k = 0; k < follows; ++k) {
        std::string t = follows_target(self, rng_.percent(15), true);
        if (!t.empty() && std::find(targets.begin(), targets.end(), t) == targets.end())
            targets.push_back(t);
    }
    if (!targets.empty()) {
        if (rng_.percent(50)) {
            std::vector<std::string> group;
            std::string line = "FOLLOWS ";
            for (std::size_t k = 0; k < targets.size(); ++k) {
                if (k > 0) line += ", ";
                // A few lists are continued on the next line.
                if (k == 1 && rng_.percent(6)) {
                    group.push_back(line + "\\");
                    line.clear();
                }
                line += targets[k];
            }
            group.push_back(line);
            groups.push_back(group);
        } else {
            for (const std::string& t : targets)
                groups.push_back({"FOLLOWS " + t});
        }
    }
    if (rng_.percent(10)) groups.push_back({"LIMIT " + std::to_string(rng_.range(1, 99))});
    if (rng_.percent(8)) groups.push_back({"CARRYFORWARD"});
    if (rng_.percent(10)) {
        const int count = rng_.range(1, 4);
        groups.push_back(
            {"NEEDS " + std::to_string(count) + " " + ws + "#" + rng_.pick(kResources)});
    }
    if (rng_.percent(5)) {
        const std::string folder = rng_.pick(kApps);
        std::string line = "OPENS \"/data/" + folder + "/" + rng_.pick(kWords) + ".dat\"";
        if (rng_.percent(25)) line += " (-s %p)";
        groups.push_back({line});
    }
    if (rng_.percent(4))
        groups.push_back(
            {"PROMPT \"Mount tape ^TAPEID^ for " + words(rng_, 2) + ", then reply Y\""});
    if (rng_.percent(10))
        groups.push_back({rng_.percent(50) ? "* " + words(rng_, rng_.range(3, 8))
                                           : "<< " + words(rng_, rng_.range(3, 8)) + " >>"});
    for (std::size_t k = groups.size(); k > 1; --k) {
        const std::size_t j = static_cast<std::size_t>(rng_.range(0, static_cast<int>(k) - 1));
        std::swap(groups[k - 1], groups[j]);
    }
    for (const std::vector<std::string>& g : groups)
        kw->insert(kw->end(), g.begin(), g.end());
}

// The jobs: a first line each, and `extra` more lines (options, then
// keywords, and comments) spread over them.
void Generator::job_lines(const SchedRef& self, int jobs, int extra,
                          std::vector<std::string>* out) {
    const std::string ws = kWorkstations[self.ws];
    std::vector<int> more(static_cast<std::size_t>(jobs), 0);
    int comments = 0;
    for (int k = 0; k < extra; ++k) {
        int& m = more[static_cast<std::size_t>(rng_.range(0, jobs - 1))];
        if (m < 5)
            ++m;
        else
            ++comments;
    }
    const std::string app = rng_.pick(kApps);
    const std::string user = rng_.pick(kUsers);
    for (int j = 0; j < jobs; ++j) {
        const std::string name = job_name(self, j);
        std::string line = rng_.percent(5) ? ws + "#" + name : name;
        const int how = rng_.range(0, 99);
        if (how < 75) {
            line += " SCRIPTNAME \"/opt/" + app + "/bin/" + lower(name) + ".sh";
            if (rng_.percent(30)) line += " -" + std::string(rng_.pick(kWords));
            line += "\"";
        } else if (how < 95) {
            const std::string verb = rng_.pick(kJobWords);
            line += " DOCOMMAND \"" + verb + " " + rng_.pick(kWords) + " >/dev/null\"";
        } else {
            line += " JOBFILENAME \"/opt/" + app + "/jobs/" + lower(name) + ".job\"";
        }
        line += " STREAMLOGON " + std::string(rng_.pick(kUsers));
        out->push_back(line);

        // Options (0-2) come before the keywords; a job-level FOLLOWS needs
        // a job or a schedule before it.
        enum Kind {
            description,
            recovery,
            interactive,
            follows,
            at,
            priority,
            needs,
            opens,
            prompt,
            confirmed,
            every,
            kinds
        };
        static const int kind_weights[kinds] = {20, 10, 2, 25, 10, 6, 6, 5, 3, 5, 8};
        std::vector<int> chosen;
        for (int k = 0; k < more[static_cast<std::size_t>(j)]; ++k) {
            int kind = rng_.weighted(kind_weights);
            if (kind == follows && j == 0 && refs_.empty()) kind = description;
            const bool repeatable = kind == follows || kind == needs;
            if (!repeatable && std::find(chosen.begin(), chosen.end(), kind) != chosen.end())
                kind = follows;
            if (kind == follows && j == 0 && refs_.empty()) {
                ++comments;
                continue;
            }
            chosen.push_back(kind);
        }
        std::sort(chosen.begin(), chosen.end());
        for (int kind : chosen) {
            std::string l = "    ";
            switch (kind) {
                case description: {
                    // A few descriptions are longer than a stored line.
                    const int n = rng_.percent(3) ? rng_.range(14, 18) : rng_.range(2, 6);
                    std::string text = words(rng_, n);
                    text[0] = static_cast<char>(text[0] - 'a' + 'A');
                    l += "DESCRIPTION \"" + text + "\"";
                    break;
                }
                case recovery: {
                    static const char* const actions[] = {"STOP", "RERUN", "NEXTJOB"};
                    l += "RECOVERY " + std::string(rng_.pick(actions));
                    if (rng_.percent(30)) l += " AFTER " + ws + "#" + "RECOV" + name.substr(0, 3);
                    if (rng_.percent(40))
                        l += " ABENDPROMPT \"" + name + " failed: call " + user + " support\"";
                    break;
                }
                case interactive:
                    l += "INTERACTIVE";
                    break;
                case follows:
                    if (j > 0 && (refs_.empty() || rng_.percent(75)))
                        l += "FOLLOWS " + job_name(self, rng_.range(std::max(0, j - 5), j - 1));
                    else
                        l += "FOLLOWS " + follows_target(self, true, false);
                    break;
                case at:
                    l += "AT " + hhmm(rng_);
                    if (rng_.percent(30)) l += " UNTIL " + hhmm(rng_) + " +1 DAY";
                    break;
                case priority:
                    l += "PRIORITY " + std::to_string(rng_.range(1, 99));
                    break;
                case needs: {
                    const int count = rng_.range(1, 32);
                    l += "NEEDS " + std::to_string(count) + " " + rng_.pick(kResources);
                    break;
                }
                case opens:
                    l += "OPENS \"/data/" + app + "/" + rng_.pick(kWords) + ".ready\"";
                    break;
                case prompt:
                    l += "PROMPT \"Check the " + words(rng_, 2) + " of ^RUNDATE^, then reply Y\"";
                    break;
                case confirmed:
                    l += "CONFIRMED";
                    break;
                default:
                    l += "EVERY " + std::to_string(rng_.range(1, 24) * 5);
                    break;
            }
            out->push_back(l);
        }
        if (comments > 0 && (j + 1 == jobs || rng_.percent(30))) {
            --comments;
            out->push_back("* " + words(rng_, rng_.range(3, 9)));
            while (j + 1 == jobs && comments > 0) {
                --comments;
                out->push_back("* " + words(rng_, rng_.range(3, 9)));
            }
        }
    }
}

bool Generator::next(std::vector<std::string>* lines, Totals* totals) {
    lines->clear();
    SchedRef self;
    self.ws = rng_.weighted(kWorkstationWeights);
    self.local = counts_[static_cast<std::size_t>(self.ws)];
    if (self.local > 99999) return false;
    const std::string ws = kWorkstations[self.ws];
    const std::string name = schedule_name(self);

    // Selected on the run date or not; then elements that agree.
    const bool selected = rng_.range(0, 2) == 0;
    const bool has_except = rng_.range(0, 2) == 0;
    // Some schedules that are not taken match ON and are left out by EXCEPT.
    const bool left_out_by_except = !selected && has_except && rng_.percent(30);
    std::vector<Element> on;
    std::vector<Element> except;
    if (!selected && rng_.percent(3)) {
        Element e;
        e.kind = Elem::request;
        on.push_back(e);
    } else {
        static const int element_counts[] = {50, 25, 15, 10};
        const int count = 1 + rng_.weighted(element_counts);
        const int matching = rng_.range(0, count - 1);
        for (int k = 0; k < count; ++k) {
            const bool want =
                (selected || left_out_by_except) && (k == matching || rng_.percent(25));
            Element e;
            if (make_element(w_, rng_, false, want, &e)) on.push_back(e);
        }
    }
    if (has_except) {
        const int count = rng_.percent(75) ? 1 : 2;
        const int matching = rng_.range(0, count - 1);
        for (int k = 0; k < count; ++k) {
            Element e;
            if (make_element(w_, rng_, true, left_out_by_except && k == matching, &e))
                except.push_back(e);
        }
    }
    // What the run date makes of the clauses as written.
    bool on_match = false;
    for (const Element& e : on)
        on_match = on_match || w_.matches(e);
    bool except_match = false;
    for (const Element& e : except)
        except_match = except_match || w_.matches(e);
    if (on.empty()) {
        Element e;
        e.kind = Elem::request;
        on.push_back(e);
    }

    std::vector<std::string> head;
    const int preamble = rng_.weighted({20, 60, 20});
    for (int k = 0; k < preamble; ++k)
        head.push_back("* " + (k == 0 ? name + ": " : std::string()) +
                       words(rng_, rng_.range(3, 9)));
    head.push_back(ws == kMaster && rng_.percent(50) ? "SCHEDULE " + name
                                                     : "SCHEDULE " + ws + "#" + name);
    std::string line = "ON ";
    for (std::size_t k = 0; k < on.size(); ++k) {
        if (k > 0) line += ", ";
        if (k == 1 && rng_.percent(8)) {
            line += "\\";
            head.push_back(line);
            line.clear();
        }
        line += w_.text(on[k]);
    }
    head.push_back(line);
    if (!except.empty()) {
        line = "EXCEPT ";
        for (std::size_t k = 0; k < except.size(); ++k)
            line += (k > 0 ? ", " : "") + w_.text(except[k]);
        head.push_back(line);
    }
    std::vector<std::string> kw;
    header_keywords(self, &kw);
    head.insert(head.end(), kw.begin(), kw.end());

    // 10 to 40 lines in all: the header, ":", the jobs, END.
    const int header = static_cast<int>(head.size());
    const int total = std::max(rng_.range(10, 40), header + 2 + 5);
    const int budget = total - header - 2;
    const int jobs = rng_.range(std::max(5, budget / 3), std::min(30, budget));
    *lines = std::move(head);
    lines->push_back(":");
    job_lines(self, jobs, budget - jobs, lines);
    lines->push_back("END");

    ++counts_[static_cast<std::size_t>(self.ws)];
    refs_.push_back(self);
    ++totals->schedules;
    totals->lines += static_cast<long>(lines->size());
    totals->jobs += jobs;
    if (on_match && !except_match) ++totals->selected;
    return true;
}

// ---- output ---------------------------------------------------------------------------

class Output {
  public:
    explicit Output(fs::path dir) : dir_(std::move(dir)) {}

    bool write(const std::string& rel, const std::string& text) {
        const fs::path path = dir_ / rel;
        std::error_code ec;
        fs::create_directories(path.parent_path(), ec);
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (f == nullptr) return fail(path, std::strerror(errno));
        const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
        if (std::fclose(f) != 0 || !ok) return fail(path, "cannot write");
        return true;
    }

  private:
    static bool fail(const fs::path& path, const char* why) {
        std::fprintf(stderr, "korvex_gen: %s: %s\n", path.c_str(), why);
        return false;
    }
    fs::path dir_;
};

std::string calendar_file(const std::vector<const Calendar*>& cals, const char* title) {
    std::string t = std::string("# ") + title + "\n";
    for (const Calendar* c : cals) {
        t += "\n" + c->name + " \"" + c->description + "\"\n";
        for (std::size_t k = 0; k < c->days.size(); ++k) {
            t += k % 6 == 0 ? "    " : " ";
            t += date_text(c->days[k]);
            if (k % 6 == 5 || k + 1 == c->days.size()) t += "\n";
        }
    }
    return t;
}

constexpr const char kSecurity[] =
    R"(* Security rules of the benchmark installation: every user may build the
* production schedule and manage everything.
USER EVERYONE
    LOGON=@
BEGIN
    FILE      NAME=PRODSKED           ACCESS=BUILD,DISPLAY,MODIFY
    FILE      NAME=@                  ACCESS=DISPLAY,MODIFY
    SCHEDULE  CPU=@ NAME=@            ACCESS=@
    JOB       CPU=@ NAME=@            ACCESS=@
    CALENDAR  NAME=@                  ACCESS=@
    CPU       CPU=@                   ACCESS=@
    RESOURCE  CPU=@ NAME=@            ACCESS=@
    PROMPT    NAME=@                  ACCESS=@
    PARAMETER CPU=@ NAME=@            ACCESS=@
END
)";

int usage(const char* why) {
    std::fprintf(stderr,
                 "korvex_gen: %s\nusage: korvex_gen [-n N] [-seed S] [-date YYYY/MM/DD] "
                 "[-per-file K] DIR\n",
                 why);
    return 2;
}

bool number_arg(const char* text, long lo, long hi, long* out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    long n = 1000;
    long seed = 1;
    long per_file = 500;
    int run_day = day_number(2027, 6, 16);
    std::string dir;
    for (int k = 1; k < argc; ++k) {
        const std::string a = argv[k];
        const bool has_value = k + 1 < argc;
        if (a == "-n" && has_value) {
            if (!number_arg(argv[++k], 1, 1000000, &n)) return usage("-n takes 1 to 1000000");
        } else if (a == "-seed" && has_value) {
            if (!number_arg(argv[++k], 0, 2147483647L, &seed)) return usage("bad -seed");
        } else if (a == "-per-file" && has_value) {
            if (!number_arg(argv[++k], 1, 1000000, &per_file)) return usage("bad -per-file");
        } else if (a == "-date" && has_value) {
            if (!parse_date_arg(argv[++k], &run_day)) return usage("-date takes YYYY/MM/DD");
        } else if (!a.empty() && a[0] != '-' && dir.empty()) {
            dir = a;
        } else {
            return usage(("unexpected argument \"" + a + "\"").c_str());
        }
    }
    if (dir.empty()) return usage("no output directory given");
    std::error_code ec;
    if (fs::exists(dir, ec) && !fs::is_empty(dir, ec))
        return usage("the output directory exists and is not empty");

    World world;
    world.run_day = run_day;
    Rng cal_rng(static_cast<std::uint64_t>(seed), 1);
    build_world(&world, cal_rng);

    Output out{fs::path(dir)};
    bool ok = out.write("calendars/holidays.cal",
                        calendar_file({&world.holidays}, "Public holidays of the sites"));
    for (std::size_t first = 0; ok && first < world.calendars.size(); first += 50) {
        std::vector<const Calendar*> group;
        for (std::size_t k = first; k < std::min(first + 50, world.calendars.size()); ++k)
            group.push_back(&world.calendars[k]);
        char rel[64];
        std::snprintf(rel, sizeof rel, "calendars/cal%02zu.cal", first / 50 + 1);
        ok = out.write(rel, calendar_file(group, "Calendars of the departments"));
    }

    Generator gen(world, static_cast<std::uint64_t>(seed), n);
    Totals totals;
    std::vector<std::string> lines;
    std::string text;
    int file_no = 0;
    for (long k = 0; ok && k < n; ++k) {
        if (!gen.next(&lines, &totals)) {
            std::fprintf(stderr, "korvex_gen: too many schedules for one workstation\n");
            return 1;
        }
        if (!text.empty()) text += "\n";
        for (const std::string& l : lines)
            text += l + "\n";
        if ((k + 1) % per_file == 0 || k + 1 == n) {
            char rel[64];
            std::snprintf(rel, sizeof rel, "schedules/s%04d.sched", ++file_no);
            ok = out.write(rel, text);
            text.clear();
        }
    }
    char summary[512];
    std::snprintf(summary, sizeof summary,
                  "schedules = %ld\nlines = %ld\njobs = %ld\ncalendars = %zu\n"
                  "workstations = %d\nrundate = %s\nselected = %ld\n",
                  totals.schedules, totals.lines, totals.jobs, world.calendars.size() + 1,
                  kWorkstationCount, date_text(run_day).c_str(), totals.selected);
    ok = ok && out.write("localopts", std::string("thiscpu = ") + kMaster + "\n");
    ok = ok && out.write("globalopts", std::string("master = ") + kMaster +
                                           "\ncompany = KORVEX benchmark\nstart = 0600\n");
    ok = ok && out.write("Security.src", kSecurity);
    ok = ok && out.write("summary", summary);
    if (!ok) return 1;
    std::printf(
        "korvex_gen: %ld schedules (%ld lines, %ld jobs) on %d workstations, "
        "%zu calendars; %ld selected on %s\n",
        totals.schedules, totals.lines, totals.jobs, kWorkstationCount, world.calendars.size() + 1,
        totals.selected, date_text(run_day).c_str());
    return 0;
}

// report.cpp - how the benchmark states its figures: one line each, kept for
// the run's JSON, and the statistics of interleaved trials behind a ratio.
#include "bench.h"

#include <algorithm>
#include <math.h>
#include <stdarg.h>
#include <stdlib.h>

static std::vector<Figure> g_figures;  // every figure of the run, in order

double NowUs()
{
    static LARGE_INTEGER s_freq;
    if (s_freq.QuadPart == 0) {
        QueryPerformanceFrequency(&s_freq);
    }
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart * 1e6 / (double)s_freq.QuadPart;
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    double at = p * (double)(v.size() - 1);
    size_t below = (size_t)at;
    if (below + 1 >= v.size()) {
        return v.back();
    }
    return v[below] + (at - (double)below) * (v[below + 1] - v[below]);
}

double Median(std::vector<double> v)
{
    return Percentile(std::move(v), 0.5);
}

Spread SpreadOf(const std::vector<double>& v)
{
    return {Median(v), Percentile(v, 0.1), Percentile(v, 0.9), v.size(), 1};
}

std::vector<double> BlockMinima(const std::vector<double>& v, size_t block)
{
    std::vector<double> least;
    block = std::max<size_t>(block, 1);
    for (size_t i = 0; i + block <= v.size(); i += block) {
        least.push_back(*std::min_element(v.begin() + i, v.begin() + i + block));
    }
    return least;
}

Spread RatioOf(const std::vector<double>& mine, const std::vector<double>& theirs, size_t block)
{
    size_t n = std::min(mine.size(), theirs.size());
    std::vector<double> a = BlockMinima(std::vector<double>(mine.begin(), mine.begin() + n), block);
    std::vector<double> b =
        BlockMinima(std::vector<double>(theirs.begin(), theirs.begin() + n), block);
    std::vector<double> ratios;
    for (size_t i = 0; i < a.size(); i++) {
        if (b[i] > 0) {
            ratios.push_back(a[i] / b[i]);
        }
    }
    Spread s = SpreadOf(ratios);
    s.block = std::max<size_t>(block, 1);
    return s;
}

std::string SpreadText(const Spread& s)
{
    char text[96];
    if (s.block > 1) {
        snprintf(text, sizeof(text), "median of %zu blocks of %zu, spread P10-P90 %.2f-%.2f",
                 s.count, s.block, s.p10, s.p90);
    } else {
        snprintf(text, sizeof(text), "median of %zu, spread P10-P90 %.2f-%.2f", s.count, s.p10,
                 s.p90);
    }
    return text;
}

std::string Format(const char* pszFormat, ...)
{
    char text[512];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(text, sizeof(text), pszFormat, args);
    va_end(args);
    return text;
}

int GoalMet(const std::string& goal, double value)
{
    const char* p = goal.c_str();
    int op = 0;  // 0: at most, as "0" means; 1: below; 2: at least
    if (goal.compare(0, 2, "<=") == 0) {
        p += 2;
    } else if (goal.compare(0, 1, "<") == 0) {
        op = 1;
        p += 1;
    } else if (goal.compare(0, 2, ">=") == 0) {
        op = 2;
        p += 2;
    }
    char* end = NULL;
    double bound = strtod(p, &end);
    if (end == p) {
        return -1;  // "none set", "n/a": no goal to meet
    }
    // The value is compared as printed, to two places: what the reader sees.
    double shown = round(value * 100.0) / 100.0;
    switch (op) {
    case 1:
        return shown < bound;
    case 2:
        return shown >= bound;
    default:
        return shown <= bound;
    }
}

void Report(const std::string& name, double value, const char* unit, const char* goal,
            const std::string& detail)
{
    printf("%s: %.2f %s (goal %s%s%s)\n", name.c_str(), value, unit, goal,
           detail.empty() ? "" : "; ", detail.c_str());
    fflush(stdout);
    g_figures.push_back({name, value, unit, goal, detail, GoalMet(goal, value)});
}

const std::vector<Figure>& Figures()
{
    return g_figures;
}

static std::string JsonString(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof(escape), "\\u%04x", c);
            out += escape;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

static std::string JsonNumber(double value)
{
    if (!isfinite(value)) {
        return "null";
    }
    char text[32];
    snprintf(text, sizeof(text), "%.4f", value);
    return text;
}

// The desktop's file calls: the benchmark binds CreateFileW and _wfopen to
// the device's, which keep to the device's store.
static HANDLE HostCreateFile(const std::wstring& path, DWORD access, DWORD disposition)
{
    static auto s_create = (decltype(&::CreateFileW))(void*)GetProcAddress(
        GetModuleHandleW(L"kernel32.dll"), "CreateFileW");
    // A host path ("/tmp/figures.json") is on Wine's drive Z:.
    std::wstring name = (path.compare(0, 1, L"/") == 0 ? L"Z:" : L"") + path;
    return s_create(name.c_str(), access, FILE_SHARE_READ, NULL, disposition, FILE_ATTRIBUTE_NORMAL,
                    NULL);
}

bool WriteHostFile(const std::wstring& path, const std::string& text)
{
    HANDLE h = HostCreateFile(path, GENERIC_WRITE, CREATE_ALWAYS);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    bool ok =
        WriteFile(h, text.data(), (DWORD)text.size(), &written, NULL) && written == text.size();
    return CloseHandle(h) && ok;
}

std::string HostLoad()
{
    HANDLE h = HostCreateFile(L"/proc/loadavg", GENERIC_READ, OPEN_EXISTING);
    char text[64] = "";
    DWORD read = 0;
    double one = 0, five = 0, fifteen = 0;
    bool ok = h != INVALID_HANDLE_VALUE && ReadFile(h, text, sizeof(text) - 1, &read, NULL) &&
              sscanf(text, "%lf %lf %lf", &one, &five, &fifteen) == 3;
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
    }
    if (!ok) {
        return "unknown";
    }
    snprintf(text, sizeof(text), "%.2f %.2f %.2f", one, five, fifteen);
    return text;
}

std::string FiguresJson(const std::vector<Figure>& figures, const std::string& arch,
                        const std::string& load)
{
    std::string out = "{\n  \"arch\": " + JsonString(arch) + ",\n  \"load\": " + JsonString(load) +
                      ",\n  \"figures\": [";
    for (size_t i = 0; i < figures.size(); i++) {
        const Figure& f = figures[i];
        out += i ? ",\n    {" : "\n    {";
        out += "\"name\": " + JsonString(f.name) + ", \"value\": " + JsonNumber(f.value) +
               ", \"unit\": " + JsonString(f.unit) + ", \"goal\": " + JsonString(f.goal) +
               ", \"detail\": " + JsonString(f.detail) + ", \"met\": " +
               (f.met < 0 ? "null"
                : f.met   ? "true"
                          : "false") +
               "}";
    }
    return out + "\n  ]\n}\n";
}

// suite.cpp - the suite's own time: how long ./test.sh last took to build and to
// run the tests of each architecture, as it recorded them in BUILD/times.json
// (one flat JSON object that tools/bench/record-times writes; docs/building.md).
#include "bench.h"
#include "scale.h"

#include <stdlib.h>

namespace {

struct Times {
    std::string arch;
    double buildSeconds = -1;
    double testSeconds = -1;
    double ubsanSeconds = -1;  // of the test time, the UB-checked build
    double tests = -1;
    double failed = -1;
    std::string ctestArguments;
    std::string notRun;  // why the suite could not run on that machine ("" when it ran)
    std::string finished;
};

// The text of FIELD in a flat object: a number, or a string.
std::string Field(const std::string& json, const char* field)
{
    size_t at = json.find(std::string("\"") + field + "\":");
    if (at == std::string::npos) {
        return "";
    }
    at = json.find_first_not_of(" ", at + strlen(field) + 3);
    if (at == std::string::npos) {
        return "";
    }
    if (json[at] == '"') {
        // A backslash keeps the next character (record-times escapes quotes and backslashes).
        std::string text;
        for (size_t i = at + 1; i < json.size() && json[i] != '"'; i++) {
            i += json[i] == '\\' && i + 1 < json.size();
            text += json[i];
        }
        return text;
    }
    return json.substr(at, json.find_first_of(",}\n", at) - at);
}

double Number(const std::string& json, const char* field)
{
    std::string text = Field(json, field);
    return text.empty() ? -1 : strtod(text.c_str(), NULL);
}

bool ReadTimes(const std::wstring& path, Times* times)
{
    // Narrow, through the host's runtime: the device's _wfopen would look in its store.
    char narrow[MAX_PATH * 3];
    if (WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, narrow, sizeof(narrow), NULL, NULL) ==
        0) {
        return false;
    }
    FILE* f = fopen(narrow, "rb");
    if (f == NULL) {
        return false;
    }
    std::string json;
    char buffer[512];
    for (size_t n; (n = fread(buffer, 1, sizeof(buffer), f)) > 0;) {
        json.append(buffer, n);
    }
    fclose(f);
    times->arch = Field(json, "arch");
    times->buildSeconds = Number(json, "build_seconds");
    times->testSeconds = Number(json, "test_seconds");
    times->ubsanSeconds = Number(json, "ubsan_build_seconds");
    times->tests = Number(json, "tests");
    times->failed = Number(json, "failed");
    times->ctestArguments = Field(json, "ctest_arguments");
    times->notRun = Field(json, "not_run");
    times->finished = Field(json, "finished");
    return !times->arch.empty() && times->buildSeconds >= 0;
}

std::string Text(const char* format, double value)
{
    char buffer[64];
    snprintf(buffer, sizeof(buffer), format, value);
    return buffer;
}

}  // namespace

std::wstring CheckoutOf(const wchar_t* self)
{
    // self is BUILD\bin\rendak-bench.exe; the other builds are BUILD's siblings.
    auto parent = [](const std::wstring& p) { return p.substr(0, p.find_last_of(L"\\/")); };
    return parent(parent(parent(self)));
}

void SuiteTimes(const std::wstring& root)
{
    std::vector<Times> found;
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW((root + L"\\*").c_str(), &fd);
    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            Times t;
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && fd.cFileName[0] != L'.' &&
                ReadTimes(root + L"\\" + fd.cFileName + L"\\times.json", &t)) {
                found.push_back(t);
            }
        } while (FindNextFileW(hFind, &fd));
        FindClose(hFind);
    }
    if (found.empty()) {
        Report("suite.build-seconds", 0, "n/a", "none set",
               "no times.json: ./test.sh records them in each build folder");
        return;
    }
    double build = 0, test = 0;
    std::string archs;
    for (const Times& t : found) {
        std::string name = "suite." + t.arch;
        Report(name + ".build-seconds", t.buildSeconds, "s", "none set",
               "./test.sh's build, finished " + t.finished);
        if (t.testSeconds >= 0) {
            std::string what = !t.notRun.empty()          ? "its PE checks only (" + t.notRun + ")"
                               : t.ctestArguments.empty() ? "the whole suite"
                                                          : "ctest " + t.ctestArguments;
            std::string detail =
                what + ", " + Text("%.0f tests", t.tests) + Text(", %.0f failed", t.failed);
            if (t.ubsanSeconds >= 0) {
                detail += Text("; of it the UB-checked build %.0f s", t.ubsanSeconds);
            }
            Report(name + ".test-seconds", t.testSeconds, "s", "none set", detail);
            test += t.testSeconds;
        }
        build += t.buildSeconds;
        archs += (archs.empty() ? "" : " and ") + t.arch;
    }
    Report("suite.build-seconds", build, "s", "none set", archs);
    Report("suite.test-seconds", test, "s", "none set", archs);
}

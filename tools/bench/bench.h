// bench.h - what the benchmark's files share.
#pragma once

// The host's <stdio.h> for printing; the device's stream functions are taken
// from coredll by name where the replay needs them.
#define WINCE_HOST_CRT
#include <stdio.h>
#include <wince.h>
#include <handheld.h>
#include <handheld_journal.h>

#include <string>
#include <vector>

// --- replay.cpp: an export's platform operations made again --------------------

// The entries that one thread made: an export's own, not those of the
// library's worker or of the notification thread running beside it.
std::vector<handheld::JournalEntry> EntriesOfThread(
    const std::vector<handheld::JournalEntry>& entries, DWORD thread);
// The registrations that the entries close without having opened them (the
// export closes one made before it): made beforehand, so that the replay
// closes one as the export did.
std::vector<HREGNOTIFY> PrepareReplay(const std::vector<handheld::JournalEntry>& entries);
// Performs again the registry, file, radio, kernel and notification
// operations that these journal entries record; the others are skipped.
// Registrations are closed oldest first from *pNotifications, and those the
// entries open are added to it. Returns how many operations it performed.
size_t Replay(const std::vector<handheld::JournalEntry>& entries,
              std::vector<HREGNOTIFY>* pNotifications);
// Closes the registrations a replay left open (as the export left its own).
void FinishReplay(std::vector<HREGNOTIFY>* pNotifications);

// --- report.cpp: the figures and the statistics behind them -----------------------

double NowUs();
double Percentile(std::vector<double> v, double p);  // p in [0, 1], interpolated
double Median(std::vector<double> v);

// The middle and the spread of a set of samples.
struct Spread {
    double median;
    double p10;
    double p90;
    size_t count;
    size_t block;  // trials a side behind each sample of a ratio; 1 otherwise
};
Spread SpreadOf(const std::vector<double>& v);
// Of paired trials (the two halves of trial i run back to back): the ratio
// of each block of `block` pairs, the least of its `mine` over the least of
// its `theirs`. A pair sees the load its neighbours see; the least of a few
// trials is the one no other work on the machine interrupted. A trailing
// part block is left out.
Spread RatioOf(const std::vector<double>& mine, const std::vector<double>& theirs,
               size_t block = 1);
#define BENCH_BLOCK 3  // trials a side behind each ratio
// "median of N, spread P10-P90 a-b" ("median of N blocks of K, ..." for a ratio of blocks)
std::string SpreadText(const Spread& s);
// The least of each block of `block` samples in turn; a trailing part block is left out.
std::vector<double> BlockMinima(const std::vector<double>& v, size_t block);
std::string Format(const char* pszFormat, ...) __attribute__((format(gnu_printf, 1, 2)));

struct Figure {
    std::string name;
    double value;
    std::string unit;
    std::string goal;  // "<= 1.5", "< 5 ms", "0", or "none set", "n/a"
    std::string detail;
    int met;  // 1 met, 0 missed, -1 no goal to meet
};

// Whether value meets a goal such as "<= 1.5", "< 1%" or "0" (at most),
// compared as printed (two places); -1 for a goal without a bound.
int GoalMet(const std::string& goal, double value);

// Prints one figure as "NAME: VALUE UNIT (goal GOAL; DETAIL)" and keeps it for
// the run's JSON. An empty detail is left out.
void Report(const std::string& name, double value, const char* unit, const char* goal,
            const std::string& detail);
const std::vector<Figure>& Figures();
// The host's load averages ("1.02 0.80 0.61"), or "unknown".
std::string HostLoad();
// Writes a file of the host: a Windows path, or a host path ("/tmp/f.json").
bool WriteHostFile(const std::wstring& path, const std::string& text);
// The run's JSON document: {"arch", "load", "figures": [{name, value, unit,
// goal, detail, met}]}, met being true, false or null (no goal).
std::string FiguresJson(const std::vector<Figure>& figures, const std::string& arch,
                        const std::string& load);

// --- overhead.cpp: the platform layer against the desktop calls it stands on ------

void LayerOverhead(void);
// The notification path across processes, against Wine's own delivery; and
// the child's part (returns its exit code).
void NotificationFloor(const wchar_t* self);
int WriteValuesForParent(void);

// The scale series (scale.cpp): ScaleRole runs a child's part and returns its
// exit code when the command line names one, or -1; ScaleSeries prints them.
int ScaleRole(int argc, LPWSTR* argv);
void ScaleSeries(const wchar_t* self);

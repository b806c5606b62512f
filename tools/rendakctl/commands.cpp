// commands.cpp - the tool's commands: each checks its words first, so bad
// input changes nothing, then drives the library, reads back what it must
// have changed, and leaves one document (report.cpp).
#include "rendakctl.h"

#include <Rendak.h>
#include <handheld.h>
#include <handheld_radio.h>
#define WINCE_HOST_CRT
#include <wince.h>

#include <algorithm>
#include <stdio.h>

// The library's own bounds (device time), for the progress line.
#define TURN_ON_BOUND_MS 40000   // ten readings, 4 s apart
#define TURN_OFF_BOUND_MS 30000  // ten readings, 3 s apart
#define DRIVER_RELOAD_MS 6000

int NoMoreWords(const std::vector<std::string>& args, size_t used, const std::string& command)
{
    if (args.size() > used) {
        return UsageError("unexpected word \"" + args[used] + "\" after \"" + command + "\"");
    }
    return EXIT_DONE;
}

// The library refused: it showed an error box. Its text and the next step.
int Refused()
{
    std::string box = LastErrorBoxText();
    AddSnapshot(ReportFields());
    return ReportFinish(
        EXIT_REFUSED,
        ErrorInfo{"refused", "the library refused: \"" + box + "\"", {}, RefusalNextStep(box)});
}

int NotTaken(const std::string& message, const std::vector<std::string>& problems)
{
    return ReportFinish(EXIT_NOT_TAKEN, ErrorInfo{"not_taken", message, problems,
                                                  ShortfallNextStep(ReportCommand())});
}

// --- status -----------------------------------------------------------------------

int CmdStatus(const Options& opt, const std::vector<std::string>& args)
{
    (void)opt;
    if (int rc = NoMoreWords(args, 0, "status")) {
        return rc;
    }
    bool regulatorySet = IfWiFiRegulatorySet() != FALSE;
    JsonValue& f = ReportFields();
    f.Set("regulatory_set", regulatorySet);
    AddSnapshot(f);
    if (!ReportJson()) {
        printf("device: %s\n", DeviceNameUtf8().c_str());
        printf("regulatory flag (this process): %d\n", regulatorySet ? 1 : 0);
        PrintSnapshot(stdout);
    }
    return ReportFinish(EXIT_DONE);
}

// --- switching and start-up -----------------------------------------------------------

static void Unique(std::vector<std::string>& items)
{
    std::vector<std::string> out;
    for (const std::string& s : items) {
        if (std::find(out.begin(), out.end(), s) == out.end()) {
            out.push_back(s);
        }
    }
    items.swap(out);
}

int CmdSwitch(const Options& opt, const std::string& command, const std::vector<std::string>& args)
{
    (void)opt;
    if (int rc = NoMoreWords(args, 0, command)) {
        return rc;
    }
    std::optional<DWORD> stateBefore = DeviceDword(REG_STATE_KEY, REG_STATE_VALUE);
    DWORD reloadMs = stateBefore.value_or(0) == 0 ? DRIVER_RELOAD_MS : 0;
    std::vector<std::string> problems;
    std::string done;
    if (command == "on") {
        ProgressBegin("switching Wi-Fi on: the library waits for the state value to settle",
                      TURN_ON_BOUND_MS);
        TurnOnWiFiModule();
    } else if (command == "off") {
        ProgressBegin("switching Wi-Fi off: the library waits for the state value to settle",
                      TURN_OFF_BOUND_MS);
        TurnOffWiFiModule();
    } else if (command == "init") {
        ProgressBegin("InitWiFi: the library reloads the PC-card driver when the state value is 0",
                      reloadMs);
        InitWiFi();
    } else if (command == "direct-on") {
        ProgressBegin("DirectlyTurnOnWiFi: InitWiFi, then switching Wi-Fi on",
                      reloadMs + TURN_ON_BOUND_MS);
        DirectlyTurnOnWiFi();
    } else {  // close
        int result = CloseWiFi();
        ReportFields().Set("released", result != 0);
        if (!ReportJson()) {
            printf("CloseWiFi: %d (%s)\n", result,
                   result ? "a notification was released"
                          : "no notification was open: one belongs to the process that "
                            "registered it");
        }
        return ReportFinish(EXIT_DONE);
    }
    ProgressEnd();
    if (ErrorBoxesShown() > 0) {
        return Refused();  // it refused, so nothing was meant to change
    }
    if (command == "init" || command == "direct-on") {
        problems = InitShortfalls(stateBefore);
        done = "the Wi-Fi stack is started: the driver is loaded and the status file says 1";
    }
    if (command != "init") {
        bool on = command != "off";
        std::vector<std::string> more = SwitchShortfalls(on);
        problems.insert(problems.end(), more.begin(), more.end());
        done = on ? "Wi-Fi is on" : "Wi-Fi is off";
    }
    Unique(problems);
    AddSnapshot(ReportFields());
    if (!problems.empty()) {
        return NotTaken(command + " returned, but not everything it must change followed",
                        problems);
    }
    if (!ReportJson()) {
        printf("%s\n", done.c_str());
    }
    return ReportFinish(EXIT_DONE);
}

// --- hard-reset -----------------------------------------------------------------------

int CmdHardReset(const Options& opt, const std::vector<std::string>& args)
{
    (void)opt;
    if (int rc = NoMoreWords(args, 0, "hard-reset")) {
        return rc;
    }
    DWORD resets = SimKernelCounter(L"ColdResets"), reboots = SimKernelCounter(L"Reboots");
    // On the real or scaled clock the device restarts inside this call and
    // this process ends with it; the supervising rendakctl reports that.
    HardReset();
    if (ErrorBoxesShown() > 0) {
        return Refused();
    }
    bool accepted = SimKernelCounter(L"ColdResets") > resets;
    bool rebooted = SimKernelCounter(L"Reboots") > reboots;
    JsonValue restart = JsonValue::MakeObject();
    restart.Set("boot", SimKernelCounter(L"Boot"));
    restart.Set("cold", accepted);
    restart.Set("by_this_command", true);
    restart.Set("recorded_only", true);
    ReportFields().Set("restart", restart);
    AddSnapshot(ReportFields());
    if (!accepted || !rebooted) {
        return NotTaken("HardReset returned, but the kernel did not record it",
                        {!accepted ? "no cold reset was recorded" : "no reboot was recorded"});
    }
    if (!ReportJson()) {
        printf(
            "the kernel accepted the cold reset and the reboot; on the virtual clock it records "
            "them and the device does not restart\n");
    }
    return ReportFinish(EXIT_DONE);
}

// --- reload-signal --------------------------------------------------------------------

int CmdReloadSignal(const Options& opt, const std::vector<std::string>& args)
{
    (void)opt;
    if (int rc = NoMoreWords(args, 0, "reload-signal")) {
        return rc;
    }
    // Opened by name as any other program would, in the device's namespace.
    HANDLE hEvent = OpenDeviceEvent(EVENT_MODIFY_STATE, RELOAD_EVENT_NAME);
    DWORD error = GetLastError();
    BOOL ok = hEvent != NULL && EventModify(hEvent, EVENT_SET);
    if (hEvent && !ok) {
        error = GetLastError();
    }
    if (hEvent) {
        CloseDeviceHandle(hEvent);
    }
    if (!ok) {
        return ReportFinish(
            EXIT_REFUSED,
            ErrorInfo{"refused",
                      std::string("cannot ") + (hEvent ? "set" : "open") +
                          " the reload event (error " + std::to_string(error) + ")",
                      {},
                      "a fault may be armed on the event: " + ToolCommand("diagnose")});
    }
    if (!ReportJson()) {
        printf("reload signalled\n");
        fflush(stdout);
    }
    ReloadResult r = ServeOwnReloadSignal();
    PrintReload(r);
    ReportFields().Set("reload", ReloadJson(r));
    AddSnapshot(ReportFields());
    return ReportFinish(EXIT_DONE);
}

// report.cpp - the one document each command leaves: with --json one JSON
// object on stdout, success or failure; in text, its error on stderr ending
// with the next step. A command cut short (Ctrl+C, SIGTERM, the device
// restarting) is reported from another thread, once: whoever claims the
// output first writes it.
#include "rendakctl.h"

#include <handheld.h>

#include <atomic>
#include <stdio.h>

static bool g_json = false;
static std::string g_command;                         // as the document names it ("regulatory set")
static JsonValue g_fields = JsonValue::MakeObject();  // the command's own fields
static std::atomic<bool> g_claimed{false};            // the output has been claimed
static volatile LONG* g_shared = NULL;                // the supervisor's view: claimed, rc
static void (*g_cutShort)(int, const ErrorInfo&) = NULL;  // a command's own ending

void ReportBegin(bool bJson, const std::string& command)
{
    g_json = bJson;
    g_command = command;
}

bool ReportJson()
{
    return g_json;
}

const std::string& ReportCommand()
{
    return g_command;
}

JsonValue& ReportFields()
{
    return g_fields;
}

void ReportSetSharedResult(volatile LONG* pShared)
{
    g_shared = pShared;
}

bool ReportClaim(int rc)
{
    if (g_claimed.exchange(true)) {
        return false;
    }
    // Before anything is printed, so the supervisor never reports twice.
    if (g_shared) {
        InterlockedExchange(&g_shared[1], rc);
        InterlockedExchange(&g_shared[0], 1);
    }
    return true;
}

static JsonValue ErrorJson(const ErrorInfo& e)
{
    JsonValue j = JsonValue::MakeObject();
    j.Set("kind", e.kind);
    j.Set("message", e.message);
    j.Set("details", JsonStrings(e.details));
    j.Set("next_step", e.next);
    return j;
}

static void Print(int rc, const std::optional<ErrorInfo>& error, const JsonValue& fields)
{
    if (g_json) {
        JsonValue doc = JsonValue::MakeObject();
        doc.Set("command", g_command.empty() ? JsonValue() : JsonValue(g_command));
        std::string device = DeviceNameUtf8();
        doc.Set("device", device.empty() ? JsonValue() : JsonValue(device));
        doc.Set("exit_code", rc);
        doc.Set("error", error ? ErrorJson(*error) : JsonValue());
        doc.Set("boxes", BoxesJson());
        doc.Merge(fields);  // the command's fields, in the order it set them
        printf("%s\n", doc.Dump().c_str());
        fflush(stdout);
        return;
    }
    fflush(stdout);
    if (error) {
        fprintf(stderr, "rendakctl: %s\n", error->message.c_str());
        for (const std::string& d : error->details) {
            fprintf(stderr, "  - %s\n", d.c_str());
        }
        if (!error->next.empty()) {
            fprintf(stderr, "next: %s\n", error->next.c_str());
        }
    }
    fflush(stderr);
}

int ReportFinish(int rc, const std::optional<ErrorInfo>& error)
{
    ProgressEnd();
    if (!ReportClaim(rc)) {
        // The interruption owns the output and ends the process.
        for (;;) {
            Sleep(INFINITE);
        }
    }
    Print(rc, error, g_fields);
    return rc;
}

void ReportOnCutShort(void (*pfn)(int rc, const ErrorInfo& error))
{
    g_cutShort = pfn;
}

void ReportCutShort(int rc, const ErrorInfo& error)
{
    if (g_cutShort) {
        g_cutShort(rc, error);  // it claims, prints and ends
    }
    if (!ReportClaim(rc)) {
        for (;;) {
            Sleep(INFINITE);  // the command itself is printing its end
        }
    }
    ProgressEnd();
    if (g_json) {
        // Its own fields: the command may still be filling in g_fields.
        JsonValue left = JsonValue::MakeObject();
        AddSnapshot(left);
        Print(rc, error, left);
    } else {
        fflush(stdout);
        fprintf(stderr, "rendakctl: %s; the device was left so:\n", error.message.c_str());
        PrintSnapshot(stderr);
        fprintf(stderr, "next: %s\n", error.next.c_str());
        fflush(stderr);
    }
    ExitProcess((UINT)rc);
}

int UsageError(const std::string& message)
{
    ErrorInfo e{"usage", message, {}, "rendakctl --help lists the commands and options"};
    if (!g_command.empty() && IsCommand(g_command.substr(0, g_command.find(' ')))) {
        e.next =
            "rendakctl " + g_command.substr(0, g_command.find(' ')) + " --help tells what it takes";
    }
    return ReportFinish(EXIT_USAGE, e);
}

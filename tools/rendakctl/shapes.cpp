// shapes.cpp - one JSON shape and one text for each thing the device shows: a
// domain, the card and its driver, the state value, the status file, a radio.
// Every command that shows one of them uses these, so a field has the same
// name and type wherever it appears (docs/rendakctl.schema.json).
#include "rendakctl.h"

#include <stdio.h>

JsonValue ChannelsJson(DWORD mask)
{
    JsonValue a = JsonValue::MakeArray();
    for (int ch : ChannelsOf(mask)) {
        a.Add(ch);
    }
    return a;
}

// A stored domain: no code stored reads as "None", as the library reads it.
JsonValue DomainJson(std::optional<DWORD> code, std::optional<DWORD> mask)
{
    // The row the stored code names (nulls when none names it), with the code
    // and mask as stored in place of the row's own.
    int index = code ? DomainIndexOfCode(*code) : 0;
    JsonValue j =
        index >= 0
            ? DomainRowJson(DeviceDomains()[index])
            : JsonValue::MakeObject({{"index", nullptr}, {"name", nullptr}, {"alias", nullptr}});
    j.Set("code", code);
    j.Set("mask", mask);
    j.Set("channels", ChannelsJson(mask.value_or(0)));
    return j;
}

JsonValue DomainRowJson(const Domain& d)
{
    return JsonValue::MakeObject({{"index", d.index},
                                  {"name", d.name},
                                  {"alias", d.alias},
                                  {"code", d.code},
                                  {"mask", d.mask},
                                  {"channels", ChannelsJson(d.mask)}});
}

std::string DomainText(std::optional<DWORD> code, std::optional<DWORD> mask)
{
    int index = code ? DomainIndexOfCode(*code) : 0;
    std::string text = index >= 0
                           ? std::to_string(index) + " \"" + DeviceDomains()[index].name + "\""
                           : std::string("(a code no row of the table has)");
    text += ", code " + (code ? Hex(*code, 2) : std::string("not stored"));
    text += ", mask " + (mask ? Hex(*mask, 4) : std::string("not stored"));
    return text + ", channels " + (mask ? ChannelText(*mask) : std::string("none"));
}

static const char* StateNote(DWORD value)
{
    if (value == 0) {
        return "no driver loaded";
    }
    if (value == VENDOR_DOMAIN_MARK) {
        return "the library's mark of a cleared domain: it does not show the adapter";
    }
    if ((value & SIM_STATE_ADAPTER) == 0) {
        return "not a value the adapter shows";
    }
    return NULL;
}

JsonValue StateJson(std::optional<DWORD> value)
{
    JsonValue j = JsonValue::MakeObject();
    j.Set("value", value);
    j.Set("bits", JsonStrings(value ? StateBitNames(*value) : std::vector<std::string>()));
    j.Set(
        "other_bits",
        value ? *value & ~(DWORD)(SIM_STATE_ADAPTER | SIM_STATE_SWITCHING | SIM_STATE_POWERED) : 0);
    j.Set("note", value ? StateNote(*value) : "missing");
    return j;
}

std::string StateText(std::optional<DWORD> value)
{
    if (!value) {
        return "missing";
    }
    const char* note = StateNote(*value);
    return Hex(*value, 3) + " (" + StateBitsText(*value) + (note ? std::string("; ") + note : "") +
           ")";
}

JsonValue DriverJson()
{
    JsonValue j = JsonValue::MakeObject();
    bool card = CardInserted();
    j.Set("card_inserted", card);
    j.Set("driver_loaded", card && DriverActive());
    j.Set("wifi_parameter", DeviceDword(REG_ADAPTER_KEY, REG_WIFI_VALUE));
    return j;
}

std::string DriverText()
{
    bool card = CardInserted();
    std::optional<DWORD> wifi = DeviceDword(REG_ADAPTER_KEY, REG_WIFI_VALUE);
    return std::string(card ? "inserted" : "ejected") + ", driver " +
           (card && DriverActive() ? "loaded" : "not loaded") + ", adapter \"WIFI\" " +
           (wifi ? std::to_string(*wifi) : std::string("missing"));
}

JsonValue RadioJson(const SimRadioInfo& r)
{
    return JsonValue::MakeObject({{"name", r.name},
                                  {"display", r.display},
                                  {"type", r.type},
                                  {"type_name", RadioTypeName(r.type)},
                                  {"on", r.on},
                                  {"adapter", r.adapter},
                                  {"listed", r.listed}});
}

std::string RadioText(const SimRadioInfo& r)
{
    return r.name + " (" + r.display + ", " + RadioTypeName(r.type) + ") " + (r.on ? "on" : "off") +
           (r.adapter ? (r.listed ? ", the Wi-Fi adapter" : ", the Wi-Fi adapter, not listed")
                      : "");
}

JsonValue StatusFileJson(const StatusFile& f)
{
    if (!f.exists) {
        return JsonValue();
    }
    JsonValue j = JsonValue::MakeObject();
    j.Set("folder", f.folder);
    j.Set("read_only", f.readOnly);
    j.Set("start", f.folder ? JsonValue() : JsonValue(f.start));
    j.Set("truncated", f.truncated);
    j.Set("says_on", f.saysOn);
    return j;
}

std::string StatusFileText(const StatusFile& f)
{
    if (!f.exists) {
        return "none";
    }
    if (f.folder) {
        return "a folder, not a file";
    }
    std::string shown;
    for (char c : f.start) {
        shown += c == '\r' || c == '\n' ? ' ' : (unsigned char)c < 0x20 ? '?' : c;
    }
    return "\"" + shown + (f.truncated ? "...\"" : "\"") + (f.readOnly ? ", read-only" : "") +
           " (Wi-Fi was last left " + (f.saysOn ? "on)" : "off)");
}

void AddSnapshot(JsonValue& doc)
{
    std::optional<DWORD> code = DeviceDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE);
    std::optional<DWORD> mask = DeviceDword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE);
    doc.Set("domain", DomainJson(code, mask));
    doc.Set("driver", DriverJson());
    doc.Set("state", StateJson(DeviceDword(REG_STATE_KEY, REG_STATE_VALUE)));
    doc.Set("status_file", StatusFileJson(ReadStatusFile()));
    JsonValue radios = JsonValue::MakeArray();
    for (const SimRadioInfo& r : ModelRadios()) {
        radios.Add(RadioJson(r));
    }
    doc.Set("radios", radios);
}

void PrintSnapshot(FILE* out)
{
    fprintf(out, "  domain:      %s\n",
            DomainText(DeviceDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE),
                       DeviceDword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE))
                .c_str());
    fprintf(out, "  card:        %s\n", DriverText().c_str());
    fprintf(out, "  state value: %s\n",
            StateText(DeviceDword(REG_STATE_KEY, REG_STATE_VALUE)).c_str());
    fprintf(out, "  status file: %s\n", StatusFileText(ReadStatusFile()).c_str());
    std::vector<SimRadioInfo> radios = ModelRadios();
    fprintf(out, "  radios:      %s\n", radios.empty() ? "none" : RadioText(radios[0]).c_str());
    for (size_t i = 1; i < radios.size(); i++) {
        fprintf(out, "               %s\n", RadioText(radios[i]).c_str());
    }
}

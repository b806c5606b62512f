// country.cpp - the console's country field: for a country typed or chosen,
// the channels today's rules allow there (from the regulatory database the
// tools were built with), the row to store there (the advice rendakctl
// regulatory suggest gives), and whether the domain stored on the device now
// is lawful there. The country is the console's choice, not the device's: the
// window keeps it, and --act country-CC shows it once.
#include "console.h"

#include <device_domains.h>
#include <regdata.h>

using namespace regdb;

static std::wstring g_country;  // as typed or chosen; "" before any

static std::string DatabaseName()
{
    return *g_dbOrigin.package ? g_dbOrigin.package : g_dbOrigin.file;
}

// The three lines the field shows; false for a country the advice cannot take.
static bool CountryLines(const std::wstring& typed, std::wstring* pRules, std::wstring* pSuggested,
                         std::wstring* pStored)
{
    pSuggested->clear();
    pStored->clear();
    if (typed.empty()) {
        *pRules = L"type or choose a country: two letters, ISO 3166 alpha-2";
        return false;
    }
    Suggestion s = Suggest(DeviceDomainRows(), Utf8Text(typed), g_generatedCountries);
    if (s.status == SuggestStatus::kMalformedCountry) {
        *pRules = L"\"" + typed + L"\" is not a country code: two letters, ISO 3166 alpha-2";
        return false;
    }
    if (s.status == SuggestStatus::kUnknownCountry) {
        *pRules =
            WideText(s.country + " is not in the regulatory database (" + DatabaseName() + ")");
        return false;
    }
    const CountryChannels& rules = *FindCountry(g_generatedCountries, s.country);
    *pRules = WideText("allows " + AllowedText(rules) + "; " + LimitsText(rules) + " (" +
                       DatabaseName() + ")");
    const DeviceDomain& row = DeviceDomains()[s.row];
    std::string equals = EqualsText(s);
    *pSuggested =
        WideText(s.status == SuggestStatus::kNoLawfulRow
                     ? "no row with channels is lawful there: only " + DomainLabel(row) + " is"
                     : DomainLabel(row) + ": " + VerdictText(s.detail) +
                           (equals.empty() ? "" : "; as many: " + equals) + "; " + NamedRowText(s));

    DWORD code = 0, mask = 0;
    std::optional<uint32_t> storedCode, storedMask;
    if (DeviceDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, &code)) {
        storedCode = code;
    }
    if (DeviceDword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE, &mask)) {
        storedMask = mask;
    }
    RowInCountry stored =
        JudgeRow(StoredDomainRow(storedCode, storedMask), s.country, g_generatedCountries);
    *pStored = WideText(StoredDomainText(storedCode, storedMask) + ": " + VerdictText(stored));
    return true;
}

void FillCountryList(HWND hWnd)
{
    for (size_t i = 0; i < g_generatedCountries.count; i++) {
        std::wstring code = WideText(g_generatedCountries.countries[i].code);
        SendDlgItemMessageW(hWnd, IDC_COUNTRY_LIST, CB_ADDSTRING, 0, (LPARAM)code.c_str());
    }
}

void RefreshCountry(HWND hWnd)
{
    std::wstring rules, suggested, stored;
    CountryLines(g_country, &rules, &suggested, &stored);
    SetTextIfChanged(hWnd, IDC_COUNTRY_RULES, rules);
    SetTextIfChanged(hWnd, IDC_COUNTRY_SUGGESTION, suggested);
    SetTextIfChanged(hWnd, IDC_COUNTRY_STORED, stored);
}

void OnCountryChanged(HWND hWnd, int code)
{
    HWND hList = GetDlgItem(hWnd, IDC_COUNTRY_LIST);
    WCHAR text[64] = L"";
    LRESULT chosen = SendMessageW(hList, CB_GETCURSEL, 0, 0);
    // A choice from the list reaches the edit field only after this notification.
    if (code == CBN_SELCHANGE && chosen >= 0 &&
        SendMessageW(hList, CB_GETLBTEXTLEN, chosen, 0) < 64) {
        SendMessageW(hList, CB_GETLBTEXT, chosen, (LPARAM)text);
    } else {
        GetWindowTextW(hList, text, 64);
    }
    g_country = text;
    RefreshCountry(hWnd);
}

int CountryAct(const std::wstring& country, std::wstring* pSay)
{
    std::wstring rules, suggested, stored;
    if (!CountryLines(country, &rules, &suggested, &stored)) {
        *pSay = rules;
        return 2;
    }
    std::wstring code = country;
    for (wchar_t& c : code) {
        c = towupper(c);
    }
    *pSay = code + L" " + rules + L"\nsuggested: " + suggested + L"\nstored: " + stored;
    return 0;
}

// regdb_image.cpp - writes regulatory databases in the binary format the
// reader takes (regdb_image.h).
#include "regdb_image.h"

void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    b[at] = uint8_t(v >> 8);
    b[at + 1] = uint8_t(v);
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    Put16(b, at, v >> 16);
    Put16(b, at + 2, v & 0xFFFF);
}

Image Write(const std::vector<TestCountry>& countries, size_t collectionHeader)
{
    Image image;
    std::vector<uint8_t>& b = image.bytes;
    b.resize(8 + 4 * countries.size() + 4);
    Put32(b, 0, 0x52474442);
    Put32(b, 4, 20);
    size_t wmm = b.size();
    b.resize(wmm + 32, 0x11);  // ecw and aifsn as any valid block has them
    image.firstCollection = b.size();
    std::vector<size_t> pointerSlots;
    for (size_t i = 0; i < countries.size(); i++) {
        size_t at = b.size();
        b[8 + 4 * i] = countries[i].code[0];
        b[8 + 4 * i + 1] = countries[i].code[1];
        Put16(b, 8 + 4 * i + 2, uint32_t(at >> 2));
        size_t pointers = at + ((collectionHeader + 1) & ~size_t(1));
        b.resize(pointers + 2 * countries[i].rules.size(), 0);
        b.resize((b.size() + 3) & ~size_t(3), 0);
        b[at] = uint8_t(collectionHeader);
        b[at + 1] = uint8_t(countries[i].rules.size());
        b[at + 2] = countries[i].dfsRegion;
        for (size_t r = 0; r < countries[i].rules.size(); r++) {
            pointerSlots.push_back(pointers + 2 * r);
        }
    }
    image.firstRule = b.size();
    size_t slot = 0;
    for (const TestCountry& country : countries) {
        for (const TestRule& rule : country.rules) {
            size_t at = b.size();
            size_t length = rule.withWmm ? 20 : 16;
            b.resize(at + length, 0);
            b[at] = uint8_t(length);
            b[at + 1] = rule.flags;
            Put16(b, at + 2, uint32_t(rule.eirpMbm));
            Put32(b, at + 4, uint32_t(rule.startMhz * 1000 + 0.5));
            Put32(b, at + 8, uint32_t(rule.endMhz * 1000 + 0.5));
            Put32(b, at + 12, uint32_t(rule.bandwidthMhz * 1000 + 0.5));
            if (rule.withWmm) {
                Put16(b, at + 18, uint32_t(wmm >> 2));
            }
            Put16(b, pointerSlots[slot++], uint32_t(at >> 2));
        }
    }
    return image;
}

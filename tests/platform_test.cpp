// The platform layer's device behaviour, as the library relies on it.
#include "testing.h"

namespace {

class Platform : public DeviceTest {};

TEST_F(Platform, FactoryImage)
{
    EXPECT_EQ(RegDword(OEM_KEY, L"WIFI"), 1u);
    EXPECT_EQ(RegDword(L"Nls", L"SystemLCID"), 0x0409u);
    EXPECT_EQ(RegDword(ADAPTER_KEY, L"Domain"), std::nullopt);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE_PATH), std::nullopt);
    EXPECT_EQ(SimGetSetting(L"CardInserted", 0), 1u);
}

}  // namespace

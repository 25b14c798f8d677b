#include "common/device_contract.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(DeviceContract, MotorReportCarriesStrengthInBytesTwoAndThree)
{
    const MotorReport full = MakeMotorReport(255);
    const unsigned char expectedFull[] = {0x00, 0x00, 0xFF, 0xFF};
    EXPECT_EQ(0, std::memcmp(&full, expectedFull, sizeof(expectedFull)));

    const MotorReport stop = MakeMotorReport(0);
    const unsigned char expectedStop[] = {0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(0, std::memcmp(&stop, expectedStop, sizeof(expectedStop)));
}

TEST(DeviceContract, ParametersKeyPathNamesTheService)
{
    EXPECT_STREQ(L"SYSTEM\\CurrentControlSet\\Services\\CorvaneWirelessController\\Parameters",
                 PARAMETERS_KEY_PATH);
}

// Every test starts without a "WNASPI32" provider and without tape images, and leaves none.
#pragma once
#include "aspi/LibraryLoader.h"
#include "aspi/ReAspiManager.h"
#include "platform/DeviceNamespace.h"
#include "testsupport/SimulatedAspiBus.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

class AspiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        UnregisterAspiProvider();
        DeviceNamespace::SetTapeImages({});
        m_handlesBefore = LibraryLoader::LoadedHandles();
    }
    void TearDown() override
    {
        EXPECT_EQ(LibraryLoader::LoadedHandles(), m_handlesBefore) << "a library was left loaded";
        UnregisterAspiProvider();
        DeviceNamespace::SetTapeImages({});
    }

    // A bus with the given number of empty 8-target adapters, registered as WNASPI32.
    std::shared_ptr<SimulatedAspiBus> MakeBus(size_t adapters = 1)
    {
        auto bus = std::make_shared<SimulatedAspiBus>();
        bus->adapters.resize(adapters);
        return bus;
    }

    static std::vector<std::string> Listed(const ReAspiManager& aspi)
    {
        std::vector<std::string> out;
        for (const AspiDevice& d : aspi.m_devices)
            out.push_back("[" + std::to_string(d.nHostAdapter) + ":" + std::to_string(d.nTarget) + "] " +
                          d.szVendor + "|" + d.szProduct);
        return out;
    }

private:
    size_t m_handlesBefore = 0;
};

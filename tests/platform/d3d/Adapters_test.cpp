#include "platform/d3d/Adapters.h"
#include "fakes/FakeAdapterTree.h"

#include <gtest/gtest.h>

using D3D11Host::EnumerateAdapters;
using TestSupport::FakeAdapterTree;

TEST(Adapters, DisplayControllersInBusOrderThenTheSoftwareAdapter)
{
    FakeAdapterTree tree;
    tree.WritePciIds("# comment\n"
                     "8086  Intel Corporation\n"
                     "\t3e92  CoffeeLake-S GT2 [UHD Graphics 630]\n"
                     "\t\t1028 0869  Vostro 3470\n"
                     "10de  NVIDIA Corporation\n"
                     "\t1b80  GP104 [GeForce GTX 1080]\n"
                     "1af4  Red Hat, Inc.\n");
    // Created out of order, with devices of other classes between them.
    tree.AddFunction("0000:65:00.0", 0x030000, 0x10DE, 0x2204);
    tree.AddFunction("0000:00:02.0", 0x030000, 0x8086, 0x3E92);
    tree.AddFunction("0000:00:1f.3", 0x040300, 0x8086, 0xA348); // audio
    tree.AddFunction("0000:17:00.0", 0x030200, 0x10DE, 0x1B80); // 3D controller
    tree.AddFunction("0000:b3:00.0", 0x038000, 0x10DE, 0x1EB8);
    tree.AddNvidiaInformation("0000:65:00.0", "NVIDIA GeForce RTX 3090");
    tree.AddFunction("0000:c1:00.0", 0x030000, 0x10DE, 0x2684);
    tree.AddNvidiaInformation("gpu1", "NVIDIA GeForce RTX 4090", "00000000:C1:00.0"); // found by its bus location

    const auto adapters = EnumerateAdapters(tree.Sources());
    ASSERT_EQ(adapters.size(), 6u);
    EXPECT_EQ(adapters[0].BusId, "0000:00:02.0");
    EXPECT_EQ(adapters[0].Description, "Intel Corporation CoffeeLake-S GT2 [UHD Graphics 630]");
    EXPECT_EQ(adapters[1].Description, "NVIDIA Corporation GP104 [GeForce GTX 1080]"); // no driver file: the database
    EXPECT_EQ(std::tuple(adapters[2].Description, adapters[2].DeviceId, adapters[2].SubSysId),
              std::tuple("NVIDIA GeForce RTX 3090", 0x2204u, 0x123410DEu)); // the driver's name first
    EXPECT_EQ(adapters[3].Description, "PCI 10de:1eb8"); // in neither
    EXPECT_EQ(adapters[4].Description, "NVIDIA GeForce RTX 4090");
    EXPECT_EQ(std::pair(adapters[4].Software, adapters[5].Software), std::pair(false, true));
    const std::string brand = D3D11Host::ProcessorBrand();
    EXPECT_TRUE(!brand.empty() && adapters[5].Description.find(brand) != std::string::npos && adapters[5].Description.find("software") != std::string::npos)
        << adapters[5].Description;

    D3D11Host::AdapterSources nothing { .PciDevices = "/nonexistent/xev/devices" };
    ASSERT_EQ(EnumerateAdapters(nothing).size(), 1u);
}

// A description longer than the field is cut and terminated; past the last adapter, none.
TEST(Adapters, FactoryGivesTheRecordsAsAdapterDescriptions)
{
    FakeAdapterTree tree;
    tree.AddFunction("0000:01:00.0", 0x030000, 0x10DE, 0x2204);
    tree.AddNvidiaInformation("0000:01:00.0", std::string(200, 'N'));
    ComPtr<IDXGIFactory1> factory;
    ASSERT_EQ(D3D11Host::CreateFactory(tree.Sources(), IidOf<IDXGIFactory1>, reinterpret_cast<void**>(factory.GetAddressOf())), S_OK);
    ComPtr<IDXGIAdapter1> nvidia, past;
    ASSERT_EQ(factory->EnumAdapters1(0, nvidia.GetAddressOf()), S_OK);
    EXPECT_EQ(std::pair(factory->EnumAdapters1(2, past.GetAddressOf()), bool(past)), std::pair(DXGI_ERROR_NOT_FOUND, false));
    DXGI_ADAPTER_DESC1 desc;
    ASSERT_EQ(nvidia->GetDesc1(&desc), S_OK);
    EXPECT_EQ(std::tuple(desc.VendorId, desc.Flags, std::string(desc.Description)), std::tuple(0x10DEu, UINT(DXGI_ADAPTER_FLAG_NONE), std::string(127, 'N')));
}

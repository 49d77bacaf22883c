#include "platform/d3d/Adapters.h"
#include "fakes/FakeAdapterTree.h"

#include <gtest/gtest.h>

#include <iostream>

using D3D11Host::AdapterRecord;
using D3D11Host::EnumerateAdapters;
using TestSupport::FakeAdapterTree;

namespace
{
ComPtr<IDXGIFactory1> FactoryOver(const FakeAdapterTree& tree)
{
    ComPtr<IDXGIFactory1> factory;
    EXPECT_EQ(D3D11Host::CreateFactory(tree.Sources(), IidOf<IDXGIFactory1>, reinterpret_cast<void**>(factory.GetAddressOf())), S_OK);
    return factory;
}

const char* const PciIds = "# comment\n"
                           "8086  Intel Corporation\n"
                           "\t0d57  Host bridge\n"
                           "\t3e92  CoffeeLake-S GT2 [UHD Graphics 630]\n"
                           "\t\t1028 0869  Vostro 3470\n"
                           "10de  NVIDIA Corporation\n"
                           "\t1b80  GP104 [GeForce GTX 1080]\n"
                           "1af4  Red Hat, Inc.\n";
} // namespace

TEST(Adapters, DisplayControllersInBusOrderThenTheSoftwareAdapter)
{
    FakeAdapterTree tree;
    tree.WritePciIds(PciIds);
    // Created out of order, with devices of other classes between them.
    tree.AddFunction("0000:65:00.0", 0x030000, 0x10DE, 0x2204);
    tree.AddFunction("0000:00:02.0", 0x030000, 0x8086, 0x3E92);
    tree.AddFunction("0000:00:1f.3", 0x040300, 0x8086, 0xA348); // audio
    tree.AddFunction("0000:17:00.0", 0x030200, 0x10DE, 0x1B80); // 3D controller
    tree.AddFunction("0000:b3:00.0", 0x038000, 0x10DE, 0x1EB8);
    tree.AddFunction("0000:00:03.0", 0x020000, 0x1AF4, 0x1041); // network
    tree.AddNvidiaInformation("0000:65:00.0", "NVIDIA GeForce RTX 3090");

    const auto adapters = EnumerateAdapters(tree.Sources());
    ASSERT_EQ(adapters.size(), 5u);
    EXPECT_EQ(adapters[0].BusId, "0000:00:02.0");
    EXPECT_EQ(adapters[0].VendorId, 0x8086u);
    EXPECT_EQ(adapters[0].Description, "Intel Corporation CoffeeLake-S GT2 [UHD Graphics 630]");
    EXPECT_EQ(adapters[1].BusId, "0000:17:00.0");
    EXPECT_EQ(adapters[1].Description, "NVIDIA Corporation GP104 [GeForce GTX 1080]"); // no driver file: the database
    EXPECT_EQ(adapters[2].BusId, "0000:65:00.0");
    EXPECT_EQ(adapters[2].Description, "NVIDIA GeForce RTX 3090"); // the driver's product name first
    EXPECT_EQ(adapters[2].DeviceId, 0x2204u);
    EXPECT_EQ(adapters[2].SubSysId, 0x123410DEu);
    EXPECT_EQ(adapters[2].Revision, 0xA1u);
    EXPECT_EQ(adapters[3].Description, "PCI 10de:1eb8"); // in neither
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_FALSE(adapters[i].Software) << i;
    EXPECT_TRUE(adapters[4].Software);
    EXPECT_TRUE(adapters[4].BusId.empty());
}

TEST(Adapters, DriverFileFoundByItsBusLocationAndMissingSourcesTolerated)
{
    FakeAdapterTree tree;
    tree.AddFunction("0000:01:00.0", 0x030000, 0x10DE, 0x2684);
    tree.AddNvidiaInformation("gpu0", "NVIDIA GeForce RTX 4090", "00000000:01:00.0");
    auto adapters = EnumerateAdapters(tree.Sources());
    ASSERT_EQ(adapters.size(), 2u);
    EXPECT_EQ(adapters[0].Description, "NVIDIA GeForce RTX 4090");

    D3D11Host::AdapterSources nothing;
    nothing.PciDevices = "/nonexistent/xev/devices";
    nothing.NvidiaGpus = "/nonexistent/xev/gpus";
    adapters = EnumerateAdapters(nothing);
    ASSERT_EQ(adapters.size(), 1u);
    EXPECT_TRUE(adapters[0].Software);
}

TEST(Adapters, SoftwareAdapterNamesTheProcessor)
{
    FakeAdapterTree tree;
    const auto adapters = EnumerateAdapters(tree.Sources());
    ASSERT_EQ(adapters.size(), 1u);
    const std::string brand = D3D11Host::ProcessorBrand();
    ASSERT_FALSE(brand.empty());
    EXPECT_NE(adapters[0].Description.find(brand), std::string::npos) << adapters[0].Description;
    EXPECT_NE(adapters[0].Description.find("software"), std::string::npos) << adapters[0].Description;
    EXPECT_EQ(adapters[0].VendorId, 0u);
}

TEST(Adapters, FactoryEnumeratesRecordsAsDescriptions)
{
    FakeAdapterTree tree;
    tree.AddFunction("0000:00:02.0", 0x030000, 0x8086, 0x3E92);
    tree.AddFunction("0000:01:00.0", 0x030000, 0x10DE, 0x2204);
    tree.AddNvidiaInformation("0000:01:00.0", std::string(200, 'N')); // longer than the field
    auto factory = FactoryOver(tree);
    ASSERT_TRUE(factory);

    ComPtr<IDXGIAdapter1> first, second, software, past;
    ASSERT_EQ(factory->EnumAdapters1(0, first.GetAddressOf()), S_OK);
    ASSERT_EQ(factory->EnumAdapters1(1, second.GetAddressOf()), S_OK);
    ASSERT_EQ(factory->EnumAdapters1(2, software.GetAddressOf()), S_OK);
    EXPECT_EQ(factory->EnumAdapters1(3, past.GetAddressOf()), DXGI_ERROR_NOT_FOUND);
    EXPECT_FALSE(past);
    EXPECT_EQ(factory->EnumAdapters1(0, nullptr), E_INVALIDARG);

    DXGI_ADAPTER_DESC1 desc;
    ASSERT_EQ(second->GetDesc1(&desc), S_OK);
    EXPECT_EQ(desc.VendorId, 0x10DEu);
    EXPECT_EQ(desc.DeviceId, 0x2204u);
    EXPECT_EQ(desc.Flags, UINT(DXGI_ADAPTER_FLAG_NONE));
    EXPECT_EQ(std::string(desc.Description), std::string(127, 'N')); // cut, terminated
    ASSERT_EQ(software->GetDesc1(&desc), S_OK);
    EXPECT_EQ(desc.Flags, UINT(DXGI_ADAPTER_FLAG_SOFTWARE));
    EXPECT_EQ(second->GetDesc1(nullptr), E_INVALIDARG);

    DXGI_ADAPTER_DESC plain;
    ASSERT_EQ(first->GetDesc(&plain), S_OK);
    EXPECT_EQ(plain.VendorId, 0x8086u);
    DXGI_ADAPTER_DESC1 firstDesc, secondDesc;
    first->GetDesc1(&firstDesc);
    second->GetDesc1(&secondDesc);
    EXPECT_NE(firstDesc.AdapterLuid.LowPart, secondDesc.AdapterLuid.LowPart);

    ComPtr<IDXGIFactory2> parent;
    ASSERT_EQ(first->GetParent(IidOf<IDXGIFactory2>, reinterpret_cast<void**>(parent.GetAddressOf())), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(parent.Get()), static_cast<IUnknown*>(factory.TryAs<IDXGIFactory2>().Get()));

    AdapterRecord record;
    ASSERT_EQ(D3D11Host::GetAdapterRecord(second.Get(), &record), S_OK);
    EXPECT_EQ(record.BusId, "0000:01:00.0");

    EXPECT_TRUE(factory->IsCurrent());
    tree.AddFunction("0000:02:00.0", 0x030000, 0x10DE, 0x2206);
    EXPECT_FALSE(factory->IsCurrent());
}

TEST(Adapters, CreateFactoryChecksItsArguments)
{
    ComPtr<IDXGIFactory2> factory;
    EXPECT_EQ(CreateDXGIFactory2(0x2, IidOf<IDXGIFactory2>, reinterpret_cast<void**>(factory.GetAddressOf())), DXGI_ERROR_INVALID_CALL);
    EXPECT_EQ(CreateDXGIFactory2(0, IidOf<IDXGIFactory2>, nullptr), E_POINTER);
    EXPECT_EQ(CreateDXGIFactory2(0, IidOf<IDXGIAdapter>, reinterpret_cast<void**>(factory.GetAddressOf())), E_NOINTERFACE);
    EXPECT_EQ(CreateDXGIFactory2(DXGI_CREATE_FACTORY_DEBUG, IidOf<IDXGIFactory2>, reinterpret_cast<void**>(factory.GetAddressOf())), S_OK);
    ASSERT_TRUE(factory);
}

// What the enumerator finds on the machine running the tests (the last adapter is always the
// software one).
TEST(Adapters, HostEnumerationEndsWithTheSoftwareAdapter)
{
    const auto adapters = EnumerateAdapters(D3D11Host::AdapterSources::Host());
    ASSERT_FALSE(adapters.empty());
    EXPECT_TRUE(adapters.back().Software);
    for (const auto& adapter : adapters)
    {
        std::cout << "[ adapter  ] " << (adapter.BusId.empty() ? "(software)" : adapter.BusId) << " "
                  << std::hex << adapter.VendorId << ":" << adapter.DeviceId << std::dec << " \"" << adapter.Description << "\"\n";
        ::testing::Test::RecordProperty("Adapter" + adapter.BusId, adapter.Description);
    }
}

#include "media/XevEncodeTransform/XevDefaultDeviceManager.h"

#include "platform/com/Error.h"
#include "platform/d3d/Adapters.h"
#include "platform/mf/Api.h"
#include "fakes/FakeAdapterTree.h"

#include <gtest/gtest.h>

#include <string>

using TestSupport::FakeAdapterTree;

namespace
{
ComPtr<IDXGIFactory2> FactoryOver(const FakeAdapterTree& tree)
{
    ComPtr<IDXGIFactory2> factory;
    EXPECT_EQ(D3D11Host::CreateFactory(tree.Sources(), IidOf<IDXGIFactory2>, reinterpret_cast<void**>(factory.GetAddressOf())), S_OK);
    return factory;
}

// A factory that lists no adapter at all, not even the software one.
class EmptyFactory : public ComObject<IDXGIFactory2>
{
public:
    HRESULT GetParent(REFIID, void**) override { return E_NOINTERFACE; }
    HRESULT EnumAdapters(UINT, IDXGIAdapter**) override { return DXGI_ERROR_NOT_FOUND; }
    HRESULT EnumAdapters1(UINT, IDXGIAdapter1**) override { return DXGI_ERROR_NOT_FOUND; }
    BOOL IsCurrent() override { return 1; }
};

ComPtr<ID3D11Device> DeviceOf(IMFDXGIDeviceManager* manager)
{
    HANDLE handle = nullptr;
    EXPECT_EQ(manager->OpenDeviceHandle(&handle), S_OK);
    ComPtr<ID3D11Device> device;
    EXPECT_EQ(manager->GetVideoService(handle, IidOf<ID3D11Device>, reinterpret_cast<void**>(device.GetAddressOf())), S_OK);
    EXPECT_EQ(manager->CloseDeviceHandle(handle), S_OK);
    return device;
}

std::string BusIdOfDevice(ID3D11Device* device)
{
    ComPtr<IDXGIDevice> dxgi;
    EXPECT_EQ(ComPtr<ID3D11Device>(device).As(&dxgi), S_OK);
    ComPtr<IDXGIAdapter> adapter;
    EXPECT_EQ(dxgi->GetAdapter(adapter.GetAddressOf()), S_OK);
    D3D11Host::AdapterRecord record;
    EXPECT_EQ(D3D11Host::GetAdapterRecord(adapter.Get(), &record), S_OK);
    return record.BusId;
}
} // namespace

TEST(XevDefaultDeviceManager, ChoosesTheFirstNvidiaAdapterElseOrWhenAskedTheSoftwareOne)
{
    FakeAdapterTree tree;
    tree.AddFunction("0000:00:02.0", 0x030000, 0x8086, 0x3E92);
    tree.AddFunction("0000:03:00.0", 0x030000, 0x1002, 0x73BF);
    auto manager = XevDefaultDeviceManager::Create(false, FactoryOver(tree).Get());
    auto desc = manager->GetAdapterDescription();
    EXPECT_EQ(std::tuple(desc.Flags, std::string(desc.Description).find("software") != std::string::npos, BusIdOfDevice(DeviceOf(manager.Get()).Get())),
              std::tuple(UINT(DXGI_ADAPTER_FLAG_SOFTWARE), true, "")) << desc.Description;

    tree.AddFunction("0000:17:00.0", 0x030000, 0x10DE, 0x1B80);
    tree.AddFunction("0000:65:00.0", 0x030000, 0x10DE, 0x2204);
    tree.AddNvidiaInformation("0000:17:00.0", "NVIDIA GeForce GTX 1080");
    tree.AddNvidiaInformation("0000:65:00.0", "NVIDIA GeForce RTX 3090");
    manager = XevDefaultDeviceManager::Create(false, FactoryOver(tree).Get());
    desc = manager->GetAdapterDescription();
    EXPECT_EQ(std::tuple(std::string(desc.Description), desc.VendorId, desc.DeviceId, desc.Flags),
              std::tuple("NVIDIA GeForce GTX 1080", 0x10DEu, 0x1B80u, UINT(DXGI_ADAPTER_FLAG_NONE)));
    auto device = DeviceOf(manager.Get());
    ASSERT_TRUE(device);
    EXPECT_EQ(std::tuple(BusIdOfDevice(device.Get()), device.TryAs<ID3D10Multithread>()->GetMultithreadProtected(), device->GetCreationFlags()),
              std::tuple("0000:17:00.0", 1, UINT(D3D11_CREATE_DEVICE_BGRA_SUPPORT)));
    EXPECT_EQ(manager->ResetDevice(device.Get(), 0), E_INVALIDARG) << "forwarded: only the owner knows the token";

    desc = XevDefaultDeviceManager::Create(true, FactoryOver(tree).Get())->GetAdapterDescription();
    EXPECT_EQ(std::pair(desc.Flags, desc.VendorId), std::pair(UINT(DXGI_ADAPTER_FLAG_SOFTWARE), 0u)) << "the software adapter was asked for";
}

TEST(XevDefaultDeviceManager, WithoutAnyAdapterCreateFailsWithALineCodedResult)
{
    auto empty = Make<EmptyFactory>();
    auto manager = Make<XevDefaultDeviceManager>();
    EXPECT_FALSE(manager->Initialize(false, empty.Get()));
    EXPECT_EQ(uint32_t(Error::Guard([&] { XevDefaultDeviceManager::Create(false, empty.Get()); })) & 0xFFFF0000u, 0x80FF0000u);
    EXPECT_EQ(Error::Guard([&] { manager->GetAdapterDescription(); }), MF_E_NOT_INITIALIZED);
}

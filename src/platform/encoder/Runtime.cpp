#include "Runtime.h"

#include "NvidiaRuntime.h"
#include "SoftwareRuntime.h"

#include "platform/d3d/Adapters.h"
#include "platform/d3d/D3D11.h"

namespace EncoderRuntime
{
struct Module
{
    enum class Kind
    {
        Software,
        Nvidia,
    };
    Kind Runtime;
};

namespace
{
Module g_Software { Module::Kind::Software };
Module g_Nvidia { Module::Kind::Nvidia };
} // namespace

Module* LoadNvidia(const NvidiaLibraries& libraries) noexcept
{
    return NvidiaEncoder::Load(libraries) ? &g_Nvidia : nullptr;
}

Module* LoadSoftware() noexcept
{
    return &g_Software;
}

Module* LoadForDevice(ID3D11Device* device) noexcept
{
    if (!device)
        return LoadSoftware();
    ComPtr<IDXGIDevice> dxgiDevice;
    ComPtr<IDXGIAdapter> adapter;
    D3D11Host::AdapterRecord record;
    if (FAILED(QueryTo(static_cast<IUnknown*>(device), dxgiDevice.GetAddressOf())) || FAILED(dxgiDevice->GetAdapter(adapter.GetAddressOf())) ||
        FAILED(D3D11Host::GetAdapterRecord(adapter.Get(), &record)))
        return nullptr;
    if (record.Software)
        return LoadSoftware();
    if (record.VendorId == D3D11Host::NvidiaVendorId)
        return LoadNvidia();
    return nullptr;
}

NvEncodeApiCreateInstanceFunction FindCreateInstance(Module* module) noexcept
{
    if (module == &g_Software)
        return &SoftwareEncoder::CreateInstance;
    if (module == &g_Nvidia && NvidiaEncoder::HasEntryPoints())
        return &NvidiaEncoder::CreateInstance;
    return nullptr;
}

void Free(Module* module) noexcept
{
    if (module == &g_Nvidia)
        NvidiaEncoder::Unload();
}

const char* Name(Module* module) noexcept
{
    if (module == &g_Software)
        return "Software";
    if (module == &g_Nvidia)
        return "NVIDIA";
    return "(none)";
}

std::string Describe(Module* module)
{
    if (module == &g_Software)
        return SoftwareEncoder::Describe();
    if (module == &g_Nvidia)
        return NvidiaEncoder::Describe();
    return "(none)";
}
} // namespace EncoderRuntime

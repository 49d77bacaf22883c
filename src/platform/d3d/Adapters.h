#pragma once
// The machine's display adapters as this port finds them, and the DXGI factory over them.
//
// Real adapters are the PCI display controllers (class 0x03xxxx) under the PCI device folder, in
// bus order. An NVIDIA adapter (vendor 0x10DE) is described by the product name its driver gives
// (the driver's per-GPU information file, else NVML), else by the PCI ids database, else as
// "PCI 10de:xxxx"; other vendors by the database or "PCI vvvv:dddd". One software adapter, always
// present, follows them: it names the processor and carries DXGI_ADAPTER_FLAG_SOFTWARE.

#include "platform/d3d/D3D11.h"

#include <string>
#include <vector>

namespace D3D11Host
{
constexpr UINT NvidiaVendorId = 0x10DE;

// Where the enumeration looks; tests point it at a fake tree.
struct AdapterSources
{
    std::string PciDevices;           // folder with one folder per PCI function ("0000:01:00.0")
    std::string NvidiaGpus;           // folder with the NVIDIA driver's per-GPU folders (their "information" file)
    std::vector<std::string> PciIds;  // PCI ids databases, the first readable one is used
    bool UseNvml = false;             // ask NVML (loaded on demand) for NVIDIA product names

    // The host's own: /sys/bus/pci/devices, /proc/driver/nvidia/gpus, the usual pci.ids, NVML.
    static AdapterSources Host();
};

struct AdapterRecord
{
    std::string BusId;       // "0000:01:00.0"; empty for the software adapter
    UINT VendorId = 0;
    UINT DeviceId = 0;
    UINT SubSysId = 0;       // subsystem device id << 16 | subsystem vendor id
    UINT Revision = 0;
    std::string Description;
    bool Software = false;
};

// Real adapters in bus order, then the software adapter. Unreadable entries are skipped.
std::vector<AdapterRecord> EnumerateAdapters(const AdapterSources& sources);

// The processor's brand text (CPUID leaves 0x80000002-4, else the kernel's model name), trimmed.
std::string ProcessorBrand();

// A DXGI factory over the adapters that `sources` give (CreateDXGIFactory2 uses the host's).
HRESULT CreateFactory(const AdapterSources& sources, REFIID riid, void** factory);

// The record behind an adapter of this port's factory; E_INVALIDARG for another adapter.
HRESULT GetAdapterRecord(IDXGIAdapter* adapter, AdapterRecord* record);
} // namespace D3D11Host

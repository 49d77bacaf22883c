#include "platform/d3d/Adapters.h"

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/system/SystemInfo.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

namespace D3D11Host
{
namespace
{
std::string Trim(std::string_view text)
{
    const auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return std::string(text);
}

std::optional<std::string> ReadFirstLine(const std::filesystem::path& path)
{
    std::ifstream stream(path);
    std::string line;
    if (!stream || !std::getline(stream, line))
        return std::nullopt;
    return Trim(line);
}

// A sysfs number such as "0x030000".
std::optional<UINT> ReadHex(const std::filesystem::path& path)
{
    const auto text = ReadFirstLine(path);
    if (!text || text->empty())
        return std::nullopt;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text->c_str(), &end, 16);
    if (end == text->c_str() || *end != '\0' || value > 0xFFFFFFFFul)
        return std::nullopt;
    return static_cast<UINT>(value);
}

// "0000:01:00.0" and "00000000:01:00.0" name the same function.
std::string NormalizeBusId(std::string text)
{
    for (auto& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto colon = text.find(':');
    if (colon != std::string::npos)
    {
        std::size_t zeros = 0;
        while (zeros + 1 < colon && text[zeros] == '0')
            ++zeros;
        text.erase(0, zeros);
    }
    return text;
}

// The "Model:" line of the NVIDIA driver's information file for the GPU at `busId`.
std::optional<std::string> NvidiaDriverModel(const std::string& gpusFolder, const std::string& busId)
{
    if (gpusFolder.empty())
        return std::nullopt;
    const auto modelOf = [](const std::filesystem::path& file, std::string* busLocation) -> std::optional<std::string> {
        std::ifstream stream(file);
        if (!stream)
            return std::nullopt;
        std::optional<std::string> model;
        for (std::string line; std::getline(stream, line);)
        {
            const auto colon = line.find(':');
            if (colon == std::string::npos)
                continue;
            const std::string key = Trim(std::string_view(line).substr(0, colon));
            const std::string value = Trim(std::string_view(line).substr(colon + 1));
            if (key == "Model" && !value.empty())
                model = value;
            else if (key == "Bus Location" && busLocation)
                *busLocation = value;
        }
        return model;
    };
    std::error_code error;
    const std::filesystem::path folder(gpusFolder);
    if (auto model = modelOf(folder / busId / "information", nullptr))
        return model;
    // Folder names can differ in the domain's width: match the file's bus location instead.
    const std::string wanted = NormalizeBusId(busId);
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    {
        std::string location;
        auto model = modelOf(it->path() / "information", &location);
        if (model && (NormalizeBusId(location) == wanted || NormalizeBusId(it->path().filename().string()) == wanted))
            return model;
    }
    return std::nullopt;
}

// NVML's product name, with the library loaded only for the question.
std::optional<std::string> NvmlName(const std::string& busId)
{
    void* library = dlopen("libnvidia-ml.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return std::nullopt;
    using InitFunction = int (*)();
    using ShutdownFunction = int (*)();
    using HandleFunction = int (*)(const char*, void**);
    using NameFunction = int (*)(void*, char*, unsigned);
    const auto init = reinterpret_cast<InitFunction>(dlsym(library, "nvmlInit_v2"));
    const auto shutdown = reinterpret_cast<ShutdownFunction>(dlsym(library, "nvmlShutdown"));
    auto handle = reinterpret_cast<HandleFunction>(dlsym(library, "nvmlDeviceGetHandleByPciBusId_v2"));
    if (!handle)
        handle = reinterpret_cast<HandleFunction>(dlsym(library, "nvmlDeviceGetHandleByPciBusId"));
    const auto name = reinterpret_cast<NameFunction>(dlsym(library, "nvmlDeviceGetName"));
    std::optional<std::string> result;
    if (init && shutdown && handle && name && init() == 0)
    {
        void* device = nullptr;
        char text[96] {};
        if (handle(busId.c_str(), &device) == 0 && name(device, text, sizeof text) == 0 && text[0] != '\0')
            result = Trim(text);
        shutdown();
    }
    dlclose(library);
    return result;
}

// Vendor and device names from a pci.ids database, read once per enumeration.
class PciIdsDatabase
{
public:
    explicit PciIdsDatabase(const std::vector<std::string>& paths)
    {
        for (const auto& path : paths)
        {
            std::ifstream stream(path);
            if (!stream)
                continue;
            std::ostringstream text;
            text << stream.rdbuf();
            m_Text = text.str();
            return;
        }
    }

    // "<vendor> <device>" when the database knows the device.
    std::optional<std::string> Describe(UINT vendorId, UINT deviceId) const
    {
        if (m_Text.empty())
            return std::nullopt;
        char vendorKey[8], deviceKey[8];
        std::snprintf(vendorKey, sizeof vendorKey, "%04x", vendorId & 0xFFFF);
        std::snprintf(deviceKey, sizeof deviceKey, "%04x", deviceId & 0xFFFF);
        std::istringstream lines(m_Text);
        std::optional<std::string> vendor;
        for (std::string line; std::getline(lines, line);)
        {
            if (line.empty() || line[0] == '#')
                continue;
            if (line[0] != '\t')
            {
                if (vendor)
                    break; // the next vendor: the device is not listed
                if (line.size() > 6 && line.compare(0, 4, vendorKey) == 0 && line[4] == ' ')
                    vendor = Trim(std::string_view(line).substr(4));
                continue;
            }
            if (vendor && line.size() > 7 && line[1] != '\t' && line.compare(1, 4, deviceKey) == 0 && line[5] == ' ')
                return *vendor + " " + Trim(std::string_view(line).substr(5));
        }
        return std::nullopt;
    }

private:
    std::string m_Text;
};

std::string PciFallbackName(UINT vendorId, UINT deviceId)
{
    char text[32];
    std::snprintf(text, sizeof text, "PCI %04x:%04x", vendorId & 0xFFFF, deviceId & 0xFFFF);
    return text;
}

// Copies UTF-8 text into a fixed field, cut at a character boundary and terminated.
void CopyDescription(const std::string& text, char (&field)[128])
{
    std::size_t length = std::min(text.size(), sizeof field - 1);
    while (length > 0 && length < text.size() && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
        --length;
    std::memcpy(field, text.data(), length);
    std::memset(field + length, 0, sizeof field - length);
}

class Factory;

class Adapter : public ComObject<IDXGIAdapter1>
{
public:
    Adapter(ComPtr<IDXGIFactory2> factory, AdapterRecord record, UINT index)
        : m_Factory(std::move(factory)), m_Record(std::move(record)), m_Index(index)
    {
    }

    const AdapterRecord& Record() const noexcept { return m_Record; }

    // IDXGIObject
    HRESULT GetParent(REFIID riid, void** parent) override
    {
        if (!parent)
            return E_POINTER;
        return m_Factory->QueryInterface(riid, parent);
    }

    // IDXGIAdapter
    HRESULT GetDesc(DXGI_ADAPTER_DESC* desc) override
    {
        if (!desc)
            return E_INVALIDARG;
        DXGI_ADAPTER_DESC1 full;
        GetDesc1(&full);
        std::memcpy(desc->Description, full.Description, sizeof desc->Description);
        desc->VendorId = full.VendorId;
        desc->DeviceId = full.DeviceId;
        desc->SubSysId = full.SubSysId;
        desc->Revision = full.Revision;
        desc->DedicatedVideoMemory = full.DedicatedVideoMemory;
        desc->DedicatedSystemMemory = full.DedicatedSystemMemory;
        desc->SharedSystemMemory = full.SharedSystemMemory;
        desc->AdapterLuid = full.AdapterLuid;
        return S_OK;
    }

    // IDXGIAdapter1
    HRESULT GetDesc1(DXGI_ADAPTER_DESC1* desc) override
    {
        if (!desc)
            return E_INVALIDARG;
        *desc = {};
        CopyDescription(m_Record.Description, desc->Description);
        desc->VendorId = m_Record.VendorId;
        desc->DeviceId = m_Record.DeviceId;
        desc->SubSysId = m_Record.SubSysId;
        desc->Revision = m_Record.Revision;
        desc->AdapterLuid = LUID { m_Index + 1, 0 };
        desc->Flags = m_Record.Software ? DXGI_ADAPTER_FLAG_SOFTWARE : DXGI_ADAPTER_FLAG_NONE;
        return S_OK;
    }

private:
    const ComPtr<IDXGIFactory2> m_Factory; // the parent; a factory holds no adapters, so no cycle
    const AdapterRecord m_Record;
    const UINT m_Index;
};

// Enumerates once at creation, as the platform's factories do; IsCurrent looks again.
class Factory : public ComObject<IDXGIFactory2>
{
public:
    explicit Factory(AdapterSources sources) : m_Sources(std::move(sources)), m_Records(EnumerateAdapters(m_Sources)) {}

    // IDXGIObject
    HRESULT GetParent(REFIID riid, void** parent) override
    {
        if (!parent)
            return E_POINTER;
        *parent = nullptr;
        return E_NOINTERFACE;
    }

    // IDXGIFactory
    HRESULT EnumAdapters(UINT index, IDXGIAdapter** adapter) override
    {
        IDXGIAdapter1* adapter1 = nullptr;
        const HRESULT hr = EnumAdapters1(index, adapter ? &adapter1 : nullptr);
        if (adapter)
            *adapter = adapter1;
        return hr;
    }

    // IDXGIFactory1
    HRESULT EnumAdapters1(UINT index, IDXGIAdapter1** adapter) override
    {
        return Error::Guard([&]() -> HRESULT {
            if (!adapter)
                return E_INVALIDARG;
            *adapter = nullptr;
            if (index >= m_Records.size())
                return DXGI_ERROR_NOT_FOUND;
            *adapter = Make<Adapter>(ComPtr<IDXGIFactory2>(this), m_Records[index], index).Detach();
            return S_OK;
        });
    }

    // A look that fails (out of memory) answers "not current": the caller makes a new factory.
    BOOL IsCurrent() override
    {
        BOOL current = 0;
        (void)Error::Continue([&] {
            const auto now = EnumerateAdapters(m_Sources);
            current = std::equal(now.begin(), now.end(), m_Records.begin(), m_Records.end(), [](const auto& a, const auto& b) {
                return a.BusId == b.BusId && a.VendorId == b.VendorId && a.DeviceId == b.DeviceId;
            });
        });
        return current;
    }

private:
    const AdapterSources m_Sources;
    const std::vector<AdapterRecord> m_Records;
};
} // namespace

AdapterSources AdapterSources::Host()
{
    AdapterSources sources;
    sources.PciDevices = "/sys/bus/pci/devices";
    sources.NvidiaGpus = "/proc/driver/nvidia/gpus";
    sources.PciIds = { "/usr/share/misc/pci.ids", "/usr/share/hwdata/pci.ids" };
    sources.UseNvml = true;
    return sources;
}

std::string ProcessorBrand()
{
    if (std::string brand = Trim(HostSystem::ProcessorBrandText()); !brand.empty())
        return brand;
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);)
    {
        const auto colon = line.find(':');
        if (colon != std::string::npos && Trim(std::string_view(line).substr(0, colon)) == "model name")
            return Trim(std::string_view(line).substr(colon + 1));
    }
    return {};
}

std::vector<AdapterRecord> EnumerateAdapters(const AdapterSources& sources)
{
    std::vector<AdapterRecord> adapters;
    std::vector<std::filesystem::path> functions;
    std::error_code error;
    if (!sources.PciDevices.empty())
        for (std::filesystem::directory_iterator it(sources.PciDevices, error), end; !error && it != end; it.increment(error))
            functions.push_back(it->path());
    // Names are domain:bus:device.function in fixed-width hexadecimal: their order is bus order.
    std::sort(functions.begin(), functions.end(), [](const auto& a, const auto& b) { return a.filename() < b.filename(); });

    std::optional<PciIdsDatabase> database; // read on first need
    for (const auto& function : functions)
    {
        const auto deviceClass = ReadHex(function / "class");
        const auto vendor = ReadHex(function / "vendor");
        const auto device = ReadHex(function / "device");
        if (!deviceClass || (*deviceClass >> 16) != 0x03 || !vendor || !device)
            continue;
        AdapterRecord record;
        record.BusId = function.filename().string();
        record.VendorId = *vendor;
        record.DeviceId = *device;
        record.SubSysId = (ReadHex(function / "subsystem_device").value_or(0) << 16) | (ReadHex(function / "subsystem_vendor").value_or(0) & 0xFFFF);
        record.Revision = ReadHex(function / "revision").value_or(0);

        std::optional<std::string> description;
        if (record.VendorId == NvidiaVendorId)
        {
            description = NvidiaDriverModel(sources.NvidiaGpus, record.BusId);
            if (!description && sources.UseNvml)
                description = NvmlName(record.BusId);
        }
        if (!description)
        {
            if (!database)
                database.emplace(sources.PciIds);
            description = database->Describe(record.VendorId, record.DeviceId);
        }
        record.Description = description ? *description : PciFallbackName(record.VendorId, record.DeviceId);
        adapters.push_back(std::move(record));
    }

    AdapterRecord software;
    const std::string brand = ProcessorBrand();
    software.Description = brand.empty() ? "Software adapter" : brand + " (software adapter)";
    software.Software = true;
    adapters.push_back(std::move(software));
    return adapters;
}

HRESULT CreateFactory(const AdapterSources& sources, REFIID riid, void** factory)
{
    return Error::Guard([&]() -> HRESULT {
        if (!factory)
            return E_POINTER;
        *factory = nullptr;
        auto object = Make<Factory>(sources);
        return object->QueryInterface(riid, factory);
    });
}

HRESULT GetAdapterRecord(IDXGIAdapter* adapter, AdapterRecord* record)
{
    if (!adapter || !record)
        return E_POINTER;
    const auto* ours = dynamic_cast<const Adapter*>(adapter);
    if (!ours)
        return E_INVALIDARG;
    *record = ours->Record();
    return S_OK;
}
} // namespace D3D11Host

HRESULT CreateDXGIFactory1(REFIID riid, void** factory)
{
    return D3D11Host::CreateFactory(D3D11Host::AdapterSources::Host(), riid, factory);
}

HRESULT CreateDXGIFactory2(UINT flags, REFIID riid, void** factory)
{
    if (flags & ~DXGI_CREATE_FACTORY_DEBUG)
        return DXGI_ERROR_INVALID_CALL;
    // There is no debug layer to load: the debug flag asks for nothing further.
    return CreateDXGIFactory1(riid, factory);
}

#pragma once
// A fake machine for the adapter enumeration: a temporary folder holding a PCI device folder,
// the NVIDIA driver's per-GPU information files and a PCI ids database. Removed with the object.

#include "platform/d3d/Adapters.h"

#include "fakes/Support.h"

#include <cstdio>
#include <filesystem>
#include <string>

namespace TestSupport
{
class FakeAdapterTree
{
public:
    FakeAdapterTree() { Folder("devices"), Folder("gpus"); }

    // One PCI function as sysfs shows it: "class" 0x030000, "vendor" 0x10de and so on.
    void AddFunction(const std::string& busId, unsigned deviceClass, unsigned vendor, unsigned device)
    {
        Folder("devices/" + busId);
        for (const auto& [name, value, digits] : { std::tuple("class", deviceClass, 6), { "vendor", vendor, 4 }, { "device", device, 4 },
                 { "subsystem_vendor", vendor, 4 }, { "subsystem_device", 0x1234u, 4 }, { "revision", 0xA1u, 2 } })
        {
            char text[16];
            std::snprintf(text, sizeof text, "0x%0*x\n", digits, value);
            m_Folder.Write("devices/" + busId + "/" + name, text);
        }
    }
    // The NVIDIA driver's information file for the GPU in `folderName` (its bus location unless given).
    void AddNvidiaInformation(const std::string& folderName, const std::string& model, const std::string& busLocation = {})
    {
        m_Folder.Write(Folder("gpus/" + folderName) + "/information",
                       "Model: \t\t " + model + "\nIRQ:   \t\t 42\nBus Location: \t " + (busLocation.empty() ? folderName : busLocation) + "\n");
    }
    void WritePciIds(const std::string& text) { m_Folder.Write("pci.ids", text); }

    D3D11Host::AdapterSources Sources() const
    {
        return { .PciDevices = m_Folder.Path("devices"), .NvidiaGpus = m_Folder.Path("gpus"),
                 .PciIds = { m_Folder.Path("missing.ids"), m_Folder.Path("pci.ids") }, .UseNvml = false };
    }

private:
    std::string Folder(const std::string& name) const
    {
        std::filesystem::create_directories(m_Folder.Path(name));
        return name;
    }

    TempFolder m_Folder;
};
} // namespace TestSupport

#pragma once
// A fake machine for the adapter enumeration: a temporary folder holding a PCI device folder,
// the NVIDIA driver's per-GPU information files and a PCI ids database. Removed with the object.

#include "platform/d3d/Adapters.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace TestSupport
{
class FakeAdapterTree
{
public:
    FakeAdapterTree()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "xev-adapters-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        m_Root = pattern;
        std::filesystem::create_directories(m_Root / "devices");
        std::filesystem::create_directories(m_Root / "gpus");
    }
    ~FakeAdapterTree() { std::error_code error; std::filesystem::remove_all(m_Root, error); }
    FakeAdapterTree(const FakeAdapterTree&) = delete;
    FakeAdapterTree& operator=(const FakeAdapterTree&) = delete;

    // One PCI function as sysfs shows it: "class" 0x030000, "vendor" 0x10de and so on.
    void AddFunction(const std::string& busId, unsigned deviceClass, unsigned vendor, unsigned device)
    {
        const auto folder = m_Root / "devices" / busId;
        std::filesystem::create_directories(folder);
        for (const auto& [name, value, digits] : { std::tuple("class", deviceClass, 6), { "vendor", vendor, 4 }, { "device", device, 4 },
                 { "subsystem_vendor", vendor, 4 }, { "subsystem_device", 0x1234u, 4 }, { "revision", 0xA1u, 2 } })
        {
            char text[16];
            std::snprintf(text, sizeof text, "0x%0*x\n", digits, value);
            Write(folder / name, text);
        }
    }
    // The NVIDIA driver's information file for the GPU at `busId`.
    void AddNvidiaInformation(const std::string& folderName, const std::string& model, const std::string& busLocation = {})
    {
        const auto folder = m_Root / "gpus" / folderName;
        std::filesystem::create_directories(folder);
        Write(folder / "information", "Model: \t\t " + model + "\nIRQ:   \t\t 42\nBus Location: \t " +
                                          (busLocation.empty() ? folderName : busLocation) + "\n");
    }
    void WritePciIds(const std::string& text) { Write(m_Root / "pci.ids", text); }

    D3D11Host::AdapterSources Sources() const
    {
        D3D11Host::AdapterSources sources;
        sources.PciDevices = (m_Root / "devices").string();
        sources.NvidiaGpus = (m_Root / "gpus").string();
        sources.PciIds = { (m_Root / "missing.ids").string(), (m_Root / "pci.ids").string() };
        sources.UseNvml = false;
        return sources;
    }

private:
    static void Write(const std::filesystem::path& path, const std::string& text) { std::ofstream(path) << text; }

    std::filesystem::path m_Root;
};
} // namespace TestSupport

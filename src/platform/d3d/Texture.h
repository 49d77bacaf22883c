#pragma once
// Host-memory access to this port's textures, for the platform layers that read or write pixels
// directly (the encoder runtimes register and map textures, the drawing layer renders into them).
// Media objects use the D3D11 interfaces instead.
//
// Layout of one subresource: Height rows of RowPitch bytes starting at Data. NV12 continues with
// its interleaved chroma plane (Height / 2 rows of the same RowPitch) right after the luma rows,
// as the platform lays out a mapped NV12 texture. B8G8R8A8 has 4 bytes a pixel, YUY2 2 bytes.

#include "platform/d3d/D3D11.h"

namespace D3D11Host
{
struct TextureMemory
{
    BYTE* Data = nullptr; // first row of the subresource (the luma plane of NV12)
    UINT RowPitch = 0;    // bytes from one row to the next, in both planes of NV12
    UINT Width = 0;       // pixels
    UINT Height = 0;      // rows of the first plane
    DXGI_FORMAT Format = DXGI_FORMAT_UNKNOWN;
    std::size_t Size = 0; // bytes of the whole subresource (both planes of NV12)

    // The chroma plane of NV12; null for the other formats.
    BYTE* ChromaPlane() const noexcept
    {
        return Format == DXGI_FORMAT_NV12 ? Data + std::size_t(RowPitch) * Height : nullptr;
    }
};

// Describes the memory of a texture's subresource once the copies the device was given for it
// have completed (it waits for them, as a map of the immediate context does). The memory stays
// valid while the texture lives. E_POINTER for null arguments; E_INVALIDARG for a texture of
// another implementation or a subresource out of range.
HRESULT GetTextureMemory(ID3D11Texture2D* texture, UINT subresource, TextureMemory* memory);

// Bytes a pixel row of `width` pixels takes in `format` (the first plane of NV12); 0 for a
// format this port does not support.
UINT RowBytes(DXGI_FORMAT format, UINT width) noexcept;
} // namespace D3D11Host

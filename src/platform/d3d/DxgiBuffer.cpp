// MFCreateDXGISurfaceBuffer: a media buffer over one subresource of a texture.
//
// IMFMediaBuffer::Lock hands out the contiguous form (packed rows, bottom row first for
// B8G8R8A8 when made bottom-up): the texture's memory itself when its rows are packed already,
// otherwise a copy that the last Unlock writes back. IMF2DBuffer gives the contiguous length;
// its other methods, and IMFDXGIBuffer's private data, are not offered (nothing here asks).

#include "platform/d3d/D3D11.h"
#include "platform/d3d/Texture.h"

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"
#include "platform/mf/BufferLocks.h"

#include <cstring>
#include <memory>

namespace
{
constexpr HRESULT ErrorWasUnlocked = HResultFromWin32(687);        // ERROR_WAS_UNLOCKED

using MFPlatform::BufferLocks;

class DxgiSurfaceBuffer : public ComObject<IMFMediaBuffer, IMF2DBuffer, IMFDXGIBuffer>
{
public:
    DxgiSurfaceBuffer(ComPtr<ID3D11Texture2D> texture, UINT32 subresource, bool bottomUp, const D3D11_TEXTURE2D_DESC& desc)
        : m_Texture(std::move(texture)),
          m_Subresource(subresource),
          m_BottomUp(bottomUp && desc.Format == DXGI_FORMAT_B8G8R8A8_UNORM),
          m_RowBytes(D3D11Host::RowBytes(desc.Format, desc.Width)),
          m_PlaneRows(desc.Height),
          m_Rows(desc.Format == DXGI_FORMAT_NV12 ? desc.Height * 3 / 2 : desc.Height),
          m_ContiguousLength(static_cast<DWORD>(std::size_t(m_RowBytes) * m_Rows)),
          m_Locks(m_ContiguousLength, ErrorWasUnlocked)
    {
    }

    // IMFMediaBuffer
    HRESULT Lock(BYTE** buffer, DWORD* maxLength, DWORD* currentLength) override
    {
        return Error::Guard([&]() -> HRESULT {
            if (!buffer)
                return E_POINTER;
            *buffer = nullptr;
            D3D11Host::TextureMemory memory;
            XEV_CHECK_HR(D3D11Host::GetTextureMemory(m_Texture.Get(), m_Subresource, &memory));
            return m_Locks.Lock([&](bool first) {
                if (first)
                {
                    if (memory.RowPitch == m_RowBytes && !m_BottomUp)
                        m_Locked = memory.Data;
                    else
                    {
                        if (!m_Staging)
                            m_Staging = std::make_unique<BYTE[]>(m_ContiguousLength);
                        CopyToContiguous(memory, m_Staging.get());
                        m_Locked = m_Staging.get();
                    }
                }
                *buffer = m_Locked;
            }, maxLength, currentLength);
        });
    }

    HRESULT Unlock() override
    {
        return Error::Guard([&]() -> HRESULT {
            return m_Locks.Unlock([&](bool last) {
                if (!last)
                    return;
                if (m_Locked == m_Staging.get())
                {
                    D3D11Host::TextureMemory memory;
                    XEV_CHECK_HR(D3D11Host::GetTextureMemory(m_Texture.Get(), m_Subresource, &memory));
                    CopyFromContiguous(m_Staging.get(), memory);
                }
                m_Locked = nullptr;
            });
        });
    }

    HRESULT GetCurrentLength(DWORD* currentLength) override { return m_Locks.GetCurrentLength(currentLength); }
    HRESULT SetCurrentLength(DWORD currentLength) override { return m_Locks.SetCurrentLength(currentLength); }
    HRESULT GetMaxLength(DWORD* maxLength) override { return m_Locks.GetMaxLength(maxLength); }

    // IMF2DBuffer
    HRESULT Lock2D(BYTE**, LONG*) override { return E_NOTIMPL; }
    HRESULT Unlock2D() override { return E_NOTIMPL; }
    HRESULT GetScanline0AndPitch(BYTE**, LONG*) override { return E_NOTIMPL; }
    HRESULT IsContiguousFormat(BOOL*) override { return E_NOTIMPL; }
    HRESULT ContiguousCopyTo(BYTE*, DWORD) override { return E_NOTIMPL; }
    HRESULT ContiguousCopyFrom(const BYTE*, DWORD) override { return E_NOTIMPL; }
    HRESULT GetContiguousLength(DWORD* length) override
    {
        if (!length)
            return E_POINTER;
        *length = m_ContiguousLength;
        return S_OK;
    }

    // IMFDXGIBuffer
    HRESULT GetResource(REFIID riid, void** object) override
    {
        if (!object)
            return E_POINTER;
        return m_Texture->QueryInterface(riid, object);
    }

    HRESULT GetSubresourceIndex(UINT32* index) override
    {
        if (!index)
            return E_POINTER;
        *index = m_Subresource;
        return S_OK;
    }

    HRESULT GetUnknown(REFGUID, REFIID, void**) override { return E_NOTIMPL; }
    HRESULT SetUnknown(REFGUID, IUnknown*) override { return E_NOTIMPL; }

private:
    // Row r of the contiguous form is texture row r, or row (plane rows - 1 - r) when bottom-up.
    void CopyToContiguous(const D3D11Host::TextureMemory& memory, BYTE* to) const
    {
        for (UINT row = 0; row < m_Rows; ++row)
            std::memcpy(to + std::size_t(row) * m_RowBytes, memory.Data + std::size_t(TextureRow(row)) * memory.RowPitch, m_RowBytes);
    }
    void CopyFromContiguous(const BYTE* from, const D3D11Host::TextureMemory& memory) const
    {
        for (UINT row = 0; row < m_Rows; ++row)
            std::memcpy(memory.Data + std::size_t(TextureRow(row)) * memory.RowPitch, from + std::size_t(row) * m_RowBytes, m_RowBytes);
    }
    UINT TextureRow(UINT row) const noexcept { return m_BottomUp ? m_PlaneRows - 1 - row : row; }

    const ComPtr<ID3D11Texture2D> m_Texture;
    const UINT32 m_Subresource;
    const bool m_BottomUp;  // contiguous form bottom row first (B8G8R8A8 only)
    const UINT m_RowBytes;  // packed bytes a row
    const UINT m_PlaneRows; // rows of the first plane
    const UINT m_Rows;      // rows of all planes (NV12: 3/2 of the first)
    const DWORD m_ContiguousLength;

    BufferLocks m_Locks;
    BYTE* m_Locked = nullptr;          // guarded by m_Locks: what Lock hands out while locked
    std::unique_ptr<BYTE[]> m_Staging; // guarded by m_Locks: the contiguous copy, when the texture's rows are not packed
};
} // namespace

HRESULT MFCreateDXGISurfaceBuffer(REFIID riid, IUnknown* surface, UINT32 subresourceIndex, BOOL bottomUpWhenLinear, IMFMediaBuffer** buffer)
{
    return Error::Guard([&]() -> HRESULT {
        if (!buffer)
            return E_POINTER;
        *buffer = nullptr;
        if (riid != ID3D11Texture2D::IID || !surface)
            return E_INVALIDARG;
        ComPtr<ID3D11Texture2D> texture;
        const HRESULT hr = QueryTo(surface, texture.GetAddressOf());
        if (FAILED(hr))
            return hr;
        D3D11_TEXTURE2D_DESC desc;
        texture->GetDesc(&desc);
        D3D11Host::TextureMemory memory;
        if (subresourceIndex >= desc.ArraySize || D3D11Host::RowBytes(desc.Format, desc.Width) == 0 ||
            FAILED(D3D11Host::GetTextureMemory(texture.Get(), subresourceIndex, &memory)))
            return E_INVALIDARG;
        *buffer = Make<DxgiSurfaceBuffer>(std::move(texture), subresourceIndex, bottomUpWhenLinear != 0, desc).Detach();
        return S_OK;
    });
}

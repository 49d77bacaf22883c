// MFCreateDXGISurfaceBuffer: a media buffer over one subresource of a texture.
//
// IMF2DBuffer::Lock2D hands out the texture's own rows (scan line 0 and the row pitch).
// IMFMediaBuffer::Lock hands out the contiguous form (packed rows, bottom row first for
// B8G8R8A8 when made bottom-up): the texture's memory itself when its rows are packed already,
// otherwise a copy that the last Unlock writes back. Lock and Lock2D exclude each other.

#include "platform/d3d/D3D11.h"
#include "platform/d3d/Texture.h"

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace
{
constexpr HRESULT ErrorWasUnlocked = HResultFromWin32(687);        // ERROR_WAS_UNLOCKED
constexpr HRESULT ErrorObjectAlreadyExists = HResultFromWin32(5010); // ERROR_OBJECT_ALREADY_EXISTS

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
          m_ContiguousLength(static_cast<DWORD>(std::size_t(m_RowBytes) * m_Rows))
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
            std::lock_guard lock(m_Lock);
            if (m_Lock2DCount != 0)
                return MF_E_INVALIDREQUEST;
            if (m_LockCount == 0)
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
            ++m_LockCount;
            *buffer = m_Locked;
            if (maxLength)
                *maxLength = m_ContiguousLength;
            if (currentLength)
                *currentLength = m_CurrentLength;
            return S_OK;
        });
    }

    HRESULT Unlock() override
    {
        return Error::Guard([&]() -> HRESULT {
            std::lock_guard lock(m_Lock);
            if (m_LockCount == 0)
                return ErrorWasUnlocked;
            if (--m_LockCount == 0 && m_Locked == m_Staging.get())
            {
                D3D11Host::TextureMemory memory;
                XEV_CHECK_HR(D3D11Host::GetTextureMemory(m_Texture.Get(), m_Subresource, &memory));
                CopyFromContiguous(m_Staging.get(), memory);
            }
            if (m_LockCount == 0)
                m_Locked = nullptr;
            return S_OK;
        });
    }

    HRESULT GetCurrentLength(DWORD* currentLength) override
    {
        if (!currentLength)
            return E_POINTER;
        std::lock_guard lock(m_Lock);
        *currentLength = m_CurrentLength;
        return S_OK;
    }

    HRESULT SetCurrentLength(DWORD currentLength) override
    {
        if (currentLength > m_ContiguousLength)
            return E_INVALIDARG;
        std::lock_guard lock(m_Lock);
        m_CurrentLength = currentLength;
        return S_OK;
    }

    HRESULT GetMaxLength(DWORD* maxLength) override
    {
        if (!maxLength)
            return E_POINTER;
        *maxLength = m_ContiguousLength;
        return S_OK;
    }

    // IMF2DBuffer
    HRESULT Lock2D(BYTE** scanline0, LONG* pitch) override
    {
        return Error::Guard([&]() -> HRESULT {
            if (!scanline0 || !pitch)
                return E_POINTER;
            D3D11Host::TextureMemory memory;
            XEV_CHECK_HR(D3D11Host::GetTextureMemory(m_Texture.Get(), m_Subresource, &memory));
            std::lock_guard lock(m_Lock);
            if (m_LockCount != 0)
                return MF_E_INVALIDREQUEST;
            ++m_Lock2DCount;
            *scanline0 = memory.Data;
            *pitch = static_cast<LONG>(memory.RowPitch);
            return S_OK;
        });
    }

    HRESULT Unlock2D() override
    {
        std::lock_guard lock(m_Lock);
        if (m_Lock2DCount == 0)
            return ErrorWasUnlocked;
        --m_Lock2DCount;
        return S_OK;
    }

    HRESULT GetScanline0AndPitch(BYTE** scanline0, LONG* pitch) override
    {
        if (!scanline0 || !pitch)
            return E_POINTER;
        {
            std::lock_guard lock(m_Lock);
            if (m_Lock2DCount == 0)
                return ErrorWasUnlocked;
        }
        D3D11Host::TextureMemory memory;
        const HRESULT hr = D3D11Host::GetTextureMemory(m_Texture.Get(), m_Subresource, &memory);
        if (FAILED(hr))
            return hr;
        *scanline0 = memory.Data;
        *pitch = static_cast<LONG>(memory.RowPitch);
        return S_OK;
    }

    HRESULT IsContiguousFormat(BOOL* contiguous) override
    {
        if (!contiguous)
            return E_POINTER;
        D3D11Host::TextureMemory memory;
        const HRESULT hr = D3D11Host::GetTextureMemory(m_Texture.Get(), m_Subresource, &memory);
        if (FAILED(hr))
            return hr;
        *contiguous = memory.RowPitch == m_RowBytes ? 1 : 0;
        return S_OK;
    }

    HRESULT GetContiguousLength(DWORD* length) override
    {
        if (!length)
            return E_POINTER;
        *length = m_ContiguousLength;
        return S_OK;
    }

    HRESULT ContiguousCopyTo(BYTE* destination, DWORD destinationLength) override
    {
        if (!destination)
            return E_POINTER;
        if (destinationLength < m_ContiguousLength)
            return E_INVALIDARG;
        D3D11Host::TextureMemory memory;
        const HRESULT hr = D3D11Host::GetTextureMemory(m_Texture.Get(), m_Subresource, &memory);
        if (FAILED(hr))
            return hr;
        CopyToContiguous(memory, destination);
        return S_OK;
    }

    HRESULT ContiguousCopyFrom(const BYTE* source, DWORD sourceLength) override
    {
        if (!source)
            return E_POINTER;
        if (sourceLength < m_ContiguousLength)
            return E_INVALIDARG;
        D3D11Host::TextureMemory memory;
        const HRESULT hr = D3D11Host::GetTextureMemory(m_Texture.Get(), m_Subresource, &memory);
        if (FAILED(hr))
            return hr;
        CopyFromContiguous(source, memory);
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

    HRESULT GetUnknown(REFGUID key, REFIID riid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        ComPtr<IUnknown> value;
        {
            std::lock_guard lock(m_Lock);
            const auto found = m_Unknowns.find(key);
            if (found == m_Unknowns.end())
                return MF_E_NOT_FOUND;
            value = found->second;
        }
        return value->QueryInterface(riid, object);
    }

    // A null `data` removes the key's object.
    HRESULT SetUnknown(REFGUID key, IUnknown* data) override
    {
        return Error::Guard([&]() -> HRESULT {
            ComPtr<IUnknown> removed;
            std::lock_guard lock(m_Lock);
            const auto found = m_Unknowns.find(key);
            if (!data)
            {
                if (found != m_Unknowns.end())
                {
                    removed = std::move(found->second); // released after the lock, by declaration order
                    m_Unknowns.erase(found);
                }
                return S_OK;
            }
            if (found != m_Unknowns.end())
                return ErrorObjectAlreadyExists;
            m_Unknowns.emplace(key, ComPtr<IUnknown>(data));
            return S_OK;
        });
    }

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

    std::mutex m_Lock; // guards the fields below
    DWORD m_CurrentLength = 0;
    UINT m_LockCount = 0;
    UINT m_Lock2DCount = 0;
    BYTE* m_Locked = nullptr;          // what Lock hands out while m_LockCount > 0
    std::unique_ptr<BYTE[]> m_Staging; // the contiguous copy, when the texture's rows are not packed
    std::map<GUID, ComPtr<IUnknown>> m_Unknowns;
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

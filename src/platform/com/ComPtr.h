#pragma once
// Counting smart pointer for Unknown-derived objects.

#include "Unknown.h"

#include <cstddef>
#include <utility>

template <class T>
class ComPtr
{
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    ComPtr(T* p) noexcept : m_Pointer(p) { AddRefInner(); }
    ComPtr(const ComPtr& other) noexcept : m_Pointer(other.m_Pointer) { AddRefInner(); }
    ComPtr(ComPtr&& other) noexcept : m_Pointer(std::exchange(other.m_Pointer, nullptr)) {}
    template <class U>
        requires std::is_convertible_v<U*, T*>
    ComPtr(const ComPtr<U>& other) noexcept : m_Pointer(other.Get())
    {
        AddRefInner();
    }
    template <class U>
        requires std::is_convertible_v<U*, T*>
    ComPtr(ComPtr<U>&& other) noexcept : m_Pointer(other.Detach())
    {
    }
    ~ComPtr() { ReleaseInner(); }

    ComPtr& operator=(ComPtr other) noexcept
    {
        std::swap(m_Pointer, other.m_Pointer);
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) noexcept
    {
        Reset();
        return *this;
    }

    T* Get() const noexcept { return m_Pointer; }
    T* operator->() const noexcept { return m_Pointer; }
    T& operator*() const noexcept { return *m_Pointer; }
    explicit operator bool() const noexcept { return m_Pointer != nullptr; }

    // Releases what it holds and returns the slot for an out-parameter.
    T** ReleaseAndGetAddressOf() noexcept
    {
        Reset();
        return &m_Pointer;
    }
    T** GetAddressOf() noexcept { return &m_Pointer; }
    T* const* GetAddressOf() const noexcept { return &m_Pointer; }

    void Reset() noexcept
    {
        if (T* p = std::exchange(m_Pointer, nullptr))
            p->Release();
    }
    // Takes over a reference the caller owns.
    void Attach(T* p) noexcept
    {
        ReleaseInner();
        m_Pointer = p;
    }
    [[nodiscard]] T* Detach() noexcept { return std::exchange(m_Pointer, nullptr); }

    // Hands out an added reference through an out-parameter (may be null: then nothing happens).
    void CopyTo(T** out) const noexcept
    {
        if (!out) return;
        AddRefInner();
        *out = m_Pointer;
    }

    template <class U>
    HRESULT As(ComPtr<U>* out) const noexcept
    {
        if (!m_Pointer) return E_POINTER;
        return m_Pointer->QueryInterface(IidOf<U>, reinterpret_cast<void**>(out->ReleaseAndGetAddressOf()));
    }
    // Null when the object does not answer for U.
    template <class U>
    ComPtr<U> TryAs() const noexcept
    {
        ComPtr<U> out;
        (void)As(&out);
        return out;
    }

    friend bool operator==(const ComPtr& a, const ComPtr& b) noexcept { return a.m_Pointer == b.m_Pointer; }
    friend bool operator==(const ComPtr& a, std::nullptr_t) noexcept { return a.m_Pointer == nullptr; }

private:
    void AddRefInner() const noexcept
    {
        if (m_Pointer) m_Pointer->AddRef();
    }
    void ReleaseInner() noexcept
    {
        if (m_Pointer) m_Pointer->Release();
    }

    T* m_Pointer = nullptr;
};

#include "media/XevEncodeTransform/KeyedMutexSet.h"

#include "platform/com/Error.h"

#include <algorithm>

namespace
{
// AcquireSync answers a time-out or an abandoned mutex with the kernel's wait codes, which pass
// SUCCEEDED: anything but S_OK is a failure, carried with an HRESULT that says so.
void CheckAcquired(HRESULT hr)
{
    if (hr == S_OK)
        return;
    XEV_FAIL(SUCCEEDED(hr) ? HResultFromWin32(static_cast<uint32_t>(hr)) : hr);
}
} // namespace

void KeyedMutexSet::Item::ReleaseAcquisition()
{
    if (!m_Acquired)
        return;
    XEV_CHECK_HR(m_KeyedMutex->ReleaseSync(m_Key));
    m_Acquired = false;
}

void KeyedMutexSet::Item::OnReturnToPool()
{
    m_UseCount = 0;
    ComPtr<IDXGIKeyedMutex> keyedMutex = std::move(m_KeyedMutex);
    if (m_Acquired)
    {
        m_Acquired = false;
        XEV_CHECK_HR(keyedMutex->ReleaseSync(m_Key));
    }
}

KeyedMutexSet::KeyedMutexSet() : m_Pool(Make<ItemPool>(InitialItemCount))
{
    m_InUse.reserve(InitialItemCount);
}

KeyedMutexSet::~KeyedMutexSet()
{
    Clear();
}

void KeyedMutexSet::Acquire(IDXGIKeyedMutex* keyedMutex, ComPtr<Item>& item)
{
    XEV_CHECK_POINTER(keyedMutex);
    const auto found = std::find_if(m_InUse.begin(), m_InUse.end(), [&](const ComPtr<Item>& entry) { return entry->m_KeyedMutex.Get() == keyedMutex; });
    ComPtr<Item> entry;
    if (found != m_InUse.end())
        entry = *found;
    else
    {
        m_Pool->Acquire(entry);
        if (entry->m_KeyedMutex.Get() != keyedMutex)
        {
            entry->ReleaseAcquisition();
            entry->m_KeyedMutex = keyedMutex;
            entry->m_UseCount = 0;
        }
    }
    if (entry->m_UseCount == 0)
    {
        CheckAcquired(keyedMutex->AcquireSync(0, INFINITE));
        entry->m_Acquired = true;
        entry->m_Key = 0;
        // Listed once acquired, so that a failed acquisition leaves no idle item in the list.
        if (found == m_InUse.end())
            m_InUse.push_back(entry);
    }
    ++entry->m_UseCount;
    item = std::move(entry);
}

void KeyedMutexSet::Release(ComPtr<Item>& item)
{
    if (!item)
        return;
    if (item->m_UseCount != 0)
    {
        if (item->m_UseCount == 1)
            item->ReleaseAcquisition();
        if (--item->m_UseCount == 0)
        {
            const auto found = std::find(m_InUse.begin(), m_InUse.end(), item);
            if (found != m_InUse.end())
                m_InUse.erase(found); // later entries move up, order kept
        }
    }
    item = nullptr;
}

void KeyedMutexSet::Clear()
{
    std::vector<ComPtr<Item>> entries;
    entries.swap(m_InUse);
    entries.clear(); // items nobody else holds go back to the pool here
    m_InUse.reserve(InitialItemCount);
}

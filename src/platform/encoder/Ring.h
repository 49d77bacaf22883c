#pragma once
// Ring<T>: a first-in first-out queue over one block of storage.
//
// Unlike std::deque it allocates only when it must grow (to twice its capacity), so a queue
// whose length is bounded (pictures in flight) stops allocating once it has reached that bound.
// Not synchronised: the owner's lock guards it.

#include <cstddef>
#include <utility>
#include <vector>

namespace SoftwareEncoder
{
template <class T>
class Ring
{
public:
    bool Empty() const noexcept { return m_Size == 0; }
    std::size_t Size() const noexcept { return m_Size; }
    std::size_t Capacity() const noexcept { return m_Items.size(); }

    T& Front() noexcept { return m_Items[m_Head]; }
    T& operator[](std::size_t index) noexcept { return m_Items[(m_Head + index) % m_Items.size()]; }

    // Makes room for `capacity` items without moving the ones queued out of order.
    void Reserve(std::size_t capacity)
    {
        if (capacity <= m_Items.size())
            return;
        std::vector<T> items(capacity);
        for (std::size_t i = 0; i < m_Size; ++i)
            items[i] = std::move((*this)[i]);
        m_Items.swap(items);
        m_Head = 0;
    }

    void PushBack(T item)
    {
        if (m_Size == m_Items.size())
            Reserve(m_Items.empty() ? 8 : m_Items.size() * 2);
        m_Items[(m_Head + m_Size) % m_Items.size()] = std::move(item);
        ++m_Size;
    }

    // Removes the front item and returns it.
    T PopFront()
    {
        T item = std::exchange(m_Items[m_Head], T {});
        m_Head = (m_Head + 1) % m_Items.size();
        --m_Size;
        return item;
    }

    void Clear()
    {
        while (!Empty())
            PopFront();
    }

private:
    std::vector<T> m_Items;
    std::size_t m_Head = 0;
    std::size_t m_Size = 0;
};
} // namespace SoftwareEncoder

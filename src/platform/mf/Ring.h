#pragma once
// Ring<T>: a first-in first-out queue over one block of storage.
//
// Unlike std::deque it allocates only when it must grow (to twice its capacity), so a queue whose
// length is bounded (work items, events, pictures in flight) stops allocating once it has reached
// that bound. Not synchronised: the owner's lock guards it. Popped slots are left
// default-constructed, so they hold no references.

#include <cstddef>
#include <utility>
#include <vector>

namespace MFPlatform
{
template <class T>
class Ring
{
public:
    bool Empty() const noexcept { return m_Size == 0; }
    std::size_t Size() const noexcept { return m_Size; }

    // Requires !Empty().
    T& Front() noexcept { return m_Items[m_Head]; }

    // Makes room for at least `capacity` items (rounded up to a power of two) without moving the
    // queued ones out of order.
    void Reserve(std::size_t capacity)
    {
        std::size_t slots = m_Items.empty() ? 8 : m_Items.size();
        while (slots < capacity)
            slots *= 2;
        if (slots == m_Items.size())
            return;
        std::vector<T> items(slots);
        for (std::size_t i = 0; i < m_Size; ++i)
            items[i] = std::move(m_Items[Slot(i)]);
        m_Items.swap(items);
        m_Head = 0;
    }

    void PushBack(T item)
    {
        if (m_Size == m_Items.size())
            Reserve(m_Items.size() + 1);
        m_Items[Slot(m_Size)] = std::move(item);
        ++m_Size;
    }
    void PushFront(T item)
    {
        if (m_Size == m_Items.size())
            Reserve(m_Items.size() + 1);
        m_Head = (m_Head + m_Items.size() - 1) & (m_Items.size() - 1);
        m_Items[m_Head] = std::move(item);
        ++m_Size;
    }

    // Requires !Empty(). Removes the front item and returns it.
    T PopFront() noexcept
    {
        T item = std::exchange(m_Items[m_Head], T {});
        m_Head = (m_Head + 1) & (m_Items.size() - 1);
        --m_Size;
        return item;
    }

    // Moves every item out (for releasing them outside the owner's lock).
    Ring TakeAll() noexcept
    {
        Ring taken;
        std::swap(taken.m_Items, m_Items);
        std::swap(taken.m_Head, m_Head);
        std::swap(taken.m_Size, m_Size);
        return taken;
    }

    void Clear() noexcept
    {
        while (!Empty())
            PopFront();
    }

private:
    std::size_t Slot(std::size_t index) const noexcept { return (m_Head + index) & (m_Items.size() - 1); }

    std::vector<T> m_Items; // size 0 or a power of two
    std::size_t m_Head = 0;
    std::size_t m_Size = 0;
};
} // namespace MFPlatform

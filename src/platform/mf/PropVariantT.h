#pragma once
// MF::PropVariantT: an owned PROPVARIANT that clears itself when destroyed or overwritten. The
// platform and the media objects share it.

#include "platform/com/Error.h"
#include "platform/com/PropVariant.h"

namespace MF
{
template <int Unused = 1>
class PropVariantT : public PROPVARIANT
{
public:
    PropVariantT() noexcept { PropVariantInit(this); }
    PropVariantT(const PropVariantT& other) : PropVariantT() { CopyFrom(other); }
    PropVariantT& operator=(const PropVariantT& other)
    {
        if (this != &other)
            CopyFrom(other);
        return *this;
    }
    ~PropVariantT() { (void)PropVariantClear(this); }

    void Clear() { TracedCheck(PropVariantClear(this), "PropVariantClear(this)"); }
    void CopyFrom(const PROPVARIANT& Value)
    {
        Clear();
        TracedCheck(PropVariantCopy(this, &Value), "PropVariantCopy(this, &Value)");
    }
};
} // namespace MF

#pragma once
// The encoder transform's settings and what it derives from them and from its media types: the
// codec settings store behind ICodecAPI, the input format of an input media type, the encoder
// initialization (NV_ENC_INITIALIZE_PARAMS with its NV_ENC_CONFIG), the number of bitstream
// buffers, and the split of an Annex B bitstream into NAL unit lengths.
//
// Every structure is built from zero with the encoder header's own version macros.
//
// Threads: none of its own. The transform guards its store with its lock; the functions are pure.

#include "media/Common/PropVariantT.h"
#include "platform/d3d/D3D11.h"
#include "platform/encoder/NvEncodeApi.h"
#include "platform/mf/Interfaces.h"

#include <cstring>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace Xev
{
// What an input media type says about its frames.
struct InputFormat
{
    GUID Subtype {};
    DXGI_FORMAT TextureFormat = DXGI_FORMAT_UNKNOWN;                   // NV12 or B8G8R8A8_UNORM
    NV_ENC_BUFFER_FORMAT BufferFormat = NV_ENC_BUFFER_FORMAT_UNDEFINED; // NV12 or ARGB
    INT32 Stride = 0; // MF_MT_DEFAULT_STRIDE, else the width (NV12) or minus width x 4 (RGB, bottom-up)
    UINT32 Width = 0, Height = 0;
};

// The format of NV12, ARGB32 and RGB32 types with a frame size; empty for any other type. A type
// without a subtype throws its read failure.
std::optional<InputFormat> FindInputFormat(IMFMediaType* type);

// Codec settings by key; a value is a copy of what was set. No key has a default.
class SettingsStore
{
public:
    // Replaces an earlier value; a failing copy throws its HRESULT.
    void Set(const GUID& key, const PROPVARIANT& value);
    // Copies the stored value into `value` (which must be empty); nothing for a key never set.
    void Get(const GUID& key, PROPVARIANT* value) const;
    // The value as an unsigned 32-bit number: empty for a key never set; a value of another type
    // converted (a failing conversion throws its HRESULT).
    std::optional<UINT32> ReadUInt32(const GUID& key) const;
    // True when a value was stored.
    bool Remove(const GUID& key);

private:
    struct KeyLess
    {
        bool operator()(const GUID& a, const GUID& b) const noexcept { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
    };
    std::map<GUID, MF::PropVariantT<>, KeyLess> m_Values;
};

// The constant QP for a quality (CODECAPI_AVEncCommonQuality, 0 to 100; larger values count as 100):
// 0 -> 51, 50 -> 31, 70 -> 24, 100 -> 16.
UINT32 QualityToQp(UINT32 quality);

// NV_ENC_INITIALIZE_PARAMS with its NV_ENC_CONFIG; Params.encodeConfig points at Config (copies
// point at their own).
struct EncoderConfiguration
{
    NV_ENC_INITIALIZE_PARAMS Params {};
    NV_ENC_CONFIG Config {};

    EncoderConfiguration() = default;
    EncoderConfiguration(const EncoderConfiguration& other) noexcept { *this = other; }
    EncoderConfiguration& operator=(const EncoderConfiguration& other) noexcept
    {
        Params = other.Params;
        Config = other.Config;
        Params.encodeConfig = other.Params.encodeConfig ? &Config : nullptr;
        return *this;
    }
};

// The initialization for `codec` from the settings and the output type (frame size and rate
// required: their read failure throws; profile and pixel aspect ratio when present). Throws
// E_NOTIMPL for a rate-control mode other than quality and E_INVALIDARG for B-pictures with an
// infinite GOP.
EncoderConfiguration BuildConfiguration(const SettingsStore& settings, IMFMediaType* outputType, const GUID& codec);

// Bitstream buffers a stream uses: frameIntervalP + 3 without B-pictures, else by macroblock count.
UINT32 BufferCount(const NV_ENC_CONFIG& config, UINT32 width, UINT32 height);

// The lengths of the NAL units of an Annex B bitstream (start codes included), into `lengths`
// (cleared first; no allocation once it has the capacity). Bytes before the first start code
// count as no unit.
void SplitNalUnits(std::span<const BYTE> data, std::vector<UINT32>& lengths);
} // namespace Xev
